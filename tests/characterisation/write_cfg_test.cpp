#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "characterisation/blanking_check.h"
#include "characterisation/flash_database.h"
#include "tests/characterisation/worker_fixture.h"
#include "transport/vendor_commands.h"

namespace corvid::test {
namespace {

class WriteCfgTest : public WorkerTest {
  protected:
    // The worked example's device: 2048 blocks of 64 pages of 2048 bytes.
    void SetUp() override {
        WorkerTest::SetUp();
        setFlashId({0xEC, 0xDA, 0x10, 0x95, 0x44});
        ASSERT_TRUE(createCfg(*w));
        ASSERT_TRUE(checkAndParseCfg(*w));
        w->FlashInfo.iBlockSize = 2048 * 64;
        w->pBlockMap.assign(2048, 0xFF);
        w->iSysAreaUnits = 2;
        settings.record.eDeviceFeature = DeviceFeature::Hidden;
        settings.record.iHideDiskRatio = 50;
        created = cfg();
    }

    // The created CFG as the write must complete it, field by field.
    Bytes expectedCfg(std::vector<std::uint16_t> firstBlocks, bool upgrade) const {
        Bytes b = created;
        if (!upgrade) {
            for (int k = 0; k < 16; ++k) {
                b[static_cast<std::size_t>(4 * k + 1)] = 'X';
            }
        }
        for (std::size_t j = 0; j < firstBlocks.size(); ++j) {
            b[118 + 2 * j] = static_cast<std::uint8_t>(firstBlocks[j] >> 8);
            b[119 + 2 * j] = static_cast<std::uint8_t>(firstBlocks[j]);
        }
        b[133] = 2;
        b[134] = 128;
        std::memcpy(&b[135], "0000", 4);
        putCfgChecksum(b);
        return b;
    }

    Bytes created;
};

TEST_F(WriteCfgTest, WritesCfgBitmapAndZeroPagesIntoTheFirstTwoUsableBlocks) {
    w->pBlockMap[0] = 0x00;
    w->pBlockMap[1] = 0x00;
    w->pBlockMap[4] = 0x00;
    ASSERT_EQ(WriteCfg(*w, true), 1);
    EXPECT_EQ(w->FlashInfo.iBadBlocks, 3);

    EXPECT_EQ(flash->erases, (std::vector<std::uint32_t>{2, 3}));
    ASSERT_EQ(flash->pageWrites.size(), 2u * 64u);
    Bytes cfgPage(2048, 0);
    const Bytes cfg = expectedCfg({2, 3, 5, 6}, true);
    std::copy(cfg.begin(), cfg.end(), cfgPage.begin());
    Bytes bitmapPage(2048, 0);
    std::fill_n(bitmapPage.begin(), 256, 0xFF);
    bitmapPage[0] = 0x37;  // blocks 0, 1 and 4 bad
    for (std::size_t system = 0; system < 2; ++system) {
        const std::uint32_t first = (2 + static_cast<std::uint32_t>(system)) * 64;
        for (std::size_t p = 0; p < 64; ++p) {
            const auto& write = flash->pageWrites[system * 64 + p];
            ASSERT_EQ(write.page, first + p);
            EXPECT_EQ(write.flashType, 0);
            EXPECT_EQ(write.data, p == 0 ? cfgPage : p == 1 ? bitmapPage : Bytes(2048, 0)) << p;
        }
    }
    const auto writes = sent(SUB_SCSI_OP_WRITE_PAGE);
    EXPECT_EQ(writes[0].cdbBytes(), (Bytes{0xEE, 0x95, 0, 0, 0, 128, 0, 1, 0, 0}));
    EXPECT_TRUE(slot.statuses().empty());
}

TEST_F(WriteCfgTest, WithoutFirmwareUpgradeTheSignatureCarriesX) {
    ASSERT_EQ(WriteCfg(*w, false), 1);
    const Bytes& page = flash->pageWrites.at(0).data;
    EXPECT_EQ(std::string(page.begin(), page.begin() + 8), "5X165X16");
    EXPECT_EQ(Bytes(page.begin(), page.begin() + 512), expectedCfg({0, 1, 2, 3}, false));
}

TEST_F(WriteCfgTest, PageMapGoesIntoTheCfgAndDecidesWhichPagesAreWritten) {
    w->bPageMapValid = 1;
    std::fill_n(w->PageMap.begin(), 64, 0x00);
    for (const int p : {2, 3, 10, 11}) {
        w->PageMap[static_cast<std::size_t>(p)] = 0xFF;
    }
    ASSERT_EQ(WriteCfg(*w, true), 1);
    const auto& cfg = w->Cfg.cfg;
    EXPECT_EQ(cfg[132], 1);
    const Bytes bits{0xCF, 0xCF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_TRUE(std::equal(bits.begin(), bits.end(), cfg.begin() + 256));
    EXPECT_EQ(cfg[383], 0xFF);
    std::vector<std::uint32_t> pages;
    for (const auto& write : flash->pageWrites) {
        pages.push_back(write.page);
    }
    EXPECT_EQ(pages, (std::vector<std::uint32_t>{2, 3, 10, 11, 66, 67, 74, 75}));
}

TEST_F(WriteCfgTest, AFailedWriteGivesUpItsBlockOnceThenFails) {
    flash->failures[SUB_SCSI_OP_WRITE_PAGE] = {65};  // first page of the second system block
    ASSERT_EQ(WriteCfg(*w, true), 1);
    EXPECT_EQ(slot.statuses(), (std::vector<std::string>{"Write CFG1"}));
    EXPECT_EQ(w->pBlockMap[1], 0x00);
    EXPECT_EQ(w->FlashInfo.iBadBlocks, 1);
    EXPECT_EQ(flash->erases, (std::vector<std::uint32_t>{0, 1, 1, 0, 2}));
    EXPECT_EQ(Bytes(flash->pageWrites.back().data), Bytes(2048, 0));
    const auto& cfg = w->Cfg.cfg;
    EXPECT_EQ(Bytes(cfg.begin() + 118, cfg.begin() + 126), (Bytes{0, 0, 0, 2, 0, 3, 0, 4}));

    flash->failures[SUB_SCSI_OP_ERASE_BLOCK] = {flash->count(SUB_SCSI_OP_ERASE_BLOCK) + 1,
                                                flash->count(SUB_SCSI_OP_ERASE_BLOCK) + 3};
    EXPECT_EQ(WriteCfg(*w, true), 0);
    EXPECT_EQ(slot.status(), "Write CFGfail");
    EXPECT_EQ(w->bPass, 0);
}

TEST_F(WriteCfgTest, TooFewUsableBlocksOrPages) {
    std::fill(w->pBlockMap.begin(), w->pBlockMap.end(), 0x00);
    w->pBlockMap[900] = 0xFF;
    settings.record.DealCapError = CapErrorDeal::DoNotCare;
    EXPECT_EQ(WriteCfg(*w, true), 0);
    EXPECT_EQ(slot.status(), "No Good block");
    EXPECT_EQ(slot.colour(), StatusColour::Red);
    EXPECT_EQ(w->FlashInfo.iBadBlocks, 2047);

    std::fill(w->pBlockMap.begin(), w->pBlockMap.end(), 0xFF);
    std::fill_n(w->PageMap.begin(), 64, 0x00);
    w->PageMap[5] = 0xFF;  // room for the CFG, none for the bitmap
    EXPECT_EQ(WriteCfg(*w, true), 0);
    EXPECT_EQ(slot.status(), "No good pagefail");
}

TEST_F(WriteCfgTest, CapacityRuleRefusalSendsNothing) {
    std::fill_n(w->pBlockMap.begin(), 1024, 0x00);
    settings.record.DealCapError = CapErrorDeal::ShowError;
    EXPECT_EQ(WriteCfg(*w, true), 0);
    EXPECT_EQ(slot.status(), "Bad Block no Exceed");
    EXPECT_TRUE(transport.requests().empty());
}

TEST_F(WriteCfgTest, SystemAreaBeyondItsCfgByteSendsNothing) {
    w->iSysAreaUnits = 256;
    EXPECT_EQ(WriteCfg(*w, true), 0);
    EXPECT_EQ(slot.status(), "System area too large: 1024MB");
    EXPECT_EQ(slot.colour(), StatusColour::Red);
    EXPECT_EQ(w->bPass, 0);
    EXPECT_TRUE(transport.requests().empty());

    w->iSysAreaUnits = 255;
    ASSERT_EQ(WriteCfg(*w, true), 1);
    EXPECT_EQ(flash->pageWrites.at(0).data[133], 255);
}

TEST_F(WriteCfgTest, DegradedWriteLogsTheTrimmedBlockMap) {
    std::fill_n(w->pBlockMap.begin() + 1500, 548, 0x00);
    w->bLogBiTable = 1;
    ASSERT_EQ(WriteCfg(*w, true), 1);
    EXPECT_EQ(w->bDegraded, 1);
    EXPECT_EQ(w->FlashInfo.iBadBlocks, 2048 - 1031);
    EXPECT_TRUE(std::filesystem::exists(dir_ / "log" / "3_bi_tab_cfg.txt"));
}

}  // namespace
}  // namespace corvid::test
