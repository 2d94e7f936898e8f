#include "station/image_tool_messages.h"

#include "station/messages.h"

namespace corvid {

namespace {

std::string textOf(FixedText row, int language) {
    return std::string(fixedText(row, language));
}

ImageToolMessage failMessage(FixedText what, int language) {
    return {textOf(what, language) + textOf(FixedText::Fail, language),
            textOf(FixedText::Fail, language), PromptIcon::Error};
}

}  // namespace

std::vector<ImageToolMessage> imageToolMessages(const ImageBuildResult& result, int language) {
    if (result.status == ImageBuildStatus::Success) {
        return {{textOf(FixedText::CreateImage, language) + textOf(FixedText::Success, language),
                 textOf(FixedText::Success, language), PromptIcon::Information}};
    }
    switch (result.failedStep) {
        case ImageBuildStep::Check:
            return {};
        case ImageBuildStep::Walk: {
            std::vector<ImageToolMessage> messages;
            if (!result.withoutShortName.empty()) {
                messages.push_back({textOf(FixedText::GetShortPathNameFail, language) + "\n" +
                                        result.withoutShortName.string(),
                                    "", PromptIcon::Error});
            }
            messages.push_back(failMessage(FixedText::InitImageDisk, language));
            return messages;
        }
        case ImageBuildStep::Volumes:
            return {failMessage(FixedText::InitImageDisk, language)};
        case ImageBuildStep::Output:
            return {failMessage(FixedText::ImageOutput, language)};
    }
    return {};
}

}  // namespace corvid
