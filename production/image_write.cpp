#include "production/image_write.h"

#include <array>
#include <cstring>
#include <fstream>
#include <span>

#include "characterisation/worker_state.h"
#include "transport/standard_commands.h"

namespace corvid {

namespace {

// The parts of the image header the station reads. Numbers are little-endian.
constexpr std::size_t kMagicFieldSize = 12;  // "5VX6 IMG", zero-terminated within the field
constexpr char kMagic[] = "5VX6 IMG";
constexpr std::size_t kEntryCount = 3;  // entries follow the disk size, 16 bytes each
constexpr std::size_t kEntrySize = 16;
constexpr std::size_t kEntrySectorSize = 0;  // 32-bit
constexpr std::size_t kEntryOffset = 4;      // 32-bit, unsigned
constexpr std::size_t kEntryRecords = 8;     // 32-bit
constexpr std::size_t kMaxSectorSize = 4096;
// Offsets beyond this are reached in two seeks, as the station always has.
constexpr std::uint32_t kFirstSeekLimit = 2000000000u;

std::uint32_t getLe32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

bool readExactly(std::istream& in, std::uint8_t* into, std::size_t size) {
    in.read(reinterpret_cast<char*>(into), static_cast<std::streamsize>(size));
    return static_cast<std::size_t>(in.gcount()) == size;
}

// Reads the magic field; true when it holds the image magic.
bool readMagic(std::istream& in) {
    std::array<char, kMagicFieldSize> field{};
    in.read(field.data(), field.size());
    if (static_cast<std::size_t>(in.gcount()) != field.size()) {
        return false;
    }
    const auto* end = static_cast<const char*>(std::memchr(field.data(), '\0', field.size()));
    return end != nullptr && std::strcmp(field.data(), kMagic) == 0;
}

bool seekToRecords(std::istream& in, std::uint32_t offset) {
    if (offset > kFirstSeekLimit) {
        in.seekg(kFirstSeekLimit, std::ios::beg);
        in.seekg(offset - kFirstSeekLimit, std::ios::cur);
    } else {
        in.seekg(offset, std::ios::beg);
    }
    return static_cast<bool>(in);
}

}  // namespace

std::int32_t iImageDiskSize(const std::filesystem::path& image) {
    std::ifstream in(image, std::ios::binary);
    if (!in || !readMagic(in)) {
        return -1;
    }
    std::array<std::uint8_t, 4> size{};
    if (!readExactly(in, size.data(), size.size())) {
        return -1;
    }
    return static_cast<std::int32_t>(getLe32(size.data()));
}

bool bWriteImageFile(WorkerState& w, const std::filesystem::path& image, int first, int last) {
    w.setProgress(first);
    std::ifstream in(image, std::ios::binary);
    if (!in || !readMagic(in)) {
        return false;
    }
    std::array<std::uint8_t, 4> diskSize{};
    if (!readExactly(in, diskSize.data(), diskSize.size())) {
        return false;
    }

    const auto deviceSectorSize = static_cast<std::uint32_t>(w.FlashInfo.iSectorSize);
    std::uint32_t offset = 0;
    std::uint32_t records = 0;
    bool found = false;
    for (std::size_t i = 0; i < kEntryCount && !found; ++i) {
        std::array<std::uint8_t, kEntrySize> entry{};
        if (!readExactly(in, entry.data(), entry.size())) {
            break;
        }
        if (getLe32(&entry[kEntrySectorSize]) == deviceSectorSize) {
            offset = getLe32(&entry[kEntryOffset]);
            records = getLe32(&entry[kEntryRecords]);
            found = true;
        }
    }
    if (!found || deviceSectorSize == 0 || deviceSectorSize > kMaxSectorSize) {
        return false;
    }
    if (!seekToRecords(in, offset)) {
        return false;
    }

    std::array<std::uint8_t, kMaxSectorSize> sector{};
    const std::span<std::uint8_t> data(sector.data(), deviceSectorSize);
    std::uint32_t lastSector = 0;
    const auto span = static_cast<std::uint64_t>(static_cast<std::uint32_t>(last - first));
    for (std::uint32_t i = 0; i < records; ++i) {
        std::array<std::uint8_t, 4> number{};
        if (!readExactly(in, number.data(), number.size())) {
            return false;
        }
        lastSector = getLe32(number.data());
        w.setProgress(first + static_cast<int>(span * i / records));
        // A record cut short would put part of a stale buffer on the disk: refuse it.
        if (!readExactly(in, data.data(), data.size())) {
            return false;
        }
        if (!write10(w.transport, w.hDevice, lastSector, data, deviceSectorSize, 1)) {
            return false;
        }
    }
    if (records == 0) {
        return true;  // nothing was written, so there is nothing to read back
    }
    return read10(w.transport, w.hDevice, lastSector, data, deviceSectorSize, 1);
}

}  // namespace corvid
