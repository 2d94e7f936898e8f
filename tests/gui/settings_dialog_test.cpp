// The settings dialog: what a show makes of stored values out of range, the page-skip warning on
// the operator's pick only, and the Apply refusals that leave every setting as it was.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <fstream>
#include <iterator>
#include <memory>

#include "gui/settings_dialog.h"
#include "platform/ini_file.h"
#include "station/capacity_multiplier.h"
#include "station/messages.h"
#include "station/setting_keys.h"
#include "station/settings_files.h"
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

std::string fileBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every value the dialog applies, set through its controls, saved as the window's close saves,
// and read back from prefer.ini and the list files.
TEST_F(SettingsDialogTest, EveryAppliedValueIsReadBackFromTheFiles) {
    const StationFolder& folder = station_->folder;
    const std::string hiddenFile = folder.resolve("misc/prefer.dat").string();
    const std::string spiFile = folder.resolve("misc/prefer.ini").string();
    auto shown = dialog();
    shown->load(kLanguageEnglish);
    control<QRadioButton>(*shown, "rdoHideDisk")->click();
    control<QRadioButton>(*shown, "rdoUseListFile")->click();
    control<QSlider>(*shown, "tbarHideDiskRatio")->setValue(95);
    control<QLineEdit>(*shown, "edtDiskLabel")->setText("SECRET");
    control<QListWidget>(*shown, "TntlstHideFiles")->addItem(QString::fromStdString(hiddenFile));
    control<QListWidget>(*shown, "TntlstSpiFiles")->addItem(QString::fromStdString(spiFile));
    control<QComboBox>(*shown, "cboFlashModuleNo")->setCurrentIndex(2);
    control<QComboBox>(*shown, "cboScanLevel")->setCurrentIndex(3);
    control<QComboBox>(*shown, "cboPageSkip")->setCurrentIndex(5);
    control<QComboBox>(*shown, "cboECC")->setCurrentIndex(4);
    control<QSpinBox>(*shown, "UpDownBadThreshold")->setValue(37);
    control<QCheckBox>(*shown, "chkPageScan")->setChecked(true);
    control<QComboBox>(*shown, "cboPageMode")->setCurrentIndex(6);
    control<QSpinBox>(*shown, "UpDownCapError")->setValue(7);
    control<QRadioButton>(*shown, "rdoCapShowFail")->click();
    control<QCheckBox>(*shown, "chkSaveSpiImage")->setChecked(true);
    ASSERT_TRUE(shown->apply()) << (prompt_.shown().empty() ? "" : prompt_.shown()[0].text);
    saveStationSettings(folder, station_->settings);

    struct Case {
        const char* key;
        int stored;
    };
    const Case cases[] = {
        {"eDeviceFeature", 2}, {"iHideDiskRatio", 95}, {"bUseImgFile", 0},    {"CapMultiplier", 2},
        {"iScanLevel", 3},     {"iPageSkip", 5},       {"iEccLevel", 4},      {"iBadThreshold", 37},
        {"PageMode", 1},       {"PageModeSel", 6},     {"AllowErrorRate", 7}, {"DealCapError", 1},
        {"SaveSpiImage", 1},
    };
    const IniFile prefer(folder.misc() / "prefer.ini");
    for (const Case& c : cases) {
        const SettingKey* key = findSettingKey(c.key);
        ASSERT_NE(key, nullptr) << c.key;
        EXPECT_EQ(prefer.readInt(std::string(key->section), c.key, -99), c.stored) << c.key;
    }
    EXPECT_EQ(prefer.readString(kPreferSection, "sHideDiskLabel", ""), "SECRET");
    EXPECT_EQ(readListFile(folder.hideListFile()), FileList{hiddenFile});
    EXPECT_EQ(readListFile(folder.spiListFile()), FileList{spiFile});
}

// Enter in a box applies (never opens a file picker); Escape after edits and Cancel change
// neither the settings nor a file.
TEST_F(SettingsDialogTest, EnterAppliesAndEscapeOrCancelChangeNothing) {
    const auto prefer = station_->folder.misc() / "prefer.ini";
    struct Case {
        const char* name;
        bool viaEscape;
    };
    for (const Case& c : {Case{"Escape", true}, Case{"Cancel", false}}) {
        SCOPED_TRACE(c.name);
        const std::string before = fileBytes(prefer);
        const SETTING_T record = station_->settings.record;
        auto shown = dialog();
        shown->load(kLanguageEnglish);
        shown->show();
        control<QComboBox>(*shown, "cboScanLevel")->setCurrentIndex(4);
        control<QSpinBox>(*shown, "UpDownBadThreshold")->setValue(99);
        if (c.viaEscape) {
            QTest::keyClick(shown.get(), Qt::Key_Escape);
        } else {
            control<QPushButton>(*shown, "btnCancel")->click();
        }
        EXPECT_EQ(shown->result(), QDialog::Rejected);
        EXPECT_FALSE(shown->isVisible());
        EXPECT_EQ(station_->settings.record.iScanLevel, record.iScanLevel);
        EXPECT_EQ(station_->settings.record.iBadThreshold, record.iBadThreshold);
        EXPECT_EQ(fileBytes(prefer), before);
    }

    station_->settings.record.eDeviceFeature = DeviceFeature::Hidden;
    station_->settings.record.bUseImgFile = false;
    auto shown = dialog();
    shown->load(kLanguageEnglish);
    shown->show();
    QWidget* picker = nullptr;
    // Should a picker open, it is closed so that the test goes on to fail.
    QTimer::singleShot(500, [&] {
        picker = QApplication::activeModalWidget();
        if (picker != nullptr && picker != shown.get()) {
            picker->close();
        }
    });
    auto* label = control<QLineEdit>(*shown, "edtDiskLabel");
    label->setFocus();
    control<QComboBox>(*shown, "cboScanLevel")->setCurrentIndex(2);
    QTest::keyClick(label, Qt::Key_Return);
    EXPECT_EQ(shown->result(), QDialog::Accepted);
    EXPECT_EQ(station_->settings.record.iScanLevel, 2);
    QTest::qWait(600);
    EXPECT_TRUE(picker == nullptr || picker == shown.get()) << "Enter opened a file picker";
}

// The dialog's layout: each value shown once, captions not covered, units beside their values,
// the Chinese two-line caption whole, and no size beside an empty image path.
TEST_F(SettingsDialogTest, LayoutShowsEachValueOnceAndEveryCaptionWhole) {
    auto shown = dialog();
    shown->load(kLanguageSimplifiedChinese);
    EXPECT_EQ(shown->findChild<QLineEdit*>("edtBadThreshold"), nullptr);
    EXPECT_EQ(shown->findChild<QLineEdit*>("edtCapError"), nullptr);

    auto* moduleCaption = control<QLabel>(*shown, "lblCapMultiplier");
    auto* module = control<QComboBox>(*shown, "cboFlashModuleNo");
    EXPECT_FALSE(moduleCaption->geometry().intersects(module->geometry()))
        << "the combo covers its caption";
    EXPECT_GE(moduleCaption->width(), moduleCaption->sizeHint().width());

    auto* threshold = control<QLabel>(*shown, "lblBadThreshold");
    EXPECT_TRUE(threshold->text().contains('\n'));
    EXPECT_GE(threshold->height(), threshold->sizeHint().height()) << "the second line is cut";

    auto* ratio = control<QLineEdit>(*shown, "edtEncryptRatio");
    bool percent = false;
    for (QLabel* unit : ratio->parentWidget()->findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
        percent = percent || (unit->text() == "%" && unit->x() > ratio->geometry().right() &&
                              std::abs(unit->y() - ratio->y()) < ratio->height());
    }
    EXPECT_TRUE(percent) << "no % after the disk ratio";

    shown->setImagePath(QString::fromStdString((dir_ / "missing.IMG").string()));
    EXPECT_TRUE(control<QLabel>(*shown, "lblImgSizeMB")->text().isEmpty());
}

// Every box offers exactly the values its prefer.ini key accepts, so Apply never meets a value the
// settings editor refuses, and a value the key accepts is never out of the box's reach.
TEST_F(SettingsDialogTest, EveryBoxOffersTheValuesOfItsKey) {
    auto shown = dialog();
    shown->load(kLanguageEnglish);
    struct Spin {
        const char* box;
        const char* key;
    };
    for (const Spin& c :
         {Spin{"UpDownBadThreshold", "iBadThreshold"}, Spin{"UpDownCapError", "AllowErrorRate"}}) {
        SCOPED_TRACE(c.box);
        const SettingKey& key = settingKey(c.key);
        EXPECT_EQ(control<QSpinBox>(*shown, c.box)->minimum(), key.min);
        EXPECT_EQ(control<QSpinBox>(*shown, c.box)->maximum(), key.max);
    }
    struct Items {
        const char* box;
        const char* key;
    };
    for (const Items& c : {Items{"cboPageSkip", "iPageSkip"}, Items{"cboECC", "iEccLevel"},
                           Items{"cboScanLevel", "iScanLevel"}, Items{"cboPageMode", "PageModeSel"},
                           Items{"cboFlashModuleNo", "CapMultiplier"}}) {
        SCOPED_TRACE(c.box);
        const SettingKey& key = settingKey(c.key);
        EXPECT_EQ(key.min, 0) << "item i is the value i";
        EXPECT_EQ(control<QComboBox>(*shown, c.box)->count(), key.max + 1);
    }
    EXPECT_EQ(control<QLineEdit>(*shown, "edtDiskLabel")->maxLength(),
              settingKey("sHideDiskLabel").max);

    auto* ratio = control<QSlider>(*shown, "tbarHideDiskRatio");
    control<QRadioButton>(*shown, "rdoEncryptDisk")->click();
    EXPECT_EQ(ratio->minimum(), settingKey("iHideDiskRatio").min);
    EXPECT_EQ(ratio->maximum(), settingKey("iHideDiskRatio").max);
    control<QRadioButton>(*shown, "rdoHideDisk")->click();
    EXPECT_EQ(ratio->maximum(), kHiddenDiskMaxRatio);
}

// Apply with another Flash Module No changes the firmware file's multiplier byte and nothing
// else of it; an Apply that keeps the multiplier and the window's close leave the file as it is.
TEST_F(SettingsDialogTest, ApplyWithAnotherMultiplierChangesTheFirmwareByteOnce) {
    const StationFolder& folder = station_->folder;
    ASSERT_GE(station_->settings.iProgramIndex, 0) << "the sample station has a firmware file";
    const auto firmware = folder.resolve(
        station_->settings.preCopyList[static_cast<std::size_t>(station_->settings.iProgramIndex)]);
    const std::string before = fileBytes(firmware);
    const int chosen = station_->settings.record.CapMultiplier == 3 ? 2 : 3;

    auto shown = dialog();
    shown->load(kLanguageEnglish);
    control<QComboBox>(*shown, "cboFlashModuleNo")->setCurrentIndex(chosen);
    ASSERT_TRUE(shown->apply());
    const std::string after = fileBytes(firmware);
    ASSERT_EQ(after.size(), before.size());
    std::size_t changed = 0;
    for (std::size_t i = 0; i < after.size(); ++i) {
        changed += after[i] != before[i] ? 1 : 0;
    }
    EXPECT_EQ(changed, 1u);
    EXPECT_EQ(static_cast<unsigned char>(after[kCapMultiplierOffset + 2]), chosen);

    shown->load(kLanguageEnglish);
    ASSERT_TRUE(shown->apply());
    saveStationSettings(folder, station_->settings);
    EXPECT_EQ(fileBytes(firmware), after);
    StationSettings reread = newStationSettings(folder);
    loadStationSettings(folder, reread);
    EXPECT_EQ(reread.record.CapMultiplier, chosen);
}

}  // namespace
}  // namespace corvid
