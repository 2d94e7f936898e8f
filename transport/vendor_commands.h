#pragma once

// The controller's vendor commands. Every routine builds its request, sends it once on the given
// handle and returns what its callers test: the call result, the status verdict (call result and
// bit 0 of the status byte, data byte 0) or a value taken from the data. No routine retries.
//
// A routine handed kInvalidHandle returns its failure value (false or 0) without sending.
// Multi-byte CDB arguments go out most significant byte first; a routine takes each argument in
// the width of its CDB field, so a wider number passed in keeps its low bits.
// Buffers are spans: the data length of a direct command is the span's size unless the command
// fixes it, and a span too small for the data refuses the command without sending.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "transport/command_codes.h"
#include "transport/transport.h"

namespace corvid {

// The controller's configuration block (CFG) as SUB_SCSI_OP_READ_CFG returns it.
inline constexpr std::size_t kCfgBlockSize = 512;
// Unit of the serial-flash reads and writes.
inline constexpr std::size_t kSpiUnitSize = 256;
// SUB_SCSI_OP_SCAN_BLOCK receives status byte and results in an area of this size.
inline constexpr std::size_t kScanBlockAreaSize = 1024;

// Chip names answered by SUB_SCSI_OP_GET_CHIP_NAME and SUB_SCSI_OP_GET_CHIP_NAME_2.
inline constexpr char kChipName5V16[] = "5V16";
inline constexpr char kChipName5V06[] = "5V06";

// --- Flash identity -------------------------------------------------------------------------

// SUB_SCSI_OP_READ_FLASH_ID: maker = ID byte 0, flashId = ID bytes 1-4, byte 1 most significant.
// Both are written in every case; a failed call leaves them 0. Returns the call result.
bool readFlashId(Transport& transport, DeviceHandle handle, std::uint8_t& maker,
                 std::uint32_t& flashId);

// The flash ID as the station shows it: "ID:%02X%08X", e.g. "ID:ECD3519558".
std::string formatFlashId(std::uint8_t maker, std::uint32_t flashId);

// The maker/ID pair a device with serial (SPI) flash and no NAND flash answers.
inline constexpr std::uint8_t kSpiFlashMaker = 0xFF;
inline constexpr std::uint32_t kSpiFlashId = 0x00FF00FF;

// SUB_SCSI_OP_GET_FLASH_COUNT: data byte 0, the number of flash chips; 0 when the call fails.
std::uint8_t getFlashCount(Transport& transport, DeviceHandle handle);

// SUB_SCSI_OP_GET_CHIP_NAME: true when the device answers "5V16".
bool getChipName(Transport& transport, DeviceHandle handle);
// SUB_SCSI_OP_GET_CHIP_NAME_2: true when the device answers "5V06".
bool getChipName2(Transport& transport, DeviceHandle handle);

// SUB_SCSI_OP_GET_PORT: data byte 0 when the call succeeded, else 0.
std::uint8_t getPort(Transport& transport, DeviceHandle handle);
// SUB_SCSI_OP_9C: as SUB_SCSI_OP_GET_PORT.
std::uint8_t subOp9C(Transport& transport, DeviceHandle handle);

// --- Configuration and state ----------------------------------------------------------------

// SUB_SCSI_OP_WRITE_CFG: sends cfg (a CFG or one chunk of a flash description file). Call.
bool writeCfgBlock(Transport& transport, DeviceHandle handle, std::span<const std::uint8_t> cfg);
// SUB_SCSI_OP_READ_CFG: the CFG the device holds. Call.
bool readCfg(Transport& transport, DeviceHandle handle, std::span<std::uint8_t, kCfgBlockSize> cfg);
// SUB_SCSI_OP_99: 512 bytes in. Call.
bool subOp99(Transport& transport, DeviceHandle handle,
             std::span<std::uint8_t, kCfgBlockSize> data);

// SUB_SCSI_OP_RESET. Call.
bool resetDevice(Transport& transport, DeviceHandle handle);
// SUB_SCSI_OP_FSM_INIT. Call.
bool fsmInit(Transport& transport, DeviceHandle handle);
// SUB_SCSI_OP_START_DISK. Call (the 2 data bytes are not used).
bool startDisk(Transport& transport, DeviceHandle handle);
// SUB_SCSI_OP_SPI_FLASH_CHECK (allowed 300 s). Verdict.
bool spiFlashCheck(Transport& transport, DeviceHandle handle);
// SUB_SCSI_OP_FW_PARITY_CHECK. Verdict.
bool bFwParityCheck(Transport& transport, DeviceHandle handle);
// SUB_SCSI_OP_SET_CAP_MULTIPLIER with the multiplier in CDB byte 2. Verdict.
bool setCapMultiplier(Transport& transport, DeviceHandle handle, std::uint8_t multiplier);
// SUB_SCSI_OP_SWITCH_HIDDEN_DISK. Verdict.
bool switchHiddenDisk(Transport& transport, DeviceHandle handle);
// SUB_SCSI_OP_SET_SYS_AREA_SIZE with the size unit in CDB byte 2. Call.
bool setSysAreaSize(Transport& transport, DeviceHandle handle, std::uint8_t sizeUnit);
// SUB_SCSI_OP_8E, SUB_SCSI_OP_8F, SUB_SCSI_OP_91 with one argument byte. Verdict.
bool subOp8E(Transport& transport, DeviceHandle handle, std::uint8_t value);
bool subOp8F(Transport& transport, DeviceHandle handle, std::uint8_t value);
bool subOp91(Transport& transport, DeviceHandle handle, std::uint8_t value);

// --- FSM and file downloads -----------------------------------------------------------------

// SUB_SCSI_OP_FSM_WRITE_SETUP with the FSM file size. Call.
bool fsmWriteSetup(Transport& transport, DeviceHandle handle, std::uint32_t fsmSize);
// SUB_SCSI_OP_FSM_WRITE: one chunk of the FSM file (length 0 allowed). Call.
bool fsmWrite(Transport& transport, DeviceHandle handle, std::span<const std::uint8_t> chunk);
// SUB_SCSI_OP_FSM_CHECKSUM with the 16-bit byte sum of the FSM file. Call.
bool fsmChecksum(Transport& transport, DeviceHandle handle, std::uint16_t sum);
// The 16-bit wrap-around sum of bytes taken unsigned, continued from 'sum' (so a file can be
// summed chunk by chunk).
std::uint16_t byteSum16(std::span<const std::uint8_t> bytes, std::uint16_t sum = 0);

// SUB_SCSI_OP_FILE_WRITE_SETUP with the file size. Verdict.
bool fileWriteSetup(Transport& transport, DeviceHandle handle, std::uint32_t fileSize);
// SUB_SCSI_OP_FILE_WRITE: one chunk of the file (length 0 allowed). Call.
bool fileWrite(Transport& transport, DeviceHandle handle, std::span<const std::uint8_t> chunk);
// SUB_SCSI_OP_FILE_WRITE_END. Verdict.
bool bFileWriteEnd(Transport& transport, DeviceHandle handle);

// One of the data-out commands without CDB arguments (SUB_SCSI_OP_WRITE_CFG,
// SUB_SCSI_OP_FSM_WRITE, SUB_SCSI_OP_FILE_WRITE, SUB_SCSI_OP_SEND_PAGE_TABLE), chosen by
// sub-code, for callers that send a file in chunks with a command they are given. Any other
// sub-code is refused without sending. Call.
bool sendDataOut(Transport& transport, DeviceHandle handle, VendorSubCode subCode,
                 std::span<const std::uint8_t> data);

// --- Flash blocks and pages -----------------------------------------------------------------

// SUB_SCSI_OP_READ_BLOCK_MAP: the map length (map.size()) goes in CDB bytes 2-5. Call.
bool readBlockMap(Transport& transport, DeviceHandle handle, std::span<std::uint8_t> map);

// SUB_SCSI_OP_ERASE_BLOCK. Call.
bool eraseBlock(Transport& transport, DeviceHandle handle, std::uint32_t firstBlock,
                std::uint16_t blockCount);

// SUB_SCSI_OP_WRITE_PAGE: data.size() bytes of page data; flash type in CDB byte 8. Call.
bool writePage(Transport& transport, DeviceHandle handle, std::uint32_t firstPage,
               std::uint16_t pageCount, std::uint8_t flashType, std::span<const std::uint8_t> data);
// SUB_SCSI_OP_READ_PAGE: reads data.size() bytes, CDB as SUB_SCSI_OP_WRITE_PAGE. Call.
bool readPage(Transport& transport, DeviceHandle handle, std::uint32_t firstPage,
              std::uint16_t pageCount, std::uint8_t flashType, std::span<std::uint8_t> data);

// SUB_SCSI_OP_SEND_PAGE_TABLE: one byte per page of a block. Call.
bool sendPageTable(Transport& transport, DeviceHandle handle,
                   std::span<const std::uint8_t> pageTable);

// CDB byte 11 of SUB_SCSI_OP_SCAN_BLOCK.
inline constexpr std::uint8_t kScanPhaseReadCompare = 1;
inline constexpr std::uint8_t kScanPhaseWriteOnly = 2;
inline constexpr std::uint8_t kScanPhaseWriteAndRead = 3;
// Fixed pattern words for CDB bytes 8-9.
inline constexpr std::uint16_t kScanPattern55AA = 0x55AA;
inline constexpr std::uint16_t kScanPatternAA55 = 0xAA55;

struct ScanBlockArgs {
    std::uint32_t firstBlock = 0;  // global block number over all chips
    std::uint16_t blockCount = 1;
    std::uint16_t pattern = 0;  // seed below 0xFFFF, or a fixed pattern word
    std::uint8_t mode = 1;      // 1, 2 or 3
    std::uint8_t phase = kScanPhaseWriteAndRead;
    std::uint8_t pageSkip = 0;
    std::uint8_t eccLevel = 0;
    bool resultPerPage = false;       // one result byte per page of the block, else per block
    std::uint32_t pagesPerBlock = 0;  // counts only with resultPerPage
};

// SUB_SCSI_OP_SCAN_BLOCK. Moves 1 + n bytes (n = pagesPerBlock with resultPerPage, else
// blockCount) into an internal area of kScanBlockAreaSize bytes; returns the verdict. On verdict
// 1 outside phase 2 the n result bytes are copied into results; otherwise results is left as it
// was. Refused without sending when 1 + n exceeds the area or results holds fewer than n bytes.
bool scanBlock(Transport& transport, DeviceHandle handle, const ScanBlockArgs& args,
               std::span<std::uint8_t> results);

// --- Serial flash ---------------------------------------------------------------------------

// SUB_SCSI_OP_SPI_READ: unitCount 256-byte units from firstUnit into data. Call.
bool spiRead(Transport& transport, DeviceHandle handle, std::uint16_t firstUnit,
             std::uint16_t unitCount, std::span<std::uint8_t> data);
// SUB_SCSI_OP_SPI_WRITE: unitCount 256-byte units from data to firstUnit. Call.
bool spiWrite(Transport& transport, DeviceHandle handle, std::uint16_t firstUnit,
              std::uint16_t unitCount, std::span<const std::uint8_t> data);

}  // namespace corvid
