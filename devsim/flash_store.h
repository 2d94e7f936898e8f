#pragma once

// The device's memories kept in its state folder, so that a device unplugged and plugged in
// again is the same device: the NAND array, the serial flash and the disk parts.

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "devsim/profile.h"

namespace corvid::devsim {

// A state file of a fixed size, read and written in place (never cached, so that the volume
// tools may work on a disk part's file at the same time).
class StateFile {
  public:
    StateFile(std::filesystem::path path, std::uint64_t size);
    ~StateFile();
    StateFile(const StateFile&) = delete;
    StateFile& operator=(const StateFile&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::uint64_t size() const { return size_; }
    // Bytes past the end of a file that someone else shortened read as zeros.
    void read(std::uint64_t offset, std::span<std::uint8_t> out) const;
    void write(std::uint64_t offset, std::span<const std::uint8_t> data);
    // Turns the range back into zeros, as a hole where the file system can.
    void zero(std::uint64_t offset, std::uint64_t length);

  private:
    std::filesystem::path path_;
    std::uint64_t size_;
    int fd_;
};

// A sparse file of bytes that reads 0xFF where nothing was ever written, as erased flash does:
// the bytes are stored inverted, so the holes of the file (zeros) stand for erased bytes.
class ErasedFile {
  public:
    ErasedFile(const std::filesystem::path& path, std::uint64_t size) : file_(path, size) {}

    void read(std::uint64_t offset, std::span<std::uint8_t> out) const;
    void write(std::uint64_t offset, std::span<const std::uint8_t> data);
    // NAND programming only clears bits: the result is old AND data.
    void program(std::uint64_t offset, std::span<const std::uint8_t> data);
    void erase(std::uint64_t offset, std::uint64_t length);

  private:
    StateFile file_;
};

// What a block holds. A block scanned with a pattern is not stored page by page: its pages are
// generated from the pattern when read.
struct BlockContent {
    enum class Kind : std::uint8_t { Erased = 0, Programmed = 1, Pattern = 2 };
    Kind kind = Kind::Erased;
    std::uint8_t mode = 0;
    std::uint16_t pattern = 0;

    bool operator==(const BlockContent&) const = default;
};

// All NAND chips of a device as one array of blocks, numbered over all chips.
class NandArray {
  public:
    NandArray(const std::filesystem::path& stateDir, const DeviceProfile& profile);

    std::uint32_t blockCount() const { return blockCount_; }
    std::uint32_t pagesPerBlock() const { return geometry_.pagesPerBlock; }
    std::uint32_t pageSize() const { return geometry_.pageSize; }

    const BlockContent& content(std::uint32_t block) const { return blocks_[block]; }
    void erase(std::uint32_t block);
    void fillWithPattern(std::uint32_t block, std::uint16_t pattern, std::uint8_t mode);
    // Page numbers count over all blocks: block x pages per block + page.
    void programPage(std::uint32_t page, std::span<const std::uint8_t> data);
    void readPage(std::uint32_t page, std::span<std::uint8_t> out) const;
    // True when the page reads as anything but erased.
    bool pageProgrammed(std::uint32_t page) const;

  private:
    void setContent(std::uint32_t block, BlockContent content);
    void patternBytes(std::uint32_t page, const BlockContent& content,
                      std::span<std::uint8_t> out) const;

    NandGeometry geometry_;
    std::uint32_t blockCount_;
    ErasedFile pages_;
    StateFile meta_;
    std::vector<BlockContent> blocks_;
};

// One part of the disk is a StateFile of whole sectors, zero where never written.
using DiskPart = StateFile;

}  // namespace corvid::devsim
