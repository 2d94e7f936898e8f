#pragma once

// The standard SCSI commands the station sends. Same rules as the vendor commands: one request,
// no retry, kInvalidHandle refused without sending.

#include <cstddef>
#include <cstdint>
#include <span>

#include "transport/command_codes.h"
#include "transport/transport.h"

namespace corvid {

inline constexpr std::size_t kInquiryLength = 36;

// INQUIRY with allocation length 36. Call.
bool inquiry(Transport& transport, DeviceHandle handle,
             std::span<std::uint8_t, kInquiryLength> data);

// READ CAPACITY(10): the last block address and the block length, both 0 when the call fails.
// Call.
bool readCapacity10(Transport& transport, DeviceHandle handle, std::uint32_t& lastBlockAddress,
                    std::uint32_t& blockLength);

// READ(10) / WRITE(10) of blockCount blocks of blockLength bytes at lba. The buffer must hold
// blockLength x blockCount bytes, and that product must fit 32 bits; otherwise the command is
// refused without sending. Call.
bool read10(Transport& transport, DeviceHandle handle, std::uint32_t lba,
            std::span<std::uint8_t> buffer, std::uint32_t blockLength, std::uint16_t blockCount);
bool write10(Transport& transport, DeviceHandle handle, std::uint32_t lba,
             std::span<const std::uint8_t> buffer, std::uint32_t blockLength,
             std::uint16_t blockCount);

// START STOP UNIT with start and eject bits 0. Call.
bool startStopUnit(Transport& transport, DeviceHandle handle);

}  // namespace corvid
