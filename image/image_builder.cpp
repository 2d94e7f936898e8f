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

namespace {

using ProgressSink = std::function<void(const ImageBuildProgress&)>;

// One build, step by step: check the request, create the volumes, walk the list (filling the
// volumes as it goes), write the image file, give it its name. Each step returns false after
// recording the failure in the result.
class ImageBuild {
  public:
    ImageBuild(const ImageBuildRequest& request, const ProgressSink& progress)
        : request_(request), progress_(progress), plan_(request.codePage) {
        partial_ = request.output;
        partial_ += ".partial";
    }

    ImageBuildResult run() {
        if (check() && createVolumes() && walk() && volumesReady() && write() && commit()) {
            result_.status = ImageBuildStatus::Success;
        }
        return std::move(result_);
    }

  private:
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

    bool fail(ImageBuildStep step, std::string detail) {
        result_.failedStep = step;
        result_.status = step == ImageBuildStep::Check || step == ImageBuildStep::Walk
                             ? ImageBuildStatus::BadInput
                             : ImageBuildStatus::Failed;
        result_.detail = std::move(detail);
        return false;
    }

    // A failure once the image file may exist: the file goes, and the detail names the output
    // (the user named it, not our working name of it).
    bool abandon(ImageBuildStep step, std::string detail) {
        std::error_code ignored;
        std::filesystem::remove(partial_, ignored);
        const std::string working = partial_.string();
        const std::string output = request_.output.string();
        for (auto at = detail.find(working); at != std::string::npos;
             at = detail.find(working, at)) {
            detail.replace(at, working.size(), output);
            at += output.size();
        }
        return fail(step, std::move(detail));
    }

    bool check() {
        const std::uint32_t sizeMb = request_.diskSizeMb;
        if (sizeMb < kImageMinSizeMb || sizeMb > kImageMaxSizeMb ||
            sizeMb % kImageSizeStepMb != 0) {
            return fail(ImageBuildStep::Check, "the disk size " + std::to_string(sizeMb) +
                                                   " MB is not one of 32 to 2048 MB "
                                                   "in steps of 8 MB");
        }
        try {
            label_ = imageLabelBytes(request_.label, request_.codePage);
        } catch (const std::invalid_argument& e) {
            return fail(ImageBuildStep::Check, e.what());
        }
        return true;
    }

    bool createVolumes() {
        for (const std::uint32_t sectorSize : kSectorSizes) {
            auto v = std::make_unique<Volume>(plan_, request_.codePage);
            v->disk.setSectorSource(&v->direct);
            const auto totalSectors = static_cast<std::uint32_t>(
                (static_cast<std::uint64_t>(request_.diskSizeMb) << 20) / sectorSize);
            if (v->fat.ImgDiskCreate(totalSectors, sectorSize) && v->fat.ImgSetLabel(label_)) {
                v->copier.emplace(v->fat, plan_);
                v->ok = true;
            } else {
                v->failure = "the " + std::to_string(sectorSize) +
                             "-byte volume cannot be created: " + v->fat.failure();
            }
            volumes_.push_back(std::move(v));
        }
        return true;  // a volume's failure is told after the walk's
    }

    bool walk() {
        try {
            plan_.addList(request_.items, [&](const ImportFile& file) {
                for (const auto& v : volumes_) {
                    if (v->ok && !v->copier->ImgCopyFile(file)) {
                        v->ok = false;
                        v->failure = v->copier->failure();
                    }
                }
            });
        } catch (const ImportError& e) {
            if (e.kind() == ImportError::Kind::NoShortName) {
                result_.withoutShortName = e.path();
            }
            return fail(ImageBuildStep::Walk, e.what());
        }
        return true;
    }

    bool volumesReady() {
        for (const auto& v : volumes_) {
            if (!v->ok) {
                return abandon(ImageBuildStep::Volumes, v->failure);
            }
        }
        return true;
    }

    // Progress every few files, from both writers by turns.
    void reportProgress(SourceStream& stream, std::mutex& progressLock,
                        const std::vector<std::uint64_t>& bytesBefore) {
        for (std::size_t i = 0; i < volumes_.size(); ++i) {
            stream.consumer(i).onSource([&, i](std::uint32_t source) {
                // Both writers take the same files at about the same time, and a report for
                // each would have them wait on each other.
                if (source % kFilesPerReport != 0) {
                    return;
                }
                std::lock_guard<std::mutex> lock(progressLock);
                progress_({kSectorSizes[i], source, plan_.files().size(), bytesBefore[source]});
            });
        }
    }

    // The header, then both blocks of records at once, each file's data read once for both.
    bool write() {
        std::vector<const RamDisk*> disks;
        for (const auto& v : volumes_) {
            disks.push_back(&v->disk);
        }
        ImageHeader header;
        Result written = imageLayout(request_.diskSizeMb, disks, header);
        if (written) {
            written = writeImageHeader(partial_, header);
        }
        if (!written) {
            return abandon(ImageBuildStep::Output, written.reason);
        }
        {
            SourceStream stream(plan_.sources(), volumes_.size());
            std::mutex progressLock;
            const std::vector<std::uint64_t> bytesBefore = bytesBeforeEachFile();
            for (std::size_t i = 0; i < volumes_.size(); ++i) {
                volumes_[i]->disk.setSectorSource(&stream.consumer(i));
            }
            if (progress_) {
                reportProgress(stream, progressLock, bytesBefore);
            }
            runSideBySide(volumes_.size(), [&](std::size_t i) {
                writeBlock(*volumes_[i], header.entries[i]);
                stream.consumer(i).detach();
            });
        }
        for (const auto& v : volumes_) {
            v->disk.ImgDiskClose();
        }
        for (const auto& v : volumes_) {
            if (!v->ok) {
                return abandon(ImageBuildStep::Output, v->failure);
            }
        }
        return true;
    }

    void writeBlock(Volume& v, const ImageEntry& entry) {
        try {
            const Result written = writeImageBlock(v.disk, partial_, entry);
            v.ok = written.ok;
            v.failure = written.reason;
        } catch (const std::exception& e) {
            v.ok = false;
            v.failure =
                "the image file " + request_.output.string() + " cannot be written: " + e.what();
        }
    }

    std::vector<std::uint64_t> bytesBeforeEachFile() const {
        std::vector<std::uint64_t> before;
        std::uint64_t total = 0;
        for (const ImportFile& file : plan_.files()) {
            before.push_back(total);
            total += file.size;
        }
        before.push_back(total);
        return before;
    }

    bool commit() {
        if (progress_) {
            const std::size_t files = plan_.files().size();
            const std::uint64_t total = bytesBeforeEachFile().back();
            for (const std::uint32_t sectorSize : kSectorSizes) {
                progress_({sectorSize, files, files, total});
            }
        }
        std::error_code error;
        std::filesystem::rename(partial_, request_.output, error);
        if (error) {
            return abandon(ImageBuildStep::Output, "the image file " + request_.output.string() +
                                                       " cannot be written: " + error.message());
        }
        return true;
    }

    const ImageBuildRequest& request_;
    const ProgressSink& progress_;
    ImportPlan plan_;
    std::filesystem::path partial_;
    std::string label_;
    std::vector<std::unique_ptr<Volume>> volumes_;
    ImageBuildResult result_;
};

}  // namespace

ImageBuildResult buildImage(const ImageBuildRequest& request, const ProgressSink& progress) {
    return ImageBuild(request, progress).run();
}

}  // namespace corvid
