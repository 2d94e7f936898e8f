// The one table of prefer.ini keys: every row loads, saves, shows and sets through it.

#include "station/setting_keys.h"

#include <gtest/gtest.h>

#include <functional>

#include <algorithm>
#include <fstream>
#include <vector>

#include "platform/ini_file.h"
#include "platform/text_file.h"
#include "station/settings_files.h"
#include "tests/station/station_test_support.h"

namespace corvid {
namespace {

using test::StationFolderTest;

// A value of the key's kind that a new station does not hold.
std::string otherValue(const SettingKey& key) {
    switch (key.kind) {
        case SettingKind::Flag:
            return key.defaultValue == 0 ? "1" : "0";
        case SettingKind::Number:
            return std::to_string(key.defaultValue == key.max ? key.min : key.max);
        case SettingKind::Text:
            break;
    }
    return "AB";
}

// What the file holds when the key is missing; no value can hold a line break.
constexpr char kMissing[] = "\n";

class SettingKeysTableTest : public StationFolderTest {};

TEST_F(SettingKeysTableTest, EveryRowRoundTripsThroughItsSectionOfPreferIni) {
    for (const SettingKey& key : settingKeys()) {
        const std::string value = otherValue(key);
        StationSettings changed;
        setSettingValue(changed, key, value);
        EXPECT_EQ(key.get(changed), value) << key.key;
        EXPECT_NE(key.get(changed), key.get(StationSettings{})) << key.key;

        std::filesystem::remove(folder().preferIni());
        writePreferIni(folder().preferIni(), changed);
        const IniFile ini(folder().preferIni());
        EXPECT_EQ(ini.readString(std::string(key.section), std::string(key.key), kMissing), value)
            << key.key;

        StationSettings loaded;
        readPreferIni(folder().preferIni(), loaded);
        EXPECT_EQ(key.get(loaded), value) << key.key;
        EXPECT_FALSE(settingValueMeaning(key, loaded).empty()) << key.key;
    }
}

TEST_F(SettingKeysTableTest, KeysAreSavedInTheirSavePositionsAndCorvidKeysOnlyOnceInUse) {
    StationSettings settings;
    writePreferIni(folder().preferIni(), settings);
    std::vector<const SettingKey*> stationKeys;
    for (const SettingKey& key : settingKeys()) {
        if (key.section == kPreferSection) {
            stationKeys.push_back(&key);
        }
    }
    std::sort(stationKeys.begin(), stationKeys.end(), [](const SettingKey* a, const SettingKey* b) {
        return a->savePosition < b->savePosition;
    });
    std::vector<std::string> expected;
    for (const SettingKey* key : stationKeys) {
        expected.emplace_back(key->key);
    }
    EXPECT_EQ(IniFile(folder().preferIni()).keyNames(kPreferSection), expected);
    // Corvid's keys at their defaults leave the station's file as it always was.
    EXPECT_EQ(IniFile(folder().preferIni()).sectionNames(),
              std::vector<std::string>{kPreferSection});

    settings.corvid.verify = true;
    writePreferIni(folder().preferIni(), settings);
    EXPECT_EQ(IniFile(folder().preferIni()).keyNames(kCorvidSection),
              std::vector<std::string>{"Verify"});
    // Once in the file, a key is written back at its default too.
    settings.corvid.verify = false;
    settings.corvid.productionRecord = false;
    writePreferIni(folder().preferIni(), settings);
    const IniFile ini(folder().preferIni());
    EXPECT_EQ(ini.keyNames(kCorvidSection),
              (std::vector<std::string>{"Verify", "ProductionRecord"}));
    EXPECT_EQ(ini.readString(kCorvidSection, "Verify"), "0");
    EXPECT_EQ(ini.readString(kCorvidSection, "ProductionRecord"), "0");
}

TEST_F(SettingKeysTableTest, CorvidKeysLoadWithTheirDefaultsAndFromTheirSection) {
    StationSettings settings;
    readPreferIni(folder().preferIni(), settings);
    EXPECT_FALSE(settings.corvid.verify);
    EXPECT_TRUE(settings.corvid.productionRecord);

    writeBytes(folder().preferIni(),
               "[MP_Setting]\r\nVerify=1\r\n[corvid]\r\nverify=0x1\r\nProductionRecord=0\r\n");
    settings = StationSettings{};
    readPreferIni(folder().preferIni(), settings);
    EXPECT_TRUE(settings.corvid.verify);
    EXPECT_FALSE(settings.corvid.productionRecord);
}

TEST(SettingKeysRangeTest, ValuesOutsideTheirRangeAreRefusedNamingKeyAndRange) {
    for (const SettingKey& key : settingKeys()) {
        std::vector<std::string> refused;
        if (key.kind == SettingKind::Text) {
            if (key.max > 0) {
                refused.push_back(std::string(static_cast<std::size_t>(key.max) + 1, 'A'));
            }
        } else {
            refused = {std::to_string(key.min - 1), std::to_string(key.max + 1)};
        }
        for (const std::string& value : refused) {
            StationSettings settings;
            try {
                setSettingValue(settings, key, value);
                ADD_FAILURE() << key.key << " took " << value;
            } catch (const SettingsError& e) {
                const std::string message = e.what();
                EXPECT_NE(message.find(std::string(key.key)), std::string::npos) << message;
                const std::string range = key.kind == SettingKind::Text
                                              ? "longer than " + std::to_string(key.max)
                                              : settingRangeText(key);
                EXPECT_NE(message.find(range), std::string::npos) << message;
            }
            EXPECT_EQ(key.get(settings), key.get(StationSettings{})) << key.key;
        }
    }
    EXPECT_EQ(settingRangeText(*findSettingKey("iHideDiskRatio")), "a whole number from 1 to 100");
    EXPECT_EQ(settingRangeText(*findSettingKey("verify")), "0 or 1");
}

// A hand-edited prefer.ini: a value outside its range is said and its nearest allowed value is
// used, never the raw value (a page skip of 999 would reach the device cut to 231).
TEST_F(SettingKeysTableTest, OutOfRangeValuesAreReportedAndBroughtToTheNearestAllowed) {
    struct Case {
        const char* key;
        const char* written;
        const char* used;
        const char* noteStart;
    };
    const Case cases[] = {
        {"iPageSkip", "999", "64", "iPageSkip=999 is not a whole number from 0 to 64; 64 is used"},
        {"iHideDiskRatio", "-7", "1", "iHideDiskRatio=-7 is not a whole number from 1 to 100"},
        {"Label", "ABCDEFGHIJKLMNOPQRSTUVWXYZ", "ABCDEFGHIJK",
         "Label \"ABCDEFGHIJKLMNOPQRSTUVWXYZ\" is longer than 11 characters; \"ABCDEFGHIJK\""},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(folder().preferIni());
        writePreferIni(folder().preferIni(), StationSettings{});  // every other key as saved
        const SettingKey* key = findSettingKey(c.key);
        ASSERT_NE(key, nullptr) << c.key;
        IniFile(folder().preferIni()).writeString(std::string(key->section), c.key, c.written);
        StationSettings settings;
        const std::vector<std::string> notes = readPreferIni(folder().preferIni(), settings);
        EXPECT_EQ(key->get(settings), c.used) << c.key;
        ASSERT_EQ(notes.size(), 1u) << c.key;
        EXPECT_EQ(notes[0].rfind(c.noteStart, 0), 0u) << notes[0];
    }
}

// A prefer.ini that is missing, a folder, empty or cut short reads as defaults, and each says so
// in one note; a complete one says nothing.
TEST_F(SettingKeysTableTest, AMissingEmptyOrCutShortPreferIniIsSaidInANote) {
    std::filesystem::remove(folder().preferIni());
    writePreferIni(folder().preferIni(), StationSettings{});
    const std::string complete = readFileBytes(folder().preferIni());
    struct Case {
        const char* name;
        std::function<void()> make;
        const char* note;
    };
    const auto cut = complete.substr(0, complete.find("PageMode="));
    const Case cases[] = {
        {"complete", [&] { writeFileAtomically(folder().preferIni(), complete); }, nullptr},
        {"missing", [] {}, "the file is missing; every setting takes its default"},
        {"folder", [&] { std::filesystem::create_directory(folder().preferIni()); },
         "it is not a file; every setting takes its default"},
        {"empty", [&] { writeFileAtomically(folder().preferIni(), "\n"); },
         "the file is empty; every setting takes its default"},
        {"cut short", [&] { writeFileAtomically(folder().preferIni(), cut); },
         "it has no PageMode"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(folder().preferIni());
        c.make();
        StationSettings settings;
        const std::vector<std::string> notes = readPreferIni(folder().preferIni(), settings);
        if (c.note == nullptr) {
            EXPECT_TRUE(notes.empty()) << notes.front();
            continue;
        }
        ASSERT_EQ(notes.size(), 1u);
        EXPECT_EQ(notes[0].rfind(c.note, 0), 0u) << notes[0];
    }
}

TEST_F(SettingKeysTableTest, APreferIniThatIsNotTextIsRefusedNamingTheFile) {
    std::ofstream(folder().preferIni(), std::ios::binary) << std::string(
        "\x7f"
        "ELF\0\0\x01",
        7);
    StationSettings settings;
    try {
        readPreferIni(folder().preferIni(), settings);
        FAIL() << "a binary prefer.ini was read";
    } catch (const SettingsError& e) {
        EXPECT_NE(std::string(e.what()).find(folder().preferIni().string()), std::string::npos);
        EXPECT_NE(std::string(e.what()).find("not a text file"), std::string::npos);
    }
}

}  // namespace
}  // namespace corvid
