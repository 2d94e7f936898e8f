#include "platform/volume_tools_fat.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>
#include <stdexcept>
#include <vector>

#include "platform/byte_order.h"
#include "platform/fat_layout.h"

namespace corvid {

namespace {

namespace boot = fat_boot;
namespace dir = fat_dir;

constexpr std::string_view kNoName = "NO NAME    ";
static_assert(kNoName.size() == boot::kLabelBytes);

class Volume {
  public:
    Volume(const std::filesystem::path& path, bool writable) : path_(path) {
        fd_ = ::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
        if (fd_ < 0) {
            fail("cannot be opened: " + std::string(std::strerror(errno)));
        }
    }
    ~Volume() { ::close(fd_); }
    Volume(const Volume&) = delete;
    Volume& operator=(const Volume&) = delete;

    void read(std::uint64_t offset, std::uint8_t* data, std::size_t size) const {
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n =
                ::pread(fd_, data + done, size - done, static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                fail("cannot be read at byte " + std::to_string(offset + done) + ": " +
                     (n == 0 ? std::string("it ends there") : std::strerror(errno)));
            }
            done += static_cast<std::size_t>(n);
        }
    }

    void write(std::uint64_t offset, const std::uint8_t* data, std::size_t size) const {
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n =
                ::pwrite(fd_, data + done, size - done, static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                fail("cannot be written at byte " + std::to_string(offset + done) + ": " +
                     std::strerror(n == 0 ? EIO : errno));
            }
            done += static_cast<std::size_t>(n);
        }
    }

    void sync() const {
        if (::fsync(fd_) != 0) {
            fail("cannot be flushed: " + std::string(std::strerror(errno)));
        }
    }

    [[noreturn]] void fail(const std::string& why) const {
        throw std::runtime_error("The volume " + path_.string() + " " + why + ".");
    }

  private:
    std::filesystem::path path_;
    int fd_ = -1;
};

// The layout of a FAT volume, from its boot sector.
struct Layout {
    std::vector<std::uint8_t> bootSector;
    std::uint32_t bytesPerSector = 0;
    std::uint32_t sectorsPerCluster = 0;
    std::uint64_t reservedBytes = 0;
    std::uint64_t fatBytes = 0;  // one FAT
    std::uint32_t fatCount = 0;
    std::uint32_t rootEntries = 0;  // FAT12/16
    std::uint32_t clusters = 0;
    std::uint32_t rootCluster = 0;  // FAT32
    bool fat32 = false;
    std::uint16_t backupBootSector = 0;  // FAT32, 0 for none

    std::uint64_t rootStart() const { return reservedBytes + fatCount * fatBytes; }
    std::uint64_t clusterBytes() const { return std::uint64_t{sectorsPerCluster} * bytesPerSector; }
    std::uint64_t clusterStart(std::uint32_t cluster) const {
        return rootStart() + std::uint64_t{cluster - 2} * clusterBytes();
    }
    std::size_t labelOffset() const { return fat32 ? boot::kLabel32 : boot::kLabel16; }
    bool hasLabelField() const {
        return bootSector[fat32 ? boot::kExtendedSignature32 : boot::kExtendedSignature16] ==
               boot::kExtendedSignature;
    }
};

bool powerOfTwo(std::uint32_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

Layout readLayout(const Volume& volume) {
    Layout layout;
    layout.bootSector.resize(boot::kBootSectorBytes);
    volume.read(0, layout.bootSector.data(), layout.bootSector.size());
    const std::uint8_t* b = layout.bootSector.data();
    layout.bytesPerSector = loadLe16(b + boot::kBytesPerSector);
    layout.sectorsPerCluster = b[boot::kSectorsPerCluster];
    const std::uint32_t reserved = loadLe16(b + boot::kReservedSectors);
    layout.fatCount = b[boot::kFatCount];
    layout.rootEntries = loadLe16(b + boot::kRootEntryCount);
    const std::uint32_t fatSectors = loadLe16(b + boot::kFatSize16) != 0
                                         ? loadLe16(b + boot::kFatSize16)
                                         : loadLe32(b + boot::kFatSize32);
    const std::uint32_t totalSectors = loadLe16(b + boot::kTotalSectors16) != 0
                                           ? loadLe16(b + boot::kTotalSectors16)
                                           : loadLe32(b + boot::kTotalSectors32);
    const bool sane = b[boot::kSignature] == 0x55 && b[boot::kSignature + 1] == 0xAA &&
                      layout.bytesPerSector >= 512 && layout.bytesPerSector <= 4096 &&
                      powerOfTwo(layout.bytesPerSector) && powerOfTwo(layout.sectorsPerCluster) &&
                      reserved > 0 && layout.fatCount > 0 && fatSectors > 0;
    if (!sane) {
        volume.fail("holds no FAT file system (its boot sector is not one)");
    }
    const std::uint64_t rootSectors =
        (std::uint64_t{layout.rootEntries} * dir::kEntryBytes + layout.bytesPerSector - 1) /
        layout.bytesPerSector;
    const std::uint64_t metaSectors =
        reserved + std::uint64_t{layout.fatCount} * fatSectors + rootSectors;
    if (totalSectors <= metaSectors) {
        volume.fail("holds no FAT file system (its boot sector leaves no data area)");
    }
    layout.clusters =
        static_cast<std::uint32_t>((totalSectors - metaSectors) / layout.sectorsPerCluster);
    layout.reservedBytes = std::uint64_t{reserved} * layout.bytesPerSector;
    layout.fatBytes = std::uint64_t{fatSectors} * layout.bytesPerSector;
    layout.fat32 = layout.clusters > fat_table::kMaxFat16Clusters;
    if (layout.fat32) {
        layout.rootCluster = loadLe32(b + boot::kRootCluster);
        layout.backupBootSector = loadLe16(b + boot::kBackupBootSector);
        if (layout.backupBootSector >= reserved) {
            layout.backupBootSector = 0;
        }
    } else if (layout.rootEntries == 0) {
        volume.fail("holds no FAT file system (no root directory)");
    }
    return layout;
}

// Where the root directory lies: one area for FAT12/16, its cluster chain for FAT32.
struct Area {
    std::uint64_t offset;
    std::uint64_t bytes;
};

std::vector<Area> rootAreas(const Volume& volume, const Layout& layout) {
    if (!layout.fat32) {
        return {{layout.rootStart(), std::uint64_t{layout.rootEntries} * dir::kEntryBytes}};
    }
    std::vector<Area> areas;
    std::uint32_t cluster = layout.rootCluster;
    for (std::uint32_t step = 0; step <= layout.clusters; ++step) {
        if (cluster < 2 || cluster >= layout.clusters + 2) {
            volume.fail("has a broken root directory chain at cluster " + std::to_string(cluster));
        }
        areas.push_back({layout.clusterStart(cluster), layout.clusterBytes()});
        std::uint8_t entry[4];
        volume.read(layout.reservedBytes + std::uint64_t{cluster} * 4, entry, sizeof entry);
        cluster = loadLe32(entry) & fat_table::kFat32ValueMask;
        if (cluster >= fat_table::kFat32EndMark) {
            return areas;
        }
    }
    volume.fail("has a root directory chain that loops");
}

struct RootScan {
    std::optional<std::uint64_t> label;  // the offset of the label entry
    std::optional<std::uint64_t> free;   // the offset of the first free entry
    std::vector<std::uint8_t> labelEntry;
};

RootScan scanRoot(const Volume& volume, const Layout& layout) {
    RootScan scan;
    std::vector<std::uint8_t> bytes;
    for (const Area& area : rootAreas(volume, layout)) {
        bytes.resize(area.bytes);
        volume.read(area.offset, bytes.data(), bytes.size());
        for (std::size_t at = 0; at + dir::kEntryBytes <= bytes.size(); at += dir::kEntryBytes) {
            const std::uint8_t* entry = bytes.data() + at;
            if (entry[dir::kName] == dir::kEnd) {
                if (!scan.free) {
                    scan.free = area.offset + at;
                }
                return scan;  // nothing is used beyond the end mark
            }
            if (entry[dir::kName] == dir::kFreeMark) {
                if (!scan.free) {
                    scan.free = area.offset + at;
                }
                continue;
            }
            const std::uint8_t attribute = entry[dir::kAttribute];
            if (attribute != dir::kLongNameAttribute &&
                (attribute & (dir::kLabelAttribute | dir::kDirectoryAttribute)) ==
                    dir::kLabelAttribute &&
                !scan.label) {
                scan.label = area.offset + at;
                scan.labelEntry.assign(entry, entry + dir::kEntryBytes);
            }
        }
    }
    return scan;
}

std::string trimmed(const std::uint8_t* name) {
    std::string text(reinterpret_cast<const char*>(name), boot::kLabelBytes);
    if (!text.empty() && static_cast<std::uint8_t>(text[0]) == dir::kFreeMarkStandIn) {
        text[0] = static_cast<char>(dir::kFreeMark);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) {
        text.pop_back();
    }
    return text;
}

// The write time and date of a label entry: now, local time, as FAT stores it.
void stampNow(std::uint8_t* entry) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const int year = std::max(local.tm_year + 1900, 1980) - 1980;
    storeLe16(
        entry + dir::kWriteTime,
        static_cast<std::uint16_t>(local.tm_hour << 11 | local.tm_min << 5 | local.tm_sec / 2));
    storeLe16(entry + dir::kWriteDate,
              static_cast<std::uint16_t>(year << 9 | (local.tm_mon + 1) << 5 | local.tm_mday));
}

}  // namespace

std::string readFatLabel(const std::filesystem::path& path) {
    const Volume volume(path, false);
    const Layout layout = readLayout(volume);
    const RootScan scan = scanRoot(volume, layout);
    return scan.label ? trimmed(scan.labelEntry.data()) : std::string();
}

void writeFatLabel(const std::filesystem::path& path, std::string_view label) {
    const Volume volume(path, true);
    if (label.size() > boot::kLabelBytes) {
        volume.fail("cannot take the label \"" + std::string(label) + "\" of more than 11 bytes");
    }
    const Layout layout = readLayout(volume);
    const RootScan scan = scanRoot(volume, layout);

    std::uint8_t name[boot::kLabelBytes];
    std::memset(name, ' ', sizeof name);
    std::memcpy(name, label.data(), label.size());
    if (name[0] == dir::kFreeMark) {
        name[0] = dir::kFreeMarkStandIn;
    }

    if (label.empty()) {
        if (scan.label) {
            const std::uint8_t freed = dir::kFreeMark;
            volume.write(*scan.label, &freed, 1);
        }
    } else {
        std::uint8_t entry[dir::kEntryBytes] = {};
        std::uint64_t at = 0;
        if (scan.label) {
            std::memcpy(entry, scan.labelEntry.data(), sizeof entry);
            at = *scan.label;
        } else if (scan.free) {
            at = *scan.free;
        } else {
            volume.fail("has no free entry left in its root directory for the label");
        }
        std::memcpy(entry + dir::kName, name, sizeof name);
        entry[dir::kAttribute] = dir::kLabelAttribute;
        stampNow(entry);
        volume.write(at, entry, sizeof entry);
    }

    if (layout.hasLabelField()) {
        const auto* field =
            label.empty() ? reinterpret_cast<const std::uint8_t*>(kNoName.data()) : name;
        volume.write(layout.labelOffset(), field, boot::kLabelBytes);
        if (layout.backupBootSector != 0) {
            volume.write(std::uint64_t{layout.backupBootSector} * layout.bytesPerSector +
                             layout.labelOffset(),
                         field, boot::kLabelBytes);
        }
    }
    volume.sync();
}

}  // namespace corvid
