#pragma once

#include <QDialog>
#include <QString>
#include <functional>

#include "production/station_setup.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;
class QSlider;
class QSpinBox;
class QTabWidget;

namespace corvid::gui {

// The settings dialog: the flash, device, serial-flash and factory settings of the station's
// record and its hidden and SPI lists. It holds nothing of its own: every open loads its controls
// from the station's settings, and Apply hands them, checked as a whole, to the settings editor.
class SettingsDialog : public QDialog {
    Q_OBJECT

  public:
    // 'runningWorkers' tells how many workers run now; Apply is refused while any does, since
    // they read the settings without a lock.
    SettingsDialog(StationSetup& station, OperatorPrompt& prompt,
                   std::function<int()> runningWorkers, QWidget* parent = nullptr);

    // Loads the controls from the settings in 'language' and opens on "Device Setting".
    void load(int language);
    // The image tool's new image: its path goes into the image path box.
    void setImagePath(const QString& path);

    // Checks and applies; true when the settings took the controls and the dialog closed.
    bool apply();

  Q_SIGNALS:
    // The settings took the controls; the window's disk-feature label is due.
    void applied();
    // "Create": the image tool is asked for.
    void imageToolRequested();

  private:
    void build();
    QWidget* buildDevicePage();
    QWidget* buildFlashPage();
    QWidget* buildSpiPage();
    QWidget* buildFactoryPage();
    void setCaptions();
    void splitClicked();
    void sourceClicked();
    void showRatio(int position);
    // The size of the image at 'path' beside it; nothing when it names no image.
    void showImageSize(const QString& path);
    void pageSkipPicked(int index);
    void browseImage();
    void addHiddenFiles();
    void addHiddenFolder();
    void addSpiFiles();
    void refuse(const QString& text, const QString& caption);

    StationSetup& station_;
    OperatorPrompt& prompt_;
    std::function<int()> runningWorkers_;
    int language_ = 0;

    QTabWidget* pages_ = nullptr;
    QWidget* devicePage_ = nullptr;
    QRadioButton* normal_ = nullptr;
    QRadioButton* encrypted_ = nullptr;
    QRadioButton* hidden_ = nullptr;
    QGroupBox* hideGroup_ = nullptr;
    QSlider* ratio_ = nullptr;
    QLineEdit* ratioText_ = nullptr;
    QRadioButton* useList_ = nullptr;
    QRadioButton* useImage_ = nullptr;
    QGroupBox* hiddenFiles_ = nullptr;
    QLineEdit* diskLabel_ = nullptr;
    QListWidget* hideList_ = nullptr;
    QGroupBox* imageGroup_ = nullptr;
    QLabel* imageSize_ = nullptr;
    QLineEdit* imageFile_ = nullptr;
    QComboBox* scanLevel_ = nullptr;
    QComboBox* pageSkip_ = nullptr;
    QComboBox* ecc_ = nullptr;
    QSpinBox* badThreshold_ = nullptr;
    QCheckBox* pageScan_ = nullptr;
    QComboBox* pageMode_ = nullptr;
    QSpinBox* capError_ = nullptr;
    QRadioButton* degrade_ = nullptr;
    QRadioButton* showFail_ = nullptr;
    QRadioButton* doNotCare_ = nullptr;
    QCheckBox* saveSpiImage_ = nullptr;
    QListWidget* spiList_ = nullptr;
    QComboBox* moduleNo_ = nullptr;
    QWidget* moduleNoPanel_ = nullptr;
};

}  // namespace corvid::gui
