#pragma once

// The command codes of the ZQL5Vxx controllers (vendor and standard SCSI), shared by the
// station's command routines and the device simulator.

#include <cstdint>

namespace corvid {

// CDB byte 0: data-out commands use 0xEE, all others 0xEF.
inline constexpr std::uint8_t kVendorOpcodeIn = 0xEF;
inline constexpr std::uint8_t kVendorOpcodeOut = 0xEE;

// CDB byte 1. The sub-code alone names a vendor command.
enum VendorSubCode : std::uint8_t {
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

// Standard SCSI opcodes the station sends.
inline constexpr std::uint8_t kScsiOpInquiry = 0x12;
inline constexpr std::uint8_t kScsiOpStartStopUnit = 0x1B;
inline constexpr std::uint8_t kScsiOpReadCapacity10 = 0x25;
inline constexpr std::uint8_t kScsiOpRead10 = 0x28;
inline constexpr std::uint8_t kScsiOpWrite10 = 0x2A;
// Standard SCSI opcodes a kernel sends to every disk it finds (the simulated stick answers them).
inline constexpr std::uint8_t kScsiOpTestUnitReady = 0x00;
inline constexpr std::uint8_t kScsiOpRequestSense = 0x03;
inline constexpr std::uint8_t kScsiOpModeSense6 = 0x1A;
inline constexpr std::uint8_t kScsiOpPreventAllowRemoval = 0x1E;
inline constexpr std::uint8_t kScsiOpSynchronizeCache10 = 0x35;
inline constexpr std::uint8_t kScsiOpModeSense10 = 0x5A;

}  // namespace corvid
