// What the command routines make of the device's data: flash ID, chip names, counts, capacity,
// the block scan's result copy, the FSM checksum, and the requests they refuse.

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "tests/support/recording_transport.h"
#include "transport/standard_commands.h"
#include "transport/vendor_commands.h"

namespace corvid {
namespace {

using test::RecordingTransport;
using test::Reply;

class CommandValues : public testing::Test {
  protected:
    static constexpr DeviceHandle kHandle = 7;
    RecordingTransport fake_;
};

TEST_F(CommandValues, FlashIdSplitsMakerAndBigEndianNumber) {
    fake_.queueReply({true, {0xEC, 0xD3, 0x51, 0x95, 0x58}});
    std::uint8_t maker = 0;
    std::uint32_t id = 0;
    EXPECT_TRUE(readFlashId(fake_, kHandle, maker, id));
    EXPECT_EQ(maker, 0xEC);
    EXPECT_EQ(id, 0xD3519558u);
    EXPECT_EQ(formatFlashId(maker, id), "ID:ECD3519558");
}

TEST_F(CommandValues, FailedFlashIdWritesZerosWhateverTheDataSay) {
    fake_.queueReply({false, {0xEC, 0xD3, 0x51, 0x95, 0x58}});
    std::uint8_t maker = 0x12;
    std::uint32_t id = 0x3456;
    EXPECT_FALSE(readFlashId(fake_, kHandle, maker, id));
    EXPECT_EQ(maker, 0);
    EXPECT_EQ(id, 0u);
}

TEST(FlashIdText, KeepsLeadingZerosAndUpperCase) {
    EXPECT_EQ(formatFlashId(0x01, 0x0000ab02), "ID:010000AB02");
    EXPECT_EQ(formatFlashId(kSpiFlashMaker, kSpiFlashId), "ID:FF00FF00FF");
    EXPECT_EQ(formatFlashId(0, 0), "ID:0000000000");
}

TEST_F(CommandValues, ChipNamesCompareTheFourBytes) {
    struct Case {
        std::vector<std::uint8_t> data;
        bool callResult;
        bool is5V16;
        bool is5V06;
    };
    const Case cases[] = {
        {{'5', 'V', '1', '6'}, true, true, false},   {{'5', 'V', '0', '6'}, true, false, true},
        {{'5', 'v', '1', '6'}, true, false, false},  {{'5', 'V', '1'}, true, false, false},
        {{'5', 'V', '1', '6'}, false, false, false},
    };
    for (const Case& c : cases) {
        fake_.queueReply({c.callResult, c.data});
        fake_.queueReply({c.callResult, c.data});
        EXPECT_EQ(getChipName(fake_, kHandle), c.is5V16);
        EXPECT_EQ(getChipName2(fake_, kHandle), c.is5V06);
    }
}

TEST_F(CommandValues, CountAndPortComeFromDataByteZero) {
    fake_.queueReply({true, {4}});
    EXPECT_EQ(getFlashCount(fake_, kHandle), 4);
    fake_.queueReply({true, {0x83}});
    EXPECT_EQ(getPort(fake_, kHandle), 0x83);
    fake_.queueReply({true, {0x85}});
    EXPECT_EQ(subOp9C(fake_, kHandle), 0x85);
}

TEST_F(CommandValues, ReadCapacityGivesBigEndianNumbers) {
    fake_.queueReply({true, {0x00, 0x01, 0xE0, 0x00, 0x00, 0x00, 0x02, 0x00}});
    std::uint32_t last = 0;
    std::uint32_t length = 0;
    EXPECT_TRUE(readCapacity10(fake_, kHandle, last, length));
    EXPECT_EQ(last, 0x0001E000u);
    EXPECT_EQ(length, 512u);

    fake_.queueReply({false, {0x00, 0x01, 0xE0, 0x00, 0x00, 0x00, 0x02, 0x00}});
    EXPECT_FALSE(readCapacity10(fake_, kHandle, last, length));
    EXPECT_EQ(last, 0u);
    EXPECT_EQ(length, 0u);
}

TEST_F(CommandValues, DirectReadsLandInTheCallersBuffer) {
    std::vector<std::uint8_t> device(kCfgBlockSize);
    std::iota(device.begin(), device.end(), std::uint8_t{0});
    fake_.queueReply({true, device});
    std::array<std::uint8_t, kCfgBlockSize> cfg{};
    EXPECT_TRUE(readCfg(fake_, kHandle, cfg));
    EXPECT_TRUE(std::equal(cfg.begin(), cfg.end(), device.begin()));
}

// --- SUB_SCSI_OP_SCAN_BLOCK ----------------------------------------------------------------

class ScanBlock : public CommandValues {
  protected:
    static constexpr std::uint8_t kUntouched = 0x5A;

    ScanBlockArgs pageScan(std::uint8_t phase) const {
        return {.firstBlock = 10,
                .blockCount = 1,
                .pattern = 0x1234,
                .mode = 1,
                .phase = phase,
                .resultPerPage = true,
                .pagesPerBlock = 256};
    }

    // Status byte, then result byte i = i.
    static Reply answer(std::uint8_t status, std::size_t results, bool call = true) {
        Reply reply{call, {status}};
        for (std::size_t i = 0; i < results; ++i) {
            reply.dataIn.push_back(static_cast<std::uint8_t>(i));
        }
        return reply;
    }

    std::vector<std::uint8_t> results_ = std::vector<std::uint8_t>(300, kUntouched);
};

TEST_F(ScanBlock, PageResultsMove257BytesAndCopy256) {
    fake_.queueReply(answer(0x01, 256));
    EXPECT_TRUE(scanBlock(fake_, kHandle, pageScan(kScanPhaseWriteAndRead), results_));
    EXPECT_EQ(fake_.requests().at(0).transferLength, 257u);
    for (std::size_t i = 0; i < 256; ++i) {
        ASSERT_EQ(results_[i], static_cast<std::uint8_t>(i)) << "result " << i;
    }
    EXPECT_EQ(results_[256], kUntouched);
}

TEST_F(ScanBlock, LeavesResultsAloneInWritePhaseAndOnFailure) {
    struct Case {
        const char* what;
        std::uint8_t phase;
        Reply reply;
        bool verdict;
    };
    const Case cases[] = {
        {"phase 2 succeeds", kScanPhaseWriteOnly, answer(0x01, 256), true},
        {"status bit 0 clear", kScanPhaseWriteAndRead, answer(0x02, 256), false},
        {"failed call", kScanPhaseReadCompare, answer(0x01, 256, false), false},
    };
    for (const Case& c : cases) {
        fake_.queueReply(c.reply);
        EXPECT_EQ(scanBlock(fake_, kHandle, pageScan(c.phase), results_), c.verdict) << c.what;
        EXPECT_EQ(results_, std::vector<std::uint8_t>(300, kUntouched)) << c.what;
    }
}

TEST_F(ScanBlock, BlockResultsFollowTheBlockCount) {
    fake_.queueReply(answer(0x01, 3));
    ScanBlockArgs args = pageScan(kScanPhaseWriteAndRead);
    args.resultPerPage = false;
    args.blockCount = 3;
    EXPECT_TRUE(scanBlock(fake_, kHandle, args, results_));
    EXPECT_EQ(fake_.requests().at(0).transferLength, 4u);
    EXPECT_EQ((std::vector<std::uint8_t>(results_.begin(), results_.begin() + 4)),
              (std::vector<std::uint8_t>{0, 1, 2, kUntouched}));
}

TEST_F(ScanBlock, RefusesWhatDoesNotFitTheAreaOrTheResults) {
    std::vector<std::uint8_t> big(2048, kUntouched);
    ScanBlockArgs args = pageScan(kScanPhaseWriteAndRead);
    args.pagesPerBlock = 1024;  // 1025 bytes would overrun the 1024-byte area
    EXPECT_FALSE(scanBlock(fake_, kHandle, args, big));
    args.pagesPerBlock = 512;  // results hold only 300
    EXPECT_FALSE(scanBlock(fake_, kHandle, args, results_));
    EXPECT_TRUE(fake_.requests().empty());

    args.pagesPerBlock = 1023;  // exactly fills the area
    fake_.queueReply(answer(0x01, 1023));
    EXPECT_TRUE(scanBlock(fake_, kHandle, args, big));
    EXPECT_EQ(fake_.requests().at(0).transferLength, 1024u);
    EXPECT_EQ(big[1022], static_cast<std::uint8_t>(1022));
}

// --- FSM checksum and refused requests ------------------------------------------------------

TEST_F(CommandValues, FsmChecksumOf300BytesOfFF) {
    const std::vector<std::uint8_t> fsm(300, 0xFF);
    const std::uint16_t sum = byteSum16(fsm);
    EXPECT_EQ(sum, 0x2AD4);
    // Summed in two pieces, as a file read in chunks.
    EXPECT_EQ(byteSum16(std::span(fsm).subspan(100), byteSum16(std::span(fsm).first(100))), sum);

    EXPECT_TRUE(fsmChecksum(fake_, kHandle, sum));
    EXPECT_EQ(fake_.requests().at(0).cdb[2], 0x2A);
    EXPECT_EQ(fake_.requests().at(0).cdb[3], 0xD4);
}

TEST_F(CommandValues, RefusesBuffersThatDoNotMatchTheCommand) {
    std::vector<std::uint8_t> buffer(2047);
    EXPECT_FALSE(spiRead(fake_, kHandle, 0, 8, buffer));  // 8 units need 2048 bytes
    EXPECT_FALSE(spiWrite(fake_, kHandle, 0, 8, buffer));
    EXPECT_FALSE(read10(fake_, kHandle, 0, buffer, 512, 4));  // 4 blocks need 2048 bytes
    EXPECT_FALSE(write10(fake_, kHandle, 0, buffer, 512, 4));
    EXPECT_FALSE(read10(fake_, kHandle, 0, buffer, 0x80000000u, 2));  // beyond 32 bits
    // Only the argument-less data-out commands are sent by sub-code.
    EXPECT_FALSE(sendDataOut(fake_, kHandle, SUB_SCSI_OP_WRITE_PAGE, buffer));
    EXPECT_FALSE(sendDataOut(fake_, kHandle, SUB_SCSI_OP_READ_CFG, buffer));
    EXPECT_TRUE(fake_.requests().empty());
}

}  // namespace
}  // namespace corvid
