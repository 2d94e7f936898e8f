#include "image/image_builder.h"

#include <stdexcept>

#include "image/fat_volume.h"
#include "image/image_file.h"
#include "image/pc_import.h"
#include "image/ram_disk.h"
#include "image/unicode_text.h"

namespace corvid {

namespace {

constexpr std::uint32_t kSectorSizes[] = {512, 1024};

std::string textOf(FixedText row, int language) {
    return std::string(fixedText(row, language));
}

ImageToolMessage failMessage(FixedText what, int language) {
    return {textOf(what, language) + textOf(FixedText::Fail, language),
            textOf(FixedText::Fail, language), PromptIcon::Error};
}

ImageBuildResult failed(ImageBuildStatus status, std::vector<ImageToolMessage> messages,
                        std::string detail) {
    ImageBuildResult result;
    result.status = status;
    result.messages = std::move(messages);
    result.detail = std::move(detail);
    return result;
}

bool isForbiddenInLabel(char32_t c) {
    static constexpr std::u32string_view kForbidden = U"\"*+,./:;<=>?[\\]|";
    return c < 0x20 || c == 0x7F || kForbidden.find(c) != std::u32string_view::npos;
}

}  // namespace

std::string imageLabelBytes(const std::string& label, const ShortNameCodePage& codePage) {
    const auto utf16 = utf16FromUtf8(label);
    const auto points = utf16 ? codePointsOf(*utf16) : std::nullopt;
    if (!points) {
        throw std::invalid_argument("the label " + label + " is not UTF-8 text");
    }
    if (points->size() > kImageLabelMaxCharacters) {
        throw std::invalid_argument("the label " + label + " is longer than " +
                                    std::to_string(kImageLabelMaxCharacters) + " characters");
    }
    std::string bytes;
    for (char32_t c : *points) {
        if (isForbiddenInLabel(c)) {
            throw std::invalid_argument("the label " + label + " holds the character '" +
                                        utf8Of(c) + "', which a volume label cannot hold");
        }
        if (c < 0x80) {
            bytes.push_back(static_cast<char>(c));
            continue;
        }
        if (!codePage) {
            throw std::invalid_argument(
                "the label " + label + " holds characters beyond ASCII; name a code page for them");
        }
        try {
            bytes += fromUtf8(utf8Of(c), *codePage);
        } catch (const CodePageError&) {
            throw std::invalid_argument("the label " + label + " holds the character '" +
                                        utf8Of(c) + "', which " + codePageName(*codePage) +
                                        " cannot hold");
        }
    }
    if (bytes.size() > 11) {
        throw std::invalid_argument("the label " + label + " takes " +
                                    std::to_string(bytes.size()) +
                                    " bytes in its code page; a volume label holds 11");
    }
    return upperCaseShortName(bytes, codePage);
}

ImageBuildResult buildImage(const ImageBuildRequest& request,
                            const std::function<void(const ImageBuildProgress&)>& progress) {
    const int language = request.language;
    const std::uint32_t sizeMb = request.diskSizeMb;
    if (sizeMb < kImageMinSizeMb || sizeMb > kImageMaxSizeMb || sizeMb % kImageSizeStepMb != 0) {
        return failed(ImageBuildStatus::BadInput, {},
                      "the disk size " + std::to_string(sizeMb) +
                          " MB is not one of 32 to 2048 MB "
                          "in steps of 8 MB");
    }
    std::string label;
    try {
        label = imageLabelBytes(request.label, request.codePage);
    } catch (const std::invalid_argument& e) {
        return failed(ImageBuildStatus::BadInput, {}, e.what());
    }

    ImportPlan plan(request.codePage);
    try {
        for (const auto& item : request.items) {
            plan.addListItem(item);
        }
    } catch (const ImportError& e) {
        std::vector<ImageToolMessage> messages;
        if (e.kind() == ImportError::Kind::NoShortName) {
            messages.push_back(
                {textOf(FixedText::GetShortPathNameFail, language) + "\n" + e.path().string(), "",
                 PromptIcon::Error});
        }
        messages.push_back(failMessage(FixedText::InitImageDisk, language));
        return failed(ImageBuildStatus::BadInput, std::move(messages), e.what());
    }

    std::filesystem::path partial = request.output;
    partial += ".partial";
    const auto abandon = [&](FixedText what, std::string detail) {
        std::error_code ignored;
        std::filesystem::remove(partial, ignored);
        return failed(ImageBuildStatus::Failed, {failMessage(what, language)}, std::move(detail));
    };

    RamDisk disk;
    disk.setSectorSource(&plan.sources());
    for (const std::uint32_t sectorSize : kSectorSizes) {
        FAT_VOLUME volume(disk, request.codePage);
        const std::uint32_t totalSectors =
            static_cast<std::uint32_t>((static_cast<std::uint64_t>(sizeMb) << 20) / sectorSize);
        // A volume that cannot be created leaves nothing worth saving: the build stops here.
        if (!volume.ImgDiskCreate(totalSectors, sectorSize) || !volume.ImgSetLabel(label)) {
            disk.ImgDiskClose();
            return abandon(FixedText::InitImageDisk,
                           "the " + std::to_string(sectorSize) +
                               "-byte volume cannot be created: " + volume.failure());
        }
        HiddenFileCopier copier(volume, plan);
        const bool copied = copier.copyAll([&](const ImportProgress& state) {
            if (progress) {
                progress({sectorSize, state.filesDone, state.filesTotal, state.bytesDone});
            }
        });
        if (!copied) {
            disk.ImgDiskClose();
            return abandon(FixedText::InitImageDisk, copier.failure());
        }
        std::string why;
        if (!ImgSave(disk, partial, sectorSize != kSectorSizes[0], sizeMb, &why)) {
            disk.ImgDiskClose();
            return abandon(FixedText::ImageOutput, why);
        }
        disk.ImgDiskClose();
    }

    std::error_code error;
    std::filesystem::rename(partial, request.output, error);
    if (error) {
        return abandon(FixedText::ImageOutput, "the image file " + request.output.string() +
                                                   " cannot be written: " + error.message());
    }
    ImageBuildResult result;
    result.status = ImageBuildStatus::Success;
    result.messages.push_back(
        {textOf(FixedText::CreateImage, language) + textOf(FixedText::Success, language),
         textOf(FixedText::Success, language), PromptIcon::Information});
    return result;
}

}  // namespace corvid
