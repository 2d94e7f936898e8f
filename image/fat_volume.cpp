#include "image/fat_volume.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

#include "image/unicode_text.h"
#include "platform/byte_order.h"

namespace corvid {

namespace {

using namespace fat_boot;
using namespace fat_dir;
using namespace fat_table;

constexpr std::uint8_t kOemNameBytes[8] = {'Z', 'Q', 'L', '5', 'V', 'x', '6', 0};
constexpr std::uint8_t kMediaFixedDisk = 0xF8;
constexpr std::uint32_t kFat16RootEntries = 512;
constexpr std::uint32_t kFat16Reserved = 1;
constexpr std::uint32_t kFat32Reserved = 32;
constexpr std::uint32_t kFat32RootCluster = 2;
constexpr std::uint32_t kFat32FsInfoSector = 1;
constexpr std::uint32_t kFat32BackupBootSector = 6;
// A FAT directory holds at most 65,536 entries (2 MiB); readers stop there.
constexpr std::uint32_t kMaxDirectorySlots = 65536;
constexpr std::uint8_t kDotName[11] = {'.', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
constexpr std::uint8_t kDotDotName[11] = {'.', '.', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};

std::uint32_t log2Of(std::uint32_t value) {
    std::uint32_t shift = 0;
    while ((1u << shift) < value) {
        ++shift;
    }
    return shift;
}

bool isPowerOfTwo(std::uint32_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

std::uint8_t byteAt(const std::byte* p, std::size_t offset) {
    return std::to_integer<std::uint8_t>(p[offset]);
}

bool hasBootSignature(const std::byte* sector) {
    return byteAt(sector, kSignature) == 0x55 && byteAt(sector, kSignature + 1) == 0xAA;
}

// The boot sector tests of any FAT reader.
bool isBootSector(const std::byte* sector) {
    const std::uint8_t jump = byteAt(sector, kJump);
    const std::uint8_t sizeHigh = byteAt(sector, kBytesPerSector + 1);
    const std::uint8_t perCluster = byteAt(sector, kSectorsPerCluster);
    return (jump == 0xE9 || (jump == 0xEB && byteAt(sector, 2) == 0x90)) &&
           hasBootSignature(sector) && byteAt(sector, kBytesPerSector) == 0 &&
           (sizeHigh == 2 || sizeHigh == 4 || sizeHigh == 8 || sizeHigh == 16) &&
           isPowerOfTwo(perCluster) && perCluster <= 128;
}

std::uint8_t longNameChecksum(const ShortName11& name) {
    std::uint8_t sum = 0;
    for (std::uint8_t b : name) {
        sum = static_cast<std::uint8_t>(((sum >> 1) | (sum << 7)) + b);
    }
    return sum;
}

ShortName11 nameOf(const std::uint8_t (&bytes)[11]) {
    ShortName11 out;
    std::copy(std::begin(bytes), std::end(bytes), out.begin());
    return out;
}

std::string pathText(std::u16string_view path) {
    return utf8FromUtf16(path);
}

struct Layout {
    FatType type = FatType::None;
    std::uint32_t sectorsPerCluster = 0;
    std::uint32_t reserved = 0;
    std::uint32_t rootSectors = 0;
    std::uint32_t fatSize = 0;
};

// The layout of a fresh volume of T sectors of S bytes.
Layout computeLayout(std::uint32_t t, std::uint32_t s) {
    const std::uint32_t shift = log2Of(s);
    const std::uint32_t sectorsPerMb = 1u << (20 - shift);
    const auto sizeMb = static_cast<std::uint16_t>((t + sectorsPerMb - 1) / sectorsPerMb);

    Layout layout;
    layout.type = sizeMb > 2048 ? FatType::Fat32 : FatType::Fat16;
    std::uint32_t units = 32;  // cluster size in 512-byte units
    if (layout.type == FatType::Fat16) {
        units = sizeMb >= 1024  ? 64
                : sizeMb >= 512 ? 32
                : sizeMb >= 256 ? 16
                : sizeMb >= 128 ? 8
                : sizeMb >= 16  ? 4
                                : 2;
    }
    const std::uint32_t unitsPerSector = s / 512;
    layout.sectorsPerCluster = std::max(units, unitsPerSector) / unitsPerSector;
    const std::uint32_t clusterBytes = layout.sectorsPerCluster * s;

    if (layout.type == FatType::Fat16) {
        layout.reserved = kFat16Reserved;
        layout.rootSectors = kFat16RootEntries * 32 / s;
        const std::uint32_t n = ((t - 1 - layout.rootSectors) * s + 8) / (clusterBytes + 4);
        layout.fatSize = ((n + 2) * 2 + s - 1) / s;
        // At the largest FAT16 size (2048 MB) these rules give 65,527 clusters, which every reader
        // takes for FAT32. A reserved area grown by a few hundred sectors brings the count down
        // to 65,524, the most a FAT16 volume holds, keeping the 32 KB clusters.
        const std::uint64_t fixed = static_cast<std::uint64_t>(layout.reserved) +
                                    2ull * layout.fatSize + layout.rootSectors;
        if (t > fixed && (t - fixed) / layout.sectorsPerCluster > kMaxFat16Clusters) {
            layout.reserved = t - layout.rootSectors - 2 * layout.fatSize -
                              ((kMaxFat16Clusters + 1) * layout.sectorsPerCluster - 1);
        }
    } else {
        layout.reserved = kFat32Reserved;
        const std::uint32_t n = ((t - 32) * s + 16) / (clusterBytes + 8);
        layout.fatSize = ((n + 2) * 4 + s - 1) / s;
    }
    return layout;
}

// The boot sector of a volume with this layout, as the station's images hold it.
std::vector<std::byte> bootSectorOf(const Layout& layout, std::uint32_t totalSectors,
                                    std::uint32_t sectorSize) {
    const bool fat16 = layout.type == FatType::Fat16;
    std::vector<std::byte> sector(sectorSize);
    std::byte* boot = sector.data();
    boot[kJump] = std::byte{0xEB};
    boot[kJump + 2] = std::byte{0x90};
    std::memcpy(boot + kOemName, kOemNameBytes, sizeof kOemNameBytes);
    storeLe16(boot + kBytesPerSector, static_cast<std::uint16_t>(sectorSize));
    boot[kSectorsPerCluster] = static_cast<std::byte>(layout.sectorsPerCluster);
    storeLe16(boot + kReservedSectors, static_cast<std::uint16_t>(layout.reserved));
    boot[kFatCount] = std::byte{2};
    storeLe16(boot + kRootEntryCount, fat16 ? kFat16RootEntries : 0);
    boot[kMedia] = std::byte{kMediaFixedDisk};
    storeLe16(boot + kFatSize16, fat16 ? static_cast<std::uint16_t>(layout.fatSize) : 0);
    storeLe32(boot + kTotalSectors32, totalSectors);
    if (fat16) {
        std::memcpy(boot + kFat16TypeName, "FAT16   ", 8);
    } else {
        storeLe32(boot + kFatSize32, layout.fatSize);
        storeLe32(boot + kRootCluster, kFat32RootCluster);
        storeLe16(boot + kFsInfoSector, kFat32FsInfoSector);
        storeLe16(boot + kBackupBootSector, kFat32BackupBootSector);
        std::memcpy(boot + kFat32TypeName, "FAT32   ", 8);
    }
    std::memset(boot + kFiller, 0xFF, kFillerBytes);
    boot[kSignature] = std::byte{0x55};
    boot[kSignature + 1] = std::byte{0xAA};
    return sector;
}

// The FAT32 FS information sector: its signatures, free count and next free cluster unknown.
std::vector<std::byte> fsInfoSectorOf(std::uint32_t sectorSize) {
    std::vector<std::byte> info(sectorSize);
    storeLe32(info.data() + kFsInfoLeadSignature, 0x41615252);
    storeLe32(info.data() + kFsInfoStructSignature, 0x61417272);
    storeLe32(info.data() + kFsInfoFreeCount, 0xFFFFFFFF);  // unknown
    storeLe32(info.data() + kFsInfoNextFree, 0xFFFFFFFF);   // unknown
    storeLe32(info.data() + kFsInfoTrailSignature, 0xAA550000);
    return info;
}

// The first sector of each FAT: the media entry, the end mark of cluster 1 and, on FAT32, the
// root directory's one cluster.
std::vector<std::byte> fatStartOf(FatType type, std::uint32_t sectorSize) {
    std::vector<std::byte> sector(sectorSize);
    if (type == FatType::Fat16) {
        storeLe16(sector.data(), static_cast<std::uint16_t>(kFat16EndMark));
        storeLe16(sector.data() + 2, 0xFFFF);
    } else {
        storeLe32(sector.data(), kFat32EndMark);
        storeLe32(sector.data() + 4, 0xFFFFFFFF);
        storeLe32(sector.data() + 8, kFat32EndMark);
    }
    return sector;
}

}  // namespace

bool FAT_VOLUME::fail(std::string why, std::uint32_t code) {
    failure_ = std::move(why);
    if (code != 0) {
        lastError_ = code;
    }
    return false;
}

bool FAT_VOLUME::ready() {
    if (fatType_ == FatType::None || !disk_.started() || disk_.generation() != diskGeneration_) {
        return fail("the image volume is not mounted");
    }
    return true;
}

bool FAT_VOLUME::ImgDiskCreate(std::uint32_t totalSectors, std::uint32_t sectorSize) {
    fatType_ = FatType::None;
    lastError_ = 0;
    failure_.clear();
    if (!disk_.start(sectorSize)) {
        return fail("the sector size " + std::to_string(sectorSize) +
                    " is not a power of two from 512 to 4096");
    }
    const std::uint64_t bytes = static_cast<std::uint64_t>(totalSectors) * sectorSize;
    if (bytes >= (1ull << 32)) {
        return fail("a volume of " + std::to_string(bytes) +
                    " bytes is too large: image volumes stay below 4 GiB");
    }
    const Layout layout = computeLayout(totalSectors, sectorSize);
    const bool fat16 = layout.type == FatType::Fat16;
    const std::uint64_t fixed =
        static_cast<std::uint64_t>(layout.reserved) + 2ull * layout.fatSize + layout.rootSectors;
    const std::uint64_t clusters =
        totalSectors > fixed ? (totalSectors - fixed) / layout.sectorsPerCluster : 0;
    if (clusters < kMinFat16Clusters) {
        return fail("a volume of " + std::to_string(totalSectors) + " sectors of " +
                    std::to_string(sectorSize) + " bytes is too small for FAT16");
    }

    const std::vector<std::byte> boot = bootSectorOf(layout, totalSectors, sectorSize);
    bool written = disk_.RamDiskWrite(0, 1, boot.data());
    if (!fat16) {
        // The boot sector names an FS information sector and a backup boot sector; left out,
        // they would hold whatever the device held before, which a reader may trust.
        const std::vector<std::byte> info = fsInfoSectorOf(sectorSize);
        written = written && disk_.RamDiskWrite(kFat32FsInfoSector, 1, info.data()) &&
                  disk_.RamDiskWrite(kFat32BackupBootSector, 1, boot.data()) &&
                  disk_.RamDiskWrite(kFat32BackupBootSector + 1, 1, info.data());
    }
    const std::uint32_t fatsEnd = layout.reserved + 2 * layout.fatSize;
    written = written && disk_.zeroSectors(layout.reserved, 2 * layout.fatSize);
    written = written &&
              disk_.zeroSectors(fatsEnd, fat16 ? layout.rootSectors : layout.sectorsPerCluster);
    const std::vector<std::byte> fatStart = fatStartOf(layout.type, sectorSize);
    written = written && disk_.RamDiskWrite(layout.reserved, 1, fatStart.data()) &&
              disk_.RamDiskWrite(layout.reserved + layout.fatSize, 1, fatStart.data());
    if (!written) {
        return fail("the volume cannot be laid out in the sector store");
    }
    return mount();
}

bool FAT_VOLUME::mount() {
    fatType_ = FatType::None;
    directories_.clear();
    fatSectors_.clear();
    if (!disk_.started()) {
        return fail("the sector store is not started");
    }

    std::uint32_t start = 0;
    std::size_t nextPartition = 0;
    const std::byte* boot = nullptr;
    while (true) {
        boot = disk_.sectorForUpdate(start);
        if (boot == nullptr) {
            return fail("sector " + std::to_string(start) + " cannot be read");
        }
        if (isBootSector(boot)) {
            break;
        }
        const std::byte* table = disk_.sectorForUpdate(0);
        if (table == nullptr || !hasBootSignature(table)) {
            return fail("the volume holds neither a FAT boot sector nor a partition table");
        }
        bool next = false;
        while (nextPartition < 4 && !next) {
            const std::byte* entry = table + kPartitionTable + nextPartition * kPartitionEntryBytes;
            ++nextPartition;
            const std::uint8_t flag = byteAt(entry, kPartitionBootFlag);
            if (flag == 0x00 || flag == 0x80) {
                start = loadLe32(entry + kPartitionStart);
                std::fputs("bPTinfo\n", stdout);
                next = true;
            }
        }
        if (!next) {
            return fail("no partition of the volume starts with a FAT boot sector");
        }
    }

    bytesPerSector_ = static_cast<std::uint32_t>(byteAt(boot, kBytesPerSector + 1)) << 8;
    if (bytesPerSector_ != disk_.sectorSize()) {
        return fail("the boot sector gives " + std::to_string(bytesPerSector_) +
                    " bytes per sector, the store holds sectors of " +
                    std::to_string(disk_.sectorSize()));
    }
    sectorShift_ = log2Of(bytesPerSector_);
    sectorsPerCluster_ = byteAt(boot, kSectorsPerCluster);
    clusterShift_ = log2Of(sectorsPerCluster_);
    fatStart_ = loadLe16(boot + kReservedSectors) + start;
    fatCount_ = byteAt(boot, kFatCount);
    rootEntryCount_ = loadLe16(boot + kRootEntryCount);
    totalSectors_ = loadLe16(boot + kTotalSectors16);
    if (totalSectors_ == 0) {
        totalSectors_ = loadLe32(boot + kTotalSectors32);
    }
    fatSize_ = loadLe16(boot + kFatSize16);
    if (fatSize_ == 0) {
        fatSize_ = loadLe32(boot + kFatSize32);
    }
    rootCluster_ = loadLe32(boot + kRootCluster);
    rootSectors_ = (rootEntryCount_ * 32 + bytesPerSector_ - 1) / bytesPerSector_;
    const std::uint64_t firstData =
        static_cast<std::uint64_t>(fatCount_) * fatSize_ + fatStart_ + rootSectors_;
    if (fatCount_ == 0 || fatSize_ == 0 || firstData >= totalSectors_) {
        return fail("the boot sector describes no usable FAT volume");
    }
    firstDataSector_ = static_cast<std::uint32_t>(firstData);
    clusterCount_ = (totalSectors_ - firstDataSector_) >> clusterShift_;
    fatType_ = clusterCount_ > kMaxFat16Clusters ? FatType::Fat32 : FatType::Fat16;
    nextFreeHint_ = 2;
    diskGeneration_ = disk_.generation();
    fatSectors_.assign(static_cast<std::size_t>(fatCount_) * fatSize_, nullptr);

    currentDirectory_ = rootKey();
    if (directory(currentDirectory_) == nullptr) {
        fatType_ = FatType::None;
        return false;
    }
    return true;
}

// ----- FAT entries and clusters -----

bool FAT_VOLUME::isChainEnd(std::uint32_t value) const {
    return fatType_ == FatType::Fat32 ? value >= kFat32EndMark : value >= kFat16EndMark;
}

std::uint32_t FAT_VOLUME::endMark() const {
    return fatType_ == FatType::Fat32 ? kFat32EndMark : kFat16EndMark;
}

std::byte* FAT_VOLUME::fatSector(std::uint32_t copy, std::uint32_t index) {
    std::byte*& sector = fatSectors_[static_cast<std::size_t>(copy) * fatSize_ + index];
    if (sector == nullptr) {
        sector = disk_.sectorForUpdate(fatStart_ + copy * fatSize_ + index);
        if (sector == nullptr) {
            fail("a FAT sector cannot be read");
        }
    }
    return sector;
}

std::optional<std::uint32_t> FAT_VOLUME::fatEntry(std::uint32_t cluster) {
    if (!ready()) {
        return std::nullopt;
    }
    const std::uint64_t offset = static_cast<std::uint64_t>(cluster) * fatEntryBytes();
    const std::uint64_t index = offset >> sectorShift_;
    if (index >= fatSize_) {
        fail("cluster " + std::to_string(cluster) + " lies beyond the FAT");
        return std::nullopt;
    }
    const std::byte* sector = fatSector(0, static_cast<std::uint32_t>(index));
    if (sector == nullptr) {
        return std::nullopt;
    }
    const std::byte* at = sector + (offset & (bytesPerSector_ - 1));
    return fatType_ == FatType::Fat32 ? loadLe32(at) & kFat32ValueMask : loadLe16(at);
}

// Every FAT copy gets the change: a second FAT left as formatting wrote it would disagree with
// the first, which checkers report and a reader of the second FAT would take for an empty volume.
bool FAT_VOLUME::writeFat(std::uint32_t cluster, std::uint32_t value) {
    if (!fatEntry(cluster)) {
        return false;
    }
    const std::uint64_t offset = static_cast<std::uint64_t>(cluster) * fatEntryBytes();
    const auto index = static_cast<std::uint32_t>(offset >> sectorShift_);
    for (std::uint32_t copy = 0; copy < fatCount_; ++copy) {
        std::byte* sector = fatSector(copy, index);
        if (sector == nullptr) {
            return false;
        }
        std::byte* at = sector + (offset & (bytesPerSector_ - 1));
        if (fatType_ == FatType::Fat32) {
            storeLe32(at, value);
        } else {
            storeLe16(at, static_cast<std::uint16_t>(value));
        }
    }
    return true;
}

std::optional<std::uint32_t> FAT_VOLUME::allocateCluster() {
    std::uint32_t looked = 0;
    while (true) {
        if (nextFreeHint_ > clusterCount_ + 1 || looked >= clusterCount_) {
            fail("the volume is full", kFatErrorVolumeFull);
            return std::nullopt;
        }
        const auto value = fatEntry(nextFreeHint_);
        if (!value) {
            return std::nullopt;
        }
        if (*value == 0) {
            if (!writeFat(nextFreeHint_, endMark())) {
                return std::nullopt;
            }
            return nextFreeHint_;
        }
        ++nextFreeHint_;
        ++looked;
    }
}

void FAT_VOLUME::releaseChain(std::uint32_t first) {
    std::uint32_t cluster = first;
    std::uint32_t lowest = first;
    for (std::uint32_t steps = 0; steps < clusterCount_; ++steps) {
        if (cluster < 2 || cluster > clusterCount_ + 1) {
            break;
        }
        const auto next = fatEntry(cluster);
        if (!next || !writeFat(cluster, 0)) {
            break;
        }
        lowest = std::min(lowest, cluster);
        if (*next == 0 || isChainEnd(*next)) {
            break;
        }
        cluster = *next;
    }
    if (first >= 2) {
        nextFreeHint_ = std::min(nextFreeHint_, lowest);
    }
}

bool FAT_VOLUME::zeroCluster(std::uint32_t cluster) {
    if (!disk_.zeroSectors(clusterSector(cluster), sectorsPerCluster_)) {
        return fail("a cluster cannot be placed in the sector store");
    }
    return true;
}

// ----- Directories -----

FAT_VOLUME::DirIndex* FAT_VOLUME::directory(std::uint32_t key) {
    auto it = directories_.find(key);
    if (it != directories_.end()) {
        return &it->second;
    }
    DirIndex dir;
    dir.key = key;
    if (!loadDirectory(dir)) {
        return nullptr;
    }
    return &directories_.emplace(key, std::move(dir)).first->second;
}

std::byte* FAT_VOLUME::slotBytes(const DirIndex& dir, std::uint32_t slot, std::uint64_t* position) {
    const std::uint32_t perSector = bytesPerSector_ / kEntryBytes;
    std::uint32_t sector = 0;
    if (dir.clusters.empty()) {
        sector = fatStart_ + fatCount_ * fatSize_ + slot / perSector;
    } else {
        const std::uint32_t perCluster = slotsPerCluster();
        sector = clusterSector(dir.clusters[slot / perCluster]) + (slot % perCluster) / perSector;
    }
    const std::uint32_t offset = (slot % perSector) * kEntryBytes;
    if (position != nullptr) {
        *position = (static_cast<std::uint64_t>(sector) << sectorShift_) + offset;
    }
    std::byte* data = disk_.sectorForUpdate(sector);
    return data == nullptr ? nullptr : data + offset;
}

std::byte* FAT_VOLUME::entryAt(std::uint64_t position) {
    std::byte* data = disk_.sectorForUpdate(static_cast<std::uint32_t>(position >> sectorShift_));
    return data == nullptr ? nullptr : data + (position & (bytesPerSector_ - 1));
}

// Reads a directory once: its chain, its free slots and the long names of its folders.
bool FAT_VOLUME::loadDirectory(DirIndex& dir) {
    const bool rootArea = fatType_ == FatType::Fat16 && dir.key == 0;
    if (rootArea) {
        dir.capacity = rootEntryCount_;
    } else {
        std::uint32_t cluster = dir.key;
        while (true) {
            if (cluster < 2 || cluster > clusterCount_ + 1 || dir.clusters.size() > clusterCount_) {
                return fail("a folder's cluster chain is broken", kFatErrorBrokenChain);
            }
            dir.clusters.push_back(cluster);
            const auto next = fatEntry(cluster);
            if (!next) {
                return false;
            }
            if (*next == 0) {
                return fail("a folder's cluster chain is broken", kFatErrorBrokenChain);
            }
            if (isChainEnd(*next)) {
                break;
            }
            cluster = *next;
        }
        dir.capacity = static_cast<std::uint32_t>(dir.clusters.size()) * slotsPerCluster();
    }

    std::vector<std::u16string> parts;  // long-name pieces by ordinal
    dir.frontier = dir.capacity;
    for (std::uint32_t slot = 0; slot < dir.capacity; ++slot) {
        const std::byte* entry = slotBytes(dir, slot, nullptr);
        if (entry == nullptr) {
            return fail("a folder sector cannot be read");
        }
        const std::uint8_t first = byteAt(entry, kName);
        if (first == 0x00) {
            dir.frontier = slot;
            break;
        }
        if (first == kFreeMark) {
            dir.holes.insert(slot);
            parts.clear();
            continue;
        }
        const std::uint8_t attribute = byteAt(entry, kAttribute);
        if ((attribute & 0x3F) == kLongNameAttribute) {
            const std::uint8_t ordinal = first & 0x3F;
            if ((first & kLastLongEntry) != 0) {
                parts.assign(ordinal, std::u16string());
            }
            if (ordinal >= 1 && ordinal <= parts.size()) {
                std::u16string& part = parts[ordinal - 1];
                for (std::size_t offset : {kUnits1, kUnits2, kUnits3}) {
                    const std::size_t units = offset == kUnits1 ? 5 : offset == kUnits2 ? 6 : 2;
                    for (std::size_t u = 0; u < units; ++u) {
                        part.push_back(static_cast<char16_t>(loadLe16(entry + offset + 2 * u)));
                    }
                }
            }
            continue;
        }
        const bool isFolder = (attribute & kDirectoryAttribute) != 0 &&
                              loadLe32(entry + kFileSize) == 0 && first != '.';
        const bool named = !parts.empty() && std::none_of(parts.begin(), parts.end(),
                                                          [](auto& p) { return p.empty(); });
        if (isFolder && named) {
            std::u16string name;
            for (const auto& part : parts) {
                name += part;
            }
            name.erase(std::min(name.find(u'\0'), name.size()));
            std::uint32_t cluster = loadLe16(entry + kClusterLow);
            if (fatType_ == FatType::Fat32) {
                cluster |= static_cast<std::uint32_t>(loadLe16(entry + kClusterHigh)) << 16;
            }
            dir.folders.emplace(std::move(name), cluster);
        }
        parts.clear();
    }
    return true;
}

bool FAT_VOLUME::growDirectory(DirIndex& dir) {
    if (dir.capacity + slotsPerCluster() > kMaxDirectorySlots) {
        return fail("a folder would hold more than the 65,536 entries a FAT folder can hold");
    }
    const auto cluster = allocateCluster();
    if (!cluster || !zeroCluster(*cluster) || !writeFat(dir.clusters.back(), *cluster)) {
        return false;
    }
    dir.clusters.push_back(*cluster);
    dir.capacity += slotsPerCluster();
    return true;
}

// The first run of 'count' free slots, in directory order. Entries of a fresh directory thus
// fill it in order; the run rule keeps an entry's long-name slots next to its short entry even
// where a deleted entry left a gap too small for them.
std::optional<std::uint32_t> FAT_VOLUME::takeSlots(DirIndex& dir, std::uint32_t count) {
    std::uint32_t runStart = 0;
    std::uint32_t runLength = 0;
    for (std::uint32_t hole : dir.holes) {
        if (runLength > 0 && hole == runStart + runLength) {
            ++runLength;
        } else {
            runStart = hole;
            runLength = 1;
        }
        if (runLength == count) {
            dir.holes.erase(dir.holes.find(runStart), dir.holes.upper_bound(hole));
            return runStart;
        }
    }
    const std::uint32_t start =
        runLength > 0 && runStart + runLength == dir.frontier ? runStart : dir.frontier;
    const std::uint64_t end = static_cast<std::uint64_t>(start) + count;
    while (end > dir.capacity) {
        if (dir.clusters.empty()) {
            fail("the root folder is full: it holds at most " + std::to_string(dir.capacity) +
                     " entries, long-name entries included",
                 kFatErrorRootEnd);
            return std::nullopt;
        }
        if (!growDirectory(dir)) {
            return std::nullopt;
        }
    }
    dir.holes.erase(dir.holes.lower_bound(start), dir.holes.end());
    dir.frontier = static_cast<std::uint32_t>(end);
    return start;
}

bool FAT_VOLUME::writeShortEntry(const DIR_ENTRY_INFO& info) {
    std::byte* at = entryAt(info.position);
    if (at == nullptr) {
        return fail("a folder sector cannot be written");
    }
    const std::byte attributeBefore = at[kAttribute];
    std::memset(at, 0, kEntryBytes);
    for (std::size_t part = 0; part < 2; ++part) {
        const std::size_t from = part == 0 ? 0 : 8;
        const std::size_t length = part == 0 ? 8 : 3;
        for (std::size_t i = 0; i < length && info.shortName[from + i] != 0; ++i) {
            at[kName + from + i] = static_cast<std::byte>(info.shortName[from + i]);
        }
    }
    std::byte attribute = attributeBefore;
    switch (info.kind) {
        case EntryKind::File:
            attribute = std::byte{0};
            break;
        case EntryKind::DotDot:
        case EntryKind::Dot:
        case EntryKind::Directory:
            attribute = std::byte{kDirectoryAttribute};
            break;
        case EntryKind::Label:
            attribute = std::byte{kLabelAttribute};
            break;
        case EntryKind::Free:
        case EntryKind::End:
        case EntryKind::LongName:
        case EntryKind::DirectoryWithSize:
            break;
    }
    at[kAttribute] = attribute;
    storeLe16(at + kCreateDate, kDate2005);
    storeLe16(at + kAccessDate, kDate2005);
    storeLe16(at + kWriteDate, kDate2005);
    storeLe16(at + kClusterHigh, static_cast<std::uint16_t>(info.firstCluster >> 16));
    storeLe16(at + kClusterLow, static_cast<std::uint16_t>(info.firstCluster & 0xFFFF));
    storeLe32(at + kFileSize, info.fileSize);
    return true;
}

void FAT_VOLUME::writeLongEntry(std::byte* at, std::uint8_t ordinal, std::u16string_view name,
                                std::uint8_t checksum, bool first) {
    std::array<char16_t, kUnitsPerLongEntry> units;
    units.fill(0xFFFF);
    const std::size_t begin = (ordinal - 1u) * kUnitsPerLongEntry;
    const std::size_t rest = name.size() - begin;
    if (first && name.size() % kUnitsPerLongEntry != 0) {
        std::copy_n(name.begin() + begin, rest, units.begin());
        units[rest] = 0;
    } else {
        std::copy_n(name.begin() + begin, kUnitsPerLongEntry, units.begin());
    }
    std::memset(at, 0, kEntryBytes);
    at[kOrdinal] = static_cast<std::byte>(first ? (ordinal | kLastLongEntry) : ordinal);
    at[kAttribute] = std::byte{kLongNameAttribute};
    at[kLongType] = std::byte{0};
    at[kChecksum] = static_cast<std::byte>(checksum);
    for (std::size_t u = 0; u < units.size(); ++u) {
        const std::size_t offset = u < 5    ? kUnits1 + 2 * u
                                   : u < 11 ? kUnits2 + 2 * (u - 5)
                                            : kUnits3 + 2 * (u - 11);
        storeLe16(at + offset, units[u]);
    }
    storeLe16(at + kLongCluster, 0);
}

// An entry with its long-name entries (none for the label) in the directory. Every entry gets
// a cluster of its own, a folder's cluster is zeroed.
std::optional<DIR_ENTRY_INFO> FAT_VOLUME::createEntry(DirIndex& dir, EntryKind kind,
                                                      const ShortName11& name,
                                                      std::u16string_view longName) {
    if (longName.size() > 255) {
        fail("the name " + pathText(longName) + " is longer than 255 characters");
        return std::nullopt;
    }
    const auto cluster = allocateCluster();
    if (!cluster) {
        return std::nullopt;
    }
    if (kind == EntryKind::Directory && !zeroCluster(*cluster)) {
        return std::nullopt;
    }
    const auto longEntries =
        static_cast<std::uint32_t>((longName.size() + kUnitsPerLongEntry - 1) / kUnitsPerLongEntry);
    const auto first = takeSlots(dir, longEntries + 1);
    if (!first) {
        return std::nullopt;
    }
    const std::uint8_t checksum = longNameChecksum(name);
    for (std::uint32_t i = 0; i < longEntries; ++i) {
        std::byte* at = slotBytes(dir, *first + i, nullptr);
        if (at == nullptr) {
            fail("a folder sector cannot be written");
            return std::nullopt;
        }
        writeLongEntry(at, static_cast<std::uint8_t>(longEntries - i), longName, checksum, i == 0);
    }
    DIR_ENTRY_INFO info;
    info.shortName = name;
    info.firstCluster = *cluster;
    info.kind = kind;
    info.longName = std::u16string(longName);
    if (slotBytes(dir, *first + longEntries, &info.position) == nullptr || !writeShortEntry(info)) {
        return std::nullopt;
    }
    if (kind == EntryKind::Directory) {
        dir.folders.emplace(info.longName, *cluster);
    }
    return info;
}

// ----- Label, files -----

bool FAT_VOLUME::ImgSetLabel(std::string_view label) {
    if (!ready()) {
        return false;
    }
    if (label.size() > 11) {
        return fail("the label " + std::string(label) + " is longer than 11 bytes");
    }
    ShortName11 wanted{};
    std::copy(label.begin(), label.end(), wanted.begin());
    if (wanted[0] == kFreeMark) {
        wanted[0] = kFreeMarkStandIn;
    }
    DirIndex* root = directory(rootKey());
    if (root == nullptr) {
        return false;
    }
    // A root holds one label: an existing label entry goes first, whatever its name.
    for (std::uint32_t slot = 0; slot < root->frontier; ++slot) {
        std::uint64_t position = 0;
        std::byte* entry = slotBytes(*root, slot, &position);
        if (entry == nullptr) {
            return fail("a root folder sector cannot be read");
        }
        const std::uint8_t first = byteAt(entry, kName);
        const std::uint8_t attribute = byteAt(entry, kAttribute);
        if (first == 0x00) {
            break;
        }
        if (first == kFreeMark || (attribute & 0x3F) == kLongNameAttribute ||
            (attribute & (kLabelAttribute | kDirectoryAttribute)) != kLabelAttribute) {
            continue;
        }
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(entry);
        DIR_ENTRY_INFO old;
        std::copy_n(bytes, 11, old.shortName.begin());
        old.shortName[0] = kFreeMark;
        old.firstCluster = loadLe16(entry + kClusterLow) |
                           (static_cast<std::uint32_t>(loadLe16(entry + kClusterHigh)) << 16);
        old.fileSize = loadLe32(entry + kFileSize);
        old.position = position;
        old.kind = EntryKind::Free;
        releaseChain(old.firstCluster);
        if (!writeShortEntry(old)) {
            return false;
        }
        root->holes.insert(slot);
        for (std::uint32_t before = slot; before > 0; --before) {
            std::byte* longEntry = slotBytes(*root, before - 1, nullptr);
            if (longEntry == nullptr ||
                (byteAt(longEntry, kAttribute) & 0x3F) != kLongNameAttribute ||
                byteAt(longEntry, kName) == kFreeMark) {
                break;
            }
            longEntry[kName] = std::byte{kFreeMark};
            root->holes.insert(before - 1);
        }
        break;
    }
    // An entry of zero length would read as the end of the root and lose its cluster to the
    // next entry written there: no label means no entry.
    if (label.empty()) {
        return true;
    }
    return createEntry(*root, EntryKind::Label, wanted, std::u16string_view()).has_value();
}

std::optional<FAT_VOLUME::FilePath> FAT_VOLUME::splitFilePath(std::u16string_view longPath,
                                                              std::string_view shortPath) {
    const bool longRooted = !longPath.empty() && longPath.front() == u'\\';
    const bool shortRooted = !shortPath.empty() && shortPath.front() == '\\';
    if ((!longRooted && longPath.find(u'\\') != std::u16string_view::npos) ||
        (!shortRooted && splitShortPath(shortPath, codePage_).size() > 1)) {
        std::printf("Illegal file path %s\n", pathText(longPath).c_str());
        fail("the path " + pathText(longPath) + " does not start with a backslash");
        return std::nullopt;
    }
    if (longRooted) {
        longPath.remove_prefix(1);
    }
    if (shortRooted) {
        shortPath.remove_prefix(1);
    }
    FilePath parts;
    for (std::size_t start = 0;;) {
        const std::size_t end = longPath.find(u'\\', start);
        parts.longNames.push_back(longPath.substr(start, end - start));
        if (end == std::u16string_view::npos) {
            break;
        }
        start = end + 1;
    }
    parts.shortNames = splitShortPath(shortPath, codePage_);
    if (parts.shortNames.size() != parts.longNames.size()) {
        fail("the 8.3 path " + std::string(shortPath) + " does not match the path " +
             pathText(longPath));
        return std::nullopt;
    }
    for (const std::u16string_view name : parts.longNames) {
        if (name.empty()) {
            fail("the path \\" + pathText(longPath) + " holds an empty name");
            return std::nullopt;
        }
    }
    return parts;
}

bool FAT_VOLUME::enterFolder(std::u16string_view longName, std::string_view shortName) {
    DirIndex* dir = directory(currentDirectory_);
    if (dir == nullptr) {
        return false;
    }
    // Only a folder of that name is taken: a file of the same name must not be written to as a
    // folder.
    const auto found = dir->folders.find(longName);
    if (found != dir->folders.end()) {
        if (directory(found->second) == nullptr) {
            return false;
        }
        currentDirectory_ = found->second;
        return true;
    }
    const auto name = splitShortName(shortName, codePage_);
    if (!name) {
        return fail("the 8.3 name " + std::string(shortName) + " of the folder " +
                    pathText(longName) + " is not a valid 8.3 name");
    }
    const auto folder = createEntry(*dir, EntryKind::Directory, *name, longName);
    if (!folder) {
        return false;
    }
    const std::uint32_t cluster = folder->firstCluster;
    DIR_ENTRY_INFO dot;
    dot.shortName = nameOf(kDotName);
    dot.firstCluster = cluster;
    dot.position = static_cast<std::uint64_t>(clusterSector(cluster)) << sectorShift_;
    dot.kind = EntryKind::Dot;
    DIR_ENTRY_INFO dotDot;
    dotDot.shortName = nameOf(kDotDotName);
    dotDot.firstCluster = currentDirectory_ == rootKey() ? 0 : currentDirectory_;
    dotDot.position = dot.position + kEntryBytes;
    dotDot.kind = EntryKind::DotDot;
    if (!writeShortEntry(dot) || !writeShortEntry(dotDot)) {
        return false;
    }
    DirIndex index;
    index.key = cluster;
    index.clusters.push_back(cluster);
    index.capacity = slotsPerCluster();
    index.frontier = 2;
    directories_.emplace(cluster, std::move(index));
    currentDirectory_ = cluster;
    return true;
}

std::unique_ptr<IMG_FILE> FAT_VOLUME::ImgCreateFile(std::u16string_view longPath,
                                                    std::string_view shortPath) {
    if (!ready()) {
        return nullptr;
    }
    currentDirectory_ = rootKey();
    const std::optional<FilePath> path = splitFilePath(longPath, shortPath);
    if (!path) {
        return nullptr;
    }
    const std::size_t last = path->longNames.size() - 1;
    for (std::size_t i = 0; i < last; ++i) {
        if (!enterFolder(path->longNames[i], path->shortNames[i])) {
            return nullptr;
        }
    }
    const auto name = splitShortName(path->shortNames[last], codePage_);
    if (!name) {
        fail("the 8.3 name " + std::string(path->shortNames[last]) + " of the file " +
             pathText(path->longNames[last]) + " is not a valid 8.3 name");
        return nullptr;
    }
    DirIndex* dir = directory(currentDirectory_);
    if (dir == nullptr) {
        return nullptr;
    }
    auto entry = createEntry(*dir, EntryKind::File, *name, path->longNames[last]);
    if (!entry) {
        return nullptr;
    }
    auto file = std::make_unique<IMG_FILE>();
    file->currentCluster = entry->firstCluster;
    file->entry = std::move(*entry);
    return file;
}

std::optional<std::uint32_t> FAT_VOLUME::nextFileSector(IMG_FILE& file, std::size_t count) {
    if (!ready()) {
        return std::nullopt;
    }
    if (file.entry.firstCluster == 0) {
        fail("the file has no cluster to write to", kFatErrorNoCluster);
        return std::nullopt;
    }
    if (count == 0 || count > bytesPerSector_ || (file.position & (bytesPerSector_ - 1)) != 0 ||
        file.position > std::numeric_limits<std::uint32_t>::max() - count) {
        fail("a piece of a file must be at most one sector, and only the last piece shorter");
        return std::nullopt;
    }
    const std::uint32_t index = (file.position >> sectorShift_) & (sectorsPerCluster_ - 1);
    if (file.position != 0 && index == 0) {
        const auto next = allocateCluster();
        if (!next || !writeFat(file.currentCluster, *next)) {
            return std::nullopt;
        }
        file.currentCluster = *next;
    }
    return clusterSector(file.currentCluster) + index;
}

std::uint32_t FAT_VOLUME::ImgWriteFile(IMG_FILE& file, std::span<const std::byte> data) {
    const auto sector = nextFileSector(file, data.size());
    if (!sector) {
        return 0;
    }
    std::byte* bytes = disk_.sectorForOverwrite(*sector);
    if (bytes == nullptr) {
        fail("a file sector cannot be placed in the sector store");
        return 0;
    }
    std::memcpy(bytes, data.data(), data.size());
    // Past the end of the file the sector holds zeros, never stale bytes.
    std::memset(bytes + data.size(), 0, bytesPerSector_ - data.size());
    file.position += static_cast<std::uint32_t>(data.size());
    return static_cast<std::uint32_t>(data.size());
}

std::uint32_t FAT_VOLUME::ImgWriteFileFromSource(IMG_FILE& file, std::uint32_t source,
                                                 std::uint64_t offset, std::uint32_t count) {
    if (!ready()) {
        return 0;
    }
    if (file.entry.firstCluster == 0) {
        fail("the file has no cluster to write to", kFatErrorNoCluster);
        return 0;
    }
    if (count == 0 || (file.position & (bytesPerSector_ - 1)) != 0 ||
        file.position > std::numeric_limits<std::uint32_t>::max() - count) {
        fail("a piece of a file must start at a sector, and only the last piece end inside one");
        return 0;
    }
    // Cluster by cluster, as one-sector pieces would fill them.
    std::uint32_t done = 0;
    while (done < count) {
        const std::uint32_t index = (file.position >> sectorShift_) & (sectorsPerCluster_ - 1);
        if (file.position != 0 && index == 0) {
            const auto next = allocateCluster();
            if (!next || !writeFat(file.currentCluster, *next)) {
                return 0;
            }
            file.currentCluster = *next;
        }
        const std::uint32_t room = (sectorsPerCluster_ - index) << sectorShift_;
        const std::uint32_t piece = std::min(room, count - done);
        if (!disk_.placeFromSource(clusterSector(file.currentCluster) + index, source,
                                   offset + done, piece)) {
            fail("a file sector cannot be placed in the sector store");
            return 0;
        }
        file.position += piece;
        done += piece;
    }
    return count;
}

bool FAT_VOLUME::ImgCloseFile(std::unique_ptr<IMG_FILE> file) {
    if (file == nullptr || !ready()) {
        return false;
    }
    if (file->position == 0 && file->entry.fileSize == 0) {
        // An empty file owns no cluster (first cluster 0): a cluster kept for it would be a
        // chain longer than the file, which every checker reports. The cluster goes to the next
        // entry.
        releaseChain(file->entry.firstCluster);
        file->entry.firstCluster = 0;
        return writeShortEntry(file->entry);
    }
    return writeFat(file->currentCluster, endMark()) && writeShortEntry(file->entry);
}

}  // namespace corvid
