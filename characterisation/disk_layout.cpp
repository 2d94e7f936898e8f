#include "characterisation/disk_layout.h"

#include <algorithm>
#include <cstring>

#include "characterisation/worker_state.h"
#include "station/operator_prompt.h"
#include "station/production_settings.h"
#include "transport/vendor_commands.h"

namespace corvid {
namespace {

constexpr std::uint64_t kMiB = 1024u * 1024u;
constexpr int kBlockGroupSize = 1024;
constexpr int kGroupReserve = 7;  // good blocks each group keeps before it spends the budget

std::uint64_t roundUpToBlocks(std::int32_t bytes, std::uint64_t blockSize) {
    const std::uint64_t size = static_cast<std::uint32_t>(bytes);
    return (size + blockSize - 1) / blockSize * blockSize;
}

}  // namespace

SystemArea systemAreaSize(const FLASH_INFO& info, const StationSettings& s) {
    // The sizes are counted in 64 bits so a large CD-ROM image cannot wrap the sum.
    const std::uint64_t blockSize =
        std::max<std::uint64_t>(1, static_cast<std::uint32_t>(info.iBlockSize));
    std::uint64_t total =
        roundUpToBlocks(s.iProgramSize, blockSize) + roundUpToBlocks(s.iPreferSize, blockSize);
    if (s.chkISOupgrade) {
        total += roundUpToBlocks(s.iIsoSize, blockSize);
    }
    total = (total + 2 * blockSize) * 2;
    total = (total + kSysAreaUnitBytes - 1) / kSysAreaUnitBytes * kSysAreaUnitBytes;
    const int minimum = std::max<int>(1, static_cast<int>(total / kSysAreaUnitBytes));
    if (!s.SystemAreachk) {
        return {minimum, total / kMiB, false};
    }
    const int megabytes = std::clamp(4 * (s.SystemAreaComBo + 1), 1, 64);
    const int units = megabytes / 4;
    return {units, static_cast<std::uint64_t>(megabytes), units < minimum};
}

void chooseSystemArea(WorkerState& w) {
    const SystemArea area = systemAreaSize(w.FlashInfo, w.seams.settings);
    w.seams.station.setSystemAreaLabel(w.message(MessageKey::SystemAreaSizeStr) + ": " +
                                       std::to_string(area.megabytes) + "MB");
    if (area.tooSmall) {
        w.seams.prompt.show("The system area size you set is too small!", "Warning",
                            PromptIcon::Warning, PromptButtons::Ok);
    }
    w.iSysAreaUnits = area.units;
}

bool systemAreaFits(WorkerState& w) {
    if (w.iSysAreaUnits <= kMaxSysAreaUnits) {
        return true;
    }
    const auto megabytes = static_cast<std::uint64_t>(w.iSysAreaUnits) * kSysAreaUnitBytes / kMiB;
    w.stepFailed(w.fixed(FixedText::SystemAreaTooLarge) + ": " + std::to_string(megabytes) + "MB");
    return false;
}

bool capacityRule(WorkerState& w) {
    const SETTING_T& r = w.seams.settings.record;
    const auto& info = w.FlashInfo;
    const auto total = static_cast<std::int64_t>(
        std::min<std::size_t>(static_cast<std::size_t>(w.totalBlocks()), w.pBlockMap.size()));
    w.bDegraded = 0;

    if (w.bPageMapValid) {
        const auto pages =
            static_cast<std::size_t>(std::clamp(info.iPagesPerBlock, 0, kMaxPagesPerBlock));
        const auto usable = std::count(
            w.PageMap.begin(), w.PageMap.begin() + static_cast<std::ptrdiff_t>(pages), kUsable);
        if (static_cast<std::size_t>(usable) < pages) {
            w.bDegraded = 1;
        }
    }
    const std::int64_t good = std::count(w.pBlockMap.begin(), w.pBlockMap.begin() + total, kUsable);

    if (r.DealCapError == CapErrorDeal::DoNotCare) {
        return true;
    }
    std::int64_t cap = total;
    while (good < cap * (100 - r.AllowErrorRate) / 100) {
        cap /= 2;
    }
    if (cap == total) {
        return true;
    }
    if (r.DealCapError == CapErrorDeal::ShowError) {
        w.stepFailed(w.fixed(FixedText::BadBlockNoExceed));
        return false;
    }
    // Degrade: each group of 1024 blocks keeps its first seven good blocks while the budget
    // lasts; every further good block spends one unit of a budget that starts at the capacity
    // and shrinks by seven per group; once it is spent every later block is marked bad.
    std::int64_t spent = 0;
    const std::int64_t groups = total / kBlockGroupSize;
    for (std::int64_t n = 0; n < groups; ++n) {
        int goodInGroup = 0;
        for (std::int64_t i = n * kBlockGroupSize; i < (n + 1) * kBlockGroupSize; ++i) {
            auto& block = w.pBlockMap[static_cast<std::size_t>(i)];
            if (block == kUsable && ++goodInGroup > kGroupReserve) {
                ++spent;
            }
            if (cap - kGroupReserve * n < spent) {
                block = kUnusable;
            }
        }
    }
    w.bDegraded = 1;
    return true;
}

std::uint8_t splitRatioByte(const StationSettings& settings) {
    const SETTING_T& r = settings.record;
    if (r.eDeviceFeature != DeviceFeature::Encrypted && r.eDeviceFeature != DeviceFeature::Hidden) {
        return 0;
    }
    return static_cast<std::uint8_t>(static_cast<std::uint32_t>(r.iHideDiskRatio) * 256u / 100u);
}

void storeLayoutBytes(std::span<std::uint8_t, cfg::kSize> b, int sysAreaUnits,
                      const StationSettings& settings) {
    b[cfg::kSysAreaUnits] = static_cast<std::uint8_t>(sysAreaUnits);
    b[cfg::kSplitRatio] = splitRatioByte(settings);
    std::memcpy(&b[cfg::kLayoutText], "0000", cfg::kLayoutTextLength);
    std::fill_n(&b[cfg::kLayoutZero], cfg::kLayoutZeroLength, 0);
}

bool sendCapMultiplier(WorkerState& w) {
    const int index = w.seams.settings.record.CapMultiplier;
    // 0 is the multiplier 1 and sends nothing; -1 (no valid choice) must not reach the device as
    // the byte 0xFF.
    if (index <= 0 || index >= kCapMultiplierCount) {
        return false;
    }
    return setCapMultiplier(w.transport, w.hDevice, static_cast<std::uint8_t>(index));
}

}  // namespace corvid
