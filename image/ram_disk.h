#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <vector>

namespace corvid {

// The sparse sector store a hidden-disk volume is built in. Sectors live in windows of 8 MiB of
// sector data, created where a sector outside every window is first used; only the sectors a
// build touches ("used") become records of the image file.
//
// Inside a window each sector is kept in its record form, the 4-byte sector number in front of
// the sector's bytes, so that saving hands whole runs of records to the file without copying.
class RamDisk {
  public:
    static constexpr std::size_t kWindowBytes = 8u * 1024u * 1024u;
    static constexpr std::size_t kMaxWindows = 1024;
    static constexpr std::size_t kRecordHeaderBytes = 4;  // the sector number before each sector

    RamDisk() = default;
    RamDisk(const RamDisk&) = delete;
    RamDisk& operator=(const RamDisk&) = delete;

    // Empties the store and fixes its sector size (a power of two from 512 to 4096); window 0
    // starts at sector 0. False for another sector size.
    bool start(std::uint32_t sectorSize);
    bool started() const { return started_; }
    std::uint32_t sectorSize() const { return sectorSize_; }
    std::uint32_t sectorsPerWindow() const { return sectorsPerWindow_; }
    // Changes whenever the store is started or closed: pointers into it from before are stale.
    std::uint64_t generation() const { return generation_; }

    // A read of a sector nobody wrote gives zeros, and from then on that zero sector is part of
    // the image. Both fail when a sector cannot be placed (1024 windows exist) or the store is
    // not started.
    bool RamDiskRead(std::uint32_t first, std::uint32_t count, std::byte* buffer);
    bool RamDiskWrite(std::uint32_t first, std::uint32_t count, const std::byte* buffer);

    // In-place access for the FAT engine. sectorForUpdate gives the sector as a read would leave
    // it (zeros if it was untouched), to be changed in place; sectorForOverwrite marks it used
    // for a caller that writes all of its bytes. nullptr when the sector cannot be placed.
    std::byte* sectorForUpdate(std::uint32_t sector);
    std::byte* sectorForOverwrite(std::uint32_t sector);
    // Writes zero sectors, as RamDiskWrite of a zero buffer would.
    bool zeroSectors(std::uint32_t first, std::uint32_t count);

    struct WindowRange {
        std::uint32_t first = 0;
        std::uint32_t last = 0;
    };
    std::size_t windowCount() const { return windows_.size(); }
    WindowRange windowRange(std::size_t index) const;
    bool isUsed(std::uint32_t sector) const;

    // Hands the used sectors to 'sink' as records (sector number, then the sector), window by
    // window in the order the windows were created and ascending within a window, in runs of
    // consecutive records; each handed record's used mark is cleared. Stops with false when the
    // sink fails. 'records' counts the records handed over.
    using RecordSink = std::function<bool(std::span<const std::byte> records, std::uint32_t count)>;
    bool drainRecords(const RecordSink& sink, std::uint32_t& records);
    // Clears the started flag once a block of records is saved.
    void markSaved() { started_ = false; }

    // Releases every window and empties the store.
    void ImgDiskClose();

  private:
    struct FreeDeleter {
        void operator()(std::byte* p) const { std::free(p); }
    };
    struct Window {
        std::uint32_t first = 0;
        std::uint32_t last = 0;
        std::unique_ptr<std::byte, FreeDeleter> records;  // sectorsPerWindow records
        std::vector<std::uint8_t> used;                   // one mark per sector
    };
    // A stretch of sectors whose lookups land in one window: the first window in table order
    // whose range holds them. Windows may overlap; the older one keeps the overlap.
    struct Segment {
        std::uint32_t last = 0;
        std::uint32_t window = 0;
    };
    struct Location {
        Window* window = nullptr;
        std::uint32_t index = 0;
    };

    Location locate(std::uint32_t sector);
    bool createWindow(std::uint32_t first);
    std::byte* recordAt(const Window& window, std::uint32_t index) const {
        return window.records.get() + static_cast<std::size_t>(index) * recordBytes_;
    }
    std::byte* markUsed(Location at, std::uint32_t sector);

    bool started_ = false;
    std::uint64_t generation_ = 0;
    std::uint32_t sectorSize_ = 0;
    std::uint32_t sectorsPerWindow_ = 0;
    std::size_t recordBytes_ = 0;
    std::vector<Window> windows_;
    std::map<std::uint32_t, Segment> segments_;  // keyed by the segment's first sector
    // The segment of the last lookup: most accesses hit the same one again.
    std::uint32_t cachedFirst_ = 1;
    std::uint32_t cachedLast_ = 0;
    std::uint32_t cachedWindow_ = 0;
};

}  // namespace corvid
