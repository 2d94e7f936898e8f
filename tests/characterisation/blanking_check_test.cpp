#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "characterisation/blanking_check.h"
#include "characterisation/page_table.h"
#include "tests/characterisation/worker_fixture.h"
#include "transport/vendor_commands.h"

namespace corvid::test {
namespace {

std::uint32_t blockOf(const RecordedRequest& r) {
    return (std::uint32_t{r.cdb[2]} << 24) | (std::uint32_t{r.cdb[3]} << 16) |
           (std::uint32_t{r.cdb[4]} << 8) | r.cdb[5];
}
std::uint16_t patternOf(const RecordedRequest& r) {
    return static_cast<std::uint16_t>((r.cdb[8] << 8) | r.cdb[9]);
}

class BlankingCheckTest : public WorkerTest {
  protected:
    void SetUp() override {
        WorkerTest::SetUp();
        settings.record.iPageSkip = 4;
    }
    int run() { return BlankingCheck(*w, 5, 305); }
};

TEST_F(BlankingCheckTest, Level2ScansEveryBlockOnceAndRecordsVerdicts) {
    setGeometry(1, 40, 64);
    settings.record.iScanLevel = 1;
    flash->badBlocks = {3, 17};
    ASSERT_EQ(run(), 1);
    for (std::uint32_t b = 0; b < 40; ++b) {
        EXPECT_EQ(w->pBlockMap[b], b == 3 || b == 17 ? 0x00 : 0xFF) << b;
    }
    const auto scans = sent(SUB_SCSI_OP_SCAN_BLOCK);
    ASSERT_EQ(scans.size(), 40u);
    for (std::size_t i = 0; i < scans.size(); ++i) {
        EXPECT_EQ(scans[i].cdbBytes(), (Bytes{0xEF, 0x93, 0, 0, 0, static_cast<std::uint8_t>(i), 0,
                                              1, 0x55, 0xAA, 2, 3, 4, 1, 0, 0}));
        EXPECT_EQ(scans[i].transferLength, 2u);
    }
    EXPECT_EQ(slot.statuses().front(), "Blanking Check Setup...");
    EXPECT_EQ(slot.statuses().back(), "Blanking Check 35/40 Bad: 2");
    EXPECT_EQ(slot.progress(), (std::vector<int>{5, 5, 42, 80, 117, 155, 192, 230, 267, 305}));
    // Every fifth block flips the colour, starting from the window-text colour of the setup.
    const auto colours = slot.colours();
    ASSERT_EQ(colours.size(), 9u);
    EXPECT_EQ(colours[0], StatusColour::WindowText);
    EXPECT_EQ(colours[1], StatusColour::Red);
    EXPECT_EQ(colours[2], StatusColour::WindowText);
}

TEST_F(BlankingCheckTest, TooManyBadBlocksStopsAPassWithoutGoodBlocks) {
    struct Case {
        int level;
        std::uint32_t goodBlock;  // 9999: none
        bool fixed;
        int scans;  // sent before the end
        bool fails;
    };
    const Case cases[] = {
        {0, 9999, false, 768, true},  // 767 x 64 = 49088 > 49024
        {0, 767, false, 800, false},  // a good block 767 lets it go on
        {2, 9999, false, 252, true},  // 251 x 64 = 16064 > 16000
        {2, 0, false, 800, false},    // a good first block disables the check
        {1, 9999, true, 800, false},  // the BlocksPerChip override never fails
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.level * 10000 + static_cast<int>(c.goodBlock));
        transport.clear();
        slot.clear();
        setGeometry(1, 800, 64);
        settings.record.iScanLevel = c.level;
        w->bFixedBlocks = c.fixed ? 1 : 0;
        flash->badBlocks.clear();
        for (std::uint32_t b = 0; b < 800; ++b) {
            if (b != c.goodBlock) {
                flash->badBlocks.insert(b);
            }
        }
        EXPECT_EQ(run(), c.fails ? 0 : 1);
        EXPECT_EQ(sent(SUB_SCSI_OP_SCAN_BLOCK).size(), static_cast<std::size_t>(c.scans));
        if (c.fails) {
            EXPECT_EQ(slot.status(), "Too many bad block");
            EXPECT_EQ(slot.colour(), StatusColour::Red);
            EXPECT_EQ(w->bPass, 0);
        }
    }
}

TEST_F(BlankingCheckTest, Level1SeedsEachBlockFromTheWorkersGenerator) {
    setGeometry(1, 20, 64);
    settings.record.iScanLevel = 0;
    ASSERT_EQ(run(), 1);
    PseudoRandom expected;
    expected.seed(kClockSeed);
    for (const auto& scan : sent(SUB_SCSI_OP_SCAN_BLOCK)) {
        EXPECT_EQ(patternOf(scan), expected.next() % 0xFFFF);
        EXPECT_EQ(scan.cdb[10], 1);
        EXPECT_EQ(scan.cdb[11], 3);
    }
}

TEST_F(BlankingCheckTest, Level5TestsOnlyGoodBlocksWithTheSecondPattern) {
    setGeometry(1, 10, 64);
    settings.record.iScanLevel = 4;
    flash->badBlocks = {2};
    ASSERT_EQ(run(), 1);
    std::vector<std::pair<std::uint32_t, std::uint16_t>> seen;
    for (const auto& scan : sent(SUB_SCSI_OP_SCAN_BLOCK)) {
        seen.emplace_back(blockOf(scan), patternOf(scan));
    }
    ASSERT_EQ(seen.size(), 19u);
    EXPECT_EQ(seen[4], std::make_pair(2u, std::uint16_t{0x55AA}));
    EXPECT_EQ(seen[5], std::make_pair(3u, std::uint16_t{0x55AA}));
    EXPECT_EQ(seen[6], std::make_pair(3u, std::uint16_t{0xAA55}));
    EXPECT_EQ(w->pBlockMap[2], 0x00);
}

TEST_F(BlankingCheckTest, Level4WritesShuffledReadsBackErasesAndReadsAgain) {
    setGeometry(1, 50, 64);
    settings.record.iScanLevel = 3;
    flash->badBlocks = {7};
    flash->flakyReads = {{11, 1}};  // bad in pass (2), good in pass (4)
    ASSERT_EQ(run(), 1);

    const auto scans = sent(SUB_SCSI_OP_SCAN_BLOCK);
    ASSERT_EQ(scans.size(), 150u);
    std::set<std::uint32_t> written;
    std::vector<std::uint16_t> seedOf(50);
    bool shuffled = false;
    for (std::size_t q = 0; q < 50; ++q) {
        EXPECT_EQ(scans[q].cdb[11], 2);
        written.insert(blockOf(scans[q]));
        seedOf[blockOf(scans[q])] = patternOf(scans[q]);
        shuffled = shuffled || blockOf(scans[q]) != q;
    }
    EXPECT_EQ(written.size(), 50u);
    EXPECT_TRUE(shuffled);
    for (std::size_t q = 0; q < 100; ++q) {
        const auto& s = scans[50 + q];
        EXPECT_EQ(blockOf(s), q % 50);
        EXPECT_EQ(s.cdb[11], 1);
        EXPECT_EQ(patternOf(s), seedOf[q % 50]) << "read back with the seed it was written with";
    }
    EXPECT_EQ(flash->erases, (std::vector<std::uint32_t>{7, 11}));
    EXPECT_EQ(w->pBlockMap[7], 0x00);
    EXPECT_EQ(w->pBlockMap[11], 0xFF);
    EXPECT_EQ(slot.progress().back(), 305);
    const auto statuses = slot.statuses();
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "Blanking Check(1) 0/50 Bad: 0"),
              statuses.end());
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "Blanking Check(2)45/50 Bad: 2"),
              statuses.end());
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "Blanking Check(3)2/50"), statuses.end());
    EXPECT_EQ(statuses.back(), "Blanking Check(4)2/50");
}

TEST_F(BlankingCheckTest, FailedScanCommandsEndTheCheck) {
    setGeometry(1, 20, 64);
    settings.record.iScanLevel = 1;
    flash->failures[SUB_SCSI_OP_SCAN_BLOCK] = {4};
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(slot.status(), "Blanking Checkfail");
    EXPECT_EQ(sent(SUB_SCSI_OP_SCAN_BLOCK).size(), 4u);

    // Level 4 pass (1) leaves the last progress text.
    transport.clear();
    slot.clear();
    settings.record.iScanLevel = 3;
    flash->failures[SUB_SCSI_OP_SCAN_BLOCK] = {flash->count(SUB_SCSI_OP_SCAN_BLOCK) + 3};
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(slot.status(), "Blanking Check(1) 0/20 Bad: 0");
}

class PageModeTest : public BlankingCheckTest {
  protected:
    void SetUp() override {
        BlankingCheckTest::SetUp();
        setGeometry(1, 32, 16);
        settings.record.PageMode = true;
        settings.record.iScanLevel = 1;
        w->bPageMapValid = 1;
    }
};

TEST_F(PageModeTest, FixedModeScansPerPageAndJudgesWithItsTable) {
    settings.record.PageModeSel = 2;    // even pages
    flash->pageResults[{4, 3}] = 0x00;  // odd page: does not count
    flash->pageResults[{6, 2}] = 0x00;  // even page: block 6 bad
    flash->pageResults[{8, 2}] = 253;   // within ECC 1? no: 253 < 254
    flash->pageResults[{9, 2}] = 254;   // passes
    w->bLogBiTable = 1;
    ASSERT_EQ(run(), 1);
    Bytes even(16);
    BuildPageTable(even, 2);
    ASSERT_EQ(flash->pageTables.size(), 1u);
    EXPECT_EQ(flash->pageTables[0], even);
    EXPECT_TRUE(std::equal(even.begin(), even.end(), w->PageMap.begin()));
    for (std::uint32_t b = 0; b < 32; ++b) {
        EXPECT_EQ(w->pBlockMap[b], b == 6 || b == 8 ? 0x00 : 0xFF) << b;
    }
    for (const auto& scan : sent(SUB_SCSI_OP_SCAN_BLOCK)) {
        EXPECT_EQ(scan.cdb[14], 1);
        EXPECT_EQ(scan.transferLength, 17u);
    }
    EXPECT_EQ(slot.statuses().back(), "Even Pages 30/32 Bad: 2");
    EXPECT_TRUE(std::filesystem::exists(dir_ / "log" / "3_page_tab.txt"));
    EXPECT_TRUE(std::filesystem::exists(dir_ / "log" / "3_Ecc_Tab.txt"));
    EXPECT_TRUE(w->pPageResults.empty());
    EXPECT_EQ(w->pMyPage, nullptr);
}

TEST_F(PageModeTest, AllPagesChoosesThePageMap) {
    settings.record.PageModeSel = 6;
    for (std::uint32_t b = 0; b < 32; ++b) {
        flash->pageResults[{b, 0}] = 0x00;
    }
    ASSERT_EQ(run(), 1);
    EXPECT_EQ(flash->pageTables[0], Bytes(16, 0xFF));
    Bytes expected(16, 0x00);
    std::fill_n(expected.begin() + 1, 8, 0xFF);  // pages 1..8: list 1, half the pages
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), w->PageMap.begin()));
    EXPECT_EQ(std::count(w->pBlockMap.begin(), w->pBlockMap.end(), 0xFF), 32);
    EXPECT_EQ(slot.statuses().back(), "All Pages 30/32 Bad: ?");

    for (std::uint32_t b = 0; b < 32; ++b) {
        for (std::uint32_t p = 0; p < 16; ++p) {
            flash->pageResults[{b, p}] = 0x00;
        }
    }
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(slot.status(), "Page mode error");
}

TEST_F(PageModeTest, ModeAndPageTableFailures) {
    settings.record.PageModeSel = 9;
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(slot.status(), "Mode Detectionfail");

    settings.record.PageModeSel = 7;  // 32 blocks are enough to sample, none scores
    for (std::uint32_t b = 0; b < 32; ++b) {
        for (std::uint32_t p = 0; p < 16; ++p) {
            flash->pageResults[{b, p}] = 0x00;
        }
    }
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(slot.status(), "Mode Detectionfail");

    settings.record.PageModeSel = 1;
    flash->failures[SUB_SCSI_OP_SEND_PAGE_TABLE] = {flash->count(SUB_SCSI_OP_SEND_PAGE_TABLE) + 1};
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(slot.status(), "Send Pagetable fail");

    flash->failures[SUB_SCSI_OP_SCAN_BLOCK] = {flash->count(SUB_SCSI_OP_SCAN_BLOCK) + 2};
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(slot.status(), "Blanking Checkfail");
    EXPECT_TRUE(w->pPageResults.empty());
}

}  // namespace
}  // namespace corvid::test
