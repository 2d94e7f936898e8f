#include "image/ram_disk.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>

#include "platform/byte_order.h"

namespace corvid {

namespace {

constexpr std::uint32_t kLastSector = std::numeric_limits<std::uint32_t>::max();

// Whether sectors first ... first + count - 1 exist (sector numbers are 32-bit).
bool fitsInVolume(std::uint32_t first, std::uint32_t count) {
    return count == 0 || count - 1 <= kLastSector - first;
}

bool isSupportedSectorSize(std::uint32_t size) {
    return size >= 512 && size <= 4096 && (size & (size - 1)) == 0;
}

}  // namespace

bool RamDisk::start(std::uint32_t sectorSize) {
    ImgDiskClose();
    if (!isSupportedSectorSize(sectorSize)) {
        return false;
    }
    sectorSize_ = sectorSize;
    sectorsPerWindow_ = static_cast<std::uint32_t>(kWindowBytes / sectorSize);
    recordBytes_ = kRecordHeaderBytes + sectorSize;
    windows_.reserve(kMaxWindows);
    started_ = true;
    if (!createWindow(0)) {
        ImgDiskClose();
        return false;
    }
    return true;
}

std::byte* RamDisk::recordAt(Window& window, std::uint32_t index) {
    auto& group = window.slots[index / kGroupSectors];
    if (group == nullptr) {
        group = std::make_unique<std::uint32_t[]>(kGroupSectors);
    }
    std::uint32_t& slot = group[index % kGroupSectors];
    if (slot == 0) {
        if (poolRecords_ % kPoolChunkRecords == 0) {
            pool_.push_back(std::make_unique_for_overwrite<std::byte[]>(
                std::size_t{kPoolChunkRecords} * recordBytes_));
        }
        slot = ++poolRecords_;
    }
    const std::uint32_t at = slot - 1;
    return pool_[at / kPoolChunkRecords].get() + std::size_t{at % kPoolChunkRecords} * recordBytes_;
}

void RamDisk::ImgDiskClose() {
    windows_.clear();
    pool_.clear();
    pool_.shrink_to_fit();
    poolRecords_ = 0;
    usedSectors_ = 0;
    windows_.shrink_to_fit();
    segments_.clear();
    ++generation_;
    cachedFirst_ = 1;
    cachedLast_ = 0;
    started_ = false;
}

RamDisk::WindowRange RamDisk::windowRange(std::size_t index) const {
    return {windows_.at(index).first, windows_.at(index).last};
}

bool RamDisk::createWindow(std::uint32_t first) {
    if (windows_.size() >= kMaxWindows) {
        return false;
    }
    std::uint32_t last = first > kLastSector - (sectorsPerWindow_ - 1)
                             ? kLastSector
                             : first + (sectorsPerWindow_ - 1);
    // A window whose end would fall inside an existing one stops just before that one.
    for (const Window& other : windows_) {
        if (last >= other.first && last <= other.last) {
            last = other.first - 1;
            break;
        }
    }

    Window window;
    window.first = first;
    window.last = last;
    // calloc: pages of marks cost memory only once a sector in them is used.
    window.used.reset(static_cast<std::uint8_t*>(std::calloc(sectorsPerWindow_, 1)));
    if (!window.used) {
        return false;
    }
    window.slots.resize((sectorsPerWindow_ + kGroupSectors - 1) / kGroupSectors);
    const auto index = static_cast<std::uint32_t>(windows_.size());
    windows_.push_back(std::move(window));

    // The new window answers only for the parts of its range no older window holds.
    std::uint32_t pos = first;
    auto it = segments_.lower_bound(first);
    while (true) {
        const bool blocked = it != segments_.end() && it->first <= last;
        const std::uint32_t gapLast = blocked ? it->first - 1 : last;
        if (pos <= gapLast && (!blocked || it->first > pos)) {
            segments_.emplace_hint(it, pos, Segment{gapLast, index});
        }
        if (!blocked || it->second.last >= last) {
            break;
        }
        pos = it->second.last + 1;
        ++it;
    }
    return true;
}

RamDisk::Location RamDisk::locate(std::uint32_t sector) {
    if (!started_) {
        return {};
    }
    if (sector < cachedFirst_ || sector > cachedLast_) {
        auto it = segments_.upper_bound(sector);
        bool found = false;
        if (it != segments_.begin()) {
            --it;
            found = sector <= it->second.last;
        }
        if (!found) {
            if (!createWindow(sector)) {
                return {};
            }
            it = segments_.find(sector);
        }
        cachedFirst_ = it->first;
        cachedLast_ = it->second.last;
        cachedWindow_ = it->second.window;
    }
    Window& window = windows_[cachedWindow_];
    return {&window, sector - window.first};
}

void RamDisk::setMark(Location at, Mark mark) {
    std::uint8_t& current = at.window->used.get()[at.index];
    if (current == kUnused) {
        ++usedSectors_;
    }
    current = mark;
}

std::byte* RamDisk::markInMemory(Location at, std::uint32_t sector) {
    std::byte* record = recordAt(*at.window, at.index);
    setMark(at, kInMemory);
    storeLe32(record, sector);
    return record + kRecordHeaderBytes;
}

bool RamDisk::leaveSource(Location at, bool keep) {
    auto& runs = at.window->sourceRuns;
    auto it = std::prev(runs.upper_bound(at.index));
    const std::uint32_t start = it->first;
    const SourceRun run = it->second;
    const std::uint32_t k = at.index - start;
    const std::uint64_t offset = run.offset + std::uint64_t{k} * sectorSize_;
    const std::uint32_t length = k + 1 == run.count ? run.lastLength : sectorSize_;
    std::byte* data = recordAt(*at.window, at.index) + kRecordHeaderBytes;
    if (keep) {
        for (std::uint32_t done = 0; done < length;) {
            const auto bytes = source_ == nullptr
                                   ? std::span<const std::byte>()
                                   : source_->read(run.source, offset + done, length - done);
            if (bytes.empty()) {
                return false;
            }
            std::memcpy(data + done, bytes.data(), bytes.size());
            done += static_cast<std::uint32_t>(bytes.size());
        }
        std::memset(data + length, 0, sectorSize_ - length);
    }
    runs.erase(it);
    if (k > 0) {
        runs.emplace(start, SourceRun{k, run.source, run.offset, sectorSize_});
    }
    if (k + 1 < run.count) {
        runs.emplace(at.index + 1, SourceRun{run.count - k - 1, run.source, offset + sectorSize_,
                                             run.lastLength});
    }
    markInMemory(at, at.window->first + at.index);
    return true;
}

std::byte* RamDisk::sectorForUpdate(std::uint32_t sector) {
    const Location at = locate(sector);
    if (at.window == nullptr) {
        return nullptr;
    }
    switch (at.window->used.get()[at.index]) {
        case kInMemory:
            return recordAt(*at.window, at.index) + kRecordHeaderBytes;
        case kFromSource:
            return leaveSource(at, true) ? recordAt(*at.window, at.index) + kRecordHeaderBytes
                                         : nullptr;
        default: {
            std::byte* data = markInMemory(at, sector);
            std::memset(data, 0, sectorSize_);
            return data;
        }
    }
}

std::byte* RamDisk::sectorForOverwrite(std::uint32_t sector) {
    const Location at = locate(sector);
    if (at.window == nullptr) {
        return nullptr;
    }
    if (at.window->used.get()[at.index] == kFromSource) {
        leaveSource(at, false);
    }
    return markInMemory(at, sector);
}

bool RamDisk::placeFromSource(std::uint32_t first, std::uint32_t source, std::uint64_t offset,
                              std::uint64_t length) {
    if (length == 0) {
        return false;
    }
    const std::uint64_t sectors = (length + sectorSize_ - 1) / sectorSize_;
    if (sectors > std::numeric_limits<std::uint32_t>::max() ||
        !fitsInVolume(first, static_cast<std::uint32_t>(sectors))) {
        return false;
    }
    auto remaining = static_cast<std::uint32_t>(sectors);
    std::uint32_t sector = first;
    while (remaining > 0) {
        const Location at = locate(sector);
        if (at.window == nullptr) {
            return false;
        }
        // The sectors up to the end of this stretch of the window, taken as one run.
        const std::uint32_t count = std::min(remaining, cachedLast_ - sector + 1);
        for (std::uint32_t i = 0; i < count; ++i) {
            const Location each{at.window, at.index + i};
            if (each.window->used.get()[each.index] == kFromSource) {
                leaveSource(each, false);
            }
            setMark(each, kFromSource);
        }
        const bool reachesEnd = count == remaining;
        const std::uint64_t runBytes =
            reachesEnd ? length - std::uint64_t{sectors - remaining} * sectorSize_
                       : std::uint64_t{count} * sectorSize_;
        const auto lastLength =
            static_cast<std::uint32_t>(runBytes - std::uint64_t{count - 1} * sectorSize_);
        // A file's sectors usually follow each other: they extend the run before them.
        auto& runs = at.window->sourceRuns;
        auto next = runs.lower_bound(at.index);
        bool extended = false;
        if (next != runs.begin()) {
            const auto before = std::prev(next);
            SourceRun& run = before->second;
            if (before->first + run.count == at.index && run.source == source &&
                run.lastLength == sectorSize_ &&
                run.offset + std::uint64_t{run.count} * sectorSize_ == offset) {
                run.count += count;
                run.lastLength = lastLength;
                extended = true;
            }
        }
        if (!extended) {
            runs.emplace_hint(next, at.index, SourceRun{count, source, offset, lastLength});
        }
        offset += runBytes;
        sector += count;
        remaining -= count;
    }
    return true;
}

bool RamDisk::RamDiskRead(std::uint32_t first, std::uint32_t count, std::byte* buffer) {
    if (!fitsInVolume(first, count)) {
        return false;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::byte* data = sectorForUpdate(first + i);
        if (data == nullptr) {
            return false;
        }
        std::memcpy(buffer + static_cast<std::size_t>(i) * sectorSize_, data, sectorSize_);
    }
    return true;
}

bool RamDisk::RamDiskWrite(std::uint32_t first, std::uint32_t count, const std::byte* buffer) {
    if (!fitsInVolume(first, count)) {
        return false;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        std::byte* data = sectorForOverwrite(first + i);
        if (data == nullptr) {
            return false;
        }
        std::memcpy(data, buffer + static_cast<std::size_t>(i) * sectorSize_, sectorSize_);
    }
    return true;
}

bool RamDisk::zeroSectors(std::uint32_t first, std::uint32_t count) {
    if (!fitsInVolume(first, count)) {
        return false;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        const Location at = locate(first + i);
        if (at.window == nullptr) {
            return false;
        }
        switch (at.window->used.get()[at.index]) {
            case kInMemory:
                // Held in memory already (and maybe pointed at): zeroed in place.
                std::memset(recordAt(*at.window, at.index) + kRecordHeaderBytes, 0, sectorSize_);
                break;
            case kFromSource:
                leaveSource(at, false);
                std::memset(recordAt(*at.window, at.index) + kRecordHeaderBytes, 0, sectorSize_);
                break;
            default:
                setMark(at, kZero);
                break;
        }
    }
    return true;
}

bool RamDisk::isUsed(std::uint32_t sector) const {
    auto it = segments_.upper_bound(sector);
    if (it == segments_.begin()) {
        return false;
    }
    --it;
    if (sector > it->second.last) {
        return false;
    }
    const Window& window = windows_[it->second.window];
    return window.used.get()[sector - window.first] != kUnused;
}

std::uint32_t RamDisk::nextUsed(const Window& window, std::uint32_t index, std::uint32_t count) {
    // Large volumes are mostly unused: skip eight marks at a time.
    const std::uint8_t* marks = window.used.get();
    while (index < count && (index & 7u) != 0) {
        if (marks[index] != kUnused) {
            return index;
        }
        ++index;
    }
    while (index + 8 <= count) {
        std::uint64_t eight = 0;
        std::memcpy(&eight, marks + index, sizeof eight);
        if (eight != 0) {
            break;
        }
        index += 8;
    }
    while (index < count && marks[index] == kUnused) {
        ++index;
    }
    return index;
}

Result RamDisk::stageSourceRun(Window& window, std::uint32_t& index, std::size_t& staged) {
    const std::size_t maxRecords = stagingRecords_;
    const auto it = std::prev(window.sourceRuns.upper_bound(index));
    const SourceRun& run = it->second;
    const std::uint32_t k = index - it->first;
    const auto take =
        static_cast<std::uint32_t>(std::min<std::size_t>(run.count - k, maxRecords - staged));
    const bool reachesEnd = k + take == run.count;
    const std::uint64_t bytes =
        std::uint64_t{take - 1} * sectorSize_ + (reachesEnd ? run.lastLength : sectorSize_);
    if (source_ == nullptr) {
        return Result::failure("the store has no source for its file data");
    }
    const std::uint64_t offset = run.offset + std::uint64_t{k} * sectorSize_;
    std::byte* records = staging_.get() + staged * recordBytes_;
    // The bytes come in pieces of the source's choosing; each lands in its records.
    std::span<const std::byte> piece;
    std::uint64_t done = 0;
    for (std::uint32_t j = 0; j < take; ++j) {
        std::byte* record = records + std::size_t{j} * recordBytes_;
        storeLe32(record, window.first + index + j);
        std::byte* data = record + kRecordHeaderBytes;
        const auto length =
            static_cast<std::size_t>(std::min<std::uint64_t>(sectorSize_, bytes - done));
        std::size_t filled = 0;
        while (filled < length) {
            if (piece.empty()) {
                piece = source_->read(run.source, offset + done,
                                      static_cast<std::size_t>(bytes - done));
                if (piece.empty()) {
                    return Result::failure(source_->failure());
                }
            }
            const std::size_t n = std::min(piece.size(), length - filled);
            std::memcpy(data + filled, piece.data(), n);
            piece = piece.subspan(n);
            filled += n;
            done += n;
        }
        std::memset(data + length, 0, sectorSize_ - length);
        window.used.get()[index + j] = kUnused;
    }
    usedSectors_ -= take;
    staged += take;
    index += take;
    return Result::success();
}

Result RamDisk::drainRecords(const RecordSink& sink, std::uint32_t& records) {
    // Records gather in the staging area and go to the sink in large pieces: one write of the
    // image file per piece, not one per run.
    if (staging_ == nullptr) {
        staging_ = std::make_unique_for_overwrite<std::byte[]>(kStagingBytes);
    }
    stagingRecords_ = kStagingBytes / recordBytes_;
    const std::size_t maxRecords = stagingRecords_;
    std::size_t staged = 0;
    records = 0;
    const auto flush = [&] {
        if (staged == 0) {
            return true;
        }
        if (!sink(std::span<const std::byte>(staging_.get(), staged * recordBytes_),
                  static_cast<std::uint32_t>(staged))) {
            return false;
        }
        records += static_cast<std::uint32_t>(staged);
        staged = 0;
        return true;
    };
    for (Window& window : windows_) {
        const std::uint32_t count = window.last - window.first + 1;
        std::uint32_t i = nextUsed(window, 0, count);
        while (i < count) {
            if (staged == maxRecords && !flush()) {
                return Result::failure({});
            }
            const std::uint8_t mark = window.used.get()[i];
            if (mark == kFromSource) {
                if (Result staging = stageSourceRun(window, i, staged); !staging) {
                    return staging;
                }
            } else {
                const std::uint32_t begin = i;
                while (i < count && window.used.get()[i] == mark &&
                       staged + (i - begin) < maxRecords) {
                    window.used.get()[i] = kUnused;
                    ++i;
                }
                std::byte* out = staging_.get() + staged * recordBytes_;
                if (mark == kInMemory) {
                    for (std::uint32_t j = begin; j < i; ++j) {
                        std::memcpy(out + std::size_t{j - begin} * recordBytes_,
                                    recordAt(window, j), recordBytes_);
                    }
                } else {
                    std::memset(out, 0, static_cast<std::size_t>(i - begin) * recordBytes_);
                    for (std::uint32_t j = begin; j < i; ++j) {
                        storeLe32(out + std::size_t{j - begin} * recordBytes_, window.first + j);
                    }
                }
                usedSectors_ -= i - begin;
                staged += i - begin;
            }
            i = nextUsed(window, i, count);
        }
        window.sourceRuns.clear();
    }
    return flush() ? Result::success() : Result::failure({});
}

}  // namespace corvid
