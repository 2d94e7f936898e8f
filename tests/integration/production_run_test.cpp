// The production worker against corvid-devsim: the commands each device receives, compared with
// the station's run sequence; what the run leaves in the flash, read back; the slot's texts.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "characterisation/flash_database.h"
#include "production/device_arrival.h"
#include "production/product_thread.h"
#include "simlink/sim_transport.h"
#include "tests/integration/production_fixture.h"
#include "tests/production/worker_harness.h"
#include "transport/vendor_commands.h"

namespace corvid {
namespace {

using test::Folded;
using test::RecordingSlotView;
using test::TraceLine;
using test::WorkerHarness;
namespace fs = std::filesystem;

constexpr char kE = 'E';
constexpr std::uint32_t k2kBlocks = 2048;
const FlashIdBytes k2kId{0xEC, 0xDA, 0x10, 0x95, 0x44};
const std::vector<std::uint32_t> k2kBadBlocks = {5, 700, 1500};

const char kScan[] = "SUB_SCSI_OP_SCAN_BLOCK";
const char kErase[] = "SUB_SCSI_OP_ERASE_BLOCK";
const char kWritePage[] = "SUB_SCSI_OP_WRITE_PAGE";

// What the station sends when a device arrives and its worker starts.
const Folded kArrival = {{"INQUIRY", 1},
                         {"SUB_SCSI_OP_GET_CHIP_NAME", 1},
                         {"INQUIRY", 1},
                         {"SUB_SCSI_OP_FSM_WRITE_SETUP", 1},
                         {"SUB_SCSI_OP_FSM_WRITE", 7},
                         {"SUB_SCSI_OP_FSM_CHECKSUM", 1},
                         {"SUB_SCSI_OP_READ_FLASH_ID", 1}};
const Folded kWorkerStart = {{"SUB_SCSI_OP_GET_PORT", 1},
                             {"SUB_SCSI_OP_GET_FLASH_COUNT", 1},
                             {"SUB_SCSI_OP_READ_FLASH_ID", 1}};
// The two system blocks of a 64-page block: erase, the CFG page, the bitmap page, 62 zero pages.
const Folded kCfgWrite = {{kErase, 1}, {kWritePage, 64}, {kErase, 1}, {kWritePage, 64}};

Folded join(std::initializer_list<Folded> parts) {
    Folded all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

std::uint16_t be16(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

std::uint32_t be32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return static_cast<std::uint32_t>(bytes[at]) << 24 | bytes[at + 1] << 16 | bytes[at + 2] << 8 |
           bytes[at + 3];
}

class ProductionRunTest : public test::ProductionSimTest {
  protected:
    // What the device holds now, read on a handle of our own.
    std::vector<std::uint8_t> storedCfg(char letter = kE) {
        ScopedDevice device(*transport_, letter);
        std::array<std::uint8_t, cfg::kSize> block{};
        EXPECT_TRUE(readCfg(*transport_, device.handle(), block));
        return {block.begin(), block.end()};
    }
    std::vector<std::uint8_t> storedBlockMap(std::uint32_t blocks, char letter = kE) {
        ScopedDevice device(*transport_, letter);
        std::vector<std::uint8_t> map(blocks / 8);
        EXPECT_TRUE(readBlockMap(*transport_, device.handle(), map));
        return map;
    }

    // The CFG the rules give for a 2048-block device whose flash file is the created CFG:
    // X in the signature without firmware upgrade, the first four usable blocks, the page map,
    // the layout bytes, the checksum, no name.
    std::vector<std::uint8_t> expectedCfg(const std::vector<std::uint32_t>& usableFirst,
                                          const std::vector<bool>& unusedPages,
                                          std::uint8_t sysAreaUnits) {
        std::array<std::uint8_t, cfg::kSize> b{};
        EXPECT_TRUE(buildCfgFromId(k2kId, 1, b));
        for (int k = 0; k < 16; ++k) {
            b[4 * k + 1] = 'X';
        }
        b[cfg::kChips] = 1;
        for (std::size_t j = 0; j < 4; ++j) {
            b[118 + 2 * j] = static_cast<std::uint8_t>(usableFirst[j] >> 8);
            b[119 + 2 * j] = static_cast<std::uint8_t>(usableFirst[j]);
        }
        if (!unusedPages.empty()) {
            b[132] = 1;
            std::fill(&b[256], &b[384], 0xFF);
            for (std::size_t page = 0; page < unusedPages.size(); ++page) {
                if (!unusedPages[page]) {
                    b[256 + page / 8] &= static_cast<std::uint8_t>(~(0x80u >> (page % 8)));
                }
            }
        }
        b[133] = sysAreaUnits;
        b[134] = 0;
        std::copy_n("0000", 4, &b[135]);
        cfg::storeChecksum(b);
        std::fill(&b[480], &b[512], 0);
        return {b.begin(), b.end()};
    }

    static std::vector<std::uint8_t> bitmapWithout(std::uint32_t blocks,
                                                   const std::vector<std::uint32_t>& bad) {
        std::vector<std::uint8_t> map(blocks / 8, 0xFF);
        for (const auto block : bad) {
            map[block / 8] &= static_cast<std::uint8_t>(~(0x80u >> (block % 8)));
        }
        return map;
    }
};

// Blanking check at every level, through the CFG write and "FSM init"; without firmware upgrade
// the run passes right after it. Each level sends its own scan commands.
TEST_F(ProductionRunTest, BlankingCheckAtEveryLevelThroughCfgWriteAndFsmInit) {
    struct Level {
        int level;
        Folded scans;
    };
    const Level levels[] = {
        {0, {{kScan, 2048}}}, {1, {{kScan, 2048}}},
        {2, {{kScan, 2048}}}, {3, {{kScan, 4096}, {kErase, 3}, {kScan, 2048}}},
        {4, {{kScan, 4093}}},  // the three bad blocks get no second command
    };
    auto& settings = harness_->settings;
    settings.chkBlankCheck = true;
    settings.chkFwUpgrade = false;
    for (const auto& level : levels) {
        SCOPED_TRACE("level " + std::to_string(level.level));
        plug(kE, "nand-2k");
        settings.record.iScanLevel = level.level;
        RecordingSlotView slot;
        produce(kE, slot);

        const auto lines = trace(kE);
        const Folded expected = join({kArrival,
                                      kWorkerStart,
                                      {{"SUB_SCSI_OP_WRITE_CFG", 1}},
                                      level.scans,
                                      kCfgWrite,
                                      {{"SUB_SCSI_OP_FSM_INIT", 1}}});
        EXPECT_EQ(test::foldedText(test::foldNames(lines)), test::foldedText(expected));
        // Level 4 erases the blocks that failed its read-back; the flash refuses to erase a bad
        // block, and the check does not look at the answer.
        std::vector<std::uint32_t> erasedBadBlocks;
        for (const auto& line : lines) {
            if (line.result != "good" && line.name == kErase) {
                erasedBadBlocks.push_back(be32(line.cdb, 2));
            } else {
                EXPECT_EQ(line.result, "good") << line.name;
            }
        }
        EXPECT_EQ(erasedBadBlocks, level.level == 3 ? k2kBadBlocks : std::vector<std::uint32_t>{});

        const auto scans = named(lines, kScan);
        ASSERT_FALSE(scans.empty()) << "no block was scanned; the run ended with " << slot.status();
        const auto& first = scans.front().cdb;
        switch (level.level) {
            case 1:
            case 2:
                EXPECT_EQ(be16(first, 8), 0x55AA);
                EXPECT_EQ(first[10], level.level + 1);  // mode 2, mode 3
                EXPECT_EQ(first[11], 3);
                break;
            case 3:
                EXPECT_EQ(first[11], 2);                  // pass (1): write only
                EXPECT_EQ(scans[2048].cdb[11], 1);        // pass (2): read back
                EXPECT_EQ(be32(scans[2048].cdb, 2), 0u);  // in block order
                break;
            case 4:
                EXPECT_EQ(be16(first, 8), 0x55AA);
                EXPECT_EQ(be16(scans[1].cdb, 8), 0xAA55);
                break;
            default:
                EXPECT_EQ(first[10], 1);
                EXPECT_EQ(first[11], 3);
        }
        EXPECT_EQ(first[14], 0);  // one result per block

        EXPECT_EQ(slot.status(), "successful");
        EXPECT_EQ(slot.colour(), StatusColour::Blue);
        EXPECT_EQ(slot.maximum(), 400);
        EXPECT_EQ(slot.lastProgress(), 400);
        EXPECT_EQ(slot.detailF().rfind("3/2048, 0MB, ", 0), 0u) << slot.detailF();
        EXPECT_EQ(storedCfg(), expectedCfg({0, 1, 2, 3}, {}, 1));
        EXPECT_EQ(storedBlockMap(k2kBlocks), bitmapWithout(k2kBlocks, k2kBadBlocks));
        unplug(kE);
    }
    const auto counts = harness_->counters.snapshot();
    EXPECT_EQ(counts.iTotal, 5);
    EXPECT_EQ(counts.iSuccess, 5);
}

// The same device produced again without the blanking check: the stored CFG and the block map
// are read back instead of a scan, and the flash keeps what the first run found.
TEST_F(ProductionRunTest, ProducedAgainWithoutBlankingCheckReadsTheStoredInformation) {
    auto& settings = harness_->settings;
    settings.chkBlankCheck = true;
    settings.record.iScanLevel = 1;
    plug(kE, "nand-2k");
    produce();
    EXPECT_EQ(harness_->slot.status(), "successful");
    const std::size_t firstRun = trace(kE).size();
    const auto cfgAfterScan = storedCfg();
    EXPECT_EQ(std::string(cfgAfterScan.begin(), cfgAfterScan.begin() + 8), "5V165V16");

    settings.chkBlankCheck = false;
    settings.chkFwUpgrade = false;
    RecordingSlotView again;
    const auto worker = produce(kE, again);
    const auto lines = traceFrom(kE, firstRun + 1);  // after our own read-back
    const Folded expected = join({kArrival,
                                  kWorkerStart,
                                  {{"SUB_SCSI_OP_WRITE_CFG", 1},
                                   {"SUB_SCSI_OP_READ_CFG", 1},
                                   {"SUB_SCSI_OP_READ_BLOCK_MAP", 1}},
                                  kCfgWrite,
                                  {{"SUB_SCSI_OP_FSM_INIT", 1}}});
    EXPECT_EQ(test::foldedText(test::foldNames(lines)), test::foldedText(expected));
    const auto map = named(lines, "SUB_SCSI_OP_READ_BLOCK_MAP");
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(be32(map[0].cdb, 2), k2kBlocks / 8);

    EXPECT_EQ(worker->state().bStoredCfgValid, 1);
    EXPECT_EQ(worker->state().iStoredFlashType, cfgAfterScan[96]);
    EXPECT_EQ(again.status(), "successful");
    EXPECT_EQ(again.lastProgress(), 100);
    EXPECT_EQ(storedCfg(), expectedCfg({0, 1, 2, 3}, {}, 1));
    EXPECT_EQ(storedBlockMap(k2kBlocks), bitmapWithout(k2kBlocks, k2kBadBlocks));
}

// Page mode: a fixed mode, "All Pages" and "Auto Detection" on a flash whose odd pages are weak.
// The page table goes out first, every scan asks for page results, and the CFG carries the page
// map the scan chose.
TEST_F(ProductionRunTest, PageModeFixedAllPagesAndAutoDetection) {
    auto& settings = harness_->settings;
    settings.chkBlankCheck = true;
    settings.chkFwUpgrade = false;
    settings.record.PageMode = true;
    settings.record.iScanLevel = 1;
    for (const int mode : {2, 6, 7}) {  // "Even Pages", "All Pages", "Auto Detection"
        SCOPED_TRACE("page mode " + std::to_string(mode));
        plug(kE, "nand-weak");
        settings.record.PageModeSel = mode;
        RecordingSlotView slot;
        const auto worker = produce(kE, slot);
        const WorkerState& state = worker->state();

        const auto lines = trace(kE);
        const auto tables = named(lines, "SUB_SCSI_OP_SEND_PAGE_TABLE");
        ASSERT_FALSE(tables.empty());
        EXPECT_EQ(tables.back().length, 64u);
        const auto scans = named(lines, kScan);
        ASSERT_FALSE(scans.empty());
        EXPECT_EQ(scans.back().cdb[14], 1);  // results per page
        EXPECT_EQ(scans.back().length, 65u);

        ASSERT_EQ(slot.status().rfind("successful", 0), 0u) << slot.status();
        EXPECT_EQ(state.bPageMapValid, 1);
        std::vector<bool> unused(64);
        int used = 0;
        for (int page = 0; page < 64; ++page) {
            unused[page] = state.PageMap[page] != 0xFF;
            used += unused[page] ? 0 : 1;
        }
        if (mode == 2) {
            for (int page = 0; page < 64; ++page) {
                EXPECT_EQ(unused[page], page % 2 == 1) << page;
            }
        }
        // Half the pages or fewer: the disk is degraded and says so.
        EXPECT_EQ(slot.status() == "successful(Degrade)", used < 64);
        const auto cfgBytes = storedCfg();
        EXPECT_EQ(cfgBytes[132], 1);
        for (int page = 0; page < 64; ++page) {
            EXPECT_EQ((cfgBytes[256 + page / 8] & (0x80 >> (page % 8))) != 0, unused[page]) << page;
        }
        EXPECT_EQ(cfgBytes[80] << 8 | cfgBytes[81],
                  cfg::checksum(std::span<const std::uint8_t>(cfgBytes)));
        unplug(kE);
    }
}

// A flash without a description file: the CFG is created from the flash ID and sent as 512 bytes.
TEST_F(ProductionRunTest, UndescribedFlashGetsACreatedCfg) {
    std::filesystem::remove_all(home_ / "flash");
    auto& settings = harness_->settings;
    settings.chkFwUpgrade = false;
    plug(kE, "nand-512");
    produce();
    const auto writes = named(trace(kE), "SUB_SCSI_OP_WRITE_CFG");
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].length, 512u);
    EXPECT_EQ(harness_->slot.status(), "successful");
    EXPECT_EQ(harness_->slot.detailF(), "0MB, 0Sec");
    // The station's log says why no description was taken.
    EXPECT_EQ(diagnostics(),
              (std::vector<std::string>{"The flash descriptions in " + (home_ / "flash").string() +
                                        " cannot be read (No such file or directory); the CFG is "
                                        "made from the flash ID and the name is DEFAULT."}));
}

// A serial-flash device: its check, the downloads with the SPI files, "Start Disk" and the
// read-back of the serial flash into NorImage.bin by the first slot.
TEST_F(ProductionRunTest, SerialFlashDeviceThroughDownloadsAndFlashSave) {
    std::ofstream(home_ / "song.mp3", std::ios::binary) << std::string(5000, 's');
    auto& settings = harness_->settings;
    settings.record.SpiFileList = {"song.mp3"};
    settings.record.SaveSpiImage = true;
    plug(kE, "spi");
    produce();
    const auto lines = trace(kE);
    const Folded expected = join({kArrival,
                                  kWorkerStart,
                                  {{"SUB_SCSI_OP_SPI_FLASH_CHECK", 1},
                                   {"SUB_SCSI_OP_FILE_WRITE_SETUP", 1},
                                   {"SUB_SCSI_OP_FILE_WRITE", 33},
                                   {"SUB_SCSI_OP_FILE_WRITE_END", 1},
                                   {"SUB_SCSI_OP_FILE_WRITE_SETUP", 1},
                                   {"SUB_SCSI_OP_FILE_WRITE", 2},
                                   {"SUB_SCSI_OP_FILE_WRITE_END", 1},
                                   {"SUB_SCSI_OP_FILE_WRITE_SETUP", 1},
                                   {"SUB_SCSI_OP_FILE_WRITE", 4},
                                   {"SUB_SCSI_OP_FILE_WRITE_END", 1},
                                   {"SUB_SCSI_OP_FW_PARITY_CHECK", 1},
                                   {"SUB_SCSI_OP_START_DISK", 1},
                                   {"SUB_SCSI_OP_SPI_READ", 96}}});
    EXPECT_EQ(test::foldedText(test::foldNames(lines)), test::foldedText(expected));
    for (const auto& line : lines) {
        EXPECT_EQ(line.result, "good") << line.name;
    }
    EXPECT_EQ(harness_->slot.status(), "successful");
    EXPECT_EQ(harness_->slot.picture(), SlotPicture::Pass);
    EXPECT_EQ(std::filesystem::file_size(home_ / "NorImage.bin"), 196608u);
}

// Every kind of step that can fail ends the run with its own red text, and names the step it
// failed at whatever colour the failure was shown in.
TEST_F(ProductionRunTest, FailuresAtEachKindOfStepShowTheirTexts) {
    struct Case {
        const char* profile;
        const char* fault;
        bool blankCheck;
        const char* text;
        const char* step;
    };
    const Case cases[] = {
        {"nand-2k", "READ_FLASH_ID@2:call", false, "Flash Check fail", "FILE Writing..."},
        {"nand-2k", "WRITE_CFG:call", false, "FILE Writing fail", "FILE Writing..."},
        {"nand-2k", "SCAN_BLOCK@10:status", true, "Blanking Checkfail", "Blanking Check"},
        {"nand-2k", "READ_BLOCK_MAP:call", false, "Bad Block Checkfail", "Bad Block Check..."},
        {"nand-2k", "ERASE_BLOCK:call", false, "Write CFGfail", "Write CFG"},
        {"nand-2k", "FSM_INIT:call", false, "FSM initfail", "FSM init"},
        {"nand-2k", "FILE_WRITE_SETUP:status", false, "Program Write Setup fail",
         "Program Write Setup..."},
        {"nand-2k", "FILE_WRITE@5:call", false, "Program Writing fail", "Program Writing..."},
        {"nand-2k", "FILE_WRITE_END@2:status", false, "Prefer Write End fail",
         "Prefer Write End..."},
        {"nand-2k", "FW_PARITY_CHECK:status", false, "FW Parity Check fail", "FW Parity Check..."},
        {"nand-2k", "START_DISK:call", false, "Start Diskfail", "Start Disk"},
        {"nand-2k", "READ_CAPACITY:call", false, "Disk Size Error", "Start Disk"},
        {"spi", "SPI_FLASH_CHECK:status", false, "Bad Block Check fail", "Bad Block Check..."},
        {"spi", "SPI_READ@3:call", false, "Save Flash Imagefail", "SPI read error!"},
    };
    auto& settings = harness_->settings;
    settings.record.SaveSpiImage = true;
    int runs = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault != nullptr ? c.fault : "no fault");
        std::vector<std::string> extra;
        if (c.fault != nullptr) {
            extra = {"--fail", c.fault};
        }
        plug(kE, c.profile, extra);
        settings.chkBlankCheck = c.blankCheck;
        RecordingSlotView slot;
        const auto worker = produce(kE, slot);
        ++runs;
        EXPECT_EQ(slot.status(), c.text);
        EXPECT_EQ(worker->state().failedStep, c.step);
        // The scan and the CFG write leave the colour as it was when they fail.
        const std::string text = c.text;
        if (text != "Blanking Checkfail" && text != "Write CFGfail") {
            EXPECT_EQ(slot.colour(), StatusColour::Red);
        }
        EXPECT_EQ(slot.picture(), SlotPicture::Fail);
        const auto counts = harness_->counters.snapshot();
        EXPECT_EQ(counts.iFail, runs);
        EXPECT_EQ(counts.iRunning, 0);
        unplug(kE);
    }
    EXPECT_EQ(harness_->counters.snapshot().iSuccess, 0);
}

// Pulled out in the middle of the blanking check: the next command fails, the run ends failed,
// the freed slot waits for a device again and the counters stay right.
TEST_F(ProductionRunTest, DeviceUnpluggedMidRunEndsFailedAndCounts) {
    auto& settings = harness_->settings;
    settings.chkBlankCheck = true;
    settings.record.iScanLevel = 1;
    plug(kE, "nand-2k", {"--scan-ms", "1"});
    std::thread worker([&] { produce(); });
    // Wait until the scan is under way, then do what the removal handling does: free the slot.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (named(trace(kE), kScan).size() < 50 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    freedSlot_ = kE;
    unplug(kE);
    worker.join();

    auto& slot = harness_->slot;
    const auto statuses = slot.statuses();
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "Blanking Checkfail"), statuses.end());
    EXPECT_EQ(slot.status(), "Waiting device...");
    EXPECT_EQ(slot.colour(), StatusColour::WindowText);
    EXPECT_FALSE(slot.gaugeVisible());
    EXPECT_EQ(slot.picture(), SlotPicture::None);
    const auto counts = harness_->counters.snapshot();
    EXPECT_EQ(counts.iTotal, 1);
    EXPECT_EQ(counts.iFail, 1);
    EXPECT_EQ(counts.iRunning, 0);
    EXPECT_EQ(harness_->station.groupChanges(), (std::vector<bool>{false, true}));
}

// Two workers on two devices, ending together, count two.
TEST_F(ProductionRunTest, TwoWorkersEndingTogetherCountTwo) {
    harness_->settings.chkFwUpgrade = false;
    plug('E', "nand-2k");
    plug('F', "nand-2chip");
    RecordingSlotView slotE, slotF;
    std::thread first([&] { produce('E', slotE, 0); });
    std::thread second([&] { produce('F', slotF, 1); });
    first.join();
    second.join();
    EXPECT_EQ(slotE.status(), "successful");
    EXPECT_EQ(slotF.status(), "successful");
    EXPECT_EQ(slotF.detailF().rfind("0MB", 0), 0u);
    const auto counts = harness_->counters.snapshot();
    EXPECT_EQ(counts.iTotal, 2);
    EXPECT_EQ(counts.iSuccess, 2);
    EXPECT_EQ(counts.iRunning, 0);
    EXPECT_EQ(harness_->station.lastCounters().total, 2);
    EXPECT_EQ(harness_->station.groupChanges().back(), true);
}

// A device that asks for a reset is reset and taken when it comes back.
TEST_F(ProductionRunTest, DeviceAskingForAResetIsTakenWhenItComesBack) {
    harness_->settings.chkFwUpgrade = false;
    plug(kE, "needs-reset", {"--reset-ms", "300"});
    RecordingSlotView slot;
    EXPECT_EQ(checkArrivedDevice(*transport_, kE, harness_->clock), ArrivalCheck::ResetSent);
    ASSERT_TRUE(waitForSocket(kE, false));  // it leaves ...
    ASSERT_TRUE(waitForSocket(kE, true));   // ... and arrives anew
    produce(kE, slot);
    EXPECT_EQ(named(trace(kE), "SUB_SCSI_OP_RESET").size(), 1u);
    EXPECT_EQ(slot.status(), "successful");
}

// Runs on devices that keep the CFG of an earlier run.
class StoredCfgRunTest : public ProductionRunTest {
  protected:
    // A device plugged with a flash of its own: a state folder no earlier case has used.
    void plugFresh(const std::string& profile, std::vector<std::string> extra = {}) {
        const fs::path state = dir_ / ("state-" + std::to_string(++devices_));
        extra.insert(extra.end(), {"--state", state.string()});
        plug(kE, profile, extra);
    }
    // A run of its own on a device without its blanking check; the trace of it alone.
    std::vector<TraceLine> produceAgain(RecordingSlotView& slot,
                                        std::unique_ptr<ProductThread>* worker = nullptr) {
        const std::size_t before = trace(kE).size();
        auto produced = produce(kE, slot);
        if (worker != nullptr) {
            *worker = std::move(produced);
        }
        return traceFrom(kE, before);
    }

    int devices_ = 0;
};

// The station's own CFG of a run without firmware upgrade (signature "5X16") is taken back by the
// next run without blanking check: the page map it carries comes back with its meaning (a set bit
// is a page not used), the weak pages stay unused, and the CFG written again is the same.
TEST_F(StoredCfgRunTest, PageMapOfAStoredCfgComesBackWithoutBlankingCheck) {
    auto& settings = harness_->settings;
    settings.chkBlankCheck = true;
    settings.chkFwUpgrade = false;
    settings.record.PageMode = true;
    settings.record.PageModeSel = 2;  // "Even Pages": the odd pages of this flash are weak
    settings.record.iScanLevel = 1;
    plug(kE, "nand-weak");
    RecordingSlotView first;
    produce(kE, first);
    ASSERT_EQ(first.status(), "successful(Degrade)");
    const auto cfgAfterScan = storedCfg();
    EXPECT_EQ(std::string(cfgAfterScan.begin(), cfgAfterScan.begin() + 8), "5X165X16");
    EXPECT_EQ(cfgAfterScan[132], 1);

    settings.chkBlankCheck = false;
    RecordingSlotView again;
    std::unique_ptr<ProductThread> worker;
    const auto lines = produceAgain(again, &worker);
    EXPECT_TRUE(named(lines, kScan).empty());
    const WorkerState& state = worker->state();
    EXPECT_EQ(state.bStoredCfgValid, 1);
    EXPECT_EQ(state.bStoredPageMap, 1);
    EXPECT_EQ(state.bPageMapValid, 1);
    for (std::size_t page = 0; page < 64; ++page) {
        EXPECT_EQ(state.PageMap[page], page % 2 == 1 ? 0x00 : 0xFF) << page;
    }
    EXPECT_EQ(again.status(), "successful(Degrade)");
    EXPECT_EQ(storedCfg(), cfgAfterScan);
}

// Without a stored CFG the block map of the flash decides: a bad rate above the threshold asks
// for a blanking check. The flash has exactly 25 % bad blocks; a valid stored CFG (of a first
// run) lifts the rule.
TEST_F(StoredCfgRunTest, BadRateThresholdWithoutAStoredCfg) {
    const fs::path profile = dir_ / "quarter-bad.ini";
    std::ofstream(profile) << "[device]\nbase = nand-2k\nbad-blocks = 1024-1535\n";
    struct Case {
        int threshold;
        bool storedFirst;  // a first run at threshold 25 leaves its CFG
        const char* status;
    };
    const Case cases[] = {
        {25, false, "successful(Degrade)"},
        {24, false, "Please do blanking check"},
        {0, true, "successful(Degrade)"},
    };
    auto& settings = harness_->settings;
    settings.chkBlankCheck = false;
    settings.chkFwUpgrade = false;
    for (const Case& c : cases) {
        SCOPED_TRACE("threshold " + std::to_string(c.threshold) +
                     (c.storedFirst ? ", stored CFG" : ""));
        plugFresh(profile.string());
        if (c.storedFirst) {
            settings.record.iBadThreshold = 25;
            RecordingSlotView first;
            produce(kE, first);
            ASSERT_EQ(first.status(), "successful(Degrade)");
        }
        settings.record.iBadThreshold = c.threshold;
        RecordingSlotView slot;
        std::unique_ptr<ProductThread> worker;
        const auto lines = produceAgain(slot, &worker);
        EXPECT_EQ(slot.status(), c.status);
        EXPECT_EQ(worker->state().bStoredCfgValid, c.storedFirst ? 1 : 0);
        ASSERT_EQ(named(lines, "SUB_SCSI_OP_READ_BLOCK_MAP").size(), 1u);
        if (std::string(c.status) == "Please do blanking check") {
            EXPECT_EQ(slot.colour(), StatusColour::Red);
            EXPECT_TRUE(named(lines, kWritePage).empty()) << "no CFG is written";
        }
        unplug(kE);
    }
}

// A stored CFG of another flash type: it goes back to the controller, the block map is read, the
// flash file follows again, and the CFG of the current type is written. Each of those sends can
// fail the run, and a flash without description has no file to send again.
TEST_F(StoredCfgRunTest, ChangedFlashTypeSendsTheStoredCfgAndTheFlashFileAgain) {
    const Folded kWriteCfg = {{"SUB_SCSI_OP_WRITE_CFG", 1}};
    const Folded kReadCfg = {{"SUB_SCSI_OP_READ_CFG", 1}};
    const Folded kReadMap = {{"SUB_SCSI_OP_READ_BLOCK_MAP", 1}};
    const Folded kEnd = join({kCfgWrite, {{"SUB_SCSI_OP_FSM_INIT", 1}}});
    struct Case {
        const char* what;
        bool storedTypeDiffers;
        bool described;     // the second run finds the description file
        const char* fault;  // nullptr, or the device's fault rule
        Folded commands;    // the second run's after its start
        const char* status;
    };
    const Case cases[] = {
        {"same type", false, true, nullptr, join({kWriteCfg, kReadCfg, kReadMap, kEnd}),
         "successful"},
        {"changed type", true, true, nullptr,
         join({kWriteCfg, kReadCfg, kWriteCfg, kReadMap, kWriteCfg, kEnd}), "successful"},
        {"stored CFG refused", true, true, "WRITE_CFG@3:call",
         join({kWriteCfg, kReadCfg, kWriteCfg}), "FILE Writing fail"},
        {"flash file refused", true, true, "WRITE_CFG@4:call",
         join({kWriteCfg, kReadCfg, kWriteCfg, kReadMap, kWriteCfg}), "FILE Writing fail"},
        {"no description to send again", true, false, nullptr,
         join({kWriteCfg, kReadCfg, kWriteCfg, kReadMap}), "FILE Writing fail"},
    };
    auto& settings = harness_->settings;
    settings.chkBlankCheck = false;
    settings.chkFwUpgrade = false;
    const std::uint8_t type = describedFlashType();
    const auto otherType = static_cast<std::uint8_t>((type + 1) % 8);
    const fs::path flashDir = home_ / "flash";
    const fs::path keptFlashDir = dir_ / "flash-kept";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> extra;
        if (c.fault != nullptr) {
            extra = {"--fail", c.fault};
        }
        plugFresh("nand-2k", extra);
        setDescribedFlashType(c.storedTypeDiffers ? otherType : type);
        RecordingSlotView first;
        produce(kE, first);
        ASSERT_EQ(first.status(), "successful");
        ASSERT_EQ(storedCfg()[96], c.storedTypeDiffers ? otherType : type);

        setDescribedFlashType(type);
        if (!c.described) {
            fs::rename(flashDir, keptFlashDir);
        }
        RecordingSlotView slot;
        std::unique_ptr<ProductThread> worker;
        const auto lines = produceAgain(slot, &worker);
        if (!c.described) {
            fs::rename(keptFlashDir, flashDir);
        }
        EXPECT_EQ(test::foldedText(test::foldNames(lines)),
                  test::foldedText(join({kArrival, kWorkerStart, c.commands})));
        EXPECT_EQ(worker->state().bStoredCfgValid, 1);
        EXPECT_EQ(worker->state().iStoredFlashType, c.storedTypeDiffers ? otherType : type);
        for (const auto& write : named(lines, "SUB_SCSI_OP_WRITE_CFG")) {
            EXPECT_EQ(write.length, 512u);
        }
        EXPECT_EQ(slot.status(), c.status);
        if (std::string(c.status) == "successful") {
            EXPECT_EQ(storedCfg()[96], type) << "the CFG of the current flash type";
        } else {
            EXPECT_EQ(slot.colour(), StatusColour::Red);
        }
        unplug(kE);
    }
}

// A system area the CFG cannot describe (a 650 MB CD-ROM image) fails the device with its size
// before the blanking check spends its time, and nothing is written to the flash.
TEST_F(ProductionRunTest, SystemAreaTooLargeForTheCfgFailsBeforeTheBlankingCheck) {
    auto& settings = harness_->settings;
    settings.chkBlankCheck = true;
    settings.chkFwUpgrade = false;
    settings.chkISOupgrade = true;
    settings.iIsoSize = 650 * 1024 * 1024;
    plug(kE, "nand-2k");
    produce();
    auto& slot = harness_->slot;
    EXPECT_EQ(slot.status().rfind("System area too large: ", 0), 0u) << slot.status();
    EXPECT_EQ(slot.colour(), StatusColour::Red);
    EXPECT_EQ(slot.picture(), SlotPicture::Fail);
    const auto lines = trace(kE);
    EXPECT_TRUE(named(lines, kScan).empty());
    EXPECT_TRUE(named(lines, kErase).empty());
    EXPECT_TRUE(named(lines, kWritePage).empty());
}

}  // namespace
}  // namespace corvid
