#include "devsim/command_set.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string>

#include "platform/ascii_text.h"

namespace corvid::devsim {

namespace {

constexpr auto In = simlink::WireDirection::In;
constexpr auto Out = simlink::WireDirection::Out;
constexpr auto Call = Judged::Call;
constexpr auto Status = Judged::Status;

constexpr CommandShape kCommands[] = {
    {kVendorOpcodeIn, SUB_SCSI_OP_READ_FLASH_ID, "SUB_SCSI_OP_READ_FLASH_ID", 6, In, 5, Call, false,
     false, 2},
    {kVendorOpcodeOut, SUB_SCSI_OP_WRITE_CFG, "SUB_SCSI_OP_WRITE_CFG", 6, Out, kVariableLength,
     Call, true, true, 2},
    {kVendorOpcodeIn, SUB_SCSI_OP_SPI_FLASH_CHECK, "SUB_SCSI_OP_SPI_FLASH_CHECK", 6, In, 1, Status,
     true, false, 2},
    {kVendorOpcodeIn, SUB_SCSI_OP_START_DISK, "SUB_SCSI_OP_START_DISK", 6, In, 2, Call, true, false,
     2},
    {kVendorOpcodeIn, SUB_SCSI_OP_FSM_WRITE_SETUP, "SUB_SCSI_OP_FSM_WRITE_SETUP", 6, In, 1, Call,
     false, false, 6},
    {kVendorOpcodeOut, SUB_SCSI_OP_FSM_WRITE, "SUB_SCSI_OP_FSM_WRITE", 6, Out, kVariableLength,
     Call, false, false, 2},
    {kVendorOpcodeIn, SUB_SCSI_OP_FSM_CHECKSUM, "SUB_SCSI_OP_FSM_CHECKSUM", 6, In, 1, Call, false,
     false, 4},
    {kVendorOpcodeIn, SUB_SCSI_OP_FILE_WRITE_SETUP, "SUB_SCSI_OP_FILE_WRITE_SETUP", 6, In, 1,
     Status, true, false, 6},
    {kVendorOpcodeOut, SUB_SCSI_OP_FILE_WRITE, "SUB_SCSI_OP_FILE_WRITE", 6, Out, kVariableLength,
     Call, true, false, 2},
    {kVendorOpcodeIn, SUB_SCSI_OP_FILE_WRITE_END, "SUB_SCSI_OP_FILE_WRITE_END", 6, In, 1, Status,
     true, false, 2},
    {kVendorOpcodeIn, SUB_SCSI_OP_READ_CFG, "SUB_SCSI_OP_READ_CFG", 10, In, 512, Call, true, true,
     2},
    {kVendorOpcodeIn, SUB_SCSI_OP_RESET, "SUB_SCSI_OP_RESET", 6, In, 0, Call, false, false, 2},
    {kVendorOpcodeIn, SUB_SCSI_OP_GET_CHIP_NAME, "SUB_SCSI_OP_GET_CHIP_NAME", 6, In, 4, Call, false,
     false, 2},
    {kVendorOpcodeIn, SUB_SCSI_OP_SET_SYS_AREA_SIZE, "SUB_SCSI_OP_SET_SYS_AREA_SIZE", 6, In, 1,
     Call, true, false, 3},
    {kVendorOpcodeIn, SUB_SCSI_OP_GET_FLASH_COUNT, "SUB_SCSI_OP_GET_FLASH_COUNT", 6, In, 1, Call,
     false, false, 2},
    {kVendorOpcodeIn, SUB_SCSI_OP_GET_CHIP_NAME_2, "SUB_SCSI_OP_GET_CHIP_NAME_2", 6, In, 4, Call,
     false, false, 2},
    {kVendorOpcodeIn, SUB_SCSI_OP_FW_PARITY_CHECK, "SUB_SCSI_OP_FW_PARITY_CHECK", 6, In, 2, Status,
     true, false, 2},
    {kVendorOpcodeIn, SUB_SCSI_OP_SET_CAP_MULTIPLIER, "SUB_SCSI_OP_SET_CAP_MULTIPLIER", 6, In, 1,
     Status, true, false, 3},
    {kVendorOpcodeIn, SUB_SCSI_OP_8E, "SUB_SCSI_OP_8E", 6, In, 1, Status, false, false, 3},
    {kVendorOpcodeIn, SUB_SCSI_OP_8F, "SUB_SCSI_OP_8F", 6, In, 1, Status, false, false, 3},
    {kVendorOpcodeIn, SUB_SCSI_OP_91, "SUB_SCSI_OP_91", 6, In, 1, Status, false, false, 3},
    {kVendorOpcodeIn, SUB_SCSI_OP_SWITCH_HIDDEN_DISK, "SUB_SCSI_OP_SWITCH_HIDDEN_DISK", 6, In, 1,
     Status, true, false, 2},
    {kVendorOpcodeIn, SUB_SCSI_OP_SCAN_BLOCK, "SUB_SCSI_OP_SCAN_BLOCK", 16, In, kVariableLength,
     Status, true, true, 15},
    {kVendorOpcodeIn, SUB_SCSI_OP_ERASE_BLOCK, "SUB_SCSI_OP_ERASE_BLOCK", 10, In, 1, Call, true,
     true, 8},
    {kVendorOpcodeOut, SUB_SCSI_OP_WRITE_PAGE, "SUB_SCSI_OP_WRITE_PAGE", 10, Out, kVariableLength,
     Call, true, true, 9},
    {kVendorOpcodeIn, SUB_SCSI_OP_READ_PAGE, "SUB_SCSI_OP_READ_PAGE", 10, In, kVariableLength, Call,
     true, true, 9},
    {kVendorOpcodeIn, SUB_SCSI_OP_FSM_INIT, "SUB_SCSI_OP_FSM_INIT", 6, In, 1, Call, true, false, 2},
    {kVendorOpcodeIn, SUB_SCSI_OP_READ_BLOCK_MAP, "SUB_SCSI_OP_READ_BLOCK_MAP", 10, In,
     kVariableLength, Call, true, true, 6},
    {kVendorOpcodeIn, SUB_SCSI_OP_99, "SUB_SCSI_OP_99", 10, In, 512, Call, false, false, 2},
    {kVendorOpcodeIn, SUB_SCSI_OP_GET_PORT, "SUB_SCSI_OP_GET_PORT", 6, In, 1, Call, false, false,
     2},
    {kVendorOpcodeOut, SUB_SCSI_OP_SEND_PAGE_TABLE, "SUB_SCSI_OP_SEND_PAGE_TABLE", 6, Out,
     kVariableLength, Call, true, true, 2},
    {kVendorOpcodeIn, SUB_SCSI_OP_9C, "SUB_SCSI_OP_9C", 6, In, 1, Call, false, false, 2},
    {kVendorOpcodeIn, SUB_SCSI_OP_SPI_READ, "SUB_SCSI_OP_SPI_READ", 6, In, kVariableLength, Call,
     true, false, 6},
    {kVendorOpcodeOut, SUB_SCSI_OP_SPI_WRITE, "SUB_SCSI_OP_SPI_WRITE", 6, Out, kVariableLength,
     Call, true, false, 6},
    {kScsiOpInquiry, 0, "INQUIRY", 6, In, kVariableLength, Call, false, false, 6},
    {kScsiOpStartStopUnit, 0, "START_STOP_UNIT", 6, In, 0, Call, false, false, 6},
    {kScsiOpReadCapacity10, 0, "READ_CAPACITY(10)", 10, In, 8, Call, false, false, 10},
    {kScsiOpRead10, 0, "READ(10)", 10, In, kVariableLength, Call, false, false, 10},
    {kScsiOpWrite10, 0, "WRITE(10)", 10, Out, kVariableLength, Call, false, false, 10},
};

bool isVendor(std::uint8_t opcode) {
    return opcode == kVendorOpcodeIn || opcode == kVendorOpcodeOut;
}

// Upper case without the characters that people spell differently: "read(10)" and "READ10"
// both give "READ10", "read capacity" gives "READCAPACITY".
std::string normalised(std::string_view name) {
    std::string out;
    for (const char c : name) {
        if (std::isalnum(static_cast<unsigned char>(c))) {
            out += asciiUpper(c);
        }
    }
    return out;
}

}  // namespace

const CommandShape* findCommand(std::span<const std::uint8_t> cdb) {
    if (cdb.empty()) {
        return nullptr;
    }
    for (const CommandShape& shape : kCommands) {
        if (isVendor(shape.opcode)) {
            if (cdb.size() >= 2 && cdb[0] == shape.opcode && cdb[1] == shape.subCode) {
                return &shape;
            }
        } else if (cdb[0] == shape.opcode) {
            return &shape;
        }
    }
    return nullptr;
}

const CommandShape* findCommandByName(std::string_view name) {
    const std::string wanted = normalised(name);
    static const std::string prefix = normalised("SUB_SCSI_OP_");
    for (const CommandShape& shape : kCommands) {
        const std::string full = normalised(shape.name);
        if (wanted == full || (full.starts_with(prefix) && wanted == full.substr(prefix.size())) ||
            (!isVendor(shape.opcode) && full.ends_with("10") &&
             wanted == full.substr(0, full.size() - 2))) {
            return &shape;
        }
    }
    return nullptr;
}

std::span<const CommandShape> allCommands() {
    return kCommands;
}

std::string faultCommandNames() {
    constexpr std::string_view kPrefix = "SUB_SCSI_OP_";
    std::string text;
    for (const CommandShape& shape : kCommands) {
        std::string_view name = shape.name;
        if (name.starts_with(kPrefix)) {
            name.remove_prefix(kPrefix.size());
        }
        text += (text.empty() ? "" : ", ") + std::string(name);
    }
    return text;
}

}  // namespace corvid::devsim
