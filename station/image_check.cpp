#include "station/image_check.h"

#include "station/messages.h"

namespace corvid {

namespace {

constexpr int kRowWarning = 26;
constexpr int kRowImageMissing = 63;  // "Image file not exists. Please reassign it."

}  // namespace

ImageCheck checkImageAtFirstDisplay(SETTING_T& record, const ImageSizeReader& readSize,
                                    OperatorPrompt& prompt, int language) {
    if (record.eDeviceFeature == DeviceFeature::Normal || !record.bUseImgFile) {
        return ImageCheck::NotUsed;
    }
    if (const std::optional<int> size = readSize(record.ImageFile)) {
        record.iImgDiskSize = *size;
        return ImageCheck::Valid;
    }
    record.ImageFile.clear();
    prompt.show(std::string(fixedText(kRowImageMissing, language)),
                std::string(fixedText(kRowWarning, language)), PromptIcon::Warning,
                PromptButtons::Ok);
    return ImageCheck::Cleared;
}

}  // namespace corvid
