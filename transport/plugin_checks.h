#pragma once

// The checks made when a device arrives, before a worker owns it. Each opens the drive letter,
// sends one command, closes the handle and then judges the data. A letter that cannot be opened
// gives false (0) without sending anything.

#include <cstdint>

#include "transport/transport.h"

namespace corvid {

// SUB_SCSI_OP_GET_CHIP_NAME by letter: true when the device answers "5V16" and so must be reset
// before it can be taken.
bool needsReset(Transport& transport, char driveLetter);

// SUB_SCSI_OP_RESET by letter. Call result.
bool resetByLetter(Transport& transport, char driveLetter);

// INQUIRY by letter: true when the data begin with one of the station's identification strings.
// A call that fails passes too (only a successful call's data are compared); a letter that
// cannot be opened fails.
bool cmd_bInquiry(Transport& transport, char driveLetter);

// SUB_SCSI_OP_READ_FLASH_ID by letter. maker and flashId are written in every case (0 when the
// letter cannot be opened or the call fails). Call result.
bool readFlashIdByLetter(Transport& transport, char driveLetter, std::uint8_t& maker,
                         std::uint32_t& flashId);

}  // namespace corvid
