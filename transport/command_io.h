#pragma once

// Building blocks shared by the command routines: the two ways of sending one request. Not for
// callers outside the command layer.

#include <array>
#include <cstddef>
#include <cstdint>

#include "transport/scsi_request.h"
#include "transport/transport.h"

namespace corvid::detail {

using BufferedArea = std::array<std::uint8_t, kBufferedDataAreaSize>;

// Sends a buffered request (always data-in) into area. The area is zeroed before the call and
// again after a failed one, so the data of a failed call read as zeros whatever the backend
// left there. The invalid handle fails without sending.
bool sendBuffered(Transport& transport, DeviceHandle handle, ScsiRequest request,
                  BufferedArea& area);

// Sends a direct request with 'length' bytes at 'data' in the request's direction. The invalid
// handle fails without sending.
bool sendDirect(Transport& transport, DeviceHandle handle, ScsiRequest request, std::uint8_t* data,
                std::uint32_t length);

}  // namespace corvid::detail
