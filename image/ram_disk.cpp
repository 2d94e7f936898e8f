#include "image/ram_disk.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>

#include "image/byte_order.h"

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

void RamDisk::ImgDiskClose() {
    windows_.clear();
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
    // calloc: pages of a window cost memory only once a sector in them is used.
    window.records.reset(static_cast<std::byte*>(std::calloc(sectorsPerWindow_, recordBytes_)));
    if (!window.records) {
        return false;
    }
    window.used.assign(sectorsPerWindow_, 0);
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

std::byte* RamDisk::markInMemory(Location at, std::uint32_t sector) {
    std::byte* record = recordAt(*at.window, at.index);
    at.window->used[at.index] = kInMemory;
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
        if (source_ == nullptr || !source_->read(run.source, offset, {data, length})) {
            return false;
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
    switch (at.window->used[at.index]) {
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
    if (at.window->used[at.index] == kFromSource) {
        leaveSource(at, false);
    }
    return markInMemory(at, sector);
}

bool RamDisk::placeFromSource(std::uint32_t sector, std::uint32_t source, std::uint64_t offset,
                              std::uint32_t length) {
    const Location at = locate(sector);
    if (at.window == nullptr || length == 0 || length > sectorSize_) {
        return false;
    }
    if (at.window->used[at.index] == kFromSource) {
        leaveSource(at, false);
    }
    at.window->used[at.index] = kFromSource;
    // A file's sectors usually follow each other: they extend the run before them.
    auto& runs = at.window->sourceRuns;
    auto next = runs.lower_bound(at.index);
    if (next != runs.begin()) {
        SourceRun& before = std::prev(next)->second;
        const std::uint32_t beforeStart = std::prev(next)->first;
        if (beforeStart + before.count == at.index && before.source == source &&
            before.lastLength == sectorSize_ &&
            before.offset + std::uint64_t{before.count} * sectorSize_ == offset) {
            ++before.count;
            before.lastLength = length;
            return true;
        }
    }
    runs.emplace_hint(next, at.index, SourceRun{1, source, offset, length});
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
        std::byte* data = sectorForOverwrite(first + i);
        if (data == nullptr) {
            return false;
        }
        std::memset(data, 0, sectorSize_);
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
    return window.used[sector - window.first] != 0;
}

bool RamDisk::stageSourceRun(Window& window, std::uint32_t& index, std::size_t& staged,
                             std::string& failure) {
    const std::size_t maxRecords = staging_.size() / recordBytes_;
    const auto it = std::prev(window.sourceRuns.upper_bound(index));
    const SourceRun& run = it->second;
    const std::uint32_t k = index - it->first;
    const auto take =
        static_cast<std::uint32_t>(std::min<std::size_t>(run.count - k, maxRecords - staged));
    const bool reachesEnd = k + take == run.count;
    const std::size_t bytes =
        std::size_t{take - 1} * sectorSize_ + (reachesEnd ? run.lastLength : sectorSize_);
    if (source_ == nullptr) {
        failure = "the store has no source for its file data";
        return false;
    }
    const std::uint64_t offset = run.offset + std::uint64_t{k} * sectorSize_;
    std::byte* records = staging_.data() + staged * recordBytes_;
    const std::byte* data = source_->bytesInMemory(run.source, offset, bytes);
    if (data == nullptr) {
        // The data go in one read to the end of the staging area, then each sector moves down to
        // its record; a record never overtakes data still to be moved.
        std::byte* tail = staging_.data() + staging_.size() - std::size_t{take} * sectorSize_;
        if (!source_->read(run.source, offset, {tail, bytes})) {
            failure = source_->failure();
            return false;
        }
        data = tail;
    }
    for (std::uint32_t j = 0; j < take; ++j) {
        std::byte* record = records + std::size_t{j} * recordBytes_;
        const std::size_t from = std::size_t{j} * sectorSize_;
        const std::size_t length = std::min<std::size_t>(sectorSize_, bytes - from);
        storeLe32(record, window.first + index + j);
        std::memmove(record + kRecordHeaderBytes, data + from, length);
        std::memset(record + kRecordHeaderBytes + length, 0, sectorSize_ - length);
        window.used[index + j] = kUnused;
    }
    staged += take;
    index += take;
    return true;
}

bool RamDisk::drainRecords(const RecordSink& sink, std::uint32_t& records, std::string& failure) {
    // Records gather in the staging area and go to the sink in large pieces: one write of the
    // image file per piece, not one per run.
    staging_.resize(kStagingBytes / recordBytes_ * recordBytes_);
    const std::size_t maxRecords = staging_.size() / recordBytes_;
    std::size_t staged = 0;
    records = 0;
    const auto flush = [&] {
        if (staged == 0) {
            return true;
        }
        if (!sink(std::span<const std::byte>(staging_.data(), staged * recordBytes_),
                  static_cast<std::uint32_t>(staged))) {
            failure.clear();
            return false;
        }
        records += static_cast<std::uint32_t>(staged);
        staged = 0;
        return true;
    };
    for (Window& window : windows_) {
        const std::uint32_t count = window.last - window.first + 1;
        std::uint32_t i = 0;
        while (i < count) {
            if (window.used[i] == kUnused) {
                ++i;
                continue;
            }
            if (staged == maxRecords && !flush()) {
                return false;
            }
            if (window.used[i] == kFromSource) {
                if (!stageSourceRun(window, i, staged, failure)) {
                    return false;
                }
                continue;
            }
            const std::uint32_t begin = i;
            while (i < count && window.used[i] == kInMemory && staged + (i - begin) < maxRecords) {
                window.used[i] = kUnused;
                ++i;
            }
            const std::size_t bytes = static_cast<std::size_t>(i - begin) * recordBytes_;
            std::memcpy(staging_.data() + staged * recordBytes_, recordAt(window, begin), bytes);
            staged += i - begin;
        }
        window.sourceRuns.clear();
    }
    return flush();
}

}  // namespace corvid
