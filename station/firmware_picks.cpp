#include "station/firmware_picks.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <system_error>

#include "platform/ascii_text.h"

namespace corvid {

namespace {

constexpr std::uint64_t kPickRounding = 0x80000;       // 512 KiB
constexpr std::uint64_t kEstimateSpare = 0x100000;     // 1 MiB
constexpr std::uint64_t kEstimateRounding = 0x400000;  // 4 MiB
constexpr std::uint64_t kMiB = 0x100000;

std::string lowerFileName(const std::string& entry) {
    return asciiLower(std::filesystem::path(entry).filename().string());
}

// Sizes are kept in 32 bits; a file beyond that counts as the largest size rather than wrapping
// to a negative one.
std::int32_t fileSize(const StationFolder& folder, const std::string& entry) {
    std::error_code error;
    const std::filesystem::path path = folder.resolve(entry);
    if (!std::filesystem::is_regular_file(path, error)) {
        return 0;
    }
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (error) {
        return 0;
    }
    return static_cast<std::int32_t>(
        std::min<std::uintmax_t>(size, std::numeric_limits<std::int32_t>::max()));
}

std::uint64_t roundUp(std::uint64_t value, std::uint64_t unit) {
    return (value + unit - 1) / unit * unit;
}

}  // namespace

void recomputeFirmwarePicks(StationSettings& settings, const StationFolder& folder) {
    settings.iProgramIndex = settings.iPreferIndex = settings.iIsoIndex = -1;
    settings.iProgramSize = settings.iPreferSize = settings.iIsoSize = 0;

    for (std::size_t i = 0; i < settings.preCopyList.size(); ++i) {
        const std::string name = lowerFileName(settings.preCopyList[i]);
        const auto index = static_cast<std::int32_t>(i);
        if (name.find(".bin") != std::string::npos) {
            settings.iProgramIndex = index;
        }
        if (name.find("prefer.dat") != std::string::npos) {
            settings.iPreferIndex = index;
        }
        if (name.find("image.iso") != std::string::npos) {
            settings.iIsoIndex = index;
        }
    }

    const auto sizeOf = [&](std::int32_t index) {
        return index < 0 ? 0
                         : fileSize(folder, settings.preCopyList[static_cast<std::size_t>(index)]);
    };
    settings.iProgramSize = sizeOf(settings.iProgramIndex);
    settings.iPreferSize = sizeOf(settings.iPreferIndex);
    settings.iIsoSize = sizeOf(settings.iIsoIndex);
}

int systemAreaEstimateMB(const StationSettings& settings) {
    std::uint64_t sum = roundUp(static_cast<std::uint32_t>(settings.iProgramSize), kPickRounding) +
                        roundUp(static_cast<std::uint32_t>(settings.iPreferSize), kPickRounding);
    if (settings.chkISOupgrade) {
        sum += roundUp(static_cast<std::uint32_t>(settings.iIsoSize), kPickRounding);
    }
    return static_cast<int>(roundUp(2 * (sum + kEstimateSpare), kEstimateRounding) / kMiB);
}

std::string systemAreaEstimateText(const std::string& systemAreaSizeStr, int estimateMB) {
    return systemAreaSizeStr + ": " + std::to_string(estimateMB) + "MB";
}

}  // namespace corvid
