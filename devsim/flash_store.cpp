#include "devsim/flash_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace corvid::devsim {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void ioFailure(const fs::path& path, const char* what) {
    throw std::runtime_error(std::string("Cannot ") + what + " " + path.string() + ": " +
                             std::strerror(errno) + ".");
}

int openSized(const fs::path& path, std::uint64_t size) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        ioFailure(path, "open");
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || (static_cast<std::uint64_t>(info.st_size) != size &&
                                    ::ftruncate(fd, static_cast<off_t>(size)) != 0)) {
        const int error = errno;
        ::close(fd);
        errno = error;
        ioFailure(path, "size");
    }
    return fd;
}

void preadAll(int fd, const fs::path& path, std::uint64_t offset, std::span<std::uint8_t> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t got =
            ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            ioFailure(path, "read");
        }
        if (got == 0) {  // past the end: a file shortened by someone else reads as zeros
            std::fill(out.begin() + static_cast<std::ptrdiff_t>(done), out.end(), 0);
            return;
        }
        done += static_cast<std::size_t>(got);
    }
}

void pwriteAll(int fd, const fs::path& path, std::uint64_t offset,
               std::span<const std::uint8_t> data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t put =
            ::pwrite(fd, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            ioFailure(path, "write");
        }
        done += static_cast<std::size_t>(put);
    }
}

// A small deterministic generator for the pattern of mode 1 (a seeded pseudo-random fill).
std::uint32_t nextPatternWord(std::uint32_t& state) {
    state = state * 1664525u + 1013904223u;
    return state >> 16;
}

}  // namespace

StateFile::StateFile(fs::path path, std::uint64_t size)
    : path_(std::move(path)), size_(size), fd_(openSized(path_, size)) {}

StateFile::~StateFile() {
    ::close(fd_);
}

void StateFile::read(std::uint64_t offset, std::span<std::uint8_t> out) const {
    preadAll(fd_, path_, offset, out);
}

void StateFile::write(std::uint64_t offset, std::span<const std::uint8_t> data) {
    pwriteAll(fd_, path_, offset, data);
}

void StateFile::zero(std::uint64_t offset, std::uint64_t length) {
    if (::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                    static_cast<off_t>(length)) == 0) {
        return;
    }
    // A file system without holes: write the zeros out.
    const std::vector<std::uint8_t> zeros(static_cast<std::size_t>(length), 0);
    pwriteAll(fd_, path_, offset, zeros);
}

void ErasedFile::read(std::uint64_t offset, std::span<std::uint8_t> out) const {
    file_.read(offset, out);
    for (auto& b : out) {
        b = static_cast<std::uint8_t>(~b);
    }
}

void ErasedFile::write(std::uint64_t offset, std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> stored(data.begin(), data.end());
    for (auto& b : stored) {
        b = static_cast<std::uint8_t>(~b);
    }
    file_.write(offset, stored);
}

void ErasedFile::program(std::uint64_t offset, std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> old(data.size());
    read(offset, old);
    for (std::size_t i = 0; i < old.size(); ++i) {
        old[i] &= data[i];
    }
    write(offset, old);
}

void ErasedFile::erase(std::uint64_t offset, std::uint64_t length) {
    file_.zero(offset, length);
}

NandArray::NandArray(const fs::path& stateDir, const DeviceProfile& profile)
    : geometry_(profile.geometry),
      blockCount_(profile.totalBlocks()),
      pages_(stateDir / "nand.bin",
             std::uint64_t{blockCount_} * geometry_.pagesPerBlock * geometry_.pageSize),
      meta_(stateDir / "nand-blocks.bin", std::uint64_t{blockCount_} * sizeof(BlockContent)),
      blocks_(blockCount_) {
    static_assert(sizeof(BlockContent) == 4);
    meta_.read(0, std::span(reinterpret_cast<std::uint8_t*>(blocks_.data()),
                            blocks_.size() * sizeof(BlockContent)));
    for (auto& block : blocks_) {
        if (block.kind > BlockContent::Kind::Pattern) {
            block = BlockContent{};
        }
    }
}

void NandArray::setContent(std::uint32_t block, BlockContent content) {
    blocks_[block] = content;
    meta_.write(
        std::uint64_t{block} * sizeof(BlockContent),
        std::span(reinterpret_cast<const std::uint8_t*>(&blocks_[block]), sizeof(BlockContent)));
}

void NandArray::erase(std::uint32_t block) {
    const std::uint64_t blockBytes = std::uint64_t{geometry_.pagesPerBlock} * geometry_.pageSize;
    if (blocks_[block].kind == BlockContent::Kind::Programmed) {
        pages_.erase(block * blockBytes, blockBytes);
    }
    setContent(block, BlockContent{});
}

void NandArray::fillWithPattern(std::uint32_t block, std::uint16_t pattern, std::uint8_t mode) {
    // The block is erased first, as the controller does before it writes a test pattern.
    erase(block);
    setContent(block, BlockContent{BlockContent::Kind::Pattern, mode, pattern});
}

void NandArray::programPage(std::uint32_t page, std::span<const std::uint8_t> data) {
    const std::uint32_t block = page / geometry_.pagesPerBlock;
    const BlockContent before = blocks_[block];
    if (before.kind == BlockContent::Kind::Pattern) {
        // Programming over a test pattern: the pattern becomes real page data first.
        std::vector<std::uint8_t> bytes(geometry_.pageSize);
        for (std::uint32_t p = 0; p < geometry_.pagesPerBlock; ++p) {
            const std::uint32_t global = block * geometry_.pagesPerBlock + p;
            patternBytes(global, before, bytes);
            pages_.write(std::uint64_t{global} * geometry_.pageSize, bytes);
        }
    }
    if (before.kind != BlockContent::Kind::Programmed) {
        setContent(block, BlockContent{BlockContent::Kind::Programmed, 0, 0});
    }
    pages_.program(std::uint64_t{page} * geometry_.pageSize, data);
}

void NandArray::readPage(std::uint32_t page, std::span<std::uint8_t> out) const {
    const BlockContent& block = blocks_[page / geometry_.pagesPerBlock];
    switch (block.kind) {
        case BlockContent::Kind::Erased:
            std::fill(out.begin(), out.end(), 0xFF);
            return;
        case BlockContent::Kind::Pattern:
            patternBytes(page, block, out);
            return;
        case BlockContent::Kind::Programmed:
            pages_.read(std::uint64_t{page} * geometry_.pageSize, out);
            return;
    }
}

bool NandArray::pageProgrammed(std::uint32_t page) const {
    if (blocks_[page / geometry_.pagesPerBlock].kind != BlockContent::Kind::Programmed) {
        return blocks_[page / geometry_.pagesPerBlock].kind == BlockContent::Kind::Pattern;
    }
    std::vector<std::uint8_t> bytes(geometry_.pageSize);
    pages_.read(std::uint64_t{page} * geometry_.pageSize, bytes);
    return std::any_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b != 0xFF; });
}

void NandArray::patternBytes(std::uint32_t page, const BlockContent& content,
                             std::span<std::uint8_t> out) const {
    // Mode 1 fills the page from a generator seeded with the pattern and the page; modes 2 and
    // 3 repeat the pattern word, mode 3 with the word's bytes swapped on odd pages.
    const std::uint32_t pageInBlock = page % geometry_.pagesPerBlock;
    std::uint16_t word = content.pattern;
    if (content.mode == 3 && pageInBlock % 2 == 1) {
        word = static_cast<std::uint16_t>(word << 8 | word >> 8);
    }
    std::uint32_t state = std::uint32_t{content.pattern} << 16 | pageInBlock;
    for (std::size_t i = 0; i < out.size(); i += 2) {
        if (content.mode == 1) {
            word = static_cast<std::uint16_t>(nextPatternWord(state));
        }
        out[i] = static_cast<std::uint8_t>(word >> 8);
        if (i + 1 < out.size()) {
            out[i + 1] = static_cast<std::uint8_t>(word);
        }
    }
}

}  // namespace corvid::devsim
