// The settings dialog: what a show makes of stored values out of range, the page-skip warning on
// the operator's pick only, and the Apply refusals that leave every setting as it was.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QSlider>
#include <QTabWidget>
#include <memory>

#include "gui/settings_dialog.h"
#include "station/messages.h"
#include "tests/support/recording_views.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace corvid {
namespace {

class SettingsDialogTest : public test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        const auto written =
            test::runBinProgram("corvid-cli", {"init-home", (dir_ / "station").string()});
        ASSERT_EQ(written.exitCode, 0) << written.output;
        station_ = loadStation(dir_ / "station", StationSetupOptions{});
    }

    // The dialog over the station; 'running' workers are in production.
    std::unique_ptr<gui::SettingsDialog> dialog(int running = 0) {
        return std::make_unique<gui::SettingsDialog>(*station_, prompt_,
                                                     [running] { return running; });
    }

    template <typename W>
    static W* control(QWidget& dialog, const char* name) {
        W* found = dialog.findChild<W*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    std::unique_ptr<StationSetup> station_;
    test::RecordingPrompt prompt_;
};

// Stored values the dialog cannot show as they are come back as its nearest choice, and Apply
// stores what it showed.
TEST_F(SettingsDialogTest, StoredValuesAreShownWithinTheirRangesAndAppliedSo) {
    struct Case {
        const char* name;
        int scanLevel;
        DeviceFeature feature;
        int ratio;
        int shownScanLevel;
        int shownRatio;
    };
    const Case cases[] = {
        {"scan level above the list", 7, DeviceFeature::Hidden, 100, 4, 95},
        {"negative scan level", -1, DeviceFeature::Encrypted, 100, 4, 100},
        {"values in range", 2, DeviceFeature::Hidden, 30, 2, 30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SETTING_T& r = station_->settings.record;
        r.iScanLevel = c.scanLevel;
        r.eDeviceFeature = c.feature;
        r.iHideDiskRatio = c.ratio;
        r.bUseImgFile = false;
        auto shown = dialog();
        shown->load(kLanguageEnglish);
        EXPECT_EQ(control<QComboBox>(*shown, "cboScanLevel")->currentIndex(), c.shownScanLevel);
        EXPECT_EQ(control<QSlider>(*shown, "tbarHideDiskRatio")->value(), c.shownRatio);
        EXPECT_EQ(control<QLineEdit>(*shown, "edtEncryptRatio")->text().toInt(), c.shownRatio);
        ASSERT_TRUE(shown->apply()) << (prompt_.shown().empty() ? "" : prompt_.shown()[0].text);
        EXPECT_EQ(r.iScanLevel, c.shownScanLevel);
        EXPECT_EQ(r.iHideDiskRatio, c.shownRatio);
        EXPECT_EQ(r.eDeviceFeature, c.feature);
    }
}

TEST_F(SettingsDialogTest, PageSkipWarnsOnlyWhenTheOperatorPicksOneOrMore) {
    station_->settings.record.iPageSkip = 3;
    auto shown = dialog();
    shown->load(kLanguageEnglish);
    EXPECT_TRUE(prompt_.shown().empty()) << "a loaded value does not warn";
    auto* skip = control<QComboBox>(*shown, "cboPageSkip");
    for (int pick : {0, 1, 2}) {
        prompt_.clear();
        skip->setCurrentIndex(pick);
        Q_EMIT skip->activated(pick);
        ASSERT_EQ(prompt_.shown().size(), pick >= 1 ? 1u : 0u) << pick;
        if (pick >= 1) {
            EXPECT_EQ(prompt_.shown()[0].text,
                      fixedText(FixedText::SkipPageModeMayCouseFlashUnstable, kLanguageEnglish));
        }
    }
}

// A refused Apply says why and changes nothing; the same controls with a normal disk apply.
TEST_F(SettingsDialogTest, ApplyIsRefusedWithAReasonAndChangesNothing) {
    struct Case {
        const char* name;
        int running;
        const char* split;
        bool applies;
        std::string reasonPart;
    };
    const Case cases[] = {
        {"a worker runs", 1, "rdoHideDisk", false, "in production"},
        {"hidden disk from a missing image", 0, "rdoHideDisk", false,
         std::string(fixedText(FixedText::InvalidImgFile, kLanguageEnglish))},
        {"normal disk ignores the image", 0, "rdoNormalDisk", true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        prompt_.clear();
        station_->settings.record.eDeviceFeature = DeviceFeature::Encrypted;
        station_->settings.record.bUseImgFile = false;
        station_->settings.record.ImageFile.clear();
        station_->settings.record.iScanLevel = 1;
        const SETTING_T before = station_->settings.record;
        auto shown = dialog(c.running);
        shown->load(kLanguageEnglish);
        control<QRadioButton>(*shown, c.split)->click();
        control<QRadioButton>(*shown, "rdoUseImgFile")->click();
        control<QComboBox>(*shown, "cboScanLevel")->setCurrentIndex(3);
        EXPECT_EQ(shown->apply(), c.applies);
        if (c.applies) {
            EXPECT_TRUE(station_->settings.record.bUseImgFile);
            EXPECT_TRUE(station_->settings.record.ImageFile.empty());
            EXPECT_EQ(station_->settings.record.iScanLevel, 3);
            EXPECT_EQ(station_->settings.record.eDeviceFeature, DeviceFeature::Normal);
            continue;
        }
        ASSERT_EQ(prompt_.shown().size(), 1u);
        EXPECT_NE(prompt_.shown()[0].text.find(c.reasonPart), std::string::npos)
            << prompt_.shown()[0].text;
        EXPECT_EQ(station_->settings.record.iScanLevel, before.iScanLevel);
        EXPECT_EQ(station_->settings.record.eDeviceFeature, before.eDeviceFeature);
        EXPECT_EQ(station_->settings.record.bUseImgFile, before.bUseImgFile);
        EXPECT_EQ(control<QTabWidget>(*shown, "pgeSetting")->currentIndex(), 0);
    }
}

}  // namespace
}  // namespace corvid
