#include "transport/standard_commands.h"

#include <algorithm>
#include <limits>

#include "platform/byte_order.h"
#include "transport/command_io.h"

namespace corvid {

namespace {

constexpr std::uint32_t kStandardTimeoutSeconds = 12;
constexpr std::uint32_t kReadCapacityLength = 8;
// INQUIRY: allocation length in CDB byte 4.
constexpr std::size_t kInquiryAllocationOffset = 4;

ScsiRequest standardRequest(std::uint8_t opcode, std::uint8_t cdbLength, DataDirection direction,
                            std::uint32_t transferLength) {
    ScsiRequest request;
    request.cdb[0] = opcode;
    request.cdbLength = cdbLength;
    request.direction = direction;
    request.transferLength = transferLength;
    request.timeoutSeconds = kStandardTimeoutSeconds;
    return request;
}

// READ(10) and WRITE(10): LBA in CDB bytes 2-5, block count in 7-8. Refused when the buffer is
// short or the transfer length does not fit 32 bits.
bool sendReadWrite10(Transport& transport, DeviceHandle handle, std::uint8_t opcode,
                     DataDirection direction, std::uint32_t lba, std::uint8_t* data,
                     std::size_t bufferSize, std::uint32_t blockLength, std::uint16_t blockCount) {
    const std::uint64_t length = std::uint64_t{blockLength} * blockCount;
    if (length > std::numeric_limits<std::uint32_t>::max() || bufferSize < length) {
        return false;
    }
    ScsiRequest request = standardRequest(opcode, 10, direction, 0);
    storeBe32(&request.cdb[2], lba);
    storeBe16(&request.cdb[7], blockCount);
    return detail::sendDirect(transport, handle, request, data, static_cast<std::uint32_t>(length));
}

}  // namespace

bool inquiry(Transport& transport, DeviceHandle handle,
             std::span<std::uint8_t, kInquiryLength> data) {
    ScsiRequest request = standardRequest(kScsiOpInquiry, 6, DataDirection::In, kInquiryLength);
    request.cdb[kInquiryAllocationOffset] = kInquiryLength;
    detail::BufferedArea area;
    const bool ok = detail::sendBuffered(transport, handle, request, area);
    std::copy_n(area.begin(), kInquiryLength, data.begin());
    return ok;
}

bool readCapacity10(Transport& transport, DeviceHandle handle, std::uint32_t& lastBlockAddress,
                    std::uint32_t& blockLength) {
    const ScsiRequest request =
        standardRequest(kScsiOpReadCapacity10, 10, DataDirection::In, kReadCapacityLength);
    detail::BufferedArea area;
    const bool ok = detail::sendBuffered(transport, handle, request, area);
    lastBlockAddress = loadBe32(&area[0]);
    blockLength = loadBe32(&area[4]);
    return ok;
}

bool read10(Transport& transport, DeviceHandle handle, std::uint32_t lba,
            std::span<std::uint8_t> buffer, std::uint32_t blockLength, std::uint16_t blockCount) {
    return sendReadWrite10(transport, handle, kScsiOpRead10, DataDirection::In, lba, buffer.data(),
                           buffer.size(), blockLength, blockCount);
}

bool write10(Transport& transport, DeviceHandle handle, std::uint32_t lba,
             std::span<const std::uint8_t> buffer, std::uint32_t blockLength,
             std::uint16_t blockCount) {
    // Backends only read a data-out buffer; ScsiRequest has one pointer for both directions.
    return sendReadWrite10(transport, handle, kScsiOpWrite10, DataDirection::Out, lba,
                           const_cast<std::uint8_t*>(buffer.data()), buffer.size(), blockLength,
                           blockCount);
}

bool startStopUnit(Transport& transport, DeviceHandle handle) {
    const ScsiRequest request = standardRequest(kScsiOpStartStopUnit, 6, DataDirection::In, 0);
    detail::BufferedArea area;
    return detail::sendBuffered(transport, handle, request, area);
}

}  // namespace corvid
