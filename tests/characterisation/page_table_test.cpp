#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

#include "characterisation/page_table.h"
#include "station/production_settings.h"
#include "tests/characterisation/worker_fixture.h"
#include "transport/vendor_commands.h"

namespace corvid::test {
namespace {

std::vector<int> usedPages(const Bytes& table) {
    std::vector<int> pages;
    for (std::size_t p = 0; p < table.size(); ++p) {
        if (table[p] == 0xFF) {
            pages.push_back(static_cast<int>(p));
        } else {
            EXPECT_EQ(table[p], 0x00);
        }
    }
    return pages;
}

std::vector<int> range(int from, int to) {
    std::vector<int> pages;
    for (int p = from; p < to; ++p) {
        pages.push_back(p);
    }
    return pages;
}

TEST(BuildPageTableTest, FixedTablesForEightPages) {
    const std::vector<std::vector<int>> expected{
        {0, 1, 2, 3},
        {0, 1, 4, 5},
        {0, 2, 4, 6},
        {1, 3, 5, 7},
        {0, 1, 2, 3},
        {0, 4, 5, 6},
        {0, 1, 2, 3, 4, 5, 6, 7},
    };
    for (int mode = 0; mode < 7; ++mode) {
        Bytes table(8, 0x55);
        EXPECT_EQ(BuildPageTable(table, mode), 1);
        EXPECT_EQ(usedPages(table), expected[static_cast<std::size_t>(mode)]) << mode;
    }
    for (const int mode : {7, -1}) {
        Bytes table(8, 0x55);
        EXPECT_EQ(BuildPageTable(table, mode), 0);
        EXPECT_TRUE(usedPages(table).empty());
    }
}

// Results for 'blocks' blocks of 'pages' pages, all passing but the listed pages of every block.
Bytes results(std::uint32_t blocks, std::uint32_t pages, const std::vector<int>& failing) {
    Bytes r(std::size_t{blocks} * pages, 0xFF);
    for (std::uint32_t b = 0; b < blocks; ++b) {
        for (const int p : failing) {
            r[b * pages + static_cast<std::uint32_t>(p)] = 0xF0;
        }
    }
    return r;
}

TEST(CMyPageTest, ChoosesAllPagesWhenEveryPagePasses) {
    const CMyPage page(10, 64, 2, results(10, 64, {}));
    Bytes table(64, 0x00);
    page.ChoosePages(table);
    EXPECT_EQ(usedPages(table), range(0, 64));
}

TEST(CMyPageTest, PageZeroFailingEverywhereLeavesHalfWithPageOneFirst) {
    const CMyPage page(10, 64, 2, results(10, 64, {0}));
    Bytes table(64, 0x00);
    page.ChoosePages(table);
    EXPECT_EQ(usedPages(table), range(1, 33));
}

TEST(CMyPageTest, NoPassingPageLeavesAnEmptyTable) {
    Bytes all(4 * 32, 0x10);
    const CMyPage page(4, 32, 2, all);
    Bytes table(32, 0xFF);
    page.ChoosePages(table);
    EXPECT_TRUE(usedPages(table).empty());
}

TEST(CMyPageTest, JudgesBlocksByTheSmallestUsedResult) {
    // ECC 2: a result of 253 passes, 252 fails.
    Bytes r(3 * 8, 0xFF);
    r[0 * 8 + 1] = 253;
    r[1 * 8 + 1] = 252;
    r[2 * 8 + 2] = 0;
    const CMyPage page(3, 8, 2, r);
    Bytes verdicts(3, 0x77);
    Bytes table{0xFF, 0xFF, 0, 0, 0, 0, 0, 0};
    page.JudgeBlocks(table, verdicts);
    EXPECT_EQ(verdicts, (Bytes{0xFF, 0x00, 0xFF}));
    EXPECT_EQ(page.UsableCapacity(verdicts, 4), 8u);
    page.JudgeBlocks(Bytes(8, 0x00), verdicts);
    EXPECT_EQ(verdicts, (Bytes{0x00, 0x00, 0x00}));
}

class DetectPageModeTest : public WorkerTest {
  protected:
    void SetUp() override {
        WorkerTest::SetUp();
        setGeometry(1, 256, 32);
    }
};

TEST_F(DetectPageModeTest, FirstOfEqualBestScoresWins) {
    // Blocks of the first half fail page 0, of the second half page 1: "Even Pages" keeps the
    // second half, "Odd pages" the first and "Second Half" the second; the even table wins.
    for (std::uint32_t b = 0; b < 256; ++b) {
        flash->pageResults[{b, b < 128 ? 0u : 1u}] = 0x00;
    }
    w->bLogBiTable = 1;
    EXPECT_EQ(DetectPageMode(*w), 2);
    EXPECT_EQ(slot.statuses().front(), "Mode Detection");

    ASSERT_EQ(flash->pageTables.size(), 7u);
    EXPECT_EQ(flash->pageTables[0], Bytes(32, 0xFF));
    for (int mode = 0; mode < 6; ++mode) {
        Bytes table(32);
        BuildPageTable(table, mode);
        EXPECT_EQ(flash->pageTables[static_cast<std::size_t>(mode + 1)], table);
    }
    const auto scans = sent(SUB_SCSI_OP_SCAN_BLOCK);
    ASSERT_EQ(scans.size(), 7u * 16u);
    for (std::size_t i = 0; i < scans.size(); ++i) {
        const auto& s = scans[i];
        const std::uint32_t block = (std::uint32_t{s.cdb[4]} << 8) | s.cdb[5];
        EXPECT_EQ(block / 16, i % 16) << "one block from each sixteenth";
        EXPECT_EQ(s.cdb[7], 1);   // one block
        EXPECT_EQ(s.cdb[10], 1);  // mode 1
        EXPECT_EQ(s.cdb[11], 3);  // write and read back
        EXPECT_EQ(s.cdb[12], 0);  // no page skip
        EXPECT_EQ(s.cdb[13], 1);  // permitted ECC
        EXPECT_EQ(s.cdb[14], 1);  // results per page
        EXPECT_EQ(s.transferLength, 33u);
        EXPECT_LT((s.cdb[8] << 8) | s.cdb[9], 0x8000);
    }

    std::ifstream log(dir_ / "log" / "3_ModeEcc.txt", std::ios::binary);
    std::stringstream text;
    text << log.rdbuf();
    const std::string all = text.str();
    EXPECT_EQ(all.rfind("Mode All Pages\n============================================\n", 0), 0u);
    for (const char* name : {"Specific mode 1", "Specific mode 2", "Even Pages", "Odd pages",
                             "First Half", "Second Half"}) {
        EXPECT_NE(all.find(std::string("\nMode ") + name + "\n"), std::string::npos) << name;
    }
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 7 * (2 + 16));
}

TEST_F(DetectPageModeTest, FailsWithoutSamplesOrOnAFailedCommand) {
    setGeometry(1, 15, 32);
    EXPECT_EQ(DetectPageMode(*w), -1);
    EXPECT_TRUE(transport.requests().empty());

    setGeometry(1, 256, 32);
    flash->failures[SUB_SCSI_OP_SCAN_BLOCK] = {20};
    EXPECT_EQ(DetectPageMode(*w), -1);
    EXPECT_EQ(slot.status(), "Blanking Checkfail");
    EXPECT_EQ(flash->count(SUB_SCSI_OP_SCAN_BLOCK), 20);

    for (std::uint32_t b = 0; b < 256; ++b) {
        for (std::uint32_t p = 0; p < 32; ++p) {
            flash->pageResults[{b, p}] = 0x00;
        }
    }
    flash->failures.clear();
    EXPECT_EQ(DetectPageMode(*w), -1);  // no mode scores
}

}  // namespace
}  // namespace corvid::test
