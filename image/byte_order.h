#pragma once

#include <cstddef>
#include <cstdint>

namespace corvid {

// On-disk integers of the image file and of FAT volumes are little-endian whatever the host is.

inline std::uint16_t loadLe16(const std::byte* p) {
    return static_cast<std::uint16_t>(std::to_integer<unsigned>(p[0]) |
                                      (std::to_integer<unsigned>(p[1]) << 8));
}

inline std::uint32_t loadLe32(const std::byte* p) {
    return std::to_integer<std::uint32_t>(p[0]) | (std::to_integer<std::uint32_t>(p[1]) << 8) |
           (std::to_integer<std::uint32_t>(p[2]) << 16) |
           (std::to_integer<std::uint32_t>(p[3]) << 24);
}

inline void storeLe16(std::byte* p, std::uint16_t value) {
    p[0] = static_cast<std::byte>(value & 0xFF);
    p[1] = static_cast<std::byte>(value >> 8);
}

inline void storeLe32(std::byte* p, std::uint32_t value) {
    p[0] = static_cast<std::byte>(value & 0xFF);
    p[1] = static_cast<std::byte>((value >> 8) & 0xFF);
    p[2] = static_cast<std::byte>((value >> 16) & 0xFF);
    p[3] = static_cast<std::byte>(value >> 24);
}

}  // namespace corvid
