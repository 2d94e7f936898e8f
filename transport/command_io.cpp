#include "transport/command_io.h"

namespace corvid::detail {

void putBe16(ScsiRequest& request, std::size_t offset, std::uint16_t value) {
    request.cdb.at(offset) = static_cast<std::uint8_t>(value >> 8);
    request.cdb.at(offset + 1) = static_cast<std::uint8_t>(value);
}

void putBe32(ScsiRequest& request, std::size_t offset, std::uint32_t value) {
    putBe16(request, offset, static_cast<std::uint16_t>(value >> 16));
    putBe16(request, offset + 2, static_cast<std::uint16_t>(value));
}

std::uint32_t getBe32(const std::uint8_t* bytes) {
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
           (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
}

bool sendBuffered(Transport& transport, DeviceHandle handle, ScsiRequest request,
                  BufferedArea& area) {
    area.fill(0);
    if (handle == kInvalidHandle || request.transferLength > area.size()) {
        return false;
    }
    request.direction = DataDirection::In;
    request.data = area.data();
    const bool ok = transport.sendBuffered(handle, request);
    if (!ok) {
        area.fill(0);
    }
    return ok;
}

bool sendDirect(Transport& transport, DeviceHandle handle, ScsiRequest request, std::uint8_t* data,
                std::uint32_t length) {
    if (handle == kInvalidHandle) {
        return false;
    }
    request.data = data;
    request.transferLength = length;
    return transport.sendDirect(handle, request);
}

}  // namespace corvid::detail
