// Every command of the command layer against the recording fake: the request it sends (CDB
// bytes, form, CDB length, direction, data length, timeout), how it judges the reply, and that
// the invalid handle sends nothing.

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "tests/support/recording_transport.h"
#include "transport/standard_commands.h"
#include "transport/vendor_commands.h"

namespace corvid {
namespace {

using test::RecordedRequest;
using test::RecordingTransport;
using test::Reply;
using test::RequestForm;

// What a routine returns: the call result, the status verdict, or a value from the data (those
// are checked one by one in command_values_test.cpp).
enum class Returns { Call, Verdict, Value };

using Invoke = std::function<long long(Transport&, DeviceHandle)>;

struct CommandCase {
    std::string name;
    Invoke invoke;
    std::vector<std::uint8_t> cdb;  // the first cdbLength bytes; the rest must be 0
    RequestForm form;
    DataDirection direction;
    std::uint32_t transferLength;
    std::uint32_t timeoutSeconds;
    Returns returns;
};

// Test names show the command, not the bytes of the case.
void PrintTo(const CommandCase& c, std::ostream* os) {
    *os << c.name;
}

// Data-out buffers carry their index so the bytes sent can be checked.
std::vector<std::uint8_t> pattern(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
    return bytes;
}

constexpr RequestForm B = RequestForm::Buffered;
constexpr RequestForm D = RequestForm::Direct;
constexpr DataDirection In = DataDirection::In;
constexpr DataDirection Out = DataDirection::Out;

const std::vector<CommandCase>& commandCases() {
    static const std::vector<CommandCase> cases = {
        {"READ_FLASH_ID",
         [](Transport& t, DeviceHandle h) {
             std::uint8_t maker;
             std::uint32_t id;
             return readFlashId(t, h, maker, id);
         },
         {0xEF, 0x70, 0, 0, 0, 0},
         B,
         In,
         5,
         12,
         Returns::Call},
        {"WRITE_CFG",
         [](Transport& t, DeviceHandle h) { return writeCfgBlock(t, h, pattern(512)); },
         {0xEE, 0x71, 0, 0, 0, 0},
         D,
         Out,
         512,
         12,
         Returns::Call},
        {"SPI_FLASH_CHECK",
         [](Transport& t, DeviceHandle h) { return spiFlashCheck(t, h); },
         {0xEF, 0x72, 0, 0, 0, 0},
         B,
         In,
         1,
         300,
         Returns::Verdict},
        {"START_DISK",
         [](Transport& t, DeviceHandle h) { return startDisk(t, h); },
         {0xEF, 0x73, 0, 0, 0, 0},
         B,
         In,
         2,
         30,
         Returns::Call},
        {"FSM_WRITE_SETUP",
         [](Transport& t, DeviceHandle h) { return fsmWriteSetup(t, h, 0x01020304); },
         {0xEF, 0x77, 0x01, 0x02, 0x03, 0x04},
         B,
         In,
         1,
         12,
         Returns::Call},
        {"FSM_WRITE",
         [](Transport& t, DeviceHandle h) { return fsmWrite(t, h, pattern(2048)); },
         {0xEE, 0x78, 0, 0, 0, 0},
         D,
         Out,
         2048,
         12,
         Returns::Call},
        {"FSM_WRITE_empty_chunk",
         [](Transport& t, DeviceHandle h) { return fsmWrite(t, h, {}); },
         {0xEE, 0x78, 0, 0, 0, 0},
         D,
         Out,
         0,
         12,
         Returns::Call},
        {"FSM_CHECKSUM",
         [](Transport& t, DeviceHandle h) { return fsmChecksum(t, h, 0xA1B2); },
         {0xEF, 0x79, 0xA1, 0xB2, 0, 0},
         B,
         In,
         1,
         12,
         Returns::Call},
        {"FILE_WRITE_SETUP",
         [](Transport& t, DeviceHandle h) { return fileWriteSetup(t, h, 0xFFFFFFFF); },
         {0xEF, 0x7A, 0xFF, 0xFF, 0xFF, 0xFF},
         B,
         In,
         1,
         12,
         Returns::Verdict},
        {"FILE_WRITE",
         [](Transport& t, DeviceHandle h) { return fileWrite(t, h, pattern(100)); },
         {0xEE, 0x7B, 0, 0, 0, 0},
         D,
         Out,
         100,
         12,
         Returns::Call},
        {"FILE_WRITE_END",
         [](Transport& t, DeviceHandle h) { return bFileWriteEnd(t, h); },
         {0xEF, 0x7C, 0, 0, 0, 0},
         B,
         In,
         1,
         12,
         Returns::Verdict},
        {"READ_CFG",
         [](Transport& t, DeviceHandle h) {
             std::array<std::uint8_t, kCfgBlockSize> cfg{};
             return readCfg(t, h, cfg);
         },
         {0xEF, 0x80, 0, 0, 0, 0, 0, 0, 0, 0},
         D,
         In,
         512,
         10,
         Returns::Call},
        {"RESET",
         [](Transport& t, DeviceHandle h) { return resetDevice(t, h); },
         {0xEF, 0x81, 0, 0, 0, 0},
         B,
         In,
         0,
         12,
         Returns::Call},
        {"GET_CHIP_NAME",
         [](Transport& t, DeviceHandle h) { return getChipName(t, h); },
         {0xEF, 0x82, 0, 0, 0, 0},
         B,
         In,
         4,
         12,
         Returns::Value},
        {"SET_SYS_AREA_SIZE",
         [](Transport& t, DeviceHandle h) { return setSysAreaSize(t, h, 0x2C); },
         {0xEF, 0x83, 0x2C, 0, 0, 0},
         B,
         In,
         1,
         12,
         Returns::Call},
        {"GET_FLASH_COUNT",
         [](Transport& t, DeviceHandle h) { return getFlashCount(t, h); },
         {0xEF, 0x84, 0, 0, 0, 0},
         B,
         In,
         1,
         12,
         Returns::Value},
        {"GET_CHIP_NAME_2",
         [](Transport& t, DeviceHandle h) { return getChipName2(t, h); },
         {0xEF, 0x85, 0, 0, 0, 0},
         B,
         In,
         4,
         12,
         Returns::Value},
        {"FW_PARITY_CHECK",
         [](Transport& t, DeviceHandle h) { return bFwParityCheck(t, h); },
         {0xEF, 0x87, 0, 0, 0, 0},
         B,
         In,
         2,
         12,
         Returns::Verdict},
        {"SET_CAP_MULTIPLIER",
         [](Transport& t, DeviceHandle h) { return setCapMultiplier(t, h, 0x05); },
         {0xEF, 0x8D, 0x05, 0, 0, 0},
         B,
         In,
         1,
         12,
         Returns::Verdict},
        {"SUB_8E",
         [](Transport& t, DeviceHandle h) { return subOp8E(t, h, 0x11); },
         {0xEF, 0x8E, 0x11, 0, 0, 0},
         B,
         In,
         1,
         12,
         Returns::Verdict},
        {"SUB_8F",
         [](Transport& t, DeviceHandle h) { return subOp8F(t, h, 0x22); },
         {0xEF, 0x8F, 0x22, 0, 0, 0},
         B,
         In,
         1,
         12,
         Returns::Verdict},
        {"SUB_91",
         [](Transport& t, DeviceHandle h) { return subOp91(t, h, 0x33); },
         {0xEF, 0x91, 0x33, 0, 0, 0},
         B,
         In,
         1,
         12,
         Returns::Verdict},
        {"SWITCH_HIDDEN_DISK",
         [](Transport& t, DeviceHandle h) { return switchHiddenDisk(t, h); },
         {0xEF, 0x92, 0, 0, 0, 0},
         B,
         In,
         1,
         12,
         Returns::Verdict},
        {"SCAN_BLOCK_pages",
         [](Transport& t, DeviceHandle h) {
             std::vector<std::uint8_t> results(256);
             return scanBlock(t, h,
                              {.firstBlock = 0x00012345,
                               .blockCount = 1,
                               .pattern = kScanPattern55AA,
                               .mode = 2,
                               .phase = kScanPhaseWriteAndRead,
                               .pageSkip = 4,
                               .eccLevel = 7,
                               .resultPerPage = true,
                               .pagesPerBlock = 256},
                              results);
         },
         {0xEF, 0x93, 0x00, 0x01, 0x23, 0x45, 0x00, 0x01, 0x55, 0xAA, 0x02, 0x03, 0x04, 0x07, 0x01,
          0x00},
         D,
         In,
         257,
         30,
         Returns::Verdict},
        {"SCAN_BLOCK_blocks",
         [](Transport& t, DeviceHandle h) {
             std::vector<std::uint8_t> results(3);
             return scanBlock(t, h,
                              {.firstBlock = 0x01020304,
                               .blockCount = 3,
                               .pattern = 0x1234,
                               .mode = 1,
                               .phase = kScanPhaseReadCompare,
                               .pageSkip = 0,
                               .eccLevel = 2,
                               .resultPerPage = false,
                               .pagesPerBlock = 128},
                              results);
         },
         {0xEF, 0x93, 0x01, 0x02, 0x03, 0x04, 0x00, 0x03, 0x12, 0x34, 0x01, 0x01, 0x00, 0x02, 0x00,
          0x00},
         D,
         In,
         4,
         30,
         Returns::Verdict},
        {"ERASE_BLOCK",
         [](Transport& t, DeviceHandle h) { return eraseBlock(t, h, 0xABCDEF, 0x0102); },
         {0xEF, 0x94, 0x00, 0xAB, 0xCD, 0xEF, 0x01, 0x02, 0, 0},
         B,
         In,
         1,
         12,
         Returns::Call},
        {"WRITE_PAGE",
         [](Transport& t, DeviceHandle h) {
             return writePage(t, h, 0x01020304, 0x0506, 0x07, pattern(2048));
         },
         {0xEE, 0x95, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0},
         D,
         Out,
         2048,
         10,
         Returns::Call},
        {"READ_PAGE",
         [](Transport& t, DeviceHandle h) {
             std::vector<std::uint8_t> data(4096);
             return readPage(t, h, 0x00000100, 2, 0x03, data);
         },
         {0xEF, 0x96, 0x00, 0x00, 0x01, 0x00, 0x00, 0x02, 0x03, 0},
         D,
         In,
         4096,
         12,
         Returns::Call},
        {"FSM_INIT",
         [](Transport& t, DeviceHandle h) { return fsmInit(t, h); },
         {0xEF, 0x97, 0, 0, 0, 0},
         B,
         In,
         1,
         10,
         Returns::Call},
        {"READ_BLOCK_MAP",
         [](Transport& t, DeviceHandle h) {
             std::vector<std::uint8_t> map(0x10200);
             return readBlockMap(t, h, map);
         },
         {0xEF, 0x98, 0x00, 0x01, 0x02, 0x00, 0, 0, 0, 0},
         D,
         In,
         0x10200,
         30,
         Returns::Call},
        {"SUB_99",
         [](Transport& t, DeviceHandle h) {
             std::array<std::uint8_t, kCfgBlockSize> data{};
             return subOp99(t, h, data);
         },
         {0xEF, 0x99, 0, 0, 0, 0, 0, 0, 0, 0},
         D,
         In,
         512,
         10,
         Returns::Call},
        {"GET_PORT",
         [](Transport& t, DeviceHandle h) { return getPort(t, h); },
         {0xEF, 0x9A, 0, 0, 0, 0},
         B,
         In,
         1,
         12,
         Returns::Value},
        {"SEND_PAGE_TABLE",
         [](Transport& t, DeviceHandle h) { return sendPageTable(t, h, pattern(256)); },
         {0xEE, 0x9B, 0, 0, 0, 0},
         D,
         Out,
         256,
         10,
         Returns::Call},
        {"SUB_9C",
         [](Transport& t, DeviceHandle h) { return subOp9C(t, h); },
         {0xEF, 0x9C, 0, 0, 0, 0},
         B,
         In,
         1,
         12,
         Returns::Value},
        {"SPI_READ",
         [](Transport& t, DeviceHandle h) {
             std::vector<std::uint8_t> data(2048);
             return spiRead(t, h, 0x0102, 8, data);
         },
         {0xEF, 0x9D, 0x01, 0x02, 0x00, 0x08},
         D,
         In,
         2048,
         10,
         Returns::Call},
        {"SPI_WRITE",
         [](Transport& t, DeviceHandle h) { return spiWrite(t, h, 0x0304, 2, pattern(512)); },
         {0xEE, 0x9E, 0x03, 0x04, 0x00, 0x02},
         D,
         Out,
         512,
         10,
         Returns::Call},
        {"DATA_OUT_by_sub_code",
         [](Transport& t, DeviceHandle h) {
             return sendDataOut(t, h, SUB_SCSI_OP_FILE_WRITE, pattern(7));
         },
         {0xEE, 0x7B, 0, 0, 0, 0},
         D,
         Out,
         7,
         12,
         Returns::Call},
        {"INQUIRY",
         [](Transport& t, DeviceHandle h) {
             std::array<std::uint8_t, kInquiryLength> data{};
             return inquiry(t, h, data);
         },
         {0x12, 0, 0, 0, 36, 0},
         B,
         In,
         36,
         12,
         Returns::Call},
        {"READ_CAPACITY_10",
         [](Transport& t, DeviceHandle h) {
             std::uint32_t last;
             std::uint32_t length;
             return readCapacity10(t, h, last, length);
         },
         {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         B,
         In,
         8,
         12,
         Returns::Call},
        {"READ_10",
         [](Transport& t, DeviceHandle h) {
             std::vector<std::uint8_t> data(1536);
             return read10(t, h, 0x01020304, data, 512, 3);
         },
         {0x28, 0, 0x01, 0x02, 0x03, 0x04, 0, 0x00, 0x03, 0},
         D,
         In,
         1536,
         12,
         Returns::Call},
        {"WRITE_10",
         [](Transport& t, DeviceHandle h) {
             return write10(t, h, 0x0A0B0C0D, pattern(0x20000), 1024, 0x80);
         },
         {0x2A, 0, 0x0A, 0x0B, 0x0C, 0x0D, 0, 0x00, 0x80, 0},
         D,
         Out,
         0x20000,
         12,
         Returns::Call},
        {"START_STOP_UNIT",
         [](Transport& t, DeviceHandle h) { return startStopUnit(t, h); },
         {0x1B, 0, 0, 0, 0, 0},
         B,
         In,
         0,
         12,
         Returns::Call},
    };
    return cases;
}

class CommandTable : public testing::TestWithParam<CommandCase> {
  protected:
    static constexpr DeviceHandle kHandle = 42;

    // Runs the case once with one scripted reply; returns the routine's value.
    long long run(Reply reply) {
        fake_.queueReply(std::move(reply));
        return GetParam().invoke(fake_, kHandle);
    }

    RecordingTransport fake_;
};

TEST_P(CommandTable, SendsExactlyTheListedRequest) {
    const CommandCase& c = GetParam();
    run({});
    const auto requests = fake_.requests();
    ASSERT_EQ(requests.size(), 1u);
    const RecordedRequest& r = requests[0];

    EXPECT_EQ(r.handle, kHandle);
    EXPECT_EQ(r.form, c.form);
    EXPECT_EQ(r.cdbBytes(), c.cdb);
    for (std::size_t i = c.cdb.size(); i < r.cdb.size(); ++i) {
        EXPECT_EQ(r.cdb[i], 0) << "CDB byte " << i;
    }
    EXPECT_EQ(r.direction, c.direction);
    EXPECT_EQ(r.transferLength, c.transferLength);
    EXPECT_EQ(r.timeoutSeconds, c.timeoutSeconds);
    if (c.form == RequestForm::Buffered) {
        EXPECT_TRUE(r.bufferedAreaZeroed);
    }
    if (c.direction == DataDirection::Out) {
        EXPECT_EQ(r.dataOut, pattern(c.transferLength));
    }
}

TEST_P(CommandTable, JudgesTheReplyAsListed) {
    const CommandCase& c = GetParam();
    // Byte 0 is the status byte: bit 0 decides the verdict, the call result decides a call.
    switch (c.returns) {
        case Returns::Call:
            EXPECT_EQ(run({.callResult = true, .dataIn = {0x00}}), 1);
            EXPECT_EQ(run({.callResult = false, .dataIn = {0x01}}), 0);
            break;
        case Returns::Verdict:
            EXPECT_EQ(run({.callResult = true, .dataIn = {0x01}}), 1);
            EXPECT_EQ(run({.callResult = true, .dataIn = {0x02}}), 0);
            EXPECT_EQ(run({.callResult = true, .dataIn = {0x03}}), 1);
            EXPECT_EQ(run({.callResult = false, .dataIn = {0x01}}), 0);
            break;
        case Returns::Value:
            // The values themselves are checked in command_values_test.cpp; whatever a failed
            // call leaves in the data, its value is 0.
            EXPECT_EQ(run({.callResult = false, .dataIn = {'5', 'V', '1', '6'}}), 0);
            EXPECT_EQ(run({.callResult = false, .dataIn = {'5', 'V', '0', '6'}}), 0);
            break;
    }
}

TEST_P(CommandTable, InvalidHandleFailsWithoutSending) {
    fake_.setResponder([](const RecordedRequest&) { return Reply{true, {0x01, 0x01}}; });
    EXPECT_EQ(GetParam().invoke(fake_, kInvalidHandle), 0);
    EXPECT_TRUE(fake_.requests().empty());
}

INSTANTIATE_TEST_SUITE_P(AllCommands, CommandTable, testing::ValuesIn(commandCases()),
                         [](const testing::TestParamInfo<CommandCase>& info) {
                             return info.param.name;
                         });

// Every sub-code appears in the table above.
TEST(CommandTableCoverage, EverySubCodeIsSent) {
    RecordingTransport fake;
    for (const CommandCase& c : commandCases()) {
        c.invoke(fake, 1);
    }
    std::set<std::uint8_t> vendorSubCodes;
    std::set<std::uint8_t> standardOpcodes;
    for (const RecordedRequest& r : fake.requests()) {
        if (r.cdb[0] == kVendorOpcodeIn || r.cdb[0] == kVendorOpcodeOut) {
            vendorSubCodes.insert(r.cdb[1]);
        } else {
            standardOpcodes.insert(r.cdb[0]);
        }
    }
    EXPECT_EQ(vendorSubCodes.size(), 34u);
    EXPECT_EQ(standardOpcodes,
              (std::set<std::uint8_t>{kScsiOpInquiry, kScsiOpStartStopUnit, kScsiOpReadCapacity10,
                                      kScsiOpRead10, kScsiOpWrite10}));
}

}  // namespace
}  // namespace corvid
