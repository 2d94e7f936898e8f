#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "image/image_file.h"
#include "image/short_name.h"

namespace corvid {

// The sizes the image tool offers: kImageMinSizeMb to kImageMaxSizeMb (image_file.h) in steps of
// 8 MB.
inline constexpr std::uint32_t kImageSizeStepMb = 8;
inline constexpr std::size_t kImageLabelMaxCharacters = 8;

struct ImageBuildRequest {
    std::string label;  // UTF-8, at most 8 characters; letters are stored in upper case
    std::uint32_t diskSizeMb = 64;
    std::vector<std::filesystem::path> items;  // the hidden files and folders, in order
    std::filesystem::path output;
    ShortNameCodePage codePage;  // of 8.3 names and the label
};

struct ImageBuildProgress {
    std::uint32_t sectorSize = 0;  // the volume the figures are of
    std::size_t filesDone = 0;
    std::size_t filesTotal = 0;
    std::uint64_t bytesDone = 0;
};

enum class ImageBuildStatus { Success, BadInput, Failed };

// The step a build failed in; the image tool's messages follow from it.
enum class ImageBuildStep {
    Check,    // the size or the label
    Walk,     // the list of files and folders
    Volumes,  // formatting a volume or filling it
    Output,   // the image file
};

struct ImageBuildResult {
    ImageBuildStatus status = ImageBuildStatus::Failed;
    ImageBuildStep failedStep = ImageBuildStep::Check;  // of a failed build
    std::filesystem::path withoutShortName;  // the source whose name has no 8.3 alias, if any
    std::string detail;                      // one sentence naming the file or value at fault
};

// Builds a "5VX6 IMG" file: a volume of the disk size for 512-byte and one for 1024-byte
// sectors, each formatted, labelled and filled with the list, the first in entry 0, the second
// in entry 1, as building and saving one after the other would leave them. The volumes' entries
// are made while the list is walked; then the header is written and both blocks of records at
// once, each file's data read once for both (see SourceStream). Peak memory stays within 64 MiB
// plus 1 KiB per file, whatever the files hold: no file is held whole. The file is written
// beside the output under a temporary name and takes the output's name only when both blocks
// are in it, so a failed build never leaves a file that looks like a finished image.
//
// Progress comes while the blocks are written, from both volumes by turns, every few files.
ImageBuildResult buildImage(const ImageBuildRequest& request,
                            const std::function<void(const ImageBuildProgress&)>& progress = {});

// The label as the volume stores it (upper case, in the code page); throws std::invalid_argument
// with a sentence naming the label when it is longer than 8 characters, holds a character a FAT
// label cannot hold, or does not fit the code page.
std::string imageLabelBytes(const std::string& label, const ShortNameCodePage& codePage);

}  // namespace corvid
