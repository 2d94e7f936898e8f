#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "image/ram_disk.h"
#include "image/short_name.h"
#include "platform/fat_layout.h"

namespace corvid {

// Codes of the volume's last error.
inline constexpr std::uint32_t kFatErrorBrokenChain = 19;
inline constexpr std::uint32_t kFatErrorVolumeFull = 21;
inline constexpr std::uint32_t kFatErrorRootEnd = 23;
inline constexpr std::uint32_t kFatErrorNoCluster = 27;

enum class FatType : std::uint8_t { None = 0, Fat16 = 2, Fat32 = 3 };

enum class EntryKind : std::uint8_t {
    File = 0,
    DotDot = 1,
    Dot = 2,
    Directory = 3,
    Free = 4,
    End = 5,
    LongName = 6,
    Label = 7,
    DirectoryWithSize = 8,
};

// An entry being searched for, created or rewritten.
struct DIR_ENTRY_INFO {
    ShortName11 shortName{};  // name and extension as the entry stores them
    std::uint32_t firstCluster = 0;
    std::uint32_t fileSize = 0;
    std::uint64_t position = 0;  // byte offset of the short entry from the start of the volume
    EntryKind kind = EntryKind::File;
    std::u16string longName;
};

// A file open for writing.
struct IMG_FILE {
    DIR_ENTRY_INFO entry;
    std::uint32_t currentCluster = 0;
    std::uint32_t position = 0;
    int mode = 2;  // write, the only mode
};

// The FAT16/FAT32 volume engine over a RamDisk: format, mount, clusters, directories with long
// names, files, the volume label. The bytes it leaves are those of the station's image builder:
// entries fill each directory in order, clusters are handed out in ascending order, every entry
// (the label too) holds a cluster of its own.
//
// It keeps per directory an index of its free slots and its folders, so that a new entry or an
// existing folder is found without reading the directory again from its start.
class FAT_VOLUME {
  public:
    explicit FAT_VOLUME(RamDisk& disk, ShortNameCodePage codePage = std::nullopt)
        : disk_(disk), codePage_(codePage) {}
    FAT_VOLUME(const FAT_VOLUME&) = delete;
    FAT_VOLUME& operator=(const FAT_VOLUME&) = delete;

    // Starts the store with the sector size, formats a volume of 'totalSectors' and mounts it.
    bool ImgDiskCreate(std::uint32_t totalSectors, std::uint32_t sectorSize);
    // Reads the geometry from the boot sector at sector 0, or at the start of a partition named
    // by the partition table there.
    bool mount();

    // The label entry of the root (8-bit code-page text, up to 11 bytes): an existing label
    // entry is removed first; an empty label leaves the root without one.
    bool ImgSetLabel(std::string_view label);

    // Creates the file and the folders on its path. The long path (UTF-16) and the short path
    // (8.3 names in the code page) both start with a backslash and have the same components.
    std::unique_ptr<IMG_FILE> ImgCreateFile(std::u16string_view longPath,
                                            std::string_view shortPath);
    // Writes one piece of at most one sector at the file's position; a piece shorter than a
    // sector must be the last. Returns the byte count, 0 on failure.
    std::uint32_t ImgWriteFile(IMG_FILE& file, std::span<const std::byte> data);
    // Writes 'count' bytes of a source file (see SectorSource) from 'offset' at the file's
    // position, as one-sector pieces would, cluster by cluster: the position must be at a sector,
    // and only the file's last piece may end inside one. The bytes are read from the file only
    // when the image is saved. Returns the count, 0 on failure.
    std::uint32_t ImgWriteFileFromSource(IMG_FILE& file, std::uint32_t source, std::uint64_t offset,
                                         std::uint32_t count);
    // Ends the cluster chain and writes the entry with the size stored in file->entry. A file
    // nothing was written to gives its cluster back and keeps first cluster 0.
    bool ImgCloseFile(std::unique_ptr<IMG_FILE> file);

    FatType fatType() const { return fatType_; }
    std::uint32_t bytesPerSector() const { return bytesPerSector_; }
    std::uint32_t sectorsPerCluster() const { return sectorsPerCluster_; }
    std::uint32_t fatStart() const { return fatStart_; }
    std::uint32_t fatCount() const { return fatCount_; }
    std::uint32_t rootEntryCount() const { return rootEntryCount_; }
    std::uint32_t totalSectors() const { return totalSectors_; }
    std::uint32_t fatSize() const { return fatSize_; }
    std::uint32_t rootCluster() const { return rootCluster_; }
    std::uint32_t firstDataSector() const { return firstDataSector_; }
    std::uint32_t clusterCount() const { return clusterCount_; }
    std::uint32_t lastError() const { return lastError_; }
    // One sentence on the latest failure, for the operator.
    const std::string& failure() const { return failure_; }

    // The first FAT's entry of a cluster; nothing when the volume is not mounted.
    std::optional<std::uint32_t> fatEntry(std::uint32_t cluster);
    // The first sector of a cluster.
    std::uint32_t clusterSector(std::uint32_t cluster) const {
        return (cluster - 2) * sectorsPerCluster_ + firstDataSector_;
    }

  private:
    struct NameHash {
        using is_transparent = void;
        std::size_t operator()(std::u16string_view name) const {
            return std::hash<std::u16string_view>()(name);
        }
    };
    struct DirIndex {
        std::uint32_t key = 0;                // first cluster; 0 for the FAT16 root area
        std::vector<std::uint32_t> clusters;  // its chain; empty for the FAT16 root area
        std::uint32_t capacity = 0;           // slots in the area or the chain
        std::uint32_t frontier = 0;           // every slot from here on is free
        std::set<std::uint32_t> holes;        // free slots below the frontier
        // Long name -> first cluster, looked up by a view of a path's component.
        std::unordered_map<std::u16string, std::uint32_t, NameHash, std::equal_to<>> folders;
    };

    bool fail(std::string why, std::uint32_t code = 0);
    bool ready();
    bool isChainEnd(std::uint32_t value) const;
    std::uint32_t endMark() const;
    std::uint32_t fatEntryBytes() const { return fatType_ == FatType::Fat32 ? 4 : 2; }
    std::byte* fatSector(std::uint32_t copy, std::uint32_t index);
    bool writeFat(std::uint32_t cluster, std::uint32_t value);
    std::optional<std::uint32_t> allocateCluster();
    void releaseChain(std::uint32_t first);
    bool zeroCluster(std::uint32_t cluster);

    DirIndex* directory(std::uint32_t key);
    bool loadDirectory(DirIndex& dir);
    std::byte* slotBytes(const DirIndex& dir, std::uint32_t slot, std::uint64_t* position);
    std::byte* entryAt(std::uint64_t position);
    std::optional<std::uint32_t> takeSlots(DirIndex& dir, std::uint32_t count);
    bool growDirectory(DirIndex& dir);
    std::optional<DIR_ENTRY_INFO> createEntry(DirIndex& dir, EntryKind kind,
                                              const ShortName11& name,
                                              std::u16string_view longName);
    bool writeShortEntry(const DIR_ENTRY_INFO& entry);
    // A file's path as the names of its folders and its own, long and 8.3 side by side.
    struct FilePath {
        std::vector<std::u16string_view> longNames;
        std::vector<std::string_view> shortNames;
    };
    std::optional<FilePath> splitFilePath(std::u16string_view longPath, std::string_view shortPath);
    // Makes the folder the current directory, creating it (with its dot entries) when it is
    // not there.
    bool enterFolder(std::u16string_view longName, std::string_view shortName);
    // The sector where the file's next piece of 'count' bytes goes, with a new cluster when
    // the current one is full.
    std::optional<std::uint32_t> nextFileSector(IMG_FILE& file, std::size_t count);
    void writeLongEntry(std::byte* at, std::uint8_t ordinal, std::u16string_view longName,
                        std::uint8_t checksum, bool first);
    std::uint32_t rootKey() const { return fatType_ == FatType::Fat32 ? rootCluster_ : 0; }
    std::uint32_t slotsPerCluster() const {
        return (sectorsPerCluster_ << sectorShift_) /
               static_cast<std::uint32_t>(fat_dir::kEntryBytes);
    }

    RamDisk& disk_;
    ShortNameCodePage codePage_;

    FatType fatType_ = FatType::None;
    std::uint32_t bytesPerSector_ = 0;
    std::uint32_t sectorShift_ = 0;
    std::uint32_t sectorsPerCluster_ = 0;
    std::uint32_t clusterShift_ = 0;
    std::uint32_t fatStart_ = 0;
    std::uint32_t fatCount_ = 0;
    std::uint32_t rootEntryCount_ = 0;
    std::uint32_t totalSectors_ = 0;
    std::uint32_t fatSize_ = 0;
    std::uint32_t rootCluster_ = 0;
    std::uint32_t rootSectors_ = 0;
    std::uint32_t firstDataSector_ = 0;
    std::uint32_t clusterCount_ = 0;
    std::uint32_t nextFreeHint_ = 2;
    std::uint32_t currentDirectory_ = 0;
    std::uint32_t lastError_ = 0;
    std::string failure_;
    std::uint64_t diskGeneration_ = 0;

    std::vector<std::byte*> fatSectors_;  // the FATs' sectors in the store, on first use
    std::unordered_map<std::uint32_t, DirIndex> directories_;  // by first cluster
};

}  // namespace corvid
