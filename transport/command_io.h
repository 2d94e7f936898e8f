#pragma once

// Building blocks shared by the command routines: big-endian CDB fields and the two ways of
// sending one request. Not for callers outside the command layer.

#include <array>
#include <cstddef>
#include <cstdint>

#include "transport/scsi_request.h"
#include "transport/transport.h"

namespace corvid::detail {

using BufferedArea = std::array<std::uint8_t, kBufferedDataAreaSize>;

void putBe16(ScsiRequest& request, std::size_t offset, std::uint16_t value);
void putBe32(ScsiRequest& request, std::size_t offset, std::uint32_t value);
std::uint32_t getBe32(const std::uint8_t* bytes);

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
