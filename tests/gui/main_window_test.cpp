// The main window as an operator meets it: its controls and their start state, the setting
// groups during a run, manual upgrade, a language switch, and eight simulated devices produced.
#include <gtest/gtest.h>

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
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>

#include "backends/backends.h"
#include "gui/image_tool.h"
#include "gui/main_window.h"
#include "gui/qt_views.h"
#include "platform/ini_file.h"
#include "records/sqlite_record_store.h"
#include "station/setting_keys.h"
#include "station/settings_files.h"
#include "station/station_registry.h"
#include "tests/integration/sim_fixture.h"
#include "tests/support/run_program.h"

namespace corvid {
namespace {

using test::runBinProgram;

constexpr int kRunMs = 120000;  // a generous bound for device runs on a busy machine

// Answers every message box that opens while it lives, and keeps their texts.
class BoxAnswerer {
  public:
    BoxAnswerer() {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                texts << box->text();
                box->accept();
            }
        });
        timer_.start(50);
    }
    QStringList texts;

  private:
    QTimer timer_;
};

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
        assembly_.reset();
        station_.reset();
        SimulatorTest::TearDown();
    }

    void close() {
        window_.reset();
        assembly_.reset();
        station_.reset();
    }

    // The window on the simulator, shown, reading the bus. 'pauseScale' 1 makes runs last.
    void open(double pauseScale = 0) {
        StationSetupOptions options;
        options.pauseScale = pauseScale;
        options.portLocations = PortLocationOrigin::SingleHub;
        station_ = loadStation(home_, options);
        assembly_ =
            std::make_unique<StationAssembly>(*station_, DeviceSetup{DeviceBackend::Sim, simDir_});
        assembly_->keepRecord(
            std::string(), [](const std::string& why) { ADD_FAILURE() << "the record: " << why; });
        window_ = std::make_unique<gui::MainWindow>(*assembly_);
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

    // The colour of the chunk of a slot's bar, from its style sheet.
    QString barColour(int slot) {
        const QString sheet =
            control<QProgressBar>(QStringLiteral("ProgressBar%1").arg(slot).toLatin1().constData())
                ->styleSheet();
        const int at = sheet.indexOf(QStringLiteral("background-color: "));
        return at < 0 ? QString() : sheet.mid(at + 18).section(QLatin1Char(';'), 0, 0);
    }

    std::filesystem::path home_;
    std::unique_ptr<StationSetup> station_;
    std::unique_ptr<StationAssembly> assembly_;
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
    // The label box takes what the Label key takes; the runs' code page may take fewer bytes.
    EXPECT_EQ(control<QLineEdit>("LabelEdit")->maxLength(), settingKey("Label").max);
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

// The window locks the letters it works on as the command line does: a probe of a drive in
// production is refused and sends nothing.
TEST_F(MainWindowTest, ADriveInProductionIsBusyForOtherStationPrograms) {
    open(1);
    plug('E', "nand-2k");
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return window_->controller().runningWorkers() == 1; }, kRunMs));
    const auto probe =
        runBinProgram("corvid-cli", {"probe", "E", "--no-fsm", "--no-reset", "--backend", "sim",
                                     "--sim-dir", simDir_.string(), "--home", home_.string()});
    EXPECT_EQ(probe.exitCode, 2) << probe.output;
    EXPECT_NE(probe.output.find("drive E is busy"), std::string::npos) << probe.output;
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

// The limit box does not hold the station: while it is open, a removal frees its slot.
TEST_F(MainWindowTest, TheLimitBoxLeavesRemovalsGoingOn) {
    open();
    QTest::mouseClick(control<QCheckBox>("CheckManuupgrade"), Qt::LeftButton);  // slots wait
    const std::string letters = "EFGHIJKL";
    for (std::size_t i = 0; i < letters.size(); ++i) {
        plug(letters[i], "nand-2k", {"--port", std::to_string(i + 1)});
    }
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return window_->controller().firstFreeSlot() == kNoSlot; }, kRunMs));
    plug('M', "nand-2k");
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return window_->findChild<QMessageBox*>() != nullptr; }, kRunMs));
    unplug('E');
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return window_->controller().slotOfLetter('E') == kNoSlot; }, 10000))
        << "the removal waited for the box";
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

// "Add files..." goes through the settings editor: a path that names nothing is refused with the
// editor's reason and changes nothing; a path over 128 characters is kept and named in a warning.
TEST_F(MainWindowTest, AddedFilesAreCheckedAsTheSettingsEditorChecksThem) {
    open();
    const std::filesystem::path deep = home_ / std::string(60, 'd') / std::string(60, 'e');
    std::filesystem::create_directories(deep);
    const std::filesystem::path longFile = deep / "track01.mp3";
    std::ofstream(longFile) << "music";
    ASSERT_GT(longFile.string().size(), 128u);
    struct Case {
        std::filesystem::path path;
        bool kept;
        const char* boxPart;  // nullptr: no box
    };
    const Case cases[] = {
        {home_ / "misc" / "prefer.dat", true, nullptr},
        {home_ / "missing.bin", false, "is neither a file nor a folder"},
        {longFile, true, "track01.mp3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.string());
        const auto before = station_->settings.preCopyList;
        BoxAnswerer boxes;
        window_->addFiles({QString::fromStdString(c.path.string())});
        QTest::qWait(200);
        const auto& after = station_->settings.preCopyList;
        EXPECT_EQ(after.size(), before.size() + (c.kept ? 1 : 0));
        EXPECT_EQ(control<QListWidget>("TntSelectFileList2")->count(),
                  static_cast<int>(after.size()));
        if (c.boxPart == nullptr) {
            EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join('|').toStdString();
        } else {
            ASSERT_EQ(boxes.texts.size(), 1);
            EXPECT_TRUE(boxes.texts[0].contains(QString::fromUtf8(c.boxPart)))
                << boxes.texts[0].toStdString();
        }
    }
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

// The combo shows the size the workers will use: a stored size outside the items (read as no
// size chosen) shows no item, never the last one, and the show changes no setting.
TEST_F(MainWindowTest, SystemAreaComboAgreesWithTheStoredSize) {
    struct Case {
        int stored;
        int used;
    };
    const Case cases[] = {{-1, -1}, {0, 0}, {15, 15}, {20, -1}};
    BoxAnswerer notes;  // a value out of range is noted in a box
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored);
        {
            IniFile prefer(home_ / "misc" / "prefer.ini");
            prefer.writeInt("MP_Setting", "System Area check", 1);
            prefer.writeInt("MP_Setting", "System Area Size", c.stored);
        }
        open();
        auto* combo = control<QComboBox>("SystemAreaComBo");
        EXPECT_EQ(station_->settings.SystemAreaComBo, c.used);
        EXPECT_EQ(combo->currentIndex(), c.used);
        EXPECT_TRUE(combo->isEnabled());
        window_->close();
        close();
        EXPECT_EQ(
            IniFile(home_ / "misc" / "prefer.ini").readInt("MP_Setting", "System Area Size", 99),
            c.used)
            << "the closing save keeps what was shown";
    }
}

// A worker reads the settings and the pre-copy list from its start: the groups close when it is
// started, not when it first shows a status after a slow port-location program.
TEST_F(MainWindowTest, SettingGroupsCloseWhenAWorkerStarts) {
    const auto usbdos = home_ / "misc" / "usbdos";
    std::ofstream(usbdos) << "#!/bin/sh\nsleep 5\nexit 0\n";
    std::filesystem::permissions(usbdos, std::filesystem::perms::owner_all);
    open();
    plug('E', "nand-2k");
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return window_->controller().runningWorkers() == 1; }, kRunMs));
    EXPECT_FALSE(groupsEnabled()) << "the groups are open under a running worker";
    QTest::qWait(500);
    EXPECT_FALSE(groupsEnabled());
    EXPECT_FALSE(control<QPushButton>("RemoveBtn")->isEnabled());
    ASSERT_TRUE(waitForTotal(1));
    EXPECT_TRUE(QTest::qWaitFor([&] { return groupsEnabled(); }, 5000));
}

// A damaged file of the image tool does not stop the window: the tool's list starts empty and
// the program says so; the program does not abort.
TEST_F(MainWindowTest, ADamagedImageToolListStartsEmpty) {
    struct Case {
        const char* name;
        bool folder;
    };
    const Case cases[] = {{"a folder", true}, {"invalid UTF-8", false}};
    const auto list = home_ / "misc" / "isoseting.ini";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(list);
        if (c.folder) {
            std::filesystem::create_directory(list);
        } else {
            std::ofstream(list) << (home_ / "misc" / "prefer.dat").string()
                                << "\nbad \xc3\x28 entry\n";
        }
        ASSERT_NO_THROW(open());
        EXPECT_EQ(window_->imageTool().findChild<QListWidget*>("TntlstHideFiles")->count(), 0);
        close();
        test::BackgroundProgram corvid("corvid", {"--home", home_.string(), "--backend", "sim",
                                                  "--sim-dir", simDir_.string()});
        EXPECT_TRUE(corvid.waitForOutput("file list starts empty")) << corvid.output();
        EXPECT_EQ(corvid.output().find("terminate"), std::string::npos) << corvid.output();
    }
}

// A damaged list of the station itself stops the start with one line and status 2, never an
// abort.
TEST_F(MainWindowTest, ADamagedStationListStopsTheStartWithOneLine) {
    for (const char* list : {"seting.ini", "hideseting.ini", "spiseting.ini"}) {
        SCOPED_TRACE(list);
        const auto file = home_ / "misc" / list;
        const auto kept = dir_ / "kept.ini";
        std::filesystem::rename(file, kept);
        std::filesystem::create_directory(file);
        test::BackgroundProgram corvid("corvid", {"--home", home_.string(), "--backend", "sim",
                                                  "--sim-dir", simDir_.string()});
        EXPECT_EQ(corvid.waitForExit(std::chrono::seconds(30)), 2) << corvid.output();
        std::string lines;
        std::istringstream output(corvid.output());
        for (std::string line; std::getline(output, line);) {
            if (line.rfind("QStandardPaths", 0) != 0) {
                lines += line + "\n";
            }
        }
        EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 1) << lines;
        EXPECT_EQ(lines.rfind("corvid: ", 0), 0u) << lines;
        EXPECT_NE(lines.find(list), std::string::npos) << lines;
        std::filesystem::remove(file);
        std::filesystem::rename(kept, file);
    }
}

// A RecordDatabase the record cannot use is said, and the station starts with its local record.
TEST_F(MainWindowTest, ABadRecordDatabaseLeavesTheLocalRecord) {
    IniFile(home_ / "misc" / "prefer.ini").writeString("Corvid", "RecordDatabase", "mysql://x");
    test::BackgroundProgram corvid(
        "corvid", {"--home", home_.string(), "--backend", "sim", "--sim-dir", simDir_.string()});
    EXPECT_TRUE(corvid.waitForOutput("log/production.db only")) << corvid.output();
    QTest::qWait(500);
    EXPECT_EQ(corvid.output().find("terminate"), std::string::npos) << corvid.output();
    EXPECT_EQ(corvid.output().find("station window"), std::string::npos);
}

// The variables of this process while it lives (a null value unsets one); children inherit them.
class WithEnvironment {
  public:
    explicit WithEnvironment(std::vector<std::pair<std::string, const char*>> values) {
        for (const auto& [name, value] : values) {
            const char* was = std::getenv(name.c_str());
            was_.push_back({name, was ? std::optional<std::string>(was) : std::nullopt});
            value ? setenv(name.c_str(), value, 1) : unsetenv(name.c_str());
        }
    }
    ~WithEnvironment() {
        for (const auto& [name, was] : was_) {
            was ? setenv(name.c_str(), was->c_str(), 1) : unsetenv(name.c_str());
        }
    }
    WithEnvironment(const WithEnvironment&) = delete;
    WithEnvironment& operator=(const WithEnvironment&) = delete;

  private:
    std::vector<std::pair<std::string, std::optional<std::string>>> was_;
};

// Started with no station folder named, the window uses the user's data folder, makes it the
// way init-home does at the first start, and says so; later starts say which folder they use.
TEST_F(MainWindowTest, WithoutAFolderNamedTheUsersDataFolderIsMadeAndUsed) {
    struct Case {
        const char* what;
        std::string data;  // XDG_DATA_HOME; empty: unset
        std::filesystem::path expected;
    };
    const Case cases[] = {
        {"XDG_DATA_HOME", (dir_ / "data").string(), dir_ / "data" / "corvid"},
        {"HOME alone", "", dir_ / "user" / ".local" / "share" / "corvid"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const WithEnvironment environment(
            {{"CORVID_HOME", nullptr},
             {"HOME", (dir_ / "user").c_str()},
             {"XDG_DATA_HOME", c.data.empty() ? nullptr : c.data.c_str()}});
        for (const char* says : {"a new one with sample files was made in", "(the default;"}) {
            SCOPED_TRACE(says);
            test::BackgroundProgram corvid("corvid",
                                           {"--backend", "sim", "--sim-dir", simDir_.string()});
            EXPECT_TRUE(corvid.waitForOutput(std::string(says))) << corvid.output();
            EXPECT_NE(corvid.output().find(c.expected.string()), std::string::npos)
                << corvid.output();
            EXPECT_TRUE(std::filesystem::is_regular_file(c.expected / "misc" / "FSM.bin"));
            EXPECT_TRUE(std::filesystem::is_directory(c.expected / "flash"));
            QTest::qWait(500);
            const auto sent = test::runProgram({"kill", "-TERM", std::to_string(corvid.id())},
                                               std::chrono::seconds(10));
            ASSERT_EQ(sent.exitCode, 0) << sent.output;
            EXPECT_EQ(corvid.waitForExit(std::chrono::seconds(30)), 0) << corvid.output();
        }
    }
}

// Many starts of one station folder at once leave exactly one window: the others find the
// folder's lock taken, bring that window to the front and end.
TEST_F(MainWindowTest, ManySimultaneousStartsLeaveExactlyOneWindow) {
    constexpr int kStarts = 6;
    std::vector<std::unique_ptr<test::BackgroundProgram>> starts;
    for (int i = 0; i < kStarts; ++i) {
        starts.push_back(std::make_unique<test::BackgroundProgram>(
            "corvid", std::vector<std::string>{"--home", home_.string(), "--backend", "sim",
                                               "--sim-dir", simDir_.string()}));
    }
    const std::string gaveWay = "is open already; it was brought to the front.";
    const auto gaveWayCount = [&] {
        return std::count_if(starts.begin(), starts.end(), [&](const auto& start) {
            return start->output().find(gaveWay) != std::string::npos;
        });
    };
    // Every start but one gives way; a second window would never do.
    EXPECT_TRUE(QTest::qWaitFor([&] { return gaveWayCount() >= kStarts - 1; }, 60000));
    QTest::qWait(1000);
    test::BackgroundProgram* window = nullptr;
    int ended = 0;
    for (auto& start : starts) {
        if (start->output().find(gaveWay) != std::string::npos) {
            EXPECT_EQ(start->waitForExit(std::chrono::seconds(30)), 0) << start->output();
            ++ended;
        } else {
            EXPECT_EQ(window, nullptr) << "a second window: " << start->output();
            window = start.get();
        }
    }
    EXPECT_EQ(ended, kStarts - 1);
    ASSERT_NE(window, nullptr);
    const auto sent =
        test::runProgram({"kill", "-TERM", std::to_string(window->id())}, std::chrono::seconds(10));
    ASSERT_EQ(sent.exitCode, 0) << sent.output;
    EXPECT_EQ(window->waitForExit(std::chrono::seconds(30)), 0) << window->output();
}

// A closed session (SIGHUP) or a service stop (SIGTERM) ends the window as its close does: the
// settings are saved and the program ends well.
TEST_F(MainWindowTest, AHangUpOrTermEndsTheWindowAsItsCloseDoes) {
    for (const char* signal : {"-HUP", "-TERM"}) {
        SCOPED_TRACE(signal);
        const auto settings = home_ / "misc" / "prefer.ini";
        std::filesystem::remove(settings);
        test::BackgroundProgram corvid("corvid", {"--home", home_.string(), "--backend", "sim",
                                                  "--sim-dir", simDir_.string()});
        QTest::qWait(1500);
        const auto sent = test::runProgram({"kill", signal, std::to_string(corvid.id())},
                                           std::chrono::seconds(10));
        ASSERT_EQ(sent.exitCode, 0) << sent.output;
        EXPECT_EQ(corvid.waitForExit(std::chrono::seconds(30)), 0) << corvid.output();
        EXPECT_TRUE(std::filesystem::exists(settings)) << "the settings were saved at the end";
    }
}

// The close question's default is No: Enter keeps production going.
TEST_F(MainWindowTest, EnterAtTheCloseQuestionKeepsTheRun) {
    open(1.0);
    plug('E', "nand-2k");
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return window_->controller().runningWorkers() == 1; }, kRunMs));
    bool asked = false;
    QTimer::singleShot(100, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        asked = true;
        EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::No));
        QTest::keyClick(box, Qt::Key_Return);
    });
    EXPECT_FALSE(window_->close());
    EXPECT_TRUE(asked);
    EXPECT_EQ(window_->controller().runningWorkers(), 1);
}

// A pass and a failure are told apart by the bar's colour; a language change keeps each ended
// slot's text, colour, picture and bar; the window's own texts follow the language.
TEST_F(MainWindowTest, VerdictsShowOnTheBarsAndOutliveALanguageChange) {
    open();
    plug('E', "nand-2k", {"--port", "1"});
    plug('F', "nand-2k", {"--port", "2", "--fail", "FILE_WRITE_END"});
    ASSERT_TRUE(waitForTotal(2));
    ASSERT_EQ(textOf("SuccessStr"), "1");
    ASSERT_EQ(textOf("FailStr"), "1");
    int passed = window_->controller().letter(0) == 'E' ? 1 : 2;
    int failed = 3 - passed;
    EXPECT_EQ(barColour(passed), "green");
    EXPECT_EQ(barColour(failed), "red");

    struct Shown {
        QString status;
        QString sheet;
        int bar;
        bool picture;
    };
    const auto shown = [&](int slot) {
        const QString n = QString::number(slot);
        auto* status = window_->findChild<QLabel*>("D" + n + "infoStr");
        return Shown{status->text(), status->styleSheet(),
                     window_->findChild<QProgressBar*>("ProgressBar" + n)->value(),
                     !window_->findChild<QLabel*>("infoImage" + n)->pixmap().isNull()};
    };
    const Shown before[] = {shown(passed), shown(failed)};
    EXPECT_GT(before[0].bar, 0);
    QTest::mouseClick(control<QRadioButton>("TntRdoLangSC"), Qt::LeftButton);
    const Shown after[] = {shown(passed), shown(failed)};
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i == 0 ? "passed" : "failed");
        EXPECT_EQ(after[i].status, before[i].status);
        EXPECT_EQ(after[i].sheet, before[i].sheet);
        EXPECT_EQ(after[i].bar, before[i].bar);
        EXPECT_TRUE(after[i].picture);
    }
    EXPECT_EQ(barColour(passed), "green");
    EXPECT_EQ(barColour(failed), "red");
    EXPECT_EQ(control<QGroupBox>("TntGroupBox1")->title().toStdString(),
              fixedText(FixedText::Language, kLanguageSimplifiedChinese));
    EXPECT_EQ(control<QPushButton>("Upgradebtn")->text().toStdString(),
              station_->messages.text(MessageKey::MenuUpgradeStartStr));
    EXPECT_NE(control<QPushButton>("Upgradebtn")->text(), "Start Upgrade");
}

// A status wider than its line keeps its end (where the verdict stands) and its whole text is the
// tooltip; the line ends before the picture begins.
TEST_F(MainWindowTest, LongStatusTextsAreElidedInTheMiddle) {
    open();
    auto* status = control<QLabel>("D1infoStr");
    auto* picture = control<QLabel>("infoImage1");
    EXPECT_LE(status->geometry().right(), picture->geometry().left());
    const QString longText = QStringLiteral("Samsung 256Mbit small page Program Write Setup fail");
    gui::showStatusText(*status, longText);
    EXPECT_LE(status->fontMetrics().horizontalAdvance(status->text()),
              status->contentsRect().width());
    EXPECT_TRUE(status->text().endsWith(QStringLiteral("fail"))) << status->text().toStdString();
    EXPECT_EQ(status->toolTip(), longText);
    gui::showStatusText(*status, QStringLiteral("Wait..."));
    EXPECT_EQ(status->text(), "Wait...");
    EXPECT_TRUE(status->toolTip().isEmpty());
}

// A settings save that fails at close is shown: Retry saves once the folder takes it again.
TEST_F(MainWindowTest, AFailedSaveAtCloseOffersRetry) {
    open();
    const auto prefer = home_ / "misc" / "prefer.ini";
    std::filesystem::remove(prefer);
    std::filesystem::create_directory(prefer);  // a folder where the file belongs
    int asked = 0;
    std::function<void()> answer = [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) {
            QTimer::singleShot(50, answer);
            return;
        }
        ++asked;
        EXPECT_EQ(box->objectName(), "settingsNotSaved");
        EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::Retry));
        if (asked == 1) {
            std::filesystem::remove(prefer);  // mended: the retry saves
            box->button(QMessageBox::Retry)->click();
        }
    };
    QTimer::singleShot(50, answer);
    EXPECT_TRUE(window_->close());
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(std::filesystem::is_regular_file(prefer));
}

// A problem of the record reaches the window's operator, not only standard error.
TEST_F(MainWindowTest, RecordProblemsAreShownInTheWindow) {
    open();
    window_->showRecordProblem("a run could not be written to the production record (disk full)");
    auto* box = window_->findChild<QMessageBox*>("recordNotice");
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->isVisible());
    EXPECT_FALSE(box->isModal()) << "the station goes on while the operator reads it";
    EXPECT_TRUE(box->text().contains("disk full"));
    window_->showRecordProblem("a second one");
    EXPECT_TRUE(box->text().contains("disk full"));
    EXPECT_TRUE(box->text().contains("a second one"));
}

// The Label box counts bytes in the code page the runs write the label in: 中文卷标 is 12 bytes
// of UTF-8 for English runs (refused, with one line) and 8 of GBK for Simplified Chinese ones.
TEST_F(MainWindowTest, TheLabelBoxCountsBytesOfTheRunsCodePage) {
    open();
    const QString label = QString::fromUtf8("\xE4\xB8\xAD\xE6\x96\x87\xE5\x8D\xB7\xE6\xA0\x87");
    auto* edit = control<QLineEdit>("LabelEdit");
    const std::string before = station_->settings.LabelEdit;
    const auto type = [&] {
        QString said;
        QTimer::singleShot(100, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                said = box->text();
                box->accept();
            }
        });
        edit->setText(label);
        Q_EMIT edit->textEdited(label);
        return said;
    };
    const QString said = type();
    EXPECT_TRUE(said.contains("12")) << said.toStdString();
    EXPECT_EQ(station_->settings.LabelEdit, before);
    EXPECT_EQ(edit->text().toStdString(), before);

    QTest::mouseClick(control<QRadioButton>("TntRdoLangSC"), Qt::LeftButton);
    EXPECT_TRUE(type().isEmpty());
    EXPECT_EQ(station_->settings.LabelEdit, label.toStdString());
}

// Out-of-range values through the real load path: the window's operator is told, in one box,
// what was stored and what the runs use.
TEST_F(MainWindowTest, LoadNotesAreShownToTheOperator) {
    struct Case {
        int stored;
        int used;
    };
    for (const Case& c : {Case{-1, 0}, Case{7, 4}}) {
        SCOPED_TRACE(c.stored);
        IniFile(home_ / "misc" / "prefer.ini").writeInt("MP_Setting", "iScanLevel", c.stored);
        BoxAnswerer boxes;
        open();
        EXPECT_EQ(station_->settings.record.iScanLevel, c.used);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !boxes.texts.isEmpty(); }, 5000));
        EXPECT_TRUE(boxes.texts[0].contains(QStringLiteral("iScanLevel=%1").arg(c.stored)))
            << boxes.texts[0].toStdString();
        close();
    }
    // A file the station starts without is said too.
    std::filesystem::remove(home_ / "misc" / "FSM.bin");
    BoxAnswerer boxes;
    open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !boxes.texts.isEmpty(); }, 5000));
    EXPECT_TRUE(boxes.texts[0].contains(QStringLiteral("FSM.bin"))) << boxes.texts[0].toStdString();
}

// "Fix System Area Size" enables its size list, and only while it is checked.
TEST_F(MainWindowTest, FixSystemAreaSizeEnablesItsList) {
    open();
    auto* fixed = control<QCheckBox>("SystemAreachk");
    auto* sizes = control<QComboBox>("SystemAreaComBo");
    for (int click = 0; click < 2; ++click) {
        const bool was = fixed->isChecked();
        QTest::mouseClick(fixed, Qt::LeftButton);
        EXPECT_EQ(fixed->isChecked(), !was);
        EXPECT_EQ(sizes->isEnabled(), !was);
        EXPECT_EQ(station_->settings.SystemAreachk, !was);
    }
}

// Qt's own buttons (of the boxes and file dialogs) follow the window's language.
TEST_F(MainWindowTest, QtsOwnTextsFollowTheLanguage) {
    open();
    const auto yes = [] { return QCoreApplication::translate("QPlatformTheme", "&Yes"); };
    QTest::mouseClick(control<QRadioButton>("TntRdoLangSC"), Qt::LeftButton);
    EXPECT_NE(yes(), "&Yes");
    QTest::mouseClick(control<QRadioButton>("TntRdoLangEng"), Qt::LeftButton);
    EXPECT_EQ(yes(), "&Yes");
}

// The window's creation writes the registry values the program itself keeps: LanguageID written
// back (0, Auto, when missing) and the service values created as 0, never over stored ones.
TEST_F(MainWindowTest, TheWindowWritesItsRegistryValuesAtCreation) {
    const auto registry = home_ / "misc" / "registry.ini";
    struct Case {
        const char* name;
        const char* stored;  // the file before, empty for none
        int languageId;
        int blocksPerChip;
    };
    const Case cases[] = {
        {"a fresh store", "", 0, 0},
        {"stored values",
         "[SoftWare\\ZQL5V16\\corvid16]\nLanguageID=2\n[SoftWare\\ZQL5V16\\MPTool]\nBlocksPerChip="
         "7\n",
         2, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(registry);
        if (*c.stored != 0) {
            std::ofstream(registry) << c.stored;
        }
        open();
        close();
        const IniFile written(registry);
        EXPECT_EQ(written.readInt(kStationRegistryKey, "LanguageID", -1), c.languageId);
        EXPECT_EQ(written.readInt(kToolRegistryKey, "BlocksPerChip", -1), c.blocksPerChip);
        EXPECT_EQ(written.readInt(kToolRegistryKey, "LogBiTable", -1), 0);
    }
}

}  // namespace
}  // namespace corvid
