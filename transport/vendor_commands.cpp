#include "transport/vendor_commands.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/byte_order.h"
#include "transport/command_io.h"

namespace corvid {

namespace {

using detail::BufferedArea;

enum class Form : std::uint8_t { Buffered, Direct };

// How each vendor command travels. bufferedLength is the data length of a buffered command;
// direct commands get theirs from the caller.
struct CommandLayout {
    VendorSubCode subCode;
    Form form;
    std::uint8_t cdbLength;
    DataDirection direction;
    std::uint32_t bufferedLength;
    std::uint32_t timeoutSeconds;
};

constexpr Form B = Form::Buffered;
constexpr Form D = Form::Direct;
constexpr DataDirection In = DataDirection::In;
constexpr DataDirection Out = DataDirection::Out;

constexpr CommandLayout kLayouts[] = {
    {SUB_SCSI_OP_READ_FLASH_ID, B, 6, In, 5, 12},
    {SUB_SCSI_OP_WRITE_CFG, D, 6, Out, 0, 12},
    {SUB_SCSI_OP_SPI_FLASH_CHECK, B, 6, In, 1, 300},
    {SUB_SCSI_OP_START_DISK, B, 6, In, 2, 30},
    {SUB_SCSI_OP_FSM_WRITE_SETUP, B, 6, In, 1, 12},
    {SUB_SCSI_OP_FSM_WRITE, D, 6, Out, 0, 12},
    {SUB_SCSI_OP_FSM_CHECKSUM, B, 6, In, 1, 12},
    {SUB_SCSI_OP_FILE_WRITE_SETUP, B, 6, In, 1, 12},
    {SUB_SCSI_OP_FILE_WRITE, D, 6, Out, 0, 12},
    {SUB_SCSI_OP_FILE_WRITE_END, B, 6, In, 1, 12},
    {SUB_SCSI_OP_READ_CFG, D, 10, In, 0, 10},
    {SUB_SCSI_OP_RESET, B, 6, In, 0, 12},
    {SUB_SCSI_OP_GET_CHIP_NAME, B, 6, In, 4, 12},
    {SUB_SCSI_OP_SET_SYS_AREA_SIZE, B, 6, In, 1, 12},
    {SUB_SCSI_OP_GET_FLASH_COUNT, B, 6, In, 1, 12},
    {SUB_SCSI_OP_GET_CHIP_NAME_2, B, 6, In, 4, 12},
    {SUB_SCSI_OP_FW_PARITY_CHECK, B, 6, In, 2, 12},
    {SUB_SCSI_OP_SET_CAP_MULTIPLIER, B, 6, In, 1, 12},
    {SUB_SCSI_OP_8E, B, 6, In, 1, 12},
    {SUB_SCSI_OP_8F, B, 6, In, 1, 12},
    {SUB_SCSI_OP_91, B, 6, In, 1, 12},
    {SUB_SCSI_OP_SWITCH_HIDDEN_DISK, B, 6, In, 1, 12},
    {SUB_SCSI_OP_SCAN_BLOCK, D, 16, In, 0, 30},
    {SUB_SCSI_OP_ERASE_BLOCK, B, 10, In, 1, 12},
    {SUB_SCSI_OP_WRITE_PAGE, D, 10, Out, 0, 10},
    {SUB_SCSI_OP_READ_PAGE, D, 10, In, 0, 12},
    {SUB_SCSI_OP_FSM_INIT, B, 6, In, 1, 10},
    {SUB_SCSI_OP_READ_BLOCK_MAP, D, 10, In, 0, 30},
    {SUB_SCSI_OP_99, D, 10, In, 0, 10},
    {SUB_SCSI_OP_GET_PORT, B, 6, In, 1, 12},
    {SUB_SCSI_OP_SEND_PAGE_TABLE, D, 6, Out, 0, 10},
    {SUB_SCSI_OP_9C, B, 6, In, 1, 12},
    {SUB_SCSI_OP_SPI_READ, D, 6, In, 0, 10},
    {SUB_SCSI_OP_SPI_WRITE, D, 6, Out, 0, 10},
};

// One layout per sub-code: the table has as many rows as VendorSubCode has members, each
// sub-code once, so every member has its row.
constexpr bool eachSubCodeOnce() {
    for (std::size_t i = 0; i < std::size(kLayouts); ++i) {
        for (std::size_t j = i + 1; j < std::size(kLayouts); ++j) {
            if (kLayouts[i].subCode == kLayouts[j].subCode) {
                return false;
            }
        }
    }
    return true;
}
static_assert(eachSubCodeOnce());
static_assert(std::size(kLayouts) == 34, "a VendorSubCode member has no layout row");

const CommandLayout& layoutOf(VendorSubCode subCode) {
    for (const auto& layout : kLayouts) {
        if (layout.subCode == subCode) {
            return layout;
        }
    }
    std::abort();  // unreachable: every member has its row
}

// The request of a vendor command with its CDB header, form values and no arguments yet.
ScsiRequest vendorRequest(const CommandLayout& layout) {
    ScsiRequest request;
    request.cdb[0] = layout.direction == Out ? kVendorOpcodeOut : kVendorOpcodeIn;
    request.cdb[1] = layout.subCode;
    request.cdbLength = layout.cdbLength;
    request.direction = layout.direction;
    request.transferLength = layout.bufferedLength;
    request.timeoutSeconds = layout.timeoutSeconds;
    return request;
}

struct BufferedReply {
    bool call = false;
    BufferedArea area{};

    bool verdict() const { return statusVerdict(call, area[0]); }
};

// A buffered vendor command; 'fill' sets the CDB arguments.
template <typename Fill>
BufferedReply sendVendorBuffered(Transport& transport, DeviceHandle handle, VendorSubCode subCode,
                                 Fill fill) {
    const CommandLayout& layout = layoutOf(subCode);
    ScsiRequest request = vendorRequest(layout);
    fill(request);
    BufferedReply reply;
    reply.call = detail::sendBuffered(transport, handle, request, reply.area);
    return reply;
}

BufferedReply sendVendorBuffered(Transport& transport, DeviceHandle handle, VendorSubCode subCode) {
    return sendVendorBuffered(transport, handle, subCode, [](ScsiRequest&) {});
}

// A direct vendor command over 'length' bytes at 'data'; refused when the length does not fit
// the 32-bit transfer length.
template <typename Fill>
bool sendVendorDirect(Transport& transport, DeviceHandle handle, VendorSubCode subCode,
                      const std::uint8_t* data, std::size_t length, Fill fill) {
    if (length > std::numeric_limits<std::uint32_t>::max()) {
        return false;
    }
    const CommandLayout& layout = layoutOf(subCode);
    ScsiRequest request = vendorRequest(layout);
    fill(request);
    // Backends only read a data-out buffer; ScsiRequest has one pointer for both directions.
    return detail::sendDirect(transport, handle, request, const_cast<std::uint8_t*>(data),
                              static_cast<std::uint32_t>(length));
}

bool sendVendorDirect(Transport& transport, DeviceHandle handle, VendorSubCode subCode,
                      const std::uint8_t* data, std::size_t length) {
    return sendVendorDirect(transport, handle, subCode, data, length, [](ScsiRequest&) {});
}

bool chipNameIs(const BufferedArea& area, const char (&name)[5]) {
    return std::memcmp(area.data(), name, 4) == 0;
}

// Byte argument in CDB byte 2.
auto byteArgument(std::uint8_t value) {
    return [value](ScsiRequest& request) { request.cdb[2] = value; };
}

// 32-bit argument in CDB bytes 2-5.
auto be32Argument(std::uint32_t value) {
    return [value](ScsiRequest& request) { storeBe32(&request.cdb[2], value); };
}

// CDB of SUB_SCSI_OP_WRITE_PAGE and SUB_SCSI_OP_READ_PAGE.
auto pageArguments(std::uint32_t firstPage, std::uint16_t pageCount, std::uint8_t flashType) {
    return [=](ScsiRequest& request) {
        storeBe32(&request.cdb[2], firstPage);
        storeBe16(&request.cdb[6], pageCount);
        request.cdb[8] = flashType;
    };
}

// CDB of SUB_SCSI_OP_SPI_READ and SUB_SCSI_OP_SPI_WRITE.
auto spiArguments(std::uint16_t firstUnit, std::uint16_t unitCount) {
    return [=](ScsiRequest& request) {
        storeBe16(&request.cdb[2], firstUnit);
        storeBe16(&request.cdb[4], unitCount);
    };
}

}  // namespace

// --- Flash identity -------------------------------------------------------------------------

bool readFlashId(Transport& transport, DeviceHandle handle, std::uint8_t& maker,
                 std::uint32_t& flashId) {
    const BufferedReply reply = sendVendorBuffered(transport, handle, SUB_SCSI_OP_READ_FLASH_ID);
    maker = reply.area[0];
    flashId = loadBe32(&reply.area[1]);
    return reply.call;
}

std::string formatFlashId(std::uint8_t maker, std::uint32_t flashId) {
    char text[16];
    std::snprintf(text, sizeof text, "ID:%02X%08X", static_cast<unsigned>(maker),
                  static_cast<unsigned>(flashId));
    return text;
}

std::uint8_t getFlashCount(Transport& transport, DeviceHandle handle) {
    return sendVendorBuffered(transport, handle, SUB_SCSI_OP_GET_FLASH_COUNT).area[0];
}

bool getChipName(Transport& transport, DeviceHandle handle) {
    return chipNameIs(sendVendorBuffered(transport, handle, SUB_SCSI_OP_GET_CHIP_NAME).area,
                      kChipName5V16);
}

bool getChipName2(Transport& transport, DeviceHandle handle) {
    return chipNameIs(sendVendorBuffered(transport, handle, SUB_SCSI_OP_GET_CHIP_NAME_2).area,
                      kChipName5V06);
}

std::uint8_t getPort(Transport& transport, DeviceHandle handle) {
    const BufferedReply reply = sendVendorBuffered(transport, handle, SUB_SCSI_OP_GET_PORT);
    return reply.call ? reply.area[0] : 0;
}

std::uint8_t subOp9C(Transport& transport, DeviceHandle handle) {
    const BufferedReply reply = sendVendorBuffered(transport, handle, SUB_SCSI_OP_9C);
    return reply.call ? reply.area[0] : 0;
}

// --- Configuration and state ----------------------------------------------------------------

bool writeCfgBlock(Transport& transport, DeviceHandle handle, std::span<const std::uint8_t> cfg) {
    return sendDataOut(transport, handle, SUB_SCSI_OP_WRITE_CFG, cfg);
}

bool readCfg(Transport& transport, DeviceHandle handle,
             std::span<std::uint8_t, kCfgBlockSize> cfg) {
    return sendVendorDirect(transport, handle, SUB_SCSI_OP_READ_CFG, cfg.data(), cfg.size());
}

bool subOp99(Transport& transport, DeviceHandle handle,
             std::span<std::uint8_t, kCfgBlockSize> data) {
    return sendVendorDirect(transport, handle, SUB_SCSI_OP_99, data.data(), data.size());
}

bool resetDevice(Transport& transport, DeviceHandle handle) {
    return sendVendorBuffered(transport, handle, SUB_SCSI_OP_RESET).call;
}

bool fsmInit(Transport& transport, DeviceHandle handle) {
    return sendVendorBuffered(transport, handle, SUB_SCSI_OP_FSM_INIT).call;
}

bool startDisk(Transport& transport, DeviceHandle handle) {
    return sendVendorBuffered(transport, handle, SUB_SCSI_OP_START_DISK).call;
}

bool spiFlashCheck(Transport& transport, DeviceHandle handle) {
    return sendVendorBuffered(transport, handle, SUB_SCSI_OP_SPI_FLASH_CHECK).verdict();
}

bool bFwParityCheck(Transport& transport, DeviceHandle handle) {
    return sendVendorBuffered(transport, handle, SUB_SCSI_OP_FW_PARITY_CHECK).verdict();
}

bool setCapMultiplier(Transport& transport, DeviceHandle handle, std::uint8_t multiplier) {
    return sendVendorBuffered(transport, handle, SUB_SCSI_OP_SET_CAP_MULTIPLIER,
                              byteArgument(multiplier))
        .verdict();
}

bool switchHiddenDisk(Transport& transport, DeviceHandle handle) {
    return sendVendorBuffered(transport, handle, SUB_SCSI_OP_SWITCH_HIDDEN_DISK).verdict();
}

bool setSysAreaSize(Transport& transport, DeviceHandle handle, std::uint8_t sizeUnit) {
    return sendVendorBuffered(transport, handle, SUB_SCSI_OP_SET_SYS_AREA_SIZE,
                              byteArgument(sizeUnit))
        .call;
}

bool subOp8E(Transport& transport, DeviceHandle handle, std::uint8_t value) {
    return sendVendorBuffered(transport, handle, SUB_SCSI_OP_8E, byteArgument(value)).verdict();
}

bool subOp8F(Transport& transport, DeviceHandle handle, std::uint8_t value) {
    return sendVendorBuffered(transport, handle, SUB_SCSI_OP_8F, byteArgument(value)).verdict();
}

bool subOp91(Transport& transport, DeviceHandle handle, std::uint8_t value) {
    return sendVendorBuffered(transport, handle, SUB_SCSI_OP_91, byteArgument(value)).verdict();
}

// --- FSM and file downloads -----------------------------------------------------------------

bool fsmWriteSetup(Transport& transport, DeviceHandle handle, std::uint32_t fsmSize) {
    return sendVendorBuffered(transport, handle, SUB_SCSI_OP_FSM_WRITE_SETUP, be32Argument(fsmSize))
        .call;
}

bool fsmWrite(Transport& transport, DeviceHandle handle, std::span<const std::uint8_t> chunk) {
    return sendDataOut(transport, handle, SUB_SCSI_OP_FSM_WRITE, chunk);
}

bool fsmChecksum(Transport& transport, DeviceHandle handle, std::uint16_t sum) {
    return sendVendorBuffered(transport, handle, SUB_SCSI_OP_FSM_CHECKSUM,
                              [sum](ScsiRequest& request) { storeBe16(&request.cdb[2], sum); })
        .call;
}

std::uint16_t byteSum16(std::span<const std::uint8_t> bytes, std::uint16_t sum) {
    for (const std::uint8_t byte : bytes) {
        sum = static_cast<std::uint16_t>(sum + byte);
    }
    return sum;
}

bool fileWriteSetup(Transport& transport, DeviceHandle handle, std::uint32_t fileSize) {
    return sendVendorBuffered(transport, handle, SUB_SCSI_OP_FILE_WRITE_SETUP,
                              be32Argument(fileSize))
        .verdict();
}

bool fileWrite(Transport& transport, DeviceHandle handle, std::span<const std::uint8_t> chunk) {
    return sendDataOut(transport, handle, SUB_SCSI_OP_FILE_WRITE, chunk);
}

bool bFileWriteEnd(Transport& transport, DeviceHandle handle) {
    return sendVendorBuffered(transport, handle, SUB_SCSI_OP_FILE_WRITE_END).verdict();
}

bool sendDataOut(Transport& transport, DeviceHandle handle, VendorSubCode subCode,
                 std::span<const std::uint8_t> data) {
    switch (subCode) {
        case SUB_SCSI_OP_WRITE_CFG:
        case SUB_SCSI_OP_FSM_WRITE:
        case SUB_SCSI_OP_FILE_WRITE:
        case SUB_SCSI_OP_SEND_PAGE_TABLE:
            return sendVendorDirect(transport, handle, subCode, data.data(), data.size());
        default:
            return false;
    }
}

// --- Flash blocks and pages -----------------------------------------------------------------

bool readBlockMap(Transport& transport, DeviceHandle handle, std::span<std::uint8_t> map) {
    if (map.size() > std::numeric_limits<std::uint32_t>::max()) {
        return false;
    }
    return sendVendorDirect(transport, handle, SUB_SCSI_OP_READ_BLOCK_MAP, map.data(), map.size(),
                            be32Argument(static_cast<std::uint32_t>(map.size())));
}

bool eraseBlock(Transport& transport, DeviceHandle handle, std::uint32_t firstBlock,
                std::uint16_t blockCount) {
    return sendVendorBuffered(transport, handle, SUB_SCSI_OP_ERASE_BLOCK,
                              [=](ScsiRequest& request) {
                                  storeBe32(&request.cdb[2], firstBlock);
                                  storeBe16(&request.cdb[6], blockCount);
                              })
        .call;
}

bool writePage(Transport& transport, DeviceHandle handle, std::uint32_t firstPage,
               std::uint16_t pageCount, std::uint8_t flashType,
               std::span<const std::uint8_t> data) {
    return sendVendorDirect(transport, handle, SUB_SCSI_OP_WRITE_PAGE, data.data(), data.size(),
                            pageArguments(firstPage, pageCount, flashType));
}

bool readPage(Transport& transport, DeviceHandle handle, std::uint32_t firstPage,
              std::uint16_t pageCount, std::uint8_t flashType, std::span<std::uint8_t> data) {
    return sendVendorDirect(transport, handle, SUB_SCSI_OP_READ_PAGE, data.data(), data.size(),
                            pageArguments(firstPage, pageCount, flashType));
}

bool sendPageTable(Transport& transport, DeviceHandle handle,
                   std::span<const std::uint8_t> pageTable) {
    return sendDataOut(transport, handle, SUB_SCSI_OP_SEND_PAGE_TABLE, pageTable);
}

bool scanBlock(Transport& transport, DeviceHandle handle, const ScanBlockArgs& args,
               std::span<std::uint8_t> results) {
    const std::size_t resultCount = args.resultPerPage ? args.pagesPerBlock : args.blockCount;
    if (resultCount >= kScanBlockAreaSize || results.size() < resultCount) {
        return false;
    }
    std::array<std::uint8_t, kScanBlockAreaSize> area{};
    const bool call = sendVendorDirect(transport, handle, SUB_SCSI_OP_SCAN_BLOCK, area.data(),
                                       1 + resultCount, [&args](ScsiRequest& request) {
                                           storeBe32(&request.cdb[2], args.firstBlock);
                                           storeBe16(&request.cdb[6], args.blockCount);
                                           storeBe16(&request.cdb[8], args.pattern);
                                           request.cdb[10] = args.mode;
                                           request.cdb[11] = args.phase;
                                           request.cdb[12] = args.pageSkip;
                                           request.cdb[13] = args.eccLevel;
                                           request.cdb[14] = args.resultPerPage ? 1 : 0;
                                       });
    const bool verdict = statusVerdict(call, area[0]);
    if (verdict && args.phase != kScanPhaseWriteOnly) {
        std::copy_n(area.begin() + 1, resultCount, results.begin());
    }
    return verdict;
}

// --- Serial flash ---------------------------------------------------------------------------

bool spiRead(Transport& transport, DeviceHandle handle, std::uint16_t firstUnit,
             std::uint16_t unitCount, std::span<std::uint8_t> data) {
    const std::size_t length = std::size_t{unitCount} * kSpiUnitSize;
    if (data.size() < length) {
        return false;
    }
    return sendVendorDirect(transport, handle, SUB_SCSI_OP_SPI_READ, data.data(), length,
                            spiArguments(firstUnit, unitCount));
}

bool spiWrite(Transport& transport, DeviceHandle handle, std::uint16_t firstUnit,
              std::uint16_t unitCount, std::span<const std::uint8_t> data) {
    const std::size_t length = std::size_t{unitCount} * kSpiUnitSize;
    if (data.size() < length) {
        return false;
    }
    return sendVendorDirect(transport, handle, SUB_SCSI_OP_SPI_WRITE, data.data(), length,
                            spiArguments(firstUnit, unitCount));
}

}  // namespace corvid
