// The run sequence with a fake device: the preparation, the serial-flash path, the download
// stages and their failure texts, the end of the run. The NAND path runs against the simulator
// in the integration tests.
#include "production/product_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <stdexcept>

#include "tests/production/worker_harness.h"
#include "tests/support/recording_transport.h"
#include "transport/vendor_commands.h"

namespace corvid {
namespace {

using test::RecordedRequest;
using test::Reply;
using test::WorkerHarnessTest;

constexpr char kLetter = 'M';

class ProductThreadTest : public WorkerHarnessTest {
  protected:
    void SetUp() override {
        WorkerHarnessTest::SetUp();
        writeFile("misc/program.bin", 5000);
        writeFile("misc/prefer.dat", 100);
        writeFile("misc/image.iso", 3000);
        writeFile("misc/PASS.IMG", 2048);
        writeFile("misc/success.bmp", 10);
        writeFile("misc/fail.bmp", 10);
        auto& settings = harness_->settings;
        settings.preCopyList = {"misc/program.bin", "misc/prefer.dat", "misc/image.iso"};
        settings.iProgramIndex = 0;
        settings.iPreferIndex = 1;
        settings.iIsoIndex = 2;
        // A serial-flash device that answers every command with success.
        fake_.setResponder([this](const RecordedRequest& r) { return answer(r); });
    }

    void writeFile(const std::string& name, std::size_t size) {
        std::ofstream(dir_ / name, std::ios::binary) << std::string(size, 'x');
    }

    Reply answer(const RecordedRequest& r) {
        const std::uint8_t sub = r.cdb[1];
        if (sub == throwSub_ && throw_) {
            throw_();
        }
        if (sub == failSub_ && ++seen_[sub] == failOccurrence_) {
            return Reply{false, {}};  // fails both the call and the status verdict
        }
        if (sub == SUB_SCSI_OP_READ_FLASH_ID) {
            return Reply{true, {0xFF, 0x00, 0xFF, 0x00, 0xFF}};
        }
        if (sub == SUB_SCSI_OP_GET_PORT) {
            return Reply{true, {0}};
        }
        return Reply{true, {0x01, 0x00}};
    }

    // Runs one worker to its end on its own thread.
    void run(int slotIndex = 0) {
        auto worker = std::make_unique<ProductThread>(harness_->environment(), harness_->device(),
                                                      kLetter, slotIndex, kLanguageEnglish,
                                                      [this] { return slotLetter_.load(); });
        ProductThread::start(std::move(worker)).join();
    }

    void failAt(std::uint8_t sub, int occurrence) {
        failSub_ = sub;
        failOccurrence_ = occurrence;
    }

    std::vector<std::uint8_t> subCodes() const {
        std::vector<std::uint8_t> codes;
        for (const auto& request : fake_.requests()) {
            codes.push_back(request.cdb[1]);
        }
        return codes;
    }

    std::atomic<char> slotLetter_{kLetter};
    std::map<std::uint8_t, int> seen_;
    // The device's link throws this way at the command 'throwSub_'.
    std::function<void()> throw_;
    std::uint8_t throwSub_ = 0;
    std::uint8_t failSub_ = 0;
    int failOccurrence_ = 0;
};

TEST_F(ProductThreadTest, MissingFirmwareFailsBeforeTheDeviceIsOpened) {
    struct Case {
        std::int32_t StationSettings::*index;
        bool iso;
        const char* text;
    };
    const Case cases[] = {
        {&StationSettings::iProgramIndex, false, "Cannot findprogram.bin"},
        {&StationSettings::iPreferIndex, false, "Cannot findprefer.dat"},
        {&StationSettings::iIsoIndex, true, "Cannot findImage.ISO"},
    };
    int runs = 0;
    for (const auto& c : cases) {
        auto& settings = harness_->settings;
        settings.iProgramIndex = 0;
        settings.iPreferIndex = 1;
        settings.iIsoIndex = 2;
        settings.chkISOupgrade = c.iso;
        settings.*c.index = 3;  // past the end of the list
        run();
        ++runs;
        EXPECT_EQ(harness_->slot.status(), c.text);
        EXPECT_EQ(harness_->slot.colour(), StatusColour::Red);
        EXPECT_EQ(harness_->slot.picture(), SlotPicture::Fail);
        EXPECT_TRUE(fake_.openedLetters().empty());
        EXPECT_EQ(harness_->counters.snapshot().iFail, runs);
    }
    EXPECT_TRUE(harness_->station.groupChanges().empty());  // iRunning never raised
}

TEST_F(ProductThreadTest, ADeviceThatCannotBeOpenedFails) {
    fake_.failOpen(kLetter);
    run();
    EXPECT_EQ(harness_->slot.status(), "FileHandle fail");
    EXPECT_EQ(harness_->slot.colour(), StatusColour::Red);
    EXPECT_TRUE(fake_.requests().empty());
    EXPECT_EQ(harness_->station.lastCounters().fail, 1);
}

// A serial-flash device takes the short path: check, downloads, start disk, result.
TEST_F(ProductThreadTest, SerialFlashRunsItsDownloadsToTheEnd) {
    harness_->settings.record.CapMultiplier = 3;
    run();
    const std::vector<std::uint8_t> expected = {
        SUB_SCSI_OP_GET_PORT,         SUB_SCSI_OP_GET_FLASH_COUNT,    SUB_SCSI_OP_READ_FLASH_ID,
        SUB_SCSI_OP_SPI_FLASH_CHECK,  SUB_SCSI_OP_FILE_WRITE_SETUP,   SUB_SCSI_OP_FILE_WRITE,
        SUB_SCSI_OP_FILE_WRITE,       SUB_SCSI_OP_FILE_WRITE,         SUB_SCSI_OP_FILE_WRITE_END,
        SUB_SCSI_OP_FILE_WRITE_SETUP, SUB_SCSI_OP_FILE_WRITE,         SUB_SCSI_OP_FILE_WRITE_END,
        SUB_SCSI_OP_FW_PARITY_CHECK,  SUB_SCSI_OP_SET_CAP_MULTIPLIER, SUB_SCSI_OP_START_DISK,
    };
    EXPECT_EQ(subCodes(), expected);
    auto& slot = harness_->slot;
    EXPECT_EQ(slot.progress(), (std::vector<int>{0, 2, 10, 16, 20, 20, 25, 30, 35, 72, 75, 100}));
    EXPECT_EQ(slot.maximum(), 100);
    EXPECT_EQ(
        slot.statuses(),
        (std::vector<std::string>{
            "FILE Writing...", "Bad Block Check...", "Program Write Setup...", "Program Writing...",
            "Program Write End...", "Prefer Write Setup...", "Prefer Writing...",
            "Prefer Write End...", "FW Parity Check...", "Start Disk", "successful"}));
    EXPECT_EQ(slot.colour(), StatusColour::Blue);
    EXPECT_EQ(slot.picture(), SlotPicture::Pass);
    EXPECT_EQ(slot.detailP(), "<0-0-0>");
    EXPECT_EQ(slot.detailF().substr(0, 5), "0MB, ");
    EXPECT_EQ(slot.detailF().substr(slot.detailF().size() - 3), "Sec");
    const auto counts = harness_->counters.snapshot();
    EXPECT_EQ(counts.iTotal, 1);
    EXPECT_EQ(counts.iSuccess, 1);
    EXPECT_EQ(counts.iRunning, 0);
    EXPECT_EQ(harness_->station.groupChanges(), (std::vector<bool>{false, true}));
    EXPECT_EQ(fake_.closedHandles().size(), 1u);
}

// The result line counts the seconds between the start and the end of the run on the station's
// clock, across midnight too; every pause of the run is asked of that clock.
TEST_F(ProductThreadTest, TheResultLineShowsTheElapsedSecondsOfTheStationsClock) {
    struct Case {
        TimeOfDay start;
        TimeOfDay end;
        const char* line;
    };
    const Case cases[] = {
        {{10, 0, 0}, {10, 1, 5}, "0MB, 65Sec"},
        {{23, 59, 50}, {0, 0, 40}, "0MB, 50Sec"},
        {{8, 30, 0}, {8, 30, 0}, "0MB, 0Sec"},
    };
    for (const auto& c : cases) {
        harness_->clock.setTimes({c.start, c.end});
        run();
        EXPECT_EQ(harness_->slot.detailF(), c.line);
        EXPECT_EQ(harness_->slot.status(), "successful");
    }
    harness_->settings.chkBlankCheck = true;
    harness_->clock.setTimes({{23, 59, 59}, {0, 0, 1}});
    run();
    // No NAND flash was described: no bad block of no block.
    EXPECT_EQ(harness_->slot.detailF(), "0/0, 0MB, 2Sec");

    harness_->settings.chkBlankCheck = false;
    const auto asked = harness_->clock.pauses().size();
    run();
    using std::chrono::milliseconds;
    const auto pauses = harness_->clock.pauses();
    // Before the downloads, after each of the six firmware and prefer stages, before the result.
    EXPECT_EQ(std::vector<milliseconds>(pauses.begin() + static_cast<std::ptrdiff_t>(asked),
                                        pauses.end()),
              (std::vector<milliseconds>{milliseconds(100), milliseconds(200), milliseconds(100),
                                         milliseconds(100), milliseconds(200), milliseconds(200),
                                         milliseconds(100), milliseconds(100)}));
}

// A step whose code throws ends its own run failed, with the error in red, and counted; the
// station's next run goes on as usual.
TEST_F(ProductThreadTest, AStepThatThrowsFailsItsRunAndTheNextRunGoesOn) {
    struct Case {
        std::uint8_t sub;
        std::function<void()> raise;
        bool runBegun;  // iRunning was raised before the throw
        const char* text;
    };
    const Case cases[] = {
        {SUB_SCSI_OP_FILE_WRITE, [] { throw std::runtime_error("the link to the device dropped"); },
         true, "Run stopped: the link to the device dropped"},
        {SUB_SCSI_OP_FILE_WRITE, [] { throw 42; }, true, "Run stopped: an error of unknown kind"},
        {SUB_SCSI_OP_GET_PORT, [] { throw std::bad_alloc(); }, false,
         "Run stopped: std::bad_alloc"},
    };
    auto& slot = harness_->slot;
    int runs = 0;
    for (const auto& c : cases) {
        const auto groupsBefore = harness_->station.groupChanges().size();
        const auto closedBefore = fake_.closedHandles().size();
        throwSub_ = c.sub;
        throw_ = c.raise;
        run();
        ++runs;
        EXPECT_EQ(slot.status(), c.text);
        EXPECT_EQ(slot.colour(), StatusColour::Red);
        EXPECT_EQ(slot.picture(), SlotPicture::Fail);
        auto counts = harness_->counters.snapshot();
        EXPECT_EQ(counts.iTotal, runs);
        EXPECT_EQ(counts.iFail, runs - counts.iSuccess);
        EXPECT_EQ(counts.iRunning, 0);
        EXPECT_EQ(harness_->station.lastCounters().total, runs);
        EXPECT_EQ(harness_->station.groupChanges().size() - groupsBefore, c.runBegun ? 2u : 0u);
        if (c.runBegun) {
            EXPECT_TRUE(harness_->station.groupChanges().back());  // enabled again
        }
        EXPECT_EQ(fake_.closedHandles().size() - closedBefore, 1u);  // the device was closed

        throw_ = nullptr;
        run();
        ++runs;
        EXPECT_EQ(slot.status(), "successful");
        EXPECT_EQ(slot.colour(), StatusColour::Blue);
        counts = harness_->counters.snapshot();
        EXPECT_EQ(counts.iTotal, runs);
        EXPECT_EQ(counts.iSuccess, runs / 2);
        EXPECT_EQ(counts.iFail, runs / 2);
    }
}

TEST_F(ProductThreadTest, IsoAndPassImagesFollowTheirSettings) {
    auto& settings = harness_->settings;
    settings.chkISOupgrade = true;
    settings.record.eDeviceFeature = DeviceFeature::Encrypted;
    settings.chkParityCheck = false;
    run();
    EXPECT_EQ(harness_->slot.progress(), (std::vector<int>{0, 2, 10, 16, 20, 20, 25, 30, 35, 40, 45,
                                                           50, 55, 65, 70, 75, 100}));
    // Setup sizes: program 5000, prefer 100, image.iso 3000, PASS.IMG 2048.
    std::vector<std::uint32_t> announced;
    for (const auto& request : fake_.requests()) {
        if (request.cdb[1] == SUB_SCSI_OP_FILE_WRITE_SETUP) {
            announced.push_back(request.cdb[4] << 8 | request.cdb[5]);
        }
    }
    EXPECT_EQ(announced, (std::vector<std::uint32_t>{5000, 100, 3000, 2048}));
    EXPECT_EQ(harness_->slot.status(), "successful");
}

TEST_F(ProductThreadTest, EveryFailedStepShowsItsTextInRed) {
    struct Case {
        std::uint8_t sub;
        int occurrence;
        const char* text;
    };
    const Case cases[] = {
        {SUB_SCSI_OP_READ_FLASH_ID, 1, "Flash Check fail"},
        {SUB_SCSI_OP_SPI_FLASH_CHECK, 1, "Bad Block Check fail"},
        {SUB_SCSI_OP_FILE_WRITE_SETUP, 1, "Program Write Setup fail"},
        {SUB_SCSI_OP_FILE_WRITE, 2, "Program Writing fail"},
        {SUB_SCSI_OP_FILE_WRITE_END, 1, "Program Write End fail"},
        {SUB_SCSI_OP_FILE_WRITE_SETUP, 2, "Prefer Write Setup fail"},
        {SUB_SCSI_OP_FILE_WRITE, 4, "Prefer Writing fail"},
        {SUB_SCSI_OP_FILE_WRITE_END, 2, "Prefer Write End fail"},
        {SUB_SCSI_OP_FILE_WRITE_SETUP, 3, "ISO Write Setup fail"},
        {SUB_SCSI_OP_FILE_WRITE, 5, "ISO Writing fail"},
        {SUB_SCSI_OP_FILE_WRITE_END, 3, "ISO Write End fail"},
        {SUB_SCSI_OP_FILE_WRITE_SETUP, 4, "PASS Write Setup fail"},
        {SUB_SCSI_OP_FILE_WRITE, 7, "PASS Write Setup fail"},  // PassWriteStr reads the same
        {SUB_SCSI_OP_FILE_WRITE_END, 4, "PASS Write End fail"},
        {SUB_SCSI_OP_FW_PARITY_CHECK, 1, "FW Parity Check fail"},
        {SUB_SCSI_OP_START_DISK, 1, "Start Diskfail"},
    };
    auto& settings = harness_->settings;
    settings.chkISOupgrade = true;
    settings.record.eDeviceFeature = DeviceFeature::Encrypted;
    int runs = 0;
    for (const auto& c : cases) {
        seen_.clear();
        failAt(c.sub, c.occurrence);
        run();
        ++runs;
        EXPECT_EQ(harness_->slot.status(), c.text) << int(c.sub) << "#" << c.occurrence;
        EXPECT_EQ(harness_->slot.colour(), StatusColour::Red);
        EXPECT_EQ(harness_->slot.picture(), SlotPicture::Fail);
        EXPECT_EQ(harness_->counters.snapshot().iFail, runs);
        EXPECT_EQ(harness_->counters.snapshot().iRunning, 0);
    }
}

TEST_F(ProductThreadTest, WithoutFirmwareUpgradeNothingIsDownloaded) {
    harness_->settings.chkFwUpgrade = false;
    harness_->settings.iProgramIndex = -1;  // not looked at
    run();
    for (const auto sub : subCodes()) {
        EXPECT_NE(sub, SUB_SCSI_OP_FILE_WRITE_SETUP);
        EXPECT_NE(sub, SUB_SCSI_OP_START_DISK);
    }
    EXPECT_EQ(harness_->slot.progress(), (std::vector<int>{0, 2, 10, 100, 100}));
    EXPECT_EQ(harness_->slot.status(), "successful");
}

TEST_F(ProductThreadTest, TheFirstSlotSavesTheSerialFlashWhenAsked) {
    harness_->settings.record.SaveSpiImage = true;
    run(1);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "NorImage.bin"));
    run(0);
    EXPECT_EQ(harness_->slot.status(), "successful");
    // program.bin of 5000 bytes: 64 KiB + 128 KiB read back.
    EXPECT_EQ(std::filesystem::file_size(dir_ / "NorImage.bin"), 196608u);

    seen_.clear();
    failAt(SUB_SCSI_OP_SPI_READ, 3);
    run(0);
    EXPECT_EQ(harness_->slot.status(), "Save Flash Imagefail");
}

TEST_F(ProductThreadTest, ADeviceGoneBeforeTheEndLeavesTheSlotWaiting) {
    failAt(SUB_SCSI_OP_FILE_WRITE, 1);
    fake_.setResponder([this](const RecordedRequest& r) {
        if (r.cdb[1] == SUB_SCSI_OP_FILE_WRITE_SETUP) {
            slotLetter_ = 0;  // the removal handling freed the slot
        }
        return answer(r);
    });
    run();
    auto& slot = harness_->slot;
    EXPECT_EQ(slot.status(), "Waiting device...");
    EXPECT_EQ(slot.colour(), StatusColour::WindowText);
    EXPECT_FALSE(slot.gaugeVisible());
    EXPECT_EQ(slot.lastProgress(), 0);
    EXPECT_EQ(slot.picture(), SlotPicture::None);
    EXPECT_EQ(slot.detailF(), "");
    EXPECT_EQ(harness_->counters.snapshot().iFail, 1);
}

TEST_F(ProductThreadTest, AnotherDeviceInTheSlotKeepsTheFailPictureButLosesTheRedText) {
    failAt(SUB_SCSI_OP_START_DISK, 1);
    fake_.setResponder([this](const RecordedRequest& r) {
        if (r.cdb[1] == SUB_SCSI_OP_START_DISK) {
            slotLetter_ = 'N';
        }
        return answer(r);
    });
    run();
    EXPECT_EQ(harness_->slot.status(), "Waiting device...");
    EXPECT_EQ(harness_->slot.picture(), SlotPicture::Fail);
    EXPECT_TRUE(harness_->slot.gaugeVisible());
}

}  // namespace
}  // namespace corvid
