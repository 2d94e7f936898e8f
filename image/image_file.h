#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

#include "image/ram_disk.h"

namespace corvid {

// The "5VX6 IMG" hidden-disk image file: a 512-byte header, then one block of sector records per
// sector size. All integers are little-endian.
namespace image_header {
inline constexpr std::size_t kMagic = 0;  // "5VX6 IMG", then a zero byte
inline constexpr std::size_t kMagicTextBytes = 12;
inline constexpr std::size_t kDiskSizeMb = 12;
inline constexpr std::size_t kFirstEntry = 16;
inline constexpr std::size_t kEntryBytes = 16;
inline constexpr std::size_t kEntryCount = 3;
inline constexpr std::size_t kBytes = 512;
// Within an entry.
inline constexpr std::size_t kEntrySectorSize = 0;  // 0 marks an empty entry
inline constexpr std::size_t kEntryOffset = 4;      // file offset of the first record
inline constexpr std::size_t kEntryRecords = 8;
static_assert(kFirstEntry + kEntryCount * kEntryBytes <= kBytes);
}  // namespace image_header

inline constexpr char kImageMagic[] = "5VX6 IMG";

struct ImageEntry {
    std::uint32_t sectorSize = 0;
    std::uint32_t offset = 0;
    std::uint32_t recordCount = 0;
};

struct ImageHeader {
    std::uint32_t diskSizeMb = 0;
    std::array<ImageEntry, image_header::kEntryCount> entries{};
};

class ImageFileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Writes the store's used sectors as one block of records; file data come from their source
// files now. Create mode writes a fresh file with the header and puts the block in entry 0;
// append mode adds the block at the end of an existing file and puts it in entry 1. Used marks
// of saved sectors are cleared and the store counts as saved. On failure (the output, or a
// source file that no longer gives its bytes) 'failure' (when given) says why in one sentence;
// in append mode the records written so far stay in the file.
bool ImgSave(RamDisk& disk, const std::filesystem::path& path, bool append,
             std::uint32_t diskSizeMb, std::string* failure = nullptr);

// The header of an image file whose blocks hold the used sectors of the stores, block after
// block behind the header, in entry order (at most three stores). Nothing, with 'failure' set,
// when a block would start beyond the 4 GiB an entry can address.
std::optional<ImageHeader> imageLayout(std::uint32_t diskSizeMb,
                                       std::span<const RamDisk* const> disks, std::string* failure);

// Creates (or truncates) the image file and writes its header. False on failure, 'failure' then
// says why in one sentence.
bool writeImageHeader(const std::filesystem::path& path, const ImageHeader& header,
                      std::string* failure);

// Writes the store's used sectors as the records of 'entry' (laid out by imageLayout) into the
// existing image file, through a handle of its own, so blocks may be written at the same time.
// Used marks are cleared and the store counts as saved. False on failure, 'failure' then says
// why in one sentence; the records written so far stay in the file.
bool writeImageBlock(RamDisk& disk, const std::filesystem::path& path, const ImageEntry& entry,
                     std::string* failure);

// The disk size in MB of a valid image file; nothing for a file that cannot be read or whose
// first 12 bytes are not the magic.
std::optional<std::uint32_t> ImgReadSize(const std::filesystem::path& path);

// The header of an image file. Throws ImageFileError naming the file when it cannot be read, its
// magic is wrong, or an entry's records lie beyond the end of the file.
ImageHeader readImageHeader(const std::filesystem::path& path);

// The first entry (0, 1, 2 in order) whose sector size matches, as a device picks its volume.
std::optional<std::size_t> findImageEntry(const ImageHeader& header, std::uint32_t sectorSize);

// Calls 'sink' for each record of entry 'entry' in file order. Throws ImageFileError naming the
// file when a record cannot be read.
using ImageRecordSink = std::function<void(std::uint32_t sector, std::span<const std::byte> data)>;
void readImageRecords(const std::filesystem::path& path, const ImageEntry& entry,
                      const ImageRecordSink& sink);

// Writes the volume of the block with this sector size as a flat (sparse) file of the image's
// disk size, each record placed by its sector number; sectors without a record read as zeros.
// Throws ImageFileError naming the file or the sector size at fault.
void extractVolume(const std::filesystem::path& image, std::uint32_t sectorSize,
                   const std::filesystem::path& output);

}  // namespace corvid
