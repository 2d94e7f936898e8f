#include "transport/command_io.h"

namespace corvid::detail {

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
