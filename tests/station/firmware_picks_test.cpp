#include "station/firmware_picks.h"

#include <gtest/gtest.h>

#include "station/capacity_multiplier.h"
#include "station/messages.h"
#include "station/settings_files.h"
#include "tests/station/station_test_support.h"
#include "tests/support/recording_views.h"

namespace corvid {
namespace {

class FirmwareTest : public test::StationFolderTest {
  protected:
    std::string file(const std::string& name, std::size_t size) {
        writeBytes(dir_ / name, std::string(size, 'x'));
        return (dir_ / name).string();
    }
    test::RecordingPrompt prompt_;
};

TEST_F(FirmwareTest, PicksAndTheEstimateOfTheExample) {
    StationSettings s;
    s.preCopyList = {file("program.bin", 700000), file("prefer.dat", 2048)};
    recomputeFirmwarePicks(s, folder());
    EXPECT_EQ(s.iProgramIndex, 0);
    EXPECT_EQ(s.iPreferIndex, 1);
    EXPECT_EQ(s.iIsoIndex, -1);
    EXPECT_EQ(s.iProgramSize, 700000);
    EXPECT_EQ(s.iPreferSize, 2048);
    EXPECT_EQ(systemAreaEstimateMB(s), 8);
    EXPECT_EQ(systemAreaEstimateText(messageDefault(MessageKey::SystemAreaSizeStr).data(), 8),
              "System Area Size: 8MB");
}

TEST_F(FirmwareTest, LaterEntryWinsAndImageCountsOnlyWithIsoUpgrade) {
    StationSettings s;
    s.preCopyList = {file("a.bin", 10), file("Program.BIN", 3 * 1024 * 1024),
                     file("IMAGE.ISO", 5 * 1024 * 1024), "missing/prefer.dat"};
    recomputeFirmwarePicks(s, folder());
    EXPECT_EQ(s.iProgramIndex, 1);
    EXPECT_EQ(s.iIsoIndex, 2);
    EXPECT_EQ(s.iPreferIndex, 3);
    EXPECT_EQ(s.iPreferSize, 0);            // cannot be opened
    EXPECT_EQ(systemAreaEstimateMB(s), 8);  // 2 x (3 + 1) MiB
    s.chkISOupgrade = true;
    EXPECT_EQ(systemAreaEstimateMB(s), 20);  // 2 x (3 + 5 + 1) MiB, rounded up to 4 MiB

    s.preCopyList.erase(s.preCopyList.begin(), s.preCopyList.begin() + 2);
    recomputeFirmwarePicks(s, folder());
    EXPECT_EQ(s.iProgramIndex, -1);
    EXPECT_EQ(s.iProgramSize, 0);
}

TEST_F(FirmwareTest, MultiplierIsReadFromTheFirstBinEntryAtLoad) {
    struct Case {
        const char* what;
        std::string field;
        int expected;
    };
    const std::vector<Case> cases = {
        {"signature and index 3", "\x55\xAA\x03", 3},
        {"no signature", std::string("\x55\x00\x03", 3), 1},
        {"index beyond the multipliers", "\x55\xAA\x09", 1},
    };
    for (const Case& c : cases) {
        const std::string a = firmware("a.bin", "5V16", c.field);
        const std::string program = firmware("program.bin", "5V16", "\x55\xAA\x05");
        writeBytes(folder().preferIni(), "[MP_Setting]\r\nCapMultiplier=1\r\n");
        writeBytes(folder().preCopyListFile(), "\xEF\xBB\xBF" + a + "\r\n" + program + "\r\n");
        StationSettings s = newStationSettings(folder());
        const SettingsLoadReport report = loadStationSettings(folder(), s);
        EXPECT_EQ(s.record.CapMultiplier, c.expected) << c.what;
        EXPECT_EQ(report.multiplierFirmware, a) << c.what;
        EXPECT_EQ(s.iProgramIndex, 1) << c.what;  // program.bin, the later entry
    }
}

TEST_F(FirmwareTest, MultiplierIsWrittenIntoTheFirstFileWithTheChipName) {
    const std::string other = firmware("other.bin", "XXXX", "\x55\xAA\x00");
    const std::string program = firmware("program.BIN", "5V16", "\x55\xAA\x00");
    const FileList list = {file("notes.txt", 4), other, program};
    EXPECT_TRUE(writeCapMultiplierToFirmware(list, folder(), 4, prompt_, kLanguageEnglish));
    EXPECT_EQ(multiplierByte(program), 4);
    EXPECT_EQ(multiplierByte(other), 0);
    EXPECT_TRUE(prompt_.shown().empty());

    // A file without the mark's first byte is left alone.
    const std::string unmarked = firmware("program.bin", "5V16", std::string("\x00\xAA\x00", 3));
    EXPECT_FALSE(writeCapMultiplierToFirmware({unmarked}, folder(), 2, prompt_, 0));
    EXPECT_EQ(multiplierByte(unmarked), 0);
    EXPECT_TRUE(prompt_.shown().empty());
}

TEST_F(FirmwareTest, MultiplierIsWrittenOnlyOverTheWholeMarkOfALongEnoughFile) {
    struct Case {
        const char* what;
        std::string field;
        std::size_t size;
        bool written;
    };
    const std::size_t fieldEnd = kCapMultiplierOffset + sizeof(CapMultiplierField);
    const Case cases[] = {
        {"both mark bytes", "\x55\xAA\x00", 40000, true},
        {"both mark bytes, the file ends with the field", "\x55\xAA\x00", fieldEnd, true},
        {"first mark byte only", std::string("\x55\x00\x00", 3), 40000, false},
        {"second mark byte only", std::string("\x00\xAA\x00", 3), 40000, false},
        {"the file ends inside the field", "\x55\xAA", fieldEnd - 1, false},
    };
    for (const Case& c : cases) {
        const std::string program = firmware("program.bin", "5V16", c.field, c.size);
        const std::string before = readBytes(program);
        EXPECT_EQ(writeCapMultiplierToFirmware({program}, folder(), 5, prompt_, kLanguageEnglish),
                  c.written)
            << c.what;
        const std::string after = readBytes(program);
        if (c.written) {
            EXPECT_EQ(multiplierByte(program), 5) << c.what;
            EXPECT_EQ(after.size(), before.size()) << c.what;
        } else {
            EXPECT_EQ(after, before) << c.what;
        }
    }
    EXPECT_TRUE(prompt_.shown().empty());
}

TEST_F(FirmwareTest, MultiplierWriteFailuresAreToldToTheOperator) {
    const std::string other = firmware("other.bin", "XXXX", "\x55\xAA\x00");
    struct Case {
        int index;
        FileList list;
        int language;
        std::string text;
    };
    const std::vector<Case> cases = {
        {-1, {other}, kLanguageEnglish, "nonlegal mulitplier"},
        {6, {other}, kLanguageEnglish, "nonlegal mulitplier"},
        {1, {other, "gone.bin"}, kLanguageEnglish, "Firmware file not found"},
        {1, {}, kLanguageTraditionalChinese, "找不到固件檔(program.bin)"},
    };
    for (const Case& c : cases) {
        prompt_.clear();
        EXPECT_FALSE(writeCapMultiplierToFirmware(c.list, folder(), c.index, prompt_, c.language));
        const auto shown = prompt_.shown();
        ASSERT_EQ(shown.size(), 1u) << c.text;
        EXPECT_EQ(shown[0].text, c.text);
        EXPECT_EQ(shown[0].caption, "DA Zero");
        EXPECT_EQ(shown[0].icon, PromptIcon::Error);
    }
    EXPECT_EQ(multiplierByte(other), 0);
}

}  // namespace
}  // namespace corvid
