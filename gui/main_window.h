#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>
#include <array>
#include <memory>
#include <optional>
#include <vector>

#include "gui/qt_views.h"
#include "station/language.h"
#include "station/messages.h"
#include "station/settings_editor.h"
#include "station_control/station_assembly.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMessageBox;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QTimer;
class QTranslator;

namespace corvid::gui {

class ImageTool;
class SettingsDialog;
class UiDispatcher;

// The station's main window: language, production settings, the pre-copy list, the eight slots
// and the Log counters. Every control carries its station name as objectName. The station
// controller runs on the UI thread: the bus thread and the workers post to its queue, which a
// timer drains.
class MainWindow : public QWidget {
    Q_OBJECT

  public:
    // 'assembly' (with its station, which holds the settings the workers read) must outlive the
    // window; the window starts its controller with the window's views and stops it at its end.
    explicit MainWindow(StationAssembly& assembly, QWidget* parent = nullptr);
    // Ends the runs still going and waits for them; nothing reaches the widgets meanwhile.
    ~MainWindow() override;
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // Starts reading the device bus; a bus that fails is said in a box.
    void listen();
    // The end asked for by a signal (SIGTERM, SIGHUP, Ctrl-C): no more devices are taken and the
    // window closes, without the question, once the running runs have ended by themselves.
    void endWhenIdle();

    StationController& controller() { return assembly_.controller(); }
    StationCounters& counters() { return assembly_.counters(); }
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
    // A problem of the production record (a row not written, a record that cannot be opened),
    // in a box that does not stop the station; later problems are added to the same box.
    void showRecordProblem(const std::string& problem);

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
    void labelEdited(const QString& text);
    void loadLanguage(LanguageChoice choice);
    void applyCaptions(const std::vector<Caption>& captions);
    // The firmware picks after a change of a box that decides them, and the estimate they give.
    void recomputePicks();
    void showSystemAreaEstimate();
    void showPreCopyList();
    // Changes the pre-copy list through the settings editor, as every list edit goes, and shows
    // the list and the estimate; a refused change is told to the operator and changes nothing.
    std::optional<SettingsEditResult> editPreCopyList(ListEdit change);
    void removeSelected();
    void chooseFiles();
    void chooseDirectory();
    void firstDisplay();
    // The notes of the settings load (values out of range, entries left out), in one box.
    void showLoadNotes();
    void settingsApplied();
    void drainController();
    // The setting groups are enabled exactly while no worker lives.
    void followWorkers();
    // Saves the settings; a failure offers to try again or to close without saving.
    void saveSettingsAtClose();
    QString fixedQText(FixedText row) const;
    bool isSlotStatus(const std::string& control) const;
    // Installs Qt's own translation for the window's language, when the system has it.
    void useQtTranslation();
    // Ends the runs still going, with the event loop running, so their last changes show.
    void endRunsAndWait();

    StationAssembly& assembly_;
    StationSetup& station_;
    UiDispatcher* ui_ = nullptr;
    int iLanguage_ = kLanguageEnglish;
    QString settingsDialogCaption_;
    bool shownOnce_ = false;
    bool closing_ = false;
    bool draining_ = false;

    QTabWidget* pages_ = nullptr;
    QWidget* page_ = nullptr;  // TabSheet4
    QGroupBox* languageGroup_ = nullptr;
    QMessageBox* recordNotice_ = nullptr;
    QTranslator* qtTranslator_ = nullptr;
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
    QLabel* recordLine_ = nullptr;  // the record's newest notice; all of them in its tip
    std::array<SlotControls, kSlotCount> slots_;

    std::array<std::unique_ptr<QtSlotView>, kSlotCount> slotViews_;
    std::unique_ptr<QtStationView> stationView_;
    std::unique_ptr<QtOperatorPrompt> prompt_;
    QTimer* drainTimer_ = nullptr;
    SettingsDialog* settingsDialog_ = nullptr;
    ImageTool* imageTool_ = nullptr;
};

}  // namespace corvid::gui
