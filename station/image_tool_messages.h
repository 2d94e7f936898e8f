#pragma once

// What the image tool shows at the end of a build, in the station's language.

#include <string>
#include <vector>

#include "image/image_builder.h"
#include "station/operator_prompt.h"

namespace corvid {

// A message box of the image tool; an empty caption is the system's default one.
struct ImageToolMessage {
    std::string text;
    std::string caption;
    PromptIcon icon = PromptIcon::Error;
};

// The boxes for a build's result, in order: "Create ImageSuccess" for a built image; for a failed
// walk a box naming the file without a short name (if that was the fault) and "Init Image
// DiskFail"; "Init Image DiskFail" for a volume, "Image outputFail" for the image file; none for
// a bad size or label, whose detail says it all.
std::vector<ImageToolMessage> imageToolMessages(const ImageBuildResult& result, int language);

}  // namespace corvid
