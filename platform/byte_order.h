#pragma once

// Integers stored in a fixed byte order whatever the host is: little-endian in FAT volumes and
// the image file, big-endian in SCSI command blocks and replies. Works on std::byte and
// std::uint8_t buffers alike.

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace corvid {

namespace byte_order_detail {

constexpr std::uint32_t valueOf(std::uint8_t b) {
    return b;
}
constexpr std::uint32_t valueOf(std::byte b) {
    return std::to_integer<std::uint32_t>(b);
}

template <typename Byte>
constexpr void put(Byte* p, std::uint32_t value) {
    static_assert(std::is_same_v<Byte, std::byte> || std::is_same_v<Byte, std::uint8_t>);
    *p = static_cast<Byte>(value & 0xFF);
}

}  // namespace byte_order_detail

template <typename Byte>
constexpr std::uint16_t loadLe16(const Byte* p) {
    using byte_order_detail::valueOf;
    return static_cast<std::uint16_t>(valueOf(p[0]) | valueOf(p[1]) << 8);
}

template <typename Byte>
constexpr std::uint32_t loadLe32(const Byte* p) {
    return loadLe16(p) | std::uint32_t{loadLe16(p + 2)} << 16;
}

template <typename Byte>
constexpr void storeLe16(Byte* p, std::uint16_t value) {
    byte_order_detail::put(p, value);
    byte_order_detail::put(p + 1, value >> 8);
}

template <typename Byte>
constexpr void storeLe32(Byte* p, std::uint32_t value) {
    storeLe16(p, static_cast<std::uint16_t>(value));
    storeLe16(p + 2, static_cast<std::uint16_t>(value >> 16));
}

template <typename Byte>
constexpr std::uint16_t loadBe16(const Byte* p) {
    using byte_order_detail::valueOf;
    return static_cast<std::uint16_t>(valueOf(p[0]) << 8 | valueOf(p[1]));
}

template <typename Byte>
constexpr std::uint32_t loadBe32(const Byte* p) {
    return std::uint32_t{loadBe16(p)} << 16 | loadBe16(p + 2);
}

template <typename Byte>
constexpr void storeBe16(Byte* p, std::uint16_t value) {
    byte_order_detail::put(p, value >> 8);
    byte_order_detail::put(p + 1, value);
}

template <typename Byte>
constexpr void storeBe32(Byte* p, std::uint32_t value) {
    storeBe16(p, static_cast<std::uint16_t>(value >> 16));
    storeBe16(p + 2, static_cast<std::uint16_t>(value));
}

}  // namespace corvid
