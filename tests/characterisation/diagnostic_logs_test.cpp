#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "characterisation/diagnostic_logs.h"
#include "tests/characterisation/worker_fixture.h"

namespace corvid::test {
namespace {

class DiagnosticLogsTest : public WorkerTest {
  protected:
    void SetUp() override {
        WorkerTest::SetUp();
        setGeometry(1, 32, 64);
        w->FlashInfo.sFlashName = "K9F2G08";
    }
    std::string read(const std::string& name) const {
        std::ifstream in(dir_ / "log" / name, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
};

const std::string kBadHead =
    "======================Flash Type: K9F2G08========================\n"
    "==================bad block list ecc detail==========================\n";
const std::string kBadTail =
    "\n\n=====================================================================\n";

TEST_F(DiagnosticLogsTest, BadBlockListByteForByte) {
    w->pBlockMap[3] = 0x00;
    w->pBlockMap[17] = 0xF0;
    EXPECT_EQ(WriteBadBlockLog(*w, badBlockLogName(w->iSlot)), 1);
    EXPECT_EQ(read("3_bi_tab.txt"), kBadHead + "0003(0)  0017(F0)  " + kBadTail +
                                        "Total blocks: 32 \nTotal bad bind blocks: 2 \n");

    std::fill(w->pBlockMap.begin(), w->pBlockMap.end(), 0xFF);
    EXPECT_EQ(WriteBadBlockLog(*w, badBlockLogName(w->iSlot)), 1);  // replaces the older file
    EXPECT_EQ(read("3_bi_tab.txt"),
              kBadHead + kBadTail + "Total blocks: 32 \nTotal bad bind blocks: 0 \n");

    for (std::size_t i = 0; i < 9; ++i) {
        w->pBlockMap[i] = 0x01;
    }
    EXPECT_EQ(WriteBadBlockLog(*w, cfgBadBlockLogName(w->iSlot)), 1);
    EXPECT_EQ(read("3_bi_tab_cfg.txt"),
              kBadHead +
                  "0000(1)  0001(1)  0002(1)  0003(1)  0004(1)  0005(1)  0006(1)  0007(1)  \n"
                  "0008(1)  " +
                  kBadTail + "Total blocks: 32 \nTotal bad bind blocks: 9 \n");
}

TEST_F(DiagnosticLogsTest, PageTableLogWritesEightValuesPerLine) {
    std::fill_n(w->PageMap.begin(), 64, 0xFF);
    w->PageMap[9] = 0x00;
    EXPECT_EQ(WritePageTableLog(*w, pageTableLogName(w->iSlot)), 1);
    std::string expected =
        "====Flash Type: K9F2G08==========================\n=========page table ========\n";
    for (int line = 0; line < 8; ++line) {
        if (line > 0) {
            expected += "\n";
        }
        for (int p = 0; p < 8; ++p) {
            expected += line == 1 && p == 1 ? "0x00 " : "0xFF ";
        }
    }
    expected += "\nValid Page  63\n";
    EXPECT_EQ(read("3_page_tab.txt"), expected);
}

TEST_F(DiagnosticLogsTest, PageEccLogListsTheFirstChipsBlocks) {
    setGeometry(2, 2, 3);
    w->pPageResults = {0xFF, 0xFE, 0x00, 0x10, 0x20, 0x30, 1, 2, 3, 4, 5, 6};
    EXPECT_EQ(WritePageEccLog(*w, pageEccLogName(w->iSlot)), 1);
    EXPECT_EQ(read("3_Ecc_Tab.txt"),
              "====Flash Type: K9F2G08==========================\n"
              "=========page ECC table ========\n"
              "0000: FF FE 00 \n0001: 10 20 30 \n");
}

TEST_F(DiagnosticLogsTest, ModeEccLogStartsAfreshAndHeadsEachMode) {
    const std::vector<std::uint8_t> results{0xFF, 0x0A};
    const std::string rule = "============================================\n";
    EXPECT_EQ(WriteModeEccLog(*w, true, 6, 5, results), 1);
    EXPECT_EQ(WriteModeEccLog(*w, false, 6, 21, results), 1);
    EXPECT_EQ(WriteModeEccLog(*w, false, 0, 5, results), 1);
    EXPECT_EQ(read("3_ModeEcc.txt"), "Mode All Pages\n" + rule + "0005: FF 0A\n0021: FF 0A\n" +
                                         "Mode Specific mode 1\n" + rule + "0005: FF 0A\n");
    // A new detection that starts with the mode the last one ended with still gets its header.
    EXPECT_EQ(WriteModeEccLog(*w, true, 0, 7, results), 1);
    EXPECT_EQ(read("3_ModeEcc.txt"), "Mode Specific mode 1\n" + rule + "0007: FF 0A\n");
}

TEST_F(DiagnosticLogsTest, UnwritableLogFolderGivesNoLog) {
    std::ofstream(dir_ / "log") << "a file where the folder should be";
    EXPECT_EQ(WriteBadBlockLog(*w, badBlockLogName(w->iSlot)), 0);
    EXPECT_EQ(WriteModeEccLog(*w, true, 6, 0, std::vector<std::uint8_t>{0xFF}), 0);
}

}  // namespace
}  // namespace corvid::test
