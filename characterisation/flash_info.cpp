#include "characterisation/flash_info.h"

#include <algorithm>
#include <cstring>

namespace corvid {

FlashIdBytes flashIdBytes(const FLASH_INFO& info) {
    return {static_cast<std::uint8_t>(info.iMaker & 0xFF),
            static_cast<std::uint8_t>(info.iFlashId >> 24),
            static_cast<std::uint8_t>(info.iFlashId >> 16),
            static_cast<std::uint8_t>(info.iFlashId >> 8),
            static_cast<std::uint8_t>(info.iFlashId)};
}

namespace cfg {

std::uint16_t checksum(std::span<const std::uint8_t> cfg) {
    std::uint16_t sum = 0;
    for (std::size_t i = kChecksumFirst; i <= kChecksumLast; ++i) {
        sum = static_cast<std::uint16_t>(sum + cfg[i]);
    }
    return sum;
}

void storeChecksum(std::span<std::uint8_t> cfg) {
    const std::uint16_t sum = checksum(cfg);
    cfg[kChecksum] = static_cast<std::uint8_t>(sum >> 8);
    cfg[kChecksum + 1] = static_cast<std::uint8_t>(sum);
}

bool hasSignature(std::span<const std::uint8_t> cfg) {
    return cfg.size() >= 4 &&
           (std::memcmp(cfg.data(), "5VX6", 4) == 0 || std::memcmp(cfg.data(), "5V16", 4) == 0);
}

bool hasStoredSignature(std::span<const std::uint8_t> cfg) {
    if (hasSignature(cfg)) {
        return true;
    }
    if (cfg.size() < 4 || cfg[1] != 'X') {
        return false;
    }
    std::array<std::uint8_t, 4> unmarked{};
    std::copy_n(cfg.begin(), unmarked.size(), unmarked.begin());
    unmarked[1] = 'V';
    return hasSignature(unmarked);
}

}  // namespace cfg
}  // namespace corvid
