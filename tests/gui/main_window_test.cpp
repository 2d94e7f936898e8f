// The main window as an operator meets it: its controls and their start state, the setting
// groups during a run, manual upgrade, a language switch, and eight simulated devices produced.
#include <gtest/gtest.h>

#include <optional>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <memory>
#include <optional>

#include "backends/backends.h"
#include "gui/main_window.h"
#include "records/sqlite_record_store.h"
#include "station/station_registry.h"
#include "tests/integration/sim_fixture.h"

namespace corvid {
namespace {

using test::runBinProgram;

constexpr int kRunMs = 120000;  // a generous bound for device runs on a busy machine

class MainWindowTest : public test::SimulatorTest {
  protected:
    void SetUp() override {
        SimulatorTest::SetUp();
        home_ = dir_ / "station";
        const auto written = runBinProgram("corvid-cli", {"init-home", home_.string()});
        ASSERT_EQ(written.exitCode, 0) << written.output;
    }

    void TearDown() override {
        window_.reset();
        record_.reset();
        station_.reset();
        SimulatorTest::TearDown();
    }

    // The window on the simulator, shown, reading the bus. 'pauseScale' 1 makes runs last.
    void open(double pauseScale = 0) {
        StationSetupOptions options;
        options.pauseScale = pauseScale;
        options.portLocations = PortLocationOrigin::SingleHub;
        station_ = loadStation(home_, options);
        const DeviceSetup setup{DeviceBackend::Sim, simDir_};
        gui::StationDevices devices;
        devices.transport = makeTransport(setup);
        devices.volumes = makeVolumeTools(setup);
        devices.bus = makeDeviceBus(setup);
        window_ = std::make_unique<gui::MainWindow>(*station_, std::move(devices));
        record_.emplace(*station_, std::string(),
                        [](const std::string& why) { ADD_FAILURE() << "the record: " << why; });
        window_->keepRecord(*record_);
        window_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
        window_->listen();
    }

    template <typename W>
    W* control(const char* name) {
        W* found = window_->findChild<W*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    QString textOf(const char* name) { return control<QLabel>(name)->text(); }

    bool groupsEnabled() {
        return control<QGroupBox>("grpMPSetting")->isEnabled() &&
               control<QGroupBox>("grpFileList")->isEnabled();
    }

    bool waitForTotal(int total) {
        return QTest::qWaitFor(
            [&] {
                return textOf("TotalStr").toInt() >= total &&
                       window_->controller().runningWorkers() == 0;
            },
            kRunMs);
    }

    std::filesystem::path home_;
    std::unique_ptr<StationSetup> station_;
    std::optional<StationRecord> record_;
    std::unique_ptr<gui::MainWindow> window_;
};

TEST_F(MainWindowTest, EveryControlCarriesItsNameAndStartsAsTheStationLoadedIt) {
    open();
    EXPECT_EQ(window_->size(), QSize(867, 606));
    EXPECT_EQ(window_->minimumSize(), window_->maximumSize()) << "the window is not resizable";

    const std::vector<const char*> buttons = {
        "TntRdoLangAuto", "TntRdoLangSC",   "TntRdoLangTC",     "TntRdoLangEng",
        "chkFormat",      "chkBlankCheck",  "chkISOupgrade",    "chkFwUpgrade",
        "SystemAreachk",  "chkParityCheck", "CheckManuupgrade", "btnSetup",
        "AddFilesBtn",    "RemoveBtn",      "btnAddDir",        "Upgradebtn"};
    for (const char* name : buttons) {
        control<QAbstractButton>(name);
    }
    for (const char* name :
         {"TntGroupBox1", "grpMPSetting", "grpFileList", "grpProcessStatus", "GroupBox16"}) {
        control<QGroupBox>(name);
    }
    for (const char* name :
         {"LabelStatic", "labSystemArea", "labType", "labDiskFeature", "StaticText10",
          "StaticText11", "StaticText12", "TotalStr", "SuccessStr", "FailStr"}) {
        control<QLabel>(name);
    }
    control<QLineEdit>("LabelEdit");
    control<QListWidget>("TntSelectFileList2");
    QComboBox* area = control<QComboBox>("SystemAreaComBo");
    ASSERT_EQ(area->count(), 16);
    EXPECT_EQ(area->itemText(0), "4MB");
    EXPECT_EQ(area->itemText(15), "64MB");
    EXPECT_EQ(area->isEnabled(), control<QCheckBox>("SystemAreachk")->isChecked());

    // Slots 1-4 down the left column, 5-8 down the right one.
    const std::string wait = station_->messages.text(MessageKey::WaitDeviceMsg);
    for (int slot = 1; slot <= 8; ++slot) {
        const QString n = QString::number(slot);
        auto* group = window_->findChild<QGroupBox*>("GroupBox" + n);
        ASSERT_NE(group, nullptr) << slot;
        const int column = (slot - 1) / 4;
        const int row = (slot - 1) % 4;
        auto* first =
            window_->findChild<QGroupBox*>(QStringLiteral("GroupBox%1").arg(column * 4 + 1));
        EXPECT_EQ(group->x(), first->x()) << slot;
        EXPECT_EQ(group->y(), first->y() + row * (group->height() + 1)) << slot;
        if (column == 1) {
            EXPECT_GT(group->x(), window_->findChild<QGroupBox*>("GroupBox1")->x());
        }
        auto* status = window_->findChild<QLabel*>("D" + n + "infoStr");
        ASSERT_NE(status, nullptr) << slot;
        EXPECT_EQ(status->text().toStdString(), wait);
        auto* gauge = window_->findChild<QProgressBar*>("ProgressBar" + n);
        ASSERT_NE(gauge, nullptr);
        EXPECT_FALSE(gauge->isVisible()) << "hidden until used";
        auto* picture = window_->findChild<QLabel*>("infoImage" + n);
        ASSERT_NE(picture, nullptr);
        EXPECT_EQ(picture->size(), QSize(32, 24));
        EXPECT_NE(window_->findChild<QLabel*>("TextP" + n), nullptr);
        EXPECT_NE(window_->findChild<QLabel*>("TextF" + n), nullptr);
    }
    // Slot captions: StaticText1 for slot 1, StaticText3..9 for slots 2..8.
    const std::string device = station_->messages.text(MessageKey::DeviceStr);
    EXPECT_EQ(textOf("StaticText1").toStdString(), device + " 1: ");
    EXPECT_EQ(textOf("StaticText3").toStdString(), device + " 2: ");
    EXPECT_EQ(textOf("StaticText9").toStdString(), device + " 8: ");

    for (const char* counter : {"TotalStr", "SuccessStr", "FailStr"}) {
        EXPECT_EQ(textOf(counter), "0") << counter;
    }
    EXPECT_TRUE(groupsEnabled());
    EXPECT_EQ(control<QPushButton>("Upgradebtn")->text().toStdString(),
              station_->messages.text(MessageKey::MenuUpgradeStartStr));
    EXPECT_EQ(control<QPushButton>("Upgradebtn")->isEnabled(),
              control<QCheckBox>("CheckManuupgrade")->isChecked());
    EXPECT_EQ(control<QListWidget>("TntSelectFileList2")->count(),
              static_cast<int>(station_->settings.preCopyList.size()));
    EXPECT_TRUE(textOf("labSystemArea").endsWith("MB")) << textOf("labSystemArea").toStdString();
}

TEST_F(MainWindowTest, SettingGroupsAreDisabledDuringARunAndEnabledAfter) {
    open();
    plug('E', "nand-2k");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !groupsEnabled(); }, kRunMs))
        << "the groups stay enabled while a device is produced";
    EXPECT_FALSE(control<QPushButton>("AddFilesBtn")->isEnabled());
    EXPECT_FALSE(control<QPushButton>("btnSetup")->isEnabled());
    // The language group stays usable during a run.
    EXPECT_TRUE(control<QRadioButton>("TntRdoLangEng")->isEnabled());
    ASSERT_TRUE(waitForTotal(1));
    EXPECT_TRUE(QTest::qWaitFor([&] { return groupsEnabled(); }, 5000));
    EXPECT_EQ(textOf("SuccessStr"), "1");
    EXPECT_EQ(textOf("FailStr"), "0");
}

TEST_F(MainWindowTest, ManualUpgradeWaitsForStartUpgrade) {
    open();
    auto* manual = control<QCheckBox>("CheckManuupgrade");
    auto* start = control<QPushButton>("Upgradebtn");
    ASSERT_FALSE(manual->isChecked());
    EXPECT_FALSE(start->isEnabled());
    QTest::mouseClick(manual, Qt::LeftButton);
    ASSERT_TRUE(manual->isChecked());
    EXPECT_TRUE(start->isEnabled());
    EXPECT_TRUE(station_->settings.CheckManuupgrade);

    plug('E', "nand-2k");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return window_->controller().state(0) == SlotState::WaitingStart; }, kRunMs));
    QTest::qWait(300);
    EXPECT_EQ(window_->controller().runningWorkers(), 0) << "no run before Start Upgrade";
    EXPECT_EQ(textOf("TotalStr"), "0");

    QTest::mouseClick(start, Qt::LeftButton);
    ASSERT_TRUE(waitForTotal(1));
    EXPECT_EQ(textOf("SuccessStr"), "1");

    // Manual upgrade is switched only while no device sits in a slot.
    EXPECT_FALSE(manual->isEnabled());
    unplug('E');
    ASSERT_TRUE(QTest::qWaitFor([&] { return manual->isEnabled(); }, kRunMs));
    QTest::mouseClick(manual, Qt::LeftButton);
    EXPECT_FALSE(manual->isChecked());
    EXPECT_FALSE(start->isEnabled()) << "Start Upgrade only while manual upgrade is checked";
}

// A click on a language button stores LanguageID and sets every caption of that language.
TEST_F(MainWindowTest, LanguageButtonsReloadEveryCaption) {
    open();
    struct Case {
        const char* button;
        int languageId;
        int iLanguage;
    };
    const Case cases[] = {{"TntRdoLangSC", 2, kLanguageSimplifiedChinese},
                          {"TntRdoLangTC", 3, kLanguageTraditionalChinese},
                          {"TntRdoLangEng", 1, kLanguageEnglish}};
    const QString englishFormat = control<QCheckBox>("chkFormat")->text();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.button);
        QTest::mouseClick(control<QRadioButton>(c.button), Qt::LeftButton);
        EXPECT_EQ(readLanguageId(*station_->registry), c.languageId);
        EXPECT_EQ(window_->language(), c.iLanguage);
        const auto expected =
            composeWindowCaptions(*station_->messages.current(), c.iLanguage, station_->settings,
                                  readFsmVersion(station_->folder.fsmBin()).text);
        for (const Caption& caption : expected) {
            const QString text = QString::fromStdString(caption.text);
            if (caption.control == kCaptionWindow) {
                EXPECT_EQ(window_->windowTitle(), text);
            } else if (caption.control == kCaptionSettingsDialog) {
                EXPECT_EQ(window_->settingsDialogCaption(), text);
            } else if (caption.control == kCaptionApplication) {
                EXPECT_EQ(QApplication::applicationName(), text);
            } else if (caption.control == "TabSheet4") {
                EXPECT_EQ(control<QTabWidget>("PageControl1")->tabText(0), text);
            } else if (auto* group = window_->findChild<QGroupBox*>(
                           QString::fromStdString(caption.control))) {
                EXPECT_EQ(group->title(), text) << caption.control;
            } else if (auto* button = window_->findChild<QAbstractButton*>(
                           QString::fromStdString(caption.control))) {
                EXPECT_EQ(button->text(), text) << caption.control;
            } else if (caption.control == "labSystemArea") {
                continue;  // the next recomputation of the picks replaces it
            } else {
                auto* shown = window_->findChild<QLabel*>(QString::fromStdString(caption.control));
                ASSERT_NE(shown, nullptr) << caption.control;
                EXPECT_EQ(shown->text(), text) << caption.control;
            }
        }
        if (c.iLanguage != kLanguageEnglish) {
            EXPECT_NE(control<QCheckBox>("chkFormat")->text(), englishFormat);
            EXPECT_TRUE(control<QCheckBox>("chkBlankCheck")->text().endsWith(" Flash"));
        } else {
            EXPECT_EQ(control<QCheckBox>("chkFormat")->text(), englishFormat);
        }
    }
}

// "Add files..." keeps duplicates in the operator's order; "Remove" takes the selected entries
// out of the list and out of the settings, and the picks follow.
TEST_F(MainWindowTest, PreCopyListButtonsKeepTheListAndThePicksInStep) {
    open();
    auto* list = control<QListWidget>("TntSelectFileList2");
    const auto before = station_->settings.preCopyList;
    const QString album = QString::fromStdString((home_ / "misc" / "prefer.dat").string());
    window_->addFiles({album, album});
    ASSERT_EQ(list->count(), static_cast<int>(before.size()) + 2) << "duplicates are kept";
    ASSERT_EQ(station_->settings.preCopyList.size(), before.size() + 2);
    EXPECT_EQ(station_->settings.preCopyList.back(), album.toStdString());
    EXPECT_EQ(station_->settings.iPreferIndex, static_cast<int>(before.size()) + 1)
        << "a later entry wins the pick";

    list->clearSelection();
    list->item(list->count() - 1)->setSelected(true);
    list->item(list->count() - 2)->setSelected(true);
    QTest::mouseClick(control<QPushButton>("RemoveBtn"), Qt::LeftButton);
    EXPECT_EQ(station_->settings.preCopyList, before);
    EXPECT_EQ(list->count(), static_cast<int>(before.size()));
    EXPECT_LT(station_->settings.iPreferIndex, static_cast<int>(before.size()));

    const QString folder = QString::fromStdString((home_ / "misc").string());
    window_->addDirectory(folder);
    EXPECT_EQ(station_->settings.preCopyList.back(), folder.toStdString());
}

// Closing with a run going asks first: No keeps the window and the run; Yes ends the run, waits
// for it with the event loop running, and saves the settings.
TEST_F(MainWindowTest, ClosingDuringARunAsksThenEndsTheRunAndSaves) {
    struct Case {
        QMessageBox::StandardButton answer;
        bool closes;
    };
    const Case cases[] = {{QMessageBox::No, false}, {QMessageBox::Yes, true}};
    open(1.0);
    plug('E', "nand-2k");
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return window_->controller().runningWorkers() == 1; }, kRunMs));
    std::filesystem::remove(home_ / "misc" / "prefer.ini");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.closes ? "Yes" : "No");
        bool asked = false;
        QTimer::singleShot(100, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr) << "closing asks while a run goes on";
            asked = true;
            box->button(c.answer)->click();
        });
        EXPECT_EQ(window_->close(), c.closes);
        EXPECT_TRUE(asked);
        EXPECT_EQ(window_->isVisible(), !c.closes);
        if (!c.closes) {
            EXPECT_EQ(window_->controller().runningWorkers(), 1) << "the run goes on";
            EXPECT_FALSE(std::filesystem::exists(home_ / "misc" / "prefer.ini"));
        }
    }
    EXPECT_EQ(window_->controller().runningWorkers(), 0);
    EXPECT_TRUE(std::filesystem::exists(home_ / "misc" / "prefer.ini")) << "saved at close";
}

TEST_F(MainWindowTest, EightDevicesAreProducedInTheirSlotsAndCounted) {
    open();
    const std::string letters = "EFGHIJKL";
    for (std::size_t i = 0; i < letters.size(); ++i) {
        plug(letters[i], "nand-2k", {"--port", std::to_string(i + 1)});
    }
    ASSERT_TRUE(waitForTotal(8)) << "ended: " << textOf("TotalStr").toStdString();
    EXPECT_EQ(textOf("TotalStr"), "8");
    EXPECT_EQ(textOf("SuccessStr"), "8");
    EXPECT_EQ(textOf("FailStr"), "0");
    const auto counts = window_->counters().snapshot();
    EXPECT_EQ(counts.iTotal, 8);
    EXPECT_EQ(counts.iSuccess, 8);
    EXPECT_EQ(counts.iRunning, 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return groupsEnabled(); }, 5000));
    // The record file is written on a thread of its own: the rows follow the counters.
    const auto rows = [&] {
        return SqliteRecordStore(productionRecordFile(home_), RecordAccess::Read).rows();
    };
    EXPECT_TRUE(QTest::qWaitFor([&] { return rows().size() == 8; }, 5000))
        << rows().size() << " rows; one row of the record per ended run";
    for (int slot = 1; slot <= 8; ++slot) {
        const QString n = QString::number(slot);
        EXPECT_NE(window_->controller().letter(slot - 1), 0) << "slot " << slot << " held";
        auto* picture = window_->findChild<QLabel*>("infoImage" + n);
        EXPECT_FALSE(picture->pixmap().isNull()) << "slot " << slot << " shows its picture";
        EXPECT_EQ(window_->findChild<QLabel*>("D" + n + "infoStr")->styleSheet(), "color: blue;")
            << "slot " << slot << ": "
            << window_->findChild<QLabel*>("D" + n + "infoStr")->text().toStdString();
    }
}

}  // namespace
}  // namespace corvid
