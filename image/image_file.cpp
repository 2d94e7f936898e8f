#include "image/image_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>
#include <vector>

#include "platform/byte_order.h"

namespace corvid {

namespace {

using namespace image_header;

constexpr std::size_t kRecordNumberBytes = 4;

std::string reasonFromErrno() {
    return errno != 0 ? std::string(std::strerror(errno)) : std::string("write error");
}

bool hasMagic(const std::byte* text) {
    // The first 12 bytes, read as a zero-terminated text, must be the magic.
    const std::size_t length = std::strlen(kImageMagic);
    return std::memcmp(text, kImageMagic, length) == 0 && text[length] == std::byte{0};
}

std::byte* entryAt(std::byte* header, std::size_t index) {
    return header + kFirstEntry + index * kEntryBytes;
}

// Writes the store's records at the stream's position. 'why' says what failed: the source of the
// file data (a sentence of its own) or, when empty, the write.
Result writeFailure(const std::filesystem::path& path, const std::string& why) {
    return Result::failure("the image file " + path.string() + " cannot be written: " + why);
}

// The store's records into the file at its position; a failed write says the system's reason.
Result drainInto(RamDisk& disk, std::fstream& file, const std::filesystem::path& path,
                 std::uint32_t& records) {
    const Result drained = disk.drainRecords(
        [&file](std::span<const std::byte> bytes, std::uint32_t) {
            file.write(reinterpret_cast<const char*>(bytes.data()),
                       static_cast<std::streamsize>(bytes.size()));
            return static_cast<bool>(file);
        },
        records);
    if (!drained && !drained.reason.empty()) {
        return drained;
    }
    if (!drained || !file) {
        return writeFailure(path, reasonFromErrno());
    }
    return Result::success();
}

void storeEntry(std::byte* at, const ImageEntry& entry) {
    storeLe32(at + kEntrySectorSize, entry.sectorSize);
    storeLe32(at + kEntryOffset, entry.offset);
    storeLe32(at + kEntryRecords, entry.recordCount);
}

}  // namespace

Result ImgSave(RamDisk& disk, const std::filesystem::path& path, bool append,
               std::uint32_t diskSizeMb) {
    const auto fail = [&](const std::string& why) { return writeFailure(path, why); };
    if (!disk.started()) {
        return fail("the volume was not built");
    }

    errno = 0;
    std::fstream file;
    if (append) {
        file.open(path, std::ios::in | std::ios::out | std::ios::binary);
    } else {
        file.open(path, std::ios::in | std::ios::out | std::ios::binary | std::ios::trunc);
    }
    if (!file.is_open()) {
        return fail(reasonFromErrno());
    }

    std::uint64_t blockStart = kBytes;
    if (append) {
        file.seekp(0, std::ios::end);
        const std::streamoff end = file.tellp();
        if (end < static_cast<std::streamoff>(kBytes)) {
            return fail("it holds no image header to append to");
        }
        blockStart = static_cast<std::uint64_t>(end);
    } else {
        std::array<std::byte, kBytes> header{};
        std::memcpy(header.data() + kMagic, kImageMagic, std::strlen(kImageMagic));
        storeLe32(header.data() + kDiskSizeMb, diskSizeMb);
        file.write(reinterpret_cast<const char*>(header.data()), kBytes);
    }
    if (blockStart > std::numeric_limits<std::uint32_t>::max()) {
        return fail("the records would start beyond the 4 GiB an entry can address");
    }

    std::uint32_t records = 0;
    if (Result drained = drainInto(disk, file, path, records); !drained) {
        return drained;
    }

    std::array<std::byte, kEntryBytes> entry{};
    storeEntry(entry.data(), {disk.sectorSize(), static_cast<std::uint32_t>(blockStart), records});
    file.seekp(static_cast<std::streamoff>(kFirstEntry + (append ? 1 : 0) * kEntryBytes));
    file.write(reinterpret_cast<const char*>(entry.data()), kEntryBytes);
    file.flush();
    if (!file) {
        return fail(reasonFromErrno());
    }
    file.close();
    if (file.fail()) {
        return fail(reasonFromErrno());
    }
    disk.markSaved();
    return Result::success();
}

Result imageLayout(std::uint32_t diskSizeMb, std::span<const RamDisk* const> disks,
                   ImageHeader& header) {
    if (disks.size() > kEntryCount) {
        return Result::failure("an image file holds at most " + std::to_string(kEntryCount) +
                               " volumes");
    }
    header = ImageHeader{};
    header.diskSizeMb = diskSizeMb;
    std::uint64_t offset = kBytes;
    for (std::size_t i = 0; i < disks.size(); ++i) {
        if (offset > std::numeric_limits<std::uint32_t>::max()) {
            return Result::failure(
                "the records of the " + std::to_string(disks[i]->sectorSize()) +
                "-byte volume would start beyond the 4 GiB an entry can address");
        }
        header.entries[i] = {disks[i]->sectorSize(), static_cast<std::uint32_t>(offset),
                             disks[i]->usedSectors()};
        offset += std::uint64_t{disks[i]->usedSectors()} *
                  (RamDisk::kRecordHeaderBytes + disks[i]->sectorSize());
    }
    return Result::success();
}

Result writeImageHeader(const std::filesystem::path& path, const ImageHeader& header) {
    std::array<std::byte, kBytes> bytes{};
    std::memcpy(bytes.data() + kMagic, kImageMagic, std::strlen(kImageMagic));
    storeLe32(bytes.data() + kDiskSizeMb, header.diskSizeMb);
    for (std::size_t i = 0; i < kEntryCount; ++i) {
        storeEntry(entryAt(bytes.data(), i), header.entries[i]);
    }
    errno = 0;
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (file.is_open()) {
        file.write(reinterpret_cast<const char*>(bytes.data()), kBytes);
        file.close();
    }
    if (!file) {
        return writeFailure(path, reasonFromErrno());
    }
    return Result::success();
}

Result writeImageBlock(RamDisk& disk, const std::filesystem::path& path, const ImageEntry& entry) {
    const auto fail = [&](const std::string& why) { return writeFailure(path, why); };
    if (!disk.started()) {
        return fail("the volume was not built");
    }
    if (disk.sectorSize() != entry.sectorSize || disk.usedSectors() != entry.recordCount) {
        return fail("the " + std::to_string(disk.sectorSize()) +
                    "-byte volume does not match the entry laid out for it");
    }
    errno = 0;
    std::fstream file;
    file.rdbuf()->pubsetbuf(nullptr, 0);  // the records go out in the store's large pieces
    file.open(path, std::ios::in | std::ios::out | std::ios::binary);
    if (!file.is_open()) {
        return fail(reasonFromErrno());
    }
    file.seekp(static_cast<std::streamoff>(entry.offset));
    std::uint32_t records = 0;
    if (Result drained = drainInto(disk, file, path, records); !drained) {
        return drained;
    }
    file.close();
    if (file.fail()) {
        return fail(reasonFromErrno());
    }
    disk.markSaved();
    return Result::success();
}

std::optional<std::uint32_t> ImgReadSize(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::array<std::byte, kMagicTextBytes + 4> bytes{};
    if (!file.read(reinterpret_cast<char*>(bytes.data()), bytes.size()) ||
        !hasMagic(bytes.data())) {
        return std::nullopt;
    }
    return loadLe32(bytes.data() + kDiskSizeMb);
}

ImageHeader readImageHeader(const std::filesystem::path& path) {
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        throw ImageFileError("the image file " + path.string() + " does not exist");
    }
    // Its size tells a file cut short; a pipe or a device has none to trust.
    if (!std::filesystem::is_regular_file(path, error)) {
        throw ImageFileError("the image file " + path.string() +
                             " is not a regular file (a pipe, a device or a folder)");
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw ImageFileError("the image file " + path.string() + " cannot be opened");
    }
    std::array<std::byte, kBytes> bytes{};
    file.read(reinterpret_cast<char*>(bytes.data()), kBytes);
    const auto got = static_cast<std::size_t>(file.gcount());
    const std::size_t magicBytes = std::strlen(kImageMagic) + 1;
    if (got < magicBytes || !hasMagic(bytes.data())) {
        throw ImageFileError("the file " + path.string() + " is not a 5VX6 IMG image file");
    }
    if (got < kBytes) {
        throw ImageFileError("the image file " + path.string() + " is cut short: it ends inside " +
                             "its header, after " + std::to_string(got) + " of " +
                             std::to_string(kBytes) + " bytes");
    }
    ImageHeader header;
    header.diskSizeMb = loadLe32(bytes.data() + kDiskSizeMb);
    const std::uint64_t fileSize = std::filesystem::file_size(path, error);
    if (error) {
        throw ImageFileError("the image file " + path.string() +
                             " cannot be measured: " + error.message());
    }
    for (std::size_t i = 0; i < kEntryCount; ++i) {
        const std::byte* entry = entryAt(bytes.data(), i);
        ImageEntry& e = header.entries[i];
        e.sectorSize = loadLe32(entry + kEntrySectorSize);
        e.offset = loadLe32(entry + kEntryOffset);
        e.recordCount = loadLe32(entry + kEntryRecords);
        if (e.sectorSize == 0) {
            continue;
        }
        const std::uint64_t end =
            e.offset + static_cast<std::uint64_t>(e.recordCount) * (4ull + e.sectorSize);
        if (end > fileSize) {
            throw ImageFileError("the image file " + path.string() + " is cut short: entry " +
                                 std::to_string(i) + " needs " + std::to_string(end) +
                                 " bytes, the file has " + std::to_string(fileSize));
        }
    }
    return header;
}

std::optional<std::size_t> findImageEntry(const ImageHeader& header, std::uint32_t sectorSize) {
    for (std::size_t i = 0; i < header.entries.size(); ++i) {
        if (header.entries[i].sectorSize != 0 && header.entries[i].sectorSize == sectorSize) {
            return i;
        }
    }
    return std::nullopt;
}

void readImageRecords(const std::filesystem::path& path, const ImageEntry& entry,
                      const ImageRecordSink& sink) {
    if (entry.sectorSize == 0 || entry.sectorSize > 4096) {
        throw ImageFileError("the image file " + path.string() + " has an entry with sector size " +
                             std::to_string(entry.sectorSize));
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw ImageFileError("the image file " + path.string() + " cannot be opened");
    }
    file.seekg(static_cast<std::streamoff>(entry.offset));
    const std::size_t recordBytes = 4 + entry.sectorSize;
    constexpr std::size_t kChunkRecords = 1024;
    std::vector<std::byte> chunk(recordBytes * kChunkRecords);
    std::uint32_t done = 0;
    while (done < entry.recordCount) {
        const std::size_t n = std::min<std::size_t>(kChunkRecords, entry.recordCount - done);
        if (!file.read(reinterpret_cast<char*>(chunk.data()),
                       static_cast<std::streamsize>(n * recordBytes))) {
            throw ImageFileError("the image file " + path.string() + " ends inside record " +
                                 std::to_string(done) + " of its " +
                                 std::to_string(entry.sectorSize) + "-byte block");
        }
        for (std::size_t r = 0; r < n; ++r) {
            const std::byte* record = chunk.data() + r * recordBytes;
            sink(loadLe32(record), std::span<const std::byte>(record + 4, entry.sectorSize));
        }
        done += static_cast<std::uint32_t>(n);
    }
}

bool ImageRecordReader::open(const std::filesystem::path& image, std::uint32_t sectorSize) {
    file_.close();
    file_.clear();
    begin_ = end_ = 0;
    ended_ = false;
    entry_ = {};
    file_.open(image, std::ios::binary);
    if (!file_) {
        return false;
    }
    std::array<std::byte, kFirstEntry + kEntryCount * kEntryBytes> header{};
    file_.read(reinterpret_cast<char*>(header.data()), header.size());
    const auto got = static_cast<std::size_t>(file_.gcount());
    if (got < kMagicTextBytes || !hasMagic(header.data()) || sectorSize == 0 || sectorSize > 4096) {
        return false;
    }
    // Entries are taken one after the other, as far as the file holds them.
    bool found = false;
    for (std::size_t i = 0; i < kEntryCount && !found; ++i) {
        const std::size_t at = kFirstEntry + i * kEntryBytes;
        if (got < at + kEntryBytes) {
            break;
        }
        if (loadLe32(header.data() + at + kEntrySectorSize) == sectorSize) {
            entry_.sectorSize = sectorSize;
            entry_.offset = loadLe32(header.data() + at + kEntryOffset);
            entry_.recordCount = loadLe32(header.data() + at + kEntryRecords);
            found = true;
        }
    }
    if (!found) {
        return false;
    }
    file_.clear();
    if (entry_.offset > kFirstSeekLimit) {
        file_.seekg(kFirstSeekLimit, std::ios::beg);
        file_.seekg(static_cast<std::streamoff>(entry_.offset - kFirstSeekLimit), std::ios::cur);
    } else {
        file_.seekg(entry_.offset, std::ios::beg);
    }
    if (!file_) {
        return false;
    }
    recordBytes_ = kRecordNumberBytes + sectorSize;
    buffer_.resize(std::max(kBufferBytes / recordBytes_, std::size_t{1}) * recordBytes_);
    return true;
}

ImageRecordReader::Read ImageRecordReader::next(Record& record) {
    if (end_ - begin_ < recordBytes_ && !ended_) {
        // Refill: the rest of a record moves to the front, whole records follow.
        std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
        const std::size_t want = buffer_.size() - end_;
        file_.read(reinterpret_cast<char*>(buffer_.data() + end_),
                   static_cast<std::streamsize>(want));
        const auto got = static_cast<std::size_t>(file_.gcount());
        end_ += got;
        ended_ = got < want;
    }
    const std::size_t available = end_ - begin_;
    if (available < kRecordNumberBytes) {
        begin_ = end_;
        return Read::Nothing;
    }
    record.sector = loadLe32(buffer_.data() + begin_);
    if (available < recordBytes_) {
        begin_ = end_;
        return Read::NumberOnly;
    }
    record.data =
        std::span<const std::byte>(buffer_.data() + begin_ + kRecordNumberBytes, entry_.sectorSize);
    begin_ += recordBytes_;
    return Read::Whole;
}

ImageHeader checkExtraction(const std::filesystem::path& image, std::uint32_t sectorSize,
                            const std::filesystem::path& output) {
    std::error_code error;
    if (std::filesystem::exists(output, error) &&
        std::filesystem::equivalent(image, output, error)) {
        throw ImageFileError("the output " + output.string() + " is the image file " +
                             image.string() + " itself; give another name");
    }
    const ImageHeader header = readImageHeader(image);
    if (!findImageEntry(header, sectorSize)) {
        throw ImageFileError("the image file " + image.string() + " holds no volume for " +
                             std::to_string(sectorSize) + "-byte sectors");
    }
    if (header.diskSizeMb < kImageMinSizeMb || header.diskSizeMb > kImageMaxSizeMb) {
        throw ImageFileError("the image file " + image.string() + " gives a disk size of " +
                             std::to_string(header.diskSizeMb) + " MB; an image holds " +
                             std::to_string(kImageMinSizeMb) + " to " +
                             std::to_string(kImageMaxSizeMb) + " MB");
    }
    return header;
}

void extractVolume(const std::filesystem::path& image, std::uint32_t sectorSize,
                   const std::filesystem::path& output) {
    const ImageHeader header = checkExtraction(image, sectorSize, output);
    const std::size_t index = *findImageEntry(header, sectorSize);
    std::error_code error;
    const std::uint64_t volumeBytes = static_cast<std::uint64_t>(header.diskSizeMb) << 20;
    const std::uint64_t sectors = volumeBytes / sectorSize;

    // Beside the output, so the rename stays on one file system.
    std::filesystem::path partial = output;
    partial += ".partial";
    struct RemoveUnlessKept {
        const std::filesystem::path& path;
        bool keep = false;
        ~RemoveUnlessKept() {
            if (!keep) {
                std::error_code ignored;
                std::filesystem::remove(path, ignored);
            }
        }
    } cleanup{partial};
    const auto cannotWrite = [&output](const std::string& why) {
        return ImageFileError("the file " + output.string() + " cannot be written: " + why);
    };

    errno = 0;
    std::fstream out(partial, std::ios::in | std::ios::out | std::ios::binary | std::ios::trunc);
    if (!out) {
        throw cannotWrite(reasonFromErrno());
    }
    out.close();
    // A file of the volume's size whose untouched sectors stay holes.
    std::filesystem::resize_file(partial, volumeBytes, error);
    if (error) {
        throw cannotWrite(error.message());
    }
    out.open(partial, std::ios::in | std::ios::out | std::ios::binary);
    readImageRecords(
        image, header.entries[index], [&](std::uint32_t sector, std::span<const std::byte> data) {
            if (sector >= sectors) {
                throw ImageFileError("the image file " + image.string() +
                                     " holds a record for sector " + std::to_string(sector) +
                                     ", beyond its volume of " + std::to_string(sectors) +
                                     " sectors");
            }
            out.seekp(static_cast<std::streamoff>(sector) * sectorSize);
            out.write(reinterpret_cast<const char*>(data.data()),
                      static_cast<std::streamsize>(data.size()));
        });
    out.close();
    if (out.fail()) {
        throw cannotWrite(reasonFromErrno());
    }
    std::filesystem::rename(partial, output, error);
    if (error) {
        throw cannotWrite(error.message());
    }
    cleanup.keep = true;
}

}  // namespace corvid
