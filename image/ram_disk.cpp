#include "image/ram_disk.h"

#include <cstring>
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

std::byte* RamDisk::markUsed(Location at, std::uint32_t sector) {
    std::byte* record = recordAt(*at.window, at.index);
    at.window->used[at.index] = 1;
    storeLe32(record, sector);
    return record + kRecordHeaderBytes;
}

std::byte* RamDisk::sectorForUpdate(std::uint32_t sector) {
    const Location at = locate(sector);
    if (at.window == nullptr) {
        return nullptr;
    }
    if (at.window->used[at.index] != 0) {
        return recordAt(*at.window, at.index) + kRecordHeaderBytes;
    }
    std::byte* data = markUsed(at, sector);
    std::memset(data, 0, sectorSize_);
    return data;
}

std::byte* RamDisk::sectorForOverwrite(std::uint32_t sector) {
    const Location at = locate(sector);
    return at.window == nullptr ? nullptr : markUsed(at, sector);
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

bool RamDisk::drainRecords(const RecordSink& sink, std::uint32_t& records) {
    records = 0;
    for (Window& window : windows_) {
        const std::uint32_t count = window.last - window.first + 1;
        std::uint32_t i = 0;
        while (i < count) {
            if (window.used[i] == 0) {
                ++i;
                continue;
            }
            std::uint32_t end = i;
            while (end < count && window.used[end] != 0) {
                window.used[end] = 0;
                ++end;
            }
            const std::size_t bytes = static_cast<std::size_t>(end - i) * recordBytes_;
            if (!sink(std::span<const std::byte>(recordAt(window, i), bytes), end - i)) {
                return false;
            }
            records += end - i;
            i = end;
        }
    }
    return true;
}

}  // namespace corvid
