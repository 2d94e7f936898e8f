#pragma once

// The commands a simulated controller understands, decoded from the CDB on the device's side
// (independently of the station's command routines, so each checks the other).

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "devsim/wire.h"

namespace corvid::devsim {

inline constexpr std::uint8_t kOpVendorIn = 0xEF;
inline constexpr std::uint8_t kOpVendorOut = 0xEE;

enum SubCode : std::uint8_t {
    SUB_SCSI_OP_READ_FLASH_ID = 0x70,
    SUB_SCSI_OP_WRITE_CFG = 0x71,
    SUB_SCSI_OP_SPI_FLASH_CHECK = 0x72,
    SUB_SCSI_OP_START_DISK = 0x73,
    SUB_SCSI_OP_FSM_WRITE_SETUP = 0x77,
    SUB_SCSI_OP_FSM_WRITE = 0x78,
    SUB_SCSI_OP_FSM_CHECKSUM = 0x79,
    SUB_SCSI_OP_FILE_WRITE_SETUP = 0x7A,
    SUB_SCSI_OP_FILE_WRITE = 0x7B,
    SUB_SCSI_OP_FILE_WRITE_END = 0x7C,
    SUB_SCSI_OP_READ_CFG = 0x80,
    SUB_SCSI_OP_RESET = 0x81,
    SUB_SCSI_OP_GET_CHIP_NAME = 0x82,
    SUB_SCSI_OP_SET_SYS_AREA_SIZE = 0x83,
    SUB_SCSI_OP_GET_FLASH_COUNT = 0x84,
    SUB_SCSI_OP_GET_CHIP_NAME_2 = 0x85,
    SUB_SCSI_OP_FW_PARITY_CHECK = 0x87,
    SUB_SCSI_OP_SET_CAP_MULTIPLIER = 0x8D,
    SUB_SCSI_OP_8E = 0x8E,
    SUB_SCSI_OP_8F = 0x8F,
    SUB_SCSI_OP_91 = 0x91,
    SUB_SCSI_OP_SWITCH_HIDDEN_DISK = 0x92,
    SUB_SCSI_OP_SCAN_BLOCK = 0x93,
    SUB_SCSI_OP_ERASE_BLOCK = 0x94,
    SUB_SCSI_OP_WRITE_PAGE = 0x95,
    SUB_SCSI_OP_READ_PAGE = 0x96,
    SUB_SCSI_OP_FSM_INIT = 0x97,
    SUB_SCSI_OP_READ_BLOCK_MAP = 0x98,
    SUB_SCSI_OP_99 = 0x99,
    SUB_SCSI_OP_GET_PORT = 0x9A,
    SUB_SCSI_OP_SEND_PAGE_TABLE = 0x9B,
    SUB_SCSI_OP_9C = 0x9C,
    SUB_SCSI_OP_SPI_READ = 0x9D,
    SUB_SCSI_OP_SPI_WRITE = 0x9E,
};

// Standard SCSI opcodes the controller answers.
inline constexpr std::uint8_t kOpInquiry = 0x12;
inline constexpr std::uint8_t kOpStartStopUnit = 0x1B;
inline constexpr std::uint8_t kOpReadCapacity10 = 0x25;
inline constexpr std::uint8_t kOpRead10 = 0x28;
inline constexpr std::uint8_t kOpWrite10 = 0x2A;

// How the station judges a command: by the call result alone, or also by bit 0 of the status
// byte (data byte 0). A failure the station must see is a refusal for the first kind and a
// clear status bit for the second.
enum class Judged { Call, Status };

// A data length that follows from the command's arguments.
inline constexpr std::int32_t kVariableLength = -1;

struct CommandShape {
    std::uint8_t opcode;
    std::uint8_t subCode;  // 0 for the standard commands
    const char* name;      // SUB_SCSI_OP_READ_FLASH_ID, INQUIRY, READ(10) ...
    std::uint8_t cdbLength;
    WireDirection direction;
    std::int32_t dataLength;  // the bytes it moves, or kVariableLength
    Judged judged;
    bool touchesFlash;     // needs a loaded FSM: flash array, system area, downloads, disk start
    bool needsNand;        // a device with serial flash only refuses it
    std::uint8_t argsEnd;  // vendor CDB bytes from here on must be 0
};

// The command a CDB names, or nothing for an opcode or sub-code the controller does not know.
// A vendor sub-code under the wrong opcode (0xEE for a data-in command) is not known either.
const CommandShape* findCommand(std::span<const std::uint8_t> cdb);

// Looks a command up by name for fault rules: the full name ("SUB_SCSI_OP_READ_CFG"), the name
// without the prefix ("READ_CFG"), or a standard command ("INQUIRY", "READ10", "READ(10)",
// "READ_CAPACITY"); case does not matter.
const CommandShape* findCommandByName(std::string_view name);

// All commands, for help texts.
std::span<const CommandShape> allCommands();

// Big-endian CDB fields.
constexpr std::uint16_t cdbBe16(std::span<const std::uint8_t> cdb, std::size_t at) {
    return static_cast<std::uint16_t>(cdb[at] << 8 | cdb[at + 1]);
}
constexpr std::uint32_t cdbBe32(std::span<const std::uint8_t> cdb, std::size_t at) {
    return static_cast<std::uint32_t>(cdb[at]) << 24 |
           static_cast<std::uint32_t>(cdb[at + 1]) << 16 |
           static_cast<std::uint32_t>(cdb[at + 2]) << 8 | cdb[at + 3];
}

}  // namespace corvid::devsim
