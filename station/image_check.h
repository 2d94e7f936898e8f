#pragma once

#include <functional>
#include <optional>
#include <string>

#include "station/operator_prompt.h"
#include "station/production_settings.h"

namespace corvid {

// Reads the disk size in MB of a valid hidden-disk image file; empty when the file is missing or
// is not such an image.
using ImageSizeReader = std::function<std::optional<int>(const std::string& path)>;

enum class ImageCheck {
    NotUsed,  // normal disk, or the hidden disk is filled from HideFileList
    Valid,    // iImgDiskSize now holds the image's size
    Cleared,  // ImageFile was cleared and the operator told; open the settings dialog next
};

// The check of the hidden-disk image at the window's first display.
ImageCheck checkImageAtFirstDisplay(SETTING_T& record, const ImageSizeReader& readSize,
                                    OperatorPrompt& prompt, int language);

}  // namespace corvid
