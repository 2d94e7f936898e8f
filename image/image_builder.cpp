#include "image/image_builder.h"

#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "image/fat_volume.h"
#include "image/image_file.h"
#include "image/pc_import.h"
#include "image/ram_disk.h"
#include "image/source_files.h"
#include "image/unicode_text.h"

namespace corvid {

namespace {

constexpr std::uint32_t kSectorSizes[] = {512, 1024};
constexpr std::uint32_t kFilesPerReport = 64;  // progress while the image file is written

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

// Runs job(0) ... job(count - 1) at the same time, job(0) on the calling thread.
void runSideBySide(std::size_t count, const std::function<void(std::size_t)>& job) {
    std::vector<std::thread> others;
    for (std::size_t i = 1; i < count; ++i) {
        others.emplace_back(job, i);
    }
    job(0);
    for (std::thread& other : others) {
        other.join();
    }
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

    // Each volume is formatted first; its entries are made while the walk goes on (a file is
    // copied in as soon as it is planned), in the time the walk waits for the file system. A
    // failure of the walk is reported before one of the volumes, as if the volumes were built
    // once the walk is done; the 512-byte volume's before the 1024-byte one's.
    struct Volume {
        explicit Volume(const ImportPlan& plan, ShortNameCodePage codePage)
            : direct(plan.sources()), fat(disk, codePage) {}
        RamDisk disk;
        SourceReader direct;  // for a file sector the volume would read back (none does)
        FAT_VOLUME fat;
        std::optional<HiddenFileCopier> copier;
        bool ok = false;
        std::string failure;
    };
    ImportPlan plan(request.codePage);
    std::vector<std::unique_ptr<Volume>> volumes;
    for (const std::uint32_t sectorSize : kSectorSizes) {
        auto v = std::make_unique<Volume>(plan, request.codePage);
        v->disk.setSectorSource(&v->direct);
        const auto totalSectors =
            static_cast<std::uint32_t>((static_cast<std::uint64_t>(sizeMb) << 20) / sectorSize);
        if (v->fat.ImgDiskCreate(totalSectors, sectorSize) && v->fat.ImgSetLabel(label)) {
            v->copier.emplace(v->fat, plan);
            v->ok = true;
        } else {
            v->failure = "the " + std::to_string(sectorSize) +
                         "-byte volume cannot be created: " + v->fat.failure();
        }
        volumes.push_back(std::move(v));
    }
    try {
        plan.addList(request.items, [&](const ImportFile& file) {
            for (const auto& v : volumes) {
                if (v->ok && !v->copier->ImgCopyFile(file)) {
                    v->ok = false;
                    v->failure = v->copier->failure();
                }
            }
        });
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
    // The user named the output, not our working name of it: errors say the output.
    const auto abandon = [&](FixedText what, std::string detail) {
        std::error_code ignored;
        std::filesystem::remove(partial, ignored);
        const std::string working = partial.string();
        for (auto at = detail.find(working); at != std::string::npos;
             at = detail.find(working, at)) {
            detail.replace(at, working.size(), request.output.string());
            at += request.output.string().size();
        }
        return failed(ImageBuildStatus::Failed, {failMessage(what, language)}, std::move(detail));
    };
    for (const auto& v : volumes) {
        if (!v->ok) {
            return abandon(FixedText::InitImageDisk, v->failure);
        }
    }

    std::vector<const RamDisk*> disks;
    for (const auto& v : volumes) {
        disks.push_back(&v->disk);
    }
    std::string why;
    const auto header = imageLayout(sizeMb, disks, &why);
    if (!header || !writeImageHeader(partial, *header, &why)) {
        return abandon(FixedText::ImageOutput, why);
    }
    {
        SourceStream stream(plan.sources(), volumes.size());
        std::mutex progressLock;
        std::vector<std::uint64_t> bytesBefore;  // of each source, for the progress
        if (progress) {
            std::uint64_t total = 0;
            for (const ImportFile& file : plan.files()) {
                bytesBefore.push_back(total);
                total += file.size;
            }
        }
        for (std::size_t i = 0; i < volumes.size(); ++i) {
            SourceStream::Consumer& consumer = stream.consumer(i);
            volumes[i]->disk.setSectorSource(&consumer);
            if (progress) {
                consumer.onSource([&, i](std::uint32_t source) {
                    // Every few files: both writers take the same files at about the same time,
                    // and a report for each would have them wait on each other.
                    if (source % kFilesPerReport != 0) {
                        return;
                    }
                    std::lock_guard<std::mutex> lock(progressLock);
                    progress({kSectorSizes[i], source, plan.files().size(), bytesBefore[source]});
                });
            }
        }
        runSideBySide(volumes.size(), [&](std::size_t i) {
            Volume& v = *volumes[i];
            try {
                v.ok = writeImageBlock(v.disk, partial, header->entries[i], &v.failure);
            } catch (const std::exception& e) {
                v.ok = false;
                v.failure =
                    "the image file " + request.output.string() + " cannot be written: " + e.what();
            }
            stream.consumer(i).detach();
        });
    }
    for (const auto& v : volumes) {
        v->disk.ImgDiskClose();
    }
    for (const auto& v : volumes) {
        if (!v->ok) {
            return abandon(FixedText::ImageOutput, v->failure);
        }
    }
    if (progress) {
        std::uint64_t total = 0;
        for (const ImportFile& file : plan.files()) {
            total += file.size;
        }
        for (const std::uint32_t sectorSize : kSectorSizes) {
            progress({sectorSize, plan.files().size(), plan.files().size(), total});
        }
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
