// The settings editor: every change checked before anything changes, the firmware file last.

#include "station/settings_editor.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "station/firmware_picks.h"
#include "station/messages.h"
#include "station/setting_keys.h"
#include "tests/station/station_test_support.h"
#include "tests/support/recording_views.h"

namespace corvid {
namespace {

class SettingsEditorTest : public test::StationFolderTest {
  protected:
    void SetUp() override {
        StationFolderTest::SetUp();
        program_ = firmware("program.bin", "5V16", "\x55\xAA\x01");
        writeBytes(dir_ / "prefer.dat", std::string(2048, 'p'));
        writeBytes(dir_ / "image.iso", std::string(3 * 1024 * 1024, 'i'));
        std::filesystem::create_directory(dir_ / "files");
        writeBytes(dir_ / "files" / "a.txt", "a");
        // A station that has been closed once, with the firmware in its pre-copy list.
        writeBytes(folder().preferIni(), "[MP_Setting]\r\niScanLevel=2\r\nLabel=DISK\r\n");
        writeBytes(folder().preCopyListFile(), "\xEF\xBB\xBF" + program_ + "\r\n");
        settings_ = newStationSettings(folder());
        loadStationSettings(folder(), settings_);
    }

    SettingsEditResult apply(const SettingsEdit& edit, SettingsSave save = SettingsSave::Now) {
        return applySettingsEdit(folder(), settings_, edit, prompt_, kLanguageEnglish, save);
    }

    // Every file of the station folder with its bytes.
    std::map<std::string, std::string> files() const {
        std::map<std::string, std::string> all;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_)) {
            if (entry.is_regular_file()) {
                all[entry.path().string()] = readBytes(entry.path());
            }
        }
        return all;
    }

    // The settings as the table and the lists show them.
    static std::vector<std::string> shown(const StationSettings& s) {
        std::vector<std::string> values;
        for (const SettingKey& key : settingKeys()) {
            values.push_back(std::string(key.key) + "=" + key.get(s));
        }
        for (const FileList* list :
             {&s.preCopyList, &s.record.HideFileList, &s.record.SpiFileList}) {
            values.insert(values.end(), list->begin(), list->end());
            values.emplace_back("|");
        }
        return values;
    }

    std::string program_;
    StationSettings settings_;
    test::RecordingPrompt prompt_;
};

TEST_F(SettingsEditorTest, ARefusedEditLeavesTheSettingsAndEveryFileUntouched) {
    struct Case {
        std::vector<std::pair<std::string, std::string>> values;
        std::function<void(SettingsEdit&)> lists;
        std::string message;
    };
    const auto none = [](SettingsEdit&) {};
    // Each edit holds good changes beside its fault, the multiplier among them.
    const std::vector<Case> cases = {
        {{{"CapMultiplier", "3"}, {"Format", "1"}, {"iScanLevel", "9"}},
         none,
         "\"9\" for iScanLevel is not a whole number from 0 to 4"},
        {{{"CapMultiplier", "6"}}, none, "CapMultiplier is not a whole number from 0 to 5"},
        {{{"CapMultiplier", "3"}, {"Verify", "2"}}, none, "for Verify is not 0 or 1"},
        {{{"Format", "1"}, {"NoSuchKey", "1"}}, none, "\"NoSuchKey\" is not a setting"},
        {{{"Label", "TWELVE_CHARS"}}, none, "for Label is longer than 11 characters"},
        {{{"CapMultiplier", "3"}, {"eDeviceFeature", "2"}, {"iHideDiskRatio", "100"}},
         none,
         "more than the hidden disk allows"},
        {{{"CapMultiplier", "3"}},
         [](SettingsEdit& e) { e.hidden.remove = {0}; },
         "there is no entry 0 in the hidden-disk list (the list is empty)"},
        {{{"CapMultiplier", "3"}},
         [](SettingsEdit& e) {
             e.preCopy.remove = {0, 1};
         },
         "there is no entry 1 in the pre-copy list (its entries are 0 to 0)"},
        {{{"CapMultiplier", "3"}},
         [this](SettingsEdit& e) {
             e.preCopy.add = {(dir_ / "prefer.dat").string()};
             e.spi.add = {(dir_ / "files").string()};
         },
         (dir_ / "files").string() + " is not a file"},
        {{{"CapMultiplier", "3"}},
         [](SettingsEdit& e) {
             e.hidden.add = {"files", "missing.txt"};
         },
         "missing.txt is neither a file nor a folder"},
    };
    const auto filesBefore = files();
    const auto settingsBefore = shown(settings_);
    for (const Case& c : cases) {
        SettingsEdit edit;
        edit.values = c.values;
        c.lists(edit);
        try {
            apply(edit);
            ADD_FAILURE() << "applied: " << c.message;
        } catch (const SettingsEditRefused& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
        EXPECT_EQ(files(), filesBefore) << c.message;
        EXPECT_EQ(shown(settings_), settingsBefore) << c.message;
    }
    EXPECT_TRUE(prompt_.shown().empty());
}

// The runs write the label in the code page of their language: it is counted there, in bytes,
// and a label that does not fit is refused before any file changes.
TEST_F(SettingsEditorTest, TheLabelIsCountedInBytesOfTheRunsCodePage) {
    const std::string chinese4 = "\xE4\xB8\xAD\xE6\x96\x87\xE5\x8D\xB7\xE6\xA0\x87";  // 中文卷标
    const std::string chinese6 = chinese4 + "\xE4\xB8\xAD\xE6\x96\x87";               // + 中文
    const std::string traditional6 =
        "\xE4\xB8\xAD\xE6\x96\x87\xE5\x8D\xB7\xE6\xA8\x99" + chinese6.substr(12);  // 中文卷標中文
    const std::string simplified = "\xE7\xAE\x80";  // 简, not in Big5
    struct Case {
        std::string label;
        int runLanguage;
        const char* refusal;  // null: taken
    };
    const Case cases[] = {
        {chinese4, kLanguageEnglish, "takes 12 bytes"},
        {chinese4, kLanguageSimplifiedChinese, nullptr},
        {chinese6, kLanguageSimplifiedChinese, "takes 12 bytes"},
        {traditional6, kLanguageTraditionalChinese, "takes 12 bytes"},
        {simplified, kLanguageTraditionalChinese, "cannot write"},
        {"ELEVENCHARS", kLanguageTraditionalChinese, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label + " in language " + std::to_string(c.runLanguage));
        const auto filesBefore = files();
        SettingsEdit edit;
        edit.values = {{"Label", c.label}};
        edit.runLanguage = c.runLanguage;
        if (c.refusal == nullptr) {
            apply(edit);
            EXPECT_EQ(settings_.LabelEdit, c.label);
            continue;
        }
        const std::string before = settings_.LabelEdit;
        try {
            apply(edit);
            ADD_FAILURE() << "taken";
        } catch (const SettingsEditRefused& e) {
            const std::string line = e.what();
            EXPECT_NE(line.find(c.refusal), std::string::npos) << line;
            EXPECT_NE(line.find(c.label), std::string::npos) << "the label as UTF-8: " << line;
            EXPECT_EQ(line.find('\n'), std::string::npos) << line;
        }
        EXPECT_EQ(files(), filesBefore);
        EXPECT_EQ(settings_.LabelEdit, before);
    }
}

// A hidden disk takes up to 95 percent: 95 is taken, 96 refused.
TEST_F(SettingsEditorTest, AHiddenDiskTakesUpTo95Percent) {
    SettingsEdit edit;
    edit.values = {{"eDeviceFeature", "2"}, {"iHideDiskRatio", "95"}};
    apply(edit);
    EXPECT_EQ(settings_.record.iHideDiskRatio, 95);
    edit.values = {{"iHideDiskRatio", "96"}};
    EXPECT_THROW(apply(edit), SettingsEditRefused);
    EXPECT_EQ(settings_.record.iHideDiskRatio, 95);
}

TEST_F(SettingsEditorTest, AnAppliedEditIsSavedWithItsEffectsAndTheMultiplierInTheFirmware) {
    SettingsEdit edit;
    edit.values = {{"capmultiplier", "3"}, {"Format", "1"}, {"ISO upgrade", "1"}, {"Verify", "1"}};
    edit.preCopy.add = {(dir_ / "prefer.dat").string(), "image.iso"};
    edit.hidden.add = {"files"};
    edit.spi.replace = FileList{"files/a.txt", "prefer.dat"};
    edit.spi.remove = {1};
    const SettingsEditResult result = apply(edit);

    EXPECT_TRUE(result.multiplierChanged);
    EXPECT_TRUE(result.multiplierWritten);
    ASSERT_TRUE(result.multiplierRead.has_value());  // read again after "Add files..."
    EXPECT_TRUE(result.multiplierRead->found);
    EXPECT_EQ(multiplierByte(program_), 3);
    EXPECT_TRUE(prompt_.shown().empty());

    // In memory: the values, the lists and the picks with the estimate they give.
    EXPECT_EQ(settings_.record.CapMultiplier, 3);
    EXPECT_TRUE(settings_.chkFormat && settings_.chkISOupgrade && settings_.corvid.verify);
    EXPECT_EQ(settings_.preCopyList,
              (FileList{program_, (dir_ / "prefer.dat").string(), "image.iso"}));
    EXPECT_EQ(settings_.record.HideFileList, FileList{"files"});
    EXPECT_EQ(settings_.record.SpiFileList, FileList{"files/a.txt"});
    EXPECT_EQ(settings_.iProgramIndex, 0);
    EXPECT_EQ(settings_.iPreferIndex, 1);
    EXPECT_EQ(settings_.iIsoIndex, 2);
    EXPECT_EQ(systemAreaEstimateMB(settings_), 12);  // 2 x (0.5 + 0.5 + 3 + 1) MiB, to 4 MiB

    // On disk: what the next start finds is what the edit made.
    StationSettings reloaded = newStationSettings(folder());
    loadStationSettings(folder(), reloaded);
    EXPECT_EQ(shown(reloaded), shown(settings_));
    EXPECT_EQ(reloaded.record.iScanLevel, 2);  // untouched values stay
    EXPECT_EQ(reloaded.LabelEdit, "DISK");
}

TEST_F(SettingsEditorTest, TheFirmwareChangesOnlyAfterTheSettingsFilesAreSaved) {
    // A folder where a list file should be cannot be replaced, so the save fails.
    std::filesystem::create_directories(folder().hideListFile() / "inside");
    SettingsEdit edit;
    edit.values = {{"CapMultiplier", "4"}};
    EXPECT_THROW(apply(edit), SettingsError);
    EXPECT_EQ(multiplierByte(program_), 1);
    EXPECT_EQ(settings_.record.CapMultiplier, 1);
}

TEST_F(SettingsEditorTest, AtCloseOnlyTheFirmwareIsWrittenAndTheSameMultiplierNotEvenThat) {
    const auto filesBefore = files();
    SettingsEdit edit;
    edit.values = {{"CapMultiplier", "2"}, {"Format", "1"}};
    const SettingsEditResult result = apply(edit, SettingsSave::AtClose);
    EXPECT_TRUE(result.multiplierWritten);
    EXPECT_EQ(multiplierByte(program_), 2);
    EXPECT_TRUE(settings_.chkFormat);
    auto expected = filesBefore;
    expected[program_] = readBytes(program_);
    EXPECT_EQ(files(), expected);

    // Choosing the multiplier the station holds already leaves the firmware alone.
    firmware("program.bin", "5V16", std::string("\x55\x00\x02", 3));
    const std::string unmarked = readBytes(program_);
    edit.values = {{"CapMultiplier", "2"}};
    EXPECT_FALSE(apply(edit, SettingsSave::AtClose).multiplierChanged);
    EXPECT_EQ(readBytes(program_), unmarked);
    EXPECT_TRUE(prompt_.shown().empty());
}

TEST_F(SettingsEditorTest, AMultiplierTheFirmwareCannotTakeIsKeptInPreferIniAndTold) {
    struct Case {
        const char* what;
        std::string field;
        std::size_t size;
        bool inList;
        bool told;  // "Firmware file not found"
    };
    const std::size_t fieldEnd = kCapMultiplierOffset + sizeof(CapMultiplierField);
    const Case cases[] = {
        {"only the first mark byte", std::string("\x55\x00\x01", 3), 40000, true, false},
        {"only the second mark byte", std::string("\x00\xAA\x01", 3), 40000, true, false},
        {"the file ends inside the field", "\x55\xAA", fieldEnd - 1, true, false},
        {"no firmware in the pre-copy list", "\x55\xAA\x01", 40000, false, true},
    };
    for (const Case& c : cases) {
        writeBytes(folder().preferIni(), "[MP_Setting]\r\niScanLevel=2\r\n");
        firmware("program.bin", "5V16", c.field, c.size);
        writeBytes(folder().preCopyListFile(),
                   c.inList ? "\xEF\xBB\xBF" + program_ + "\r\n" : std::string());
        settings_ = newStationSettings(folder());
        loadStationSettings(folder(), settings_);
        const std::string firmwareBefore = readBytes(program_);
        prompt_.clear();

        SettingsEdit edit;
        edit.values = {{"CapMultiplier", "5"}};
        const SettingsEditResult result = apply(edit);
        EXPECT_TRUE(result.multiplierChanged) << c.what;
        EXPECT_FALSE(result.multiplierWritten) << c.what;
        EXPECT_EQ(readBytes(program_), firmwareBefore) << c.what;
        EXPECT_EQ(settings_.record.CapMultiplier, 5) << c.what;
        EXPECT_NE(readBytes(folder().preferIni()).find("CapMultiplier=5\r\n"), std::string::npos)
            << c.what;
        const auto shownPrompts = prompt_.shown();
        ASSERT_EQ(shownPrompts.size(), c.told ? 1u : 0u) << c.what;
        if (c.told) {
            EXPECT_EQ(shownPrompts[0].text, "Firmware file not found");
        }
    }
}

}  // namespace
}  // namespace corvid
