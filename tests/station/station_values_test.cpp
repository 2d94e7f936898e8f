// Derived texts, the image check, the registry values, the OS class and the settings editor.

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/registry_store.h"
#include "station/disk_feature.h"
#include "station/image_check.h"
#include "station/messages.h"
#include "station/os_class.h"
#include "station/setting_keys.h"
#include "station/settings_files.h"
#include "station/station_registry.h"
#include "tests/station/station_test_support.h"
#include "tests/support/recording_views.h"

namespace corvid {
namespace {

TEST(DiskFeatureTest, TextPerSplitAndLanguage) {
    struct Case {
        int feature;
        int ratio;
        int language;
        std::optional<std::string> text;
    };
    const Case cases[] = {
        {0, 30, 0, "Normal"},     {1, 10, 0, "Encrypted disk10%"}, {2, 25, 0, "Hidden disk25%"},
        {1, 50, 1, "加密碟50%"},  {2, 5, 2, "隐藏碟5%"},           {0, 10, 2, "一般碟"},
        {3, 10, 0, std::nullopt},
    };
    for (const Case& c : cases) {
        SETTING_T record;
        record.eDeviceFeature = static_cast<DeviceFeature>(c.feature);
        record.iHideDiskRatio = c.ratio;
        EXPECT_EQ(diskFeatureText(record, c.language), c.text) << c.feature << " " << c.language;
    }
}

TEST(ImageCheckTest, MissingImageIsClearedAndToldOnce) {
    const ImageSizeReader reader = [](const std::string& path) -> std::optional<int> {
        return path == "good.img" ? std::optional<int>(64) : std::nullopt;
    };
    struct Case {
        DeviceFeature feature;
        bool useImage;
        std::string file;
        ImageCheck result;
        std::string fileAfter;
        int size;
    };
    const Case cases[] = {
        {DeviceFeature::Normal, true, "bad.img", ImageCheck::NotUsed, "bad.img", 0},
        {DeviceFeature::Hidden, false, "bad.img", ImageCheck::NotUsed, "bad.img", 0},
        {DeviceFeature::Hidden, true, "good.img", ImageCheck::Valid, "good.img", 64},
        {DeviceFeature::Encrypted, true, "bad.img", ImageCheck::Cleared, "", 0},
    };
    for (const Case& c : cases) {
        SETTING_T record;
        record.eDeviceFeature = c.feature;
        record.bUseImgFile = c.useImage;
        record.ImageFile = c.file;
        test::RecordingPrompt prompt;
        EXPECT_EQ(checkImageAtFirstDisplay(record, reader, prompt, kLanguageEnglish), c.result);
        EXPECT_EQ(record.ImageFile, c.fileAfter);
        EXPECT_EQ(record.iImgDiskSize, c.size);
        const auto shown = prompt.shown();
        if (c.result == ImageCheck::Cleared) {
            ASSERT_EQ(shown.size(), 1u);
            EXPECT_EQ(shown[0].text, "Image file not exists. Please reassign it.");
            EXPECT_EQ(shown[0].caption, "Warning");
            EXPECT_EQ(shown[0].icon, PromptIcon::Warning);
        } else {
            EXPECT_TRUE(shown.empty());
        }
    }
}

class RegistryValuesTest : public test::StationFolderTest {};

TEST_F(RegistryValuesTest, ToolValuesAreCreatedOnlyWhenMissing) {
    const auto store = openIniRegistryStore(dir_ / "misc" / "registry.ini");
    store->writeInt(kToolRegistryKey, "BlocksPerChip", 1024);
    EXPECT_TRUE(createToolValues(*store));
    EXPECT_EQ(store->readInt(kToolRegistryKey, "BlocksPerChip", -1), 1024);
    EXPECT_EQ(store->readInt(kToolRegistryKey, "LogBiTable", -1), 0);
    EXPECT_EQ(readLanguageId(*store), 0);
    EXPECT_TRUE(writeLanguageId(*store, 2));
    EXPECT_EQ(readLanguageId(*store), 2);
    EXPECT_TRUE(storeAddDir(*store, "/data/files"));
    EXPECT_EQ(store->readString(kStationRegistryKey, "AddDir", ""), "/data/files");
}

TEST(OsClassTest, ClassFromVersion) {
    struct Case {
        bool known, nt;
        int major, minor, osClass;
    };
    const Case cases[] = {{false, true, 5, 1, 0}, {true, false, 5, 1, 0}, {true, true, 4, 0, 1},
                          {true, true, 5, 0, 2},  {true, true, 5, 1, 3},  {true, true, 5, 2, 4},
                          {true, true, 6, 0, 2},  {true, true, 6, 1, 3},  {true, true, 10, 3, 4}};
    for (const Case& c : cases) {
        EXPECT_EQ(osClassFromVersion(c.known, c.nt, c.major, c.minor), c.osClass)
            << c.major << "." << c.minor;
    }
#ifndef _WIN32
    EXPECT_LE(hostOsClass(), 2);  // the check-disk step runs on Linux (fsck.fat)
#endif
}

TEST(SettingKeysTest, ValuesAreCheckedAndSet) {
    struct Case {
        const char* key;
        const char* value;
        bool accepted;
        const char* stored;
    };
    const Case cases[] = {
        {"format", "1", true, "1"},
        {"FwUpgrade", "2", false, ""},
        {"iScanLevel", "4", true, "4"},
        {"iScanLevel", "5", false, ""},
        {"iPageSkip", "0x40", true, "64"},
        {"iPageSkip", "-1", false, ""},
        {"System Area Size", "15", true, "15"},
        {"CapMultiplier", "6", false, ""},
        {"AllowErrorRate", "0", false, ""},
        {"iHideDiskRatio", "100", true, "100"},
        {"iEccLevel", "two", false, ""},
        {"Label", "my disk", true, "MY DISK"},
        {"Label", "TWELVE_CHARS", false, ""},
        {"sHideDiskLabel", "secret", true, "SECRET"},
        {"sHideDiskLabel", "NINECHARS", false, ""},
        {"ImageFile", "/a/b.img", true, "/a/b.img"},
        {"ImageFile", "a\nb", false, ""},
        {"eDeviceFeature", "2", true, "2"},
    };
    for (const Case& c : cases) {
        StationSettings settings;
        const SettingKey* key = findSettingKey(c.key);
        ASSERT_NE(key, nullptr) << c.key;
        if (c.accepted) {
            setSettingValue(settings, *key, c.value);
            EXPECT_EQ(key->get(settings), c.stored) << c.key;
        } else {
            EXPECT_THROW(setSettingValue(settings, *key, c.value), SettingsError) << c.key;
        }
    }
    EXPECT_EQ(findSettingKey("NoSuchKey"), nullptr);
    EXPECT_EQ(std::count_if(settingKeys().begin(), settingKeys().end(),
                            [](const SettingKey& k) { return k.section == kPreferSection; }),
              24);

    StationSettings settings;
    settings.record.eDeviceFeature = DeviceFeature::Hidden;
    settings.record.iHideDiskRatio = 96;
    EXPECT_THROW(checkSettingCombination(settings), SettingsError);
    settings.record.eDeviceFeature = DeviceFeature::Encrypted;
    EXPECT_NO_THROW(checkSettingCombination(settings));
}

}  // namespace
}  // namespace corvid
