#include "station/window_captions.h"

#include <gtest/gtest.h>

#include <map>

#include "station/lang_ini_writer.h"
#include "station/language_load.h"
#include "station/settings_files.h"
#include "tests/station/station_test_support.h"

namespace corvid {
namespace {

class WindowCaptionsTest : public test::StationFolderTest {
  protected:
    void SetUp() override {
        StationFolderTest::SetUp();
        settings_ = newStationSettings(folder());
    }
    std::map<std::string, std::string> load(LanguageChoice choice) {
        const LanguageLoadResult result =
            loadStationLanguage(folder(), choice, kLangIdEnglishUs, messages_, settings_);
        iLanguage_ = result.iLanguage;
        std::map<std::string, std::string> byControl;
        for (const Caption& caption : result.captions) {
            byControl[caption.control] = caption.text;
        }
        return byControl;
    }
    SharedMessages messages_;
    StationSettings settings_;
    int iLanguage_ = -1;
};

TEST_F(WindowCaptionsTest, EnglishWithoutFilesUsesTheDefaultsAndTheUnknownFsmVersion) {
    auto c = load(LanguageChoice::Auto);
    EXPECT_EQ(iLanguage_, 0);
    EXPECT_EQ(c[kCaptionWindow], "QM4XXX MP3 Mass Production Tool (Apr  1 2010) + FSM Ver.x.x");
    EXPECT_EQ(c[kCaptionApplication], "MP3 Mass Production Tool");
    EXPECT_EQ(c["btnSetup"], "AdvanceSetting...");
    EXPECT_EQ(c[kCaptionSettingsDialog], "AdvanceSetting");
    EXPECT_EQ(c["chkBlankCheck"], "Blanking Check");
    EXPECT_EQ(c["D1infoStr"], "Waiting device...");
    EXPECT_EQ(c["D8infoStr"], "Waiting device...");
    EXPECT_EQ(c["StaticText1"], "Device 1: ");
    EXPECT_EQ(c["StaticText3"], "Device 2: ");
    EXPECT_EQ(c["StaticText9"], "Device 8: ");
    EXPECT_EQ(c["StaticText12"], "fail:");
    EXPECT_EQ(c["labType"], "Disk split:");
    EXPECT_EQ(c["labDiskFeature"], "Normal");
    EXPECT_EQ(c["labSystemArea"], "System Area Size");
    EXPECT_EQ(c["LabelStatic"], "Label:");
    EXPECT_EQ(c["AddFilesBtn"], "Add files...");
    EXPECT_EQ(c["btnAddDir"], "Add Dir");
    EXPECT_EQ(settings_.iFsmSize, 0);
}

TEST_F(WindowCaptionsTest, ChineseCaptionsWithTheFsmVersionOfTheFile) {
    writeStationLangIni(folder().langIni());
    std::string fsm(9000, '\x11');
    fsm.replace(kFsmVersionOffset, 14, std::string("FSM V1.23\0junk", 14));
    writeBytes(folder().fsmBin(), fsm);
    settings_.record.eDeviceFeature = DeviceFeature::Hidden;
    settings_.record.iHideDiskRatio = 25;

    auto c = load(LanguageChoice::TraditionalChinese);
    EXPECT_EQ(iLanguage_, 1);
    EXPECT_EQ(settings_.iFsmSize, 9000);
    EXPECT_EQ(c[kCaptionWindow], "QM4XXX MP3量產工具 (Apr  1 2010) + FSM V1.23");
    EXPECT_EQ(c["chkBlankCheck"], "壞塊掃描 Flash");
    EXPECT_EQ(c["labDiskFeature"], "隱藏碟25%");
    EXPECT_EQ(c["labType"], "磁碟分區:");
    EXPECT_EQ(messages_.text(MessageKey::BlankingSetupMsg), "壞塊掃描設定");

    c = load(LanguageChoice::SimplifiedChinese);
    EXPECT_EQ(c["chkBlankCheck"], "坏块扫描 Flash");
    EXPECT_EQ(c["StaticText3"], "设备 2: ");
}

TEST_F(WindowCaptionsTest, FsmWithoutVersionTextAndUnknownSplit) {
    writeBytes(folder().fsmBin(), std::string(100, 'F'));
    settings_.record.eDeviceFeature = static_cast<DeviceFeature>(7);
    auto c = load(LanguageChoice::English);
    EXPECT_EQ(settings_.iFsmSize, 100);
    EXPECT_TRUE(c[kCaptionWindow].ends_with("+ FSM Ver.x.x"));
    EXPECT_EQ(c.count("labDiskFeature"), 0u);  // the label is left as it was
}

}  // namespace
}  // namespace corvid
