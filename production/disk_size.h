#pragma once

#include <cstdint>

#include "transport/transport.h"

namespace corvid {

// The size in MB of the disk a drive letter shows now: the volume is opened anew, asked with
// READ CAPACITY(10) and closed. 0 when it cannot be opened, the command fails or either number
// is 0.
std::int32_t bGetDiskSizeMB(Transport& transport, char driveLetter);

// (block length / 512) x last block address / 2048, clamped to the 32-bit result.
std::int32_t diskSizeMB(std::uint32_t lastBlockAddress, std::uint32_t blockLength);

}  // namespace corvid
