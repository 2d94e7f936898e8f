#include "production/spi_downloads.h"

#include <gtest/gtest.h>

#include <iterator>

#include <fstream>

#include "tests/production/worker_harness.h"
#include "tests/support/recording_transport.h"
#include "transport/vendor_commands.h"

namespace corvid {
namespace {

using test::RecordedRequest;
using test::Reply;
using test::WorkerHarnessTest;

TEST(SpiFileType, FollowsTheExtensionAndTheListIndex) {
    struct Case {
        const char* name;
        std::size_t index;
        std::optional<std::uint8_t> type;
    };
    const Case cases[] = {
        {"song.MP3", 2, 0x85},      {"x.wma", 0, 0xC3},  {"x.wav", 0, std::nullopt},
        {"noext", 1, std::nullopt}, {"a.Wma", 61, 0xC0},  // (61 + 3) & 0x3F wraps to 0
        {"b.mp3", 60, 0xBF},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(spiFileType(c.name, c.index), c.type) << c.name;
    }
}

TEST(SpiFileHeader, CarriesMagicTypeAndBigEndianSize) {
    const SpiFileHeader header = makeSpiFileHeader(0x85, 10000);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&header);
    EXPECT_EQ(std::string(bytes, bytes + 4), "5V06");
    EXPECT_EQ(bytes[4], 0x85);
    EXPECT_EQ(bytes[5], 0x00);
    EXPECT_EQ(bytes[6], 0x00);
    EXPECT_EQ(bytes[7], 0x27);
    EXPECT_EQ(bytes[8], 0x10);
    for (std::size_t i = 9; i < sizeof(header); ++i) {
        ASSERT_EQ(bytes[i], 0) << i;
    }
}

TEST(SpiImageSize, RoundsTheFirmwareUpAndAdds128KiB) {
    EXPECT_EQ(spiImageSize(70000), 262144u);
    EXPECT_EQ(spiImageSize(65536), 196608u);
    EXPECT_EQ(spiImageSize(0), 131072u);
}

class SpiDownloadsTest : public WorkerHarnessTest {
  protected:
    void SetUp() override {
        WorkerHarnessTest::SetUp();
        fake_.setResponder([](const RecordedRequest&) { return Reply{true, {0x01}}; });
    }
    std::filesystem::path writeFile(const std::string& name, std::size_t size) {
        const auto path = dir_ / name;
        std::ofstream(path, std::ios::binary) << std::string(size, 'z');
        return path;
    }
    std::unique_ptr<WorkerState> openState() { return openWorker('F'); }
};

TEST_F(SpiDownloadsTest, WritesEachUsableEntryBehindItsHeaderAndSkipsTheRest) {
    writeFile("a.mp3", 10000);
    writeFile("b.wav", 100);
    writeFile("c.WMA", 2048);
    harness_->settings.record.SpiFileList = {"a.mp3", "b.wav", "missing.mp3",
                                             (dir_ / "c.WMA").string()};
    auto w = openState();
    ASSERT_TRUE(bWriteSpiFiles(*w));

    std::vector<std::string> trace;
    for (const auto& request : fake_.requests()) {
        trace.push_back(std::to_string(request.cdb[1]) + ":" +
                        std::to_string(request.transferLength));
    }
    // a.mp3: setup, header, 2048 x 4, 1808; end. c.WMA: setup, header, 2048, empty chunk; end.
    const std::vector<std::string> expected = {
        "122:1", "123:2048", "123:2048", "123:2048", "123:2048", "123:2048", "123:1808",
        "124:1", "122:1",    "123:2048", "123:2048", "123:0",    "124:1"};
    EXPECT_EQ(trace, expected);
    const auto requests = fake_.requests();
    // 10000 + 2048 = 12048 = 0x2F10
    EXPECT_EQ(requests[0].cdbBytes(), (std::vector<std::uint8_t>{0xEF, 0x7A, 0, 0, 0x2F, 0x10}));
    EXPECT_EQ(requests[1].dataOut[4], 0x83);  // .mp3 at index 0
    EXPECT_EQ(requests[9].dataOut[4], 0xC6);  // .wma at index 3
    const auto statuses = harness_->slot.statuses();
    EXPECT_EQ(statuses,
              (std::vector<std::string>{"SPI hidden files write  0", "SPI hidden files write  1",
                                        "SPI hidden files write  2", "SPI hidden files write  3"}));
}

TEST_F(SpiDownloadsTest, AFailedStepSetsTheFailureText) {
    writeFile("a.mp3", 100);
    harness_->settings.record.SpiFileList = {"a.mp3"};
    struct Case {
        std::uint8_t failing;
        StatusColour colour;
    };
    for (const Case c : {Case{SUB_SCSI_OP_FILE_WRITE_SETUP, StatusColour::WindowText},
                         Case{SUB_SCSI_OP_FILE_WRITE, StatusColour::WindowText},
                         Case{SUB_SCSI_OP_FILE_WRITE_END, StatusColour::Red}}) {
        fake_.setResponder([&](const RecordedRequest& r) {
            return Reply{r.cdb[1] != c.failing, {0x01}};
        });
        auto w = openState();
        EXPECT_FALSE(bWriteSpiFiles(*w)) << int(c.failing);
        EXPECT_EQ(harness_->slot.status(), "SPI hidden files write fail");
        EXPECT_EQ(harness_->slot.colour(), c.colour);
    }
}

TEST_F(SpiDownloadsTest, SavesTheSerialFlashOverTheFirmwareSpan) {
    const auto firmware = writeFile("program.bin", 70000);
    std::uint8_t fill = 0;
    fake_.setResponder([&](const RecordedRequest&) {
        return Reply{true, std::vector<std::uint8_t>(2048, fill++)};
    });
    auto w = openState();
    w->sProgramPath = firmware;
    const auto output = dir_ / "NorImage.bin";
    ASSERT_TRUE(bSaveSpiImage(*w, output));
    const auto requests = fake_.requests();
    ASSERT_EQ(requests.size(), 128u);
    EXPECT_EQ(requests[1].cdbBytes(), (std::vector<std::uint8_t>{0xEF, 0x9D, 0, 8, 0, 8}));
    EXPECT_EQ(requests[127].cdb[3], 0xF8);  // unit 1016
    EXPECT_EQ(std::filesystem::file_size(output), 262144u);
    std::ifstream in(output, std::ios::binary);
    in.seekg(2048 * 5);
    EXPECT_EQ(in.get(), 5);
}

TEST_F(SpiDownloadsTest, SaveFailuresSayWhatWentWrong) {
    auto w = openState();
    w->sProgramPath = dir_ / "absent.bin";
    EXPECT_FALSE(bSaveSpiImage(*w, dir_ / "NorImage.bin"));
    EXPECT_EQ(harness_->slot.status(), "Open file fail!");

    w->sProgramPath = writeFile("program.bin", 100);
    EXPECT_FALSE(bSaveSpiImage(*w, dir_ / "no-such-folder" / "NorImage.bin"));
    EXPECT_EQ(harness_->slot.status(), "Open file fail!");

    fake_.queueReply({true, std::vector<std::uint8_t>(2048, 1)});
    fake_.queueReply({false, {}});
    EXPECT_FALSE(bSaveSpiImage(*w, dir_ / "NorImage.bin"));
    EXPECT_EQ(harness_->slot.status(), "SPI read error!");
}

// A device pulled out in the middle of the read leaves the last good image as it was, and no
// working file beside it.
TEST_F(SpiDownloadsTest, AReadThatFailsHalfWayKeepsTheLastGoodImage) {
    const auto output = dir_ / "NorImage.bin";
    {
        std::ofstream good(output, std::ios::binary);
        good << "the last good image";
    }
    auto w = openState();
    w->sProgramPath = writeFile("program.bin", 100);
    fake_.queueReply({true, std::vector<std::uint8_t>(2048, 1)});
    fake_.queueReply({false, {}});
    EXPECT_FALSE(bSaveSpiImage(*w, output));
    std::ifstream in(output, std::ios::binary);
    const std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(kept, "the last good image");
    EXPECT_FALSE(std::filesystem::exists(dir_ / "NorImage.bin.partial"));
}

}  // namespace
}  // namespace corvid
