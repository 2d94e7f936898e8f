#include "production/station_home_writer.h"

#include <gtest/gtest.h>

#include <fstream>

#include "characterisation/flash_database.h"
#include "production/sample_files.h"
#include "station/capacity_multiplier.h"
#include "station/settings_files.h"
#include "tests/support/temp_dir.h"

namespace corvid {
namespace {

std::string readBytes(const std::filesystem::path& path, std::size_t offset, std::size_t size) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    std::string bytes(size, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(size));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

class StationHomeWriterTest : public test::TempDirTest {
  protected:
    std::filesystem::path home() const { return dir_ / "station"; }
};

TEST_F(StationHomeWriterTest, WritesAFolderTheStationLoadsAsItIs) {
    writeStationHome(home(), false);
    const StationFolder folder(home());
    for (const char* name : {"lang.ini", "FSM.bin", "program.bin", "prefer.dat", "PASS.IMG",
                             "response.txt", "success.bmp", "fail.bmp", "prefer.ini", "seting.ini",
                             "hideseting.ini", "spiseting.ini"}) {
        EXPECT_TRUE(std::filesystem::is_regular_file(folder.misc() / name)) << name;
    }
    EXPECT_TRUE(std::filesystem::is_directory(home() / "log"));

    StationSettings settings = newStationSettings(folder);
    const auto report = loadStationSettings(folder, settings);
    EXPECT_TRUE(report.droppedPreCopy.empty());
    EXPECT_EQ(settings.preCopyList.size(), 2u);
    EXPECT_EQ(settings.iProgramIndex, 0);
    EXPECT_EQ(settings.iPreferIndex, 1);
    EXPECT_EQ(settings.iIsoIndex, -1);
    EXPECT_TRUE(report.multiplierFromFirmware);
    EXPECT_EQ(settings.record.CapMultiplier, 0);
    EXPECT_TRUE(settings.chkFwUpgrade);
}

TEST_F(StationHomeWriterTest, SampleFilesCarryWhatTheStationReadsFromThem) {
    writeStationHome(home(), false);
    const auto misc = home() / "misc";
    EXPECT_EQ(readBytes(misc / "FSM.bin", 8192, kSampleFsmVersion.size() + 1),
              std::string(kSampleFsmVersion) + '\0');
    EXPECT_EQ(readBytes(misc / "program.bin", 0, 4), "5V16");
    EXPECT_EQ(readBytes(misc / "program.bin", kCapMultiplierOffset, 3),
              std::string("\x55\xAA\0", 3));
    EXPECT_EQ(readBytes(misc / "success.bmp", 0, 2), "BM");
    EXPECT_EQ(std::filesystem::file_size(misc / "fail.bmp"), 54u + 48 * 48 * 3);
    // Two runs give the same bytes: nothing depends on the time or the machine.
    const std::string firmware = readBytes(misc / "program.bin", 0, 65536);
    writeStationHome(home(), true);
    EXPECT_EQ(readBytes(misc / "program.bin", 0, 65536), firmware);
}

TEST_F(StationHomeWriterTest, DescribesTheSimulatorsFlashes) {
    writeStationHome(home(), false);
    const auto flashDir = home() / "flash";
    for (const auto& flash : sampleFlashes()) {
        FlashIdBytes id{};
        std::copy(std::begin(flash.id), std::end(flash.id), id.begin());
        EXPECT_EQ(findFlashFile(flashDir, id), flash.fileName);
        EXPECT_EQ(flashDisplayName(flashDir, flash.fileName, 1), flash.displayName);
        EXPECT_EQ(flashDisplayName(flashDir, flash.fileName, 2),
                  std::string(flash.displayName) + " x 2");
        const std::string embedded = readEmbeddedName(flashDir / flash.fileName);
        EXPECT_EQ(embedded, *flash.embeddedName ? flash.embeddedName : "DEFAULT");

        const std::string bytes = readBytes(flashDir / flash.fileName, 0, 512);
        ASSERT_EQ(bytes.size(), 512u);
        std::array<std::uint8_t, 512> block{};
        std::copy(bytes.begin(), bytes.end(), block.begin());
        EXPECT_TRUE(cfg::hasSignature(block));
        EXPECT_EQ(block[cfg::kChecksum] << 8 | block[cfg::kChecksum + 1], cfg::checksum(block));
    }
}

TEST_F(StationHomeWriterTest, RefusesAFolderInUseUnlessTold) {
    std::filesystem::create_directories(home());
    std::ofstream(home() / "notes.txt") << "mine";
    EXPECT_THROW(writeStationHome(home(), false), StationHomeRefused);
    EXPECT_FALSE(std::filesystem::exists(home() / "misc"));

    writeStationHome(home(), true);
    EXPECT_TRUE(std::filesystem::exists(home() / "misc" / "FSM.bin"));
    EXPECT_EQ(readBytes(home() / "notes.txt", 0, 4), "mine");

    std::ofstream(dir_ / "plain") << "x";
    EXPECT_THROW(writeStationHome(dir_ / "plain", true), StationHomeRefused);
}

}  // namespace
}  // namespace corvid
