#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

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

// The disk sizes an image holds (what the image tool offers); a header beyond them is damaged.
inline constexpr std::uint32_t kImageMinSizeMb = 32;
inline constexpr std::uint32_t kImageMaxSizeMb = 2048;

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
// of saved sectors are cleared and the store counts as saved. A failure (the output, or a source
// file that no longer gives its bytes) says why in one sentence; in append mode the records
// written so far stay in the file.
Result ImgSave(RamDisk& disk, const std::filesystem::path& path, bool append,
               std::uint32_t diskSizeMb);

// The header of an image file whose blocks hold the used sectors of the stores, block after
// block behind the header, in entry order (at most three stores), into 'header'. Fails when a
// block would start beyond the 4 GiB an entry can address.
Result imageLayout(std::uint32_t diskSizeMb, std::span<const RamDisk* const> disks,
                   ImageHeader& header);

// Creates (or truncates) the image file and writes its header.
Result writeImageHeader(const std::filesystem::path& path, const ImageHeader& header);

// Writes the store's used sectors as the records of 'entry' (laid out by imageLayout) into the
// existing image file, through a handle of its own, so blocks may be written at the same time.
// Used marks are cleared and the store counts as saved. On failure the records written so far
// stay in the file.
Result writeImageBlock(RamDisk& disk, const std::filesystem::path& path, const ImageEntry& entry);

// The disk size in MB of a valid image file; nothing for a file that cannot be read or whose
// first 12 bytes are not the magic.
std::optional<std::uint32_t> ImgReadSize(const std::filesystem::path& path);

// The header of an image file. Throws ImageFileError naming the file when it is not a regular
// file, cannot be read, its magic is wrong, it ends inside its header, or an entry's records lie
// beyond the end of the file.
ImageHeader readImageHeader(const std::filesystem::path& path);

// The first entry (0, 1, 2 in order) whose sector size matches, as a device picks its volume.
std::optional<std::size_t> findImageEntry(const ImageHeader& header, std::uint32_t sectorSize);

// Calls 'sink' for each record of entry 'entry' in file order. Throws ImageFileError naming the
// file when a record cannot be read.
using ImageRecordSink = std::function<void(std::uint32_t sector, std::span<const std::byte> data)>;
void readImageRecords(const std::filesystem::path& path, const ImageEntry& entry,
                      const ImageRecordSink& sink);

// Reads the records of one block of an image file in file order, as a device writer needs them:
// the header as the station reads it (the magic, then the entries one after the other, the first
// whose sector size matches), an offset beyond 2,000,000,000 reached in two seeks, the records
// read in large pieces. Nothing is checked ahead: a file cut short shows where its records end.
class ImageRecordReader {
  public:
    static constexpr std::uint32_t kFirstSeekLimit = 2000000000u;
    static constexpr std::size_t kBufferBytes = 64u * 1024u;

    // Opens the image and goes to the block for 'sectorSize'. False when the file cannot be
    // opened, its first 12 bytes are not the magic, no entry has that sector size (a sector size
    // above 4096 never matches) or the seek fails.
    bool open(const std::filesystem::path& image, std::uint32_t sectorSize);
    std::uint32_t recordCount() const { return entry_.recordCount; }

    struct Record {
        std::uint32_t sector = 0;
        std::span<const std::byte> data;  // one sector, valid until the next call
    };
    enum class Read {
        Whole,       // the sector number and all of the data
        NumberOnly,  // the file ends inside the record's data
        Nothing,     // the file ends before the record's sector number
    };
    // The next record of the block (the caller stops at recordCount()).
    Read next(Record& record);

  private:
    std::ifstream file_;
    ImageEntry entry_;
    std::size_t recordBytes_ = 0;
    std::vector<std::byte> buffer_;
    std::size_t begin_ = 0;  // unread bytes of the buffer: begin_ ... end_
    std::size_t end_ = 0;
    bool ended_ = false;  // the file has no more bytes
};

// Writes the volume of the block with this sector size as a flat (sparse) file of the image's
// disk size, each record placed by its sector number; sectors without a record read as zeros.
// The volume is written under a name of its own and renamed to 'output' when complete, so a
// failure leaves an existing 'output' as it was. Throws ImageFileError naming the file or the
// sector size at fault: also for an output that is the image itself (or a link to it) and for a
// disk size outside kImageMinSizeMb..kImageMaxSizeMb, before any file is made.
void extractVolume(const std::filesystem::path& image, std::uint32_t sectorSize,
                   const std::filesystem::path& output);

// The checks of extractVolume on its input, made before anything is written: the header of an
// image that can be extracted to 'output'. Throws ImageFileError as extractVolume does.
ImageHeader checkExtraction(const std::filesystem::path& image, std::uint32_t sectorSize,
                            const std::filesystem::path& output);

}  // namespace corvid
