#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>
#include <array>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "gui/qt_views.h"
#include "platform/device_bus.h"
#include "platform/volume_tools.h"
#include "production/station_counters.h"
#include "production/station_setup.h"
#include "station/language.h"
#include "station_control/station_controller.h"
#include "station_control/station_record.h"
#include "transport/transport.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QTimer;

namespace corvid::gui {

class ImageTool;
class SettingsDialog;
class UiDispatcher;

// What the window drives its devices with; the program picks them for its backend.
struct StationDevices {
    std::unique_ptr<Transport> transport;
    std::unique_ptr<VolumeTools> volumes;
    // Read on a thread of its own once listen() is called; null for a window fed by hand.
    std::unique_ptr<DeviceBus> bus;
};

// The station's main window: language, production settings, the pre-copy list, the eight slots
// and the Log counters. Every control carries its station name as objectName. The station
// controller runs on the UI thread: the bus thread and the workers post to its queue, which a
// timer drains.
class MainWindow : public QWidget {
    Q_OBJECT

  public:
    // 'station' must outlive the window; it holds the settings the workers read.
    MainWindow(StationSetup& station, StationDevices devices, QWidget* parent = nullptr);
    // Ends the runs still going and waits for them; nothing reaches the widgets meanwhile.
    ~MainWindow() override;
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // Starts reading the device bus.
    void listen();

    // Every ended run becomes a row of 'record', which must outlive the window; its notices go
    // to standard error and the newest shows in the window's log box.
    void keepRecord(StationRecord& record);

    StationController& controller() { return *controller_; }
    StationCounters& counters() { return *counters_; }
    int language() const { return iLanguage_; }
    // The settings dialog's caption of the current language.
    const QString& settingsDialogCaption() const { return settingsDialogCaption_; }
    // The settings dialog, made once with the window and loaded at every open.
    SettingsDialog& settingsDialog() { return *settingsDialog_; }
    // "Setup ...": the settings dialog, loaded in the current language, shown modally.
    void openSettingsDialog();
    // The image tool, opened by the settings dialog's "Create".
    ImageTool& imageTool() { return *imageTool_; }

    // "Add files..." once the operator has chosen: appended in order, duplicates kept; paths
    // over 128 characters are kept and named in one warning.
    void addFiles(const QStringList& files);
    // "Add Dir" once the operator has chosen a folder.
    void addDirectory(const QString& folder);

  Q_SIGNALS:
    // The first display's image check cleared the hidden-disk image; the settings dialog is due.
    void imageCleared();

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    struct SlotControls {
        QGroupBox* group = nullptr;
        QLabel* caption = nullptr;
        SlotWidgets widgets;
    };

    void buildControls();
    QWidget* buildSettingGroups(QWidget* page);
    void buildSlots(QWidget* page);
    void buildLog(QWidget* page);
    void showSettings();
    void connectControls();
    void startController();

    void languageClicked();
    void loadLanguage(LanguageChoice choice);
    void applyCaptions(const std::vector<Caption>& captions);
    void recomputePicks();
    void removeSelected();
    void chooseFiles();
    void chooseDirectory();
    void firstDisplay();
    void settingsApplied();
    void drainController();
    void readBus();
    void stopBus();
    // Ends the runs still going, with the event loop running, so their last changes show.
    void endRunsAndWait();

    StationSetup& station_;
    StationDevices devices_;
    UiDispatcher* ui_ = nullptr;
    int iLanguage_ = kLanguageEnglish;
    QString settingsDialogCaption_;
    bool shownOnce_ = false;
    bool closing_ = false;
    bool draining_ = false;

    QTabWidget* pages_ = nullptr;
    QWidget* page_ = nullptr;  // TabSheet4
    QRadioButton* langAuto_ = nullptr;
    QRadioButton* langSc_ = nullptr;
    QRadioButton* langTc_ = nullptr;
    QRadioButton* langEng_ = nullptr;
    QGroupBox* grpMPSetting_ = nullptr;
    QGroupBox* grpFileList_ = nullptr;
    QLineEdit* labelEdit_ = nullptr;
    QCheckBox* chkFormat_ = nullptr;
    QCheckBox* chkBlankCheck_ = nullptr;
    QCheckBox* chkISOupgrade_ = nullptr;
    QCheckBox* chkFwUpgrade_ = nullptr;
    QCheckBox* systemAreaChk_ = nullptr;
    QCheckBox* chkParityCheck_ = nullptr;
    QCheckBox* checkManuupgrade_ = nullptr;
    QComboBox* systemAreaComBo_ = nullptr;
    QPushButton* btnSetup_ = nullptr;
    QPushButton* upgradeBtn_ = nullptr;
    QListWidget* preCopyList_ = nullptr;
    QLabel* labSystemArea_ = nullptr;
    QLabel* labDiskFeature_ = nullptr;
    QLabel* totalStr_ = nullptr;
    QLabel* successStr_ = nullptr;
    QLabel* failStr_ = nullptr;
    QLabel* recordNotice_ = nullptr;
    std::array<SlotControls, kSlotCount> slots_;

    std::array<std::unique_ptr<QtSlotView>, kSlotCount> slotViews_;
    std::unique_ptr<QtStationView> stationView_;
    std::unique_ptr<QtOperatorPrompt> prompt_;
    std::unique_ptr<StationCounters> counters_;
    std::unique_ptr<StationController> controller_;
    StationRecord* record_ = nullptr;
    QTimer* drainTimer_ = nullptr;
    SettingsDialog* settingsDialog_ = nullptr;
    ImageTool* imageTool_ = nullptr;

    std::atomic<bool> stopBus_{false};
    std::thread busThread_;
};

}  // namespace corvid::gui
