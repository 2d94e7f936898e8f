#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/result.h"

namespace corvid {

// Where the bytes of file data come from. The store keeps a file's sectors as references into
// the source file and reads them only when the image is saved, so a build holds in memory only
// the volume's own structures, whatever the amount of data.
class SectorSource {
  public:
    virtual ~SectorSource() = default;
    // Bytes of source file 'source' from 'offset': at least one and at most 'length' (> 0),
    // valid until the next call. Empty when the file cannot give them; failure() then says why
    // in one sentence.
    virtual std::span<const std::byte> read(std::uint32_t source, std::uint64_t offset,
                                            std::size_t length) = 0;
    virtual const std::string& failure() const = 0;
};

// The sparse sector store a hidden-disk volume is built in. Sectors live in windows of 8 MiB of
// sector data, created where a sector outside every window is first used; only the sectors a
// build touches ("used") become records of the image file.
//
// A sector held in memory is kept in its record form, the 4-byte sector number in front of the
// sector's bytes, in a pool where such sectors lie side by side in the order they were first
// held: the few sectors a build holds (FATs, folders) take few pages, wherever they lie in the
// volume. Zero sectors and sectors of file data take only their mark.
class RamDisk {
  public:
    static constexpr std::size_t kWindowBytes = 8u * 1024u * 1024u;
    static constexpr std::size_t kMaxWindows = 1024;
    static constexpr std::size_t kRecordHeaderBytes = 4;  // the sector number before each sector
    static constexpr std::size_t kStagingBytes = 256u * 1024u;  // records handed to a sink at once

    RamDisk() = default;
    RamDisk(const RamDisk&) = delete;
    RamDisk& operator=(const RamDisk&) = delete;

    // Empties the store and fixes its sector size (a power of two from 512 to 4096); window 0
    // starts at sector 0. False for another sector size. The source of file data stays set.
    bool start(std::uint32_t sectorSize);
    bool started() const { return started_; }
    std::uint32_t sectorSize() const { return sectorSize_; }
    // Changes whenever the store is started or closed: pointers into it from before are stale.
    std::uint64_t generation() const { return generation_; }

    // The files that sectors placed with placeFromSource() come from.
    void setSectorSource(SectorSource* source) { source_ = source; }

    // A read of a sector nobody wrote gives zeros, and from then on that zero sector is part of
    // the image. Both fail when a sector cannot be placed (1024 windows exist), when the store is
    // not started, or when a sector's source file cannot be read.
    bool RamDiskRead(std::uint32_t first, std::uint32_t count, std::byte* buffer);
    bool RamDiskWrite(std::uint32_t first, std::uint32_t count, const std::byte* buffer);

    // In-place access for the FAT engine. sectorForUpdate gives the sector as a read would leave
    // it (zeros if it was untouched), to be changed in place; sectorForOverwrite marks it used
    // for a caller that writes all of its bytes. nullptr when the sector cannot be placed.
    std::byte* sectorForUpdate(std::uint32_t sector);
    std::byte* sectorForOverwrite(std::uint32_t sector);
    // Writes zero sectors, as RamDiskWrite of a zero buffer would; they take no memory until
    // they are changed.
    bool zeroSectors(std::uint32_t first, std::uint32_t count);
    // Marks the sectors from 'first' used with 'length' bytes of a source file from 'offset':
    // each sector takes a whole sector of bytes but the last, whose rest is zeros.
    bool placeFromSource(std::uint32_t first, std::uint32_t source, std::uint64_t offset,
                         std::uint64_t length);
    // The number of used sectors: the records a save writes.
    std::uint32_t usedSectors() const { return usedSectors_; }

    struct WindowRange {
        std::uint32_t first = 0;
        std::uint32_t last = 0;
    };
    std::size_t windowCount() const { return windows_.size(); }
    WindowRange windowRange(std::size_t index) const;
    bool isUsed(std::uint32_t sector) const;

    // Hands the used sectors to 'sink' as records (sector number, then the sector), window by
    // window in the order the windows were created and ascending within a window, in pieces of up
    // to kStagingBytes; each handed record's used mark is cleared. Fails when a source file
    // cannot be read (the reason names it) or the sink fails (no reason: the sink's owner knows
    // it). 'records' counts the records handed over.
    using RecordSink = std::function<bool(std::span<const std::byte> records, std::uint32_t count)>;
    Result drainRecords(const RecordSink& sink, std::uint32_t& records);
    // Clears the started flag once a block of records is saved.
    void markSaved() { started_ = false; }

    // Releases every window and empties the store.
    void ImgDiskClose();

  private:
    enum Mark : std::uint8_t { kUnused = 0, kInMemory = 1, kFromSource = 2, kZero = 3 };
    struct FreeDeleter {
        void operator()(void* p) const { std::free(p); }
    };
    // Consecutive sectors of one source file, each a full sector but the last.
    struct SourceRun {
        std::uint32_t count = 0;
        std::uint32_t source = 0;
        std::uint64_t offset = 0;
        std::uint32_t lastLength = 0;
    };
    static constexpr std::uint32_t kGroupSectors = 256;     // sectors per table of pool slots
    static constexpr std::uint32_t kPoolChunkRecords = 64;  // records per allocation of the pool
    struct Window {
        std::uint32_t first = 0;
        std::uint32_t last = 0;
        std::unique_ptr<std::uint8_t, FreeDeleter> used;  // one Mark per sector, calloc'd
        // Pool slot + 1 of each sector held in memory (0: none), in tables of kGroupSectors
        // made on first use.
        std::vector<std::unique_ptr<std::uint32_t[]>> slots;
        std::map<std::uint32_t, SourceRun> sourceRuns;  // by index of their first sector
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
    // The record of a sector held in memory; one is taken from the pool when it has none.
    std::byte* recordAt(Window& window, std::uint32_t index);
    std::byte* markInMemory(Location at, std::uint32_t sector);
    void setMark(Location at, Mark mark);
    // Takes a sector out of its source run, reading its bytes into memory when 'keep' is set.
    bool leaveSource(Location at, bool keep);
    // Stages the records of the source run at 'index' that fit behind the 'staged' ones.
    Result stageSourceRun(Window& window, std::uint32_t& index, std::size_t& staged);
    // The index of the first used sector of the window from 'index' on ('count' when none).
    static std::uint32_t nextUsed(const Window& window, std::uint32_t index, std::uint32_t count);

    bool started_ = false;
    std::uint64_t generation_ = 0;
    std::uint32_t sectorSize_ = 0;
    std::uint32_t sectorsPerWindow_ = 0;
    std::size_t recordBytes_ = 0;
    std::uint32_t usedSectors_ = 0;
    SectorSource* source_ = nullptr;
    std::vector<Window> windows_;
    std::vector<std::unique_ptr<std::byte[]>> pool_;  // chunks of kPoolChunkRecords records
    std::uint32_t poolRecords_ = 0;
    std::map<std::uint32_t, Segment> segments_;  // keyed by the segment's first sector
    // The segment of the last lookup: most accesses hit the same one again.
    std::uint32_t cachedFirst_ = 1;
    std::uint32_t cachedLast_ = 0;
    std::uint32_t cachedWindow_ = 0;
    // Records on their way to the sink; left uninitialised, as every byte handed on is written.
    std::unique_ptr<std::byte[]> staging_;
    std::size_t stagingRecords_ = 0;
};

}  // namespace corvid
