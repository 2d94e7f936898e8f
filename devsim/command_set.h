#pragma once

// The commands a simulated controller understands, decoded from the CDB on the device's side
// (independently of the station's command routines, so each checks the other).

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "simlink/wire.h"
#include "transport/command_codes.h"

namespace corvid::devsim {

using SubCode = VendorSubCode;

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
    simlink::WireDirection direction;
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

// The names fault rules take, as a help text lists them: "READ_FLASH_ID, READ_CFG, ...".
std::string faultCommandNames();

}  // namespace corvid::devsim
