#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

namespace corvid {

enum class DataDirection : std::uint8_t { In, Out };

// One pass-through command. The CDB bytes a command does not set stay 0.
struct ScsiRequest {
    std::array<std::uint8_t, 16> cdb{};
    std::uint8_t cdbLength = 6;  // 6, 10 or 16
    DataDirection direction = DataDirection::In;
    std::uint32_t transferLength = 0;
    std::uint8_t* data = nullptr;  // transferLength bytes; in for reads, out for writes
    std::uint32_t timeoutSeconds = 12;
};

// The buffered form carries its data inside a 512-byte area of the frame.
inline constexpr std::size_t kBufferedDataAreaSize = 512;

// A short read leaves no bytes of an earlier command behind: what the device did not deliver
// reads as zeros.
inline void clearUndelivered(const ScsiRequest& request, std::uint32_t delivered) {
    if (request.data != nullptr && delivered < request.transferLength) {
        std::fill(request.data + delivered, request.data + request.transferLength, 0);
    }
}

// A vendor command succeeds when the call succeeded and bit 0 of the device's status byte is set.
constexpr bool statusVerdict(bool callResult, std::uint8_t statusByte) {
    return callResult && (statusByte & 0x01) != 0;
}

}  // namespace corvid
