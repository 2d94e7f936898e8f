#include "gui/main_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTabWidget>
#include <QTimer>
#include <QTranslator>
#include <algorithm>
#include <cstdio>

#include "gui/image_tool.h"
#include "gui/settings_dialog.h"
#include "gui/ui_dispatcher.h"
#include "image/image_file.h"
#include "station/disk_feature.h"
#include "station/firmware_picks.h"
#include "station/image_check.h"
#include "station/language_load.h"
#include "station/setting_keys.h"
#include "station/settings_files.h"
#include "station/station_registry.h"

namespace corvid::gui {

namespace {

constexpr int kClientWidth = 867;
constexpr int kClientHeight = 606;
constexpr std::chrono::milliseconds kDrainPeriod{20};

QString qtext(const std::string& utf8) {
    return QString::fromStdString(utf8);
}

// Slot 1's caption is StaticText1; slots 2 to 8 use StaticText3 to StaticText9.
QString slotCaptionName(int slot) {
    return QStringLiteral("StaticText%1").arg(slot == 1 ? 1 : slot + 1);
}

template <typename W>
W* named(W* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

QCheckBox* checkBox(QWidget* parent, const char* name, const char* text, int x, int y, int w) {
    auto* box = named(new QCheckBox(QString::fromUtf8(text), parent), name);
    box->setGeometry(x, y, w, 20);
    return box;
}

QLabel* label(QWidget* parent, const char* name, const QString& text, QRect where) {
    auto* shown = new QLabel(text, parent);
    if (name != nullptr) {
        shown->setObjectName(QString::fromLatin1(name));
    }
    shown->setGeometry(where);
    return shown;
}

}  // namespace

MainWindow::MainWindow(StationAssembly& assembly, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      assembly_(assembly),
      station_(assembly.station()),
      ui_(new UiDispatcher(this)) {
    setObjectName(QStringLiteral("TForm1"));
    setWindowTitle(QStringLiteral("MP3 Tool"));
    setFixedSize(kClientWidth, kClientHeight);
    buildControls();
    startController();
    showSettings();
    connectControls();

    // The window's creation makes the service values and writes LanguageID back, so both exist
    // in the store from the first start on.
    if (!createToolValues(*station_.registry)) {
        std::fprintf(stderr,
                     "corvid: the service values BlocksPerChip and LogBiTable cannot be "
                     "stored\n");
    }
    // The language the station was loaded with; the radio button follows LanguageID.
    iLanguage_ = station_.language.iLanguage;
    const LanguageChoice choice = restoreLanguageChoice(*station_.registry);
    QRadioButton* chosen = choice == LanguageChoice::English              ? langEng_
                           : choice == LanguageChoice::SimplifiedChinese  ? langSc_
                           : choice == LanguageChoice::TraditionalChinese ? langTc_
                                                                          : langAuto_;
    chosen->setChecked(true);
    applyCaptions(station_.language.captions);
    controller().setLanguage(iLanguage_);
    upgradeBtn_->setEnabled(checkManuupgrade_->isChecked());
    systemAreaComBo_->setEnabled(systemAreaChk_->isChecked());
    recomputePicks();

    settingsDialog_ = new SettingsDialog(
        station_, *prompt_, [this] { return controller().runningWorkers(); }, this);
    settingsDialog_->setWindowTitle(settingsDialogCaption_);
    connect(settingsDialog_, &SettingsDialog::applied, this, &MainWindow::settingsApplied);
    imageTool_ = new ImageTool(station_.folder, *prompt_, settingsDialog_);
    connect(settingsDialog_, &SettingsDialog::imageToolRequested, this, [this] {
        imageTool_->setLanguage(iLanguage_);
        imageTool_->exec();
    });
    connect(imageTool_, &ImageTool::built, settingsDialog_, &SettingsDialog::setImagePath);
    connect(this, &MainWindow::imageCleared, this, &MainWindow::openSettingsDialog,
            Qt::QueuedConnection);
    connect(btnSetup_, &QPushButton::clicked, this, &MainWindow::openSettingsDialog);

    drainTimer_ = new QTimer(this);
    connect(drainTimer_, &QTimer::timeout, this, &MainWindow::drainController);
    drainTimer_->start(kDrainPeriod);
}

MainWindow::~MainWindow() {
    assembly_.stopListening();
    drainTimer_->stop();
    // From here no worker waits for the UI thread: its changes are dropped, so joining the
    // workers below cannot wait on a hand-over that never comes.
    ui_->close();
    controller().stopTakingDevices();
    controller().endRunningWorkers();
    assembly_.stop();
}

void MainWindow::buildControls() {
    pages_ = named(new QTabWidget(this), "PageControl1");
    pages_->setGeometry(0, 0, kClientWidth, kClientHeight);
    page_ = named(new QWidget, "TabSheet4");
    pages_->addTab(page_, QStringLiteral("Page"));

    languageGroup_ = named(new QGroupBox(QStringLiteral("Language"), page_), "TntGroupBox1");
    QGroupBox* language = languageGroup_;
    language->setGeometry(5, 2, 300, 46);
    langAuto_ = named(new QRadioButton(QStringLiteral("Auto"), language), "TntRdoLangAuto");
    langSc_ = named(new QRadioButton(QString::fromUtf8("简中"), language), "TntRdoLangSC");
    langTc_ = named(new QRadioButton(QString::fromUtf8("繁中"), language), "TntRdoLangTC");
    langEng_ = named(new QRadioButton(QStringLiteral("Eng."), language), "TntRdoLangEng");
    int x = 10;
    for (QRadioButton* button : {langAuto_, langSc_, langTc_, langEng_}) {
        button->setGeometry(x, 20, 68, 20);
        x += 72;
    }

    buildSettingGroups(page_);
    buildSlots(page_);
    buildLog(page_);
}

QWidget* MainWindow::buildSettingGroups(QWidget* page) {
    grpMPSetting_ = named(new QGroupBox(page), "grpMPSetting");
    grpMPSetting_->setGeometry(5, 50, 300, 210);
    label(grpMPSetting_, "LabelStatic", QStringLiteral("Label:"), QRect(10, 12, 90, 22));
    labelEdit_ = named(new QLineEdit(grpMPSetting_), "LabelEdit");
    labelEdit_->setGeometry(105, 12, 130, 22);
    labelEdit_->setMaxLength(settingKey("Label").max);
    chkFormat_ = checkBox(grpMPSetting_, "chkFormat", "Format", 10, 40, 126);
    chkBlankCheck_ = checkBox(grpMPSetting_, "chkBlankCheck", "Blanking Check", 138, 40, 158);
    chkISOupgrade_ = checkBox(grpMPSetting_, "chkISOupgrade", "Virtual CDROM", 10, 64, 126);
    chkFwUpgrade_ = checkBox(grpMPSetting_, "chkFwUpgrade", "Fw Upgrade", 138, 64, 158);
    chkParityCheck_ = checkBox(grpMPSetting_, "chkParityCheck", "Fw Parity Check", 10, 88, 126);
    checkManuupgrade_ = checkBox(grpMPSetting_, "CheckManuupgrade", "Manual Upgrade", 138, 88, 158);
    systemAreaChk_ = checkBox(grpMPSetting_, "SystemAreachk", "Fix System Area Size", 10, 116, 180);
    systemAreaComBo_ = named(new QComboBox(grpMPSetting_), "SystemAreaComBo");
    systemAreaComBo_->setGeometry(195, 114, 95, 24);
    for (int item = 0; item < kSystemAreaItemCount; ++item) {
        systemAreaComBo_->addItem(QStringLiteral("%1MB").arg(systemAreaItemMiB(item)));
    }
    btnSetup_ = named(new QPushButton(QStringLiteral("Setup ..."), grpMPSetting_), "btnSetup");
    btnSetup_->setGeometry(10, 150, 280, 50);

    grpFileList_ = named(new QGroupBox(QStringLiteral("System files and Pre-copy files:"), page),
                         "grpFileList");
    grpFileList_->setGeometry(5, 262, 300, 214);
    auto* add = named(new QPushButton(QStringLiteral("Add files..."), grpFileList_), "AddFilesBtn");
    add->setGeometry(8, 20, 92, 26);
    auto* remove = named(new QPushButton(QStringLiteral("Remove"), grpFileList_), "RemoveBtn");
    remove->setGeometry(104, 20, 92, 26);
    auto* addDir = named(new QPushButton(QStringLiteral("Add Dir"), grpFileList_), "btnAddDir");
    addDir->setGeometry(200, 20, 92, 26);
    preCopyList_ = named(new QListWidget(grpFileList_), "TntSelectFileList2");
    preCopyList_->setGeometry(8, 52, 284, 154);
    preCopyList_->setSelectionMode(QAbstractItemView::ExtendedSelection);

    QFont bold = font();
    bold.setBold(true);
    labSystemArea_ =
        label(page, "labSystemArea", QStringLiteral("System Area Size:"), QRect(8, 480, 297, 20));
    labSystemArea_->setFont(bold);
    label(page, "labType", QStringLiteral("Disk split:"), QRect(8, 502, 100, 20));
    labDiskFeature_ = label(page, "labDiskFeature", QString(), QRect(110, 502, 195, 20));
    labDiskFeature_->setFont(bold);
    upgradeBtn_ = named(new QPushButton(QStringLiteral("Manul Upgrade"), page), "Upgradebtn");
    upgradeBtn_->setGeometry(8, 526, 297, 44);
    return grpMPSetting_;
}

void MainWindow::buildSlots(QWidget* page) {
    auto* status = named(new QGroupBox(QStringLiteral("Process Status"), page), "grpProcessStatus");
    status->setGeometry(310, 2, 548, 498);
    const QPixmap pass(qtext(station_.folder.resolve("misc/success.bmp").string()));
    const QPixmap fail(qtext(station_.folder.resolve("misc/fail.bmp").string()));
    constexpr int kColumnWidth = 266;
    constexpr int kRowHeight = 118;
    for (int index = 0; index < kSlotCount; ++index) {
        const int slot = index + 1;
        SlotControls& controls = slots_[index];
        // Slots 1 to 4 down the left column, 5 to 8 down the right one.
        const int column = index / 4;
        const int row = index % 4;
        controls.group = new QGroupBox(status);
        controls.group->setObjectName(QStringLiteral("GroupBox%1").arg(slot));
        controls.group->setGeometry(6 + column * (kColumnWidth + 4), 18 + row * (kRowHeight + 1),
                                    kColumnWidth, kRowHeight);
        controls.caption = new QLabel(QStringLiteral("Dev %1:").arg(slot), controls.group);
        controls.caption->setObjectName(slotCaptionName(slot));
        controls.caption->setGeometry(8, 6, 70, 20);
        SlotWidgets& w = controls.widgets;
        w.status = new QLabel(QStringLiteral("Wait..."), controls.group);
        w.status->setObjectName(QStringLiteral("D%1infoStr").arg(slot));
        // Up to the picture's left edge and no further: the picture is never drawn over it.
        w.status->setGeometry(80, 6, 144, 20);
        w.detailP = new QLabel(controls.group);
        w.detailP->setObjectName(QStringLiteral("TextP%1").arg(slot));
        w.detailP->setGeometry(8, 30, 210, 20);
        w.detailF = new QLabel(controls.group);
        w.detailF->setObjectName(QStringLiteral("TextF%1").arg(slot));
        w.detailF->setGeometry(8, 54, 250, 20);
        w.gauge = new QProgressBar(controls.group);
        w.gauge->setObjectName(QStringLiteral("ProgressBar%1").arg(slot));
        w.gauge->setGeometry(8, 84, 250, 20);
        w.gauge->setTextVisible(false);
        showVerdict(*w.gauge, SlotPicture::None);
        w.gauge->setVisible(false);
        w.picture = new QLabel(controls.group);
        w.picture->setObjectName(QStringLiteral("infoImage%1").arg(slot));
        w.picture->setGeometry(226, 4, 32, 24);
        w.picture->setScaledContents(true);
        slotViews_[index] = std::make_unique<QtSlotView>(*ui_, w, pass, fail);
    }
}

void MainWindow::buildLog(QWidget* page) {
    auto* log = named(new QGroupBox(QStringLiteral("Log"), page), "GroupBox16");
    log->setGeometry(310, 504, 548, 66);
    const auto counter = [&](const char* caption, const char* captionName, const char* valueName,
                             int x, const char* colour) {
        QLabel* shown = label(log, captionName, QString::fromLatin1(caption), QRect(x, 26, 80, 24));
        QLabel* value = label(log, valueName, QStringLiteral("0"), QRect(x + 84, 26, 80, 24));
        if (colour != nullptr) {
            const QString sheet = QStringLiteral("color: %1;").arg(QString::fromLatin1(colour));
            shown->setStyleSheet(sheet);
            value->setStyleSheet(sheet);
        }
        return value;
    };
    totalStr_ = counter("Total:", "StaticText10", "TotalStr", 12, nullptr);
    successStr_ = counter("Success:", "StaticText11", "SuccessStr", 190, "blue");
    failStr_ = counter("Fail:", "StaticText12", "FailStr", 368, "red");
    // The record's newest notice (rows held, a file set aside, a server away); all in the tip.
    recordLine_ = label(log, "RecordLine", QString(), QRect(12, 48, 524, 16));
}

void MainWindow::startController() {
    stationView_ =
        std::make_unique<QtStationView>(*ui_, StationWidgets{totalStr_,
                                                             successStr_,
                                                             failStr_,
                                                             {grpMPSetting_, grpFileList_},
                                                             labSystemArea_,
                                                             checkManuupgrade_});
    prompt_ = std::make_unique<QtOperatorPrompt>(*ui_, this);
    std::array<SlotView*, kSlotCount> views{};
    for (int index = 0; index < kSlotCount; ++index) {
        views[index] = slotViews_[index].get();
    }
    assembly_.start({views, stationView_.get(), prompt_.get()}, [](const std::string& reason) {
        std::fprintf(stderr, "corvid: %s\n", reason.c_str());
    });
}

void MainWindow::showSettings() {
    const StationSettings& s = station_.settings;
    labelEdit_->setText(qtext(s.LabelEdit));
    chkFormat_->setChecked(s.chkFormat);
    chkBlankCheck_->setChecked(s.chkBlankCheck);
    chkISOupgrade_->setChecked(s.chkISOupgrade);
    chkFwUpgrade_->setChecked(s.chkFwUpgrade);
    systemAreaChk_->setChecked(s.SystemAreachk);
    chkParityCheck_->setChecked(s.chkParityCheck);
    checkManuupgrade_->setChecked(s.CheckManuupgrade);
    // The combo shows the size the workers use: no item for -1 (no size chosen), never a
    // default item that the setting does not hold.
    systemAreaComBo_->setCurrentIndex(
        s.SystemAreaComBo >= 0 && s.SystemAreaComBo < kSystemAreaItemCount ? s.SystemAreaComBo
                                                                           : -1);
    showPreCopyList();
}

void MainWindow::showPreCopyList() {
    preCopyList_->clear();
    for (const std::string& entry : station_.settings.preCopyList) {
        preCopyList_->addItem(qtext(entry));
    }
}

void MainWindow::connectControls() {
    StationSettings& s = station_.settings;
    const auto keep = [this](QCheckBox* box, bool& value) {
        connect(box, &QCheckBox::toggled, this, [&value](bool on) { value = on; });
    };
    keep(chkFormat_, s.chkFormat);
    keep(chkBlankCheck_, s.chkBlankCheck);
    keep(chkFwUpgrade_, s.chkFwUpgrade);
    keep(chkParityCheck_, s.chkParityCheck);
    connect(chkISOupgrade_, &QCheckBox::toggled, this, [this](bool on) {
        station_.settings.chkISOupgrade = on;
        recomputePicks();
    });
    connect(systemAreaChk_, &QCheckBox::toggled, this, [this](bool on) {
        station_.settings.SystemAreachk = on;
        systemAreaComBo_->setEnabled(on);
        recomputePicks();
    });
    connect(systemAreaComBo_, &QComboBox::currentIndexChanged, this, [this](int index) {
        station_.settings.SystemAreaComBo = index;
        recomputePicks();
    });
    connect(checkManuupgrade_, &QCheckBox::toggled, this, [this](bool on) {
        station_.settings.CheckManuupgrade = on;
        upgradeBtn_->setEnabled(on);
    });
    connect(labelEdit_, &QLineEdit::textEdited, this, &MainWindow::labelEdited);
    connect(upgradeBtn_, &QPushButton::clicked, this, [this] {
        controller().startUpgrade();
        followWorkers();
    });
    connect(findChild<QPushButton*>(QStringLiteral("AddFilesBtn")), &QPushButton::clicked, this,
            &MainWindow::chooseFiles);
    connect(findChild<QPushButton*>(QStringLiteral("RemoveBtn")), &QPushButton::clicked, this,
            &MainWindow::removeSelected);
    connect(findChild<QPushButton*>(QStringLiteral("btnAddDir")), &QPushButton::clicked, this,
            &MainWindow::chooseDirectory);
    for (QRadioButton* button : {langAuto_, langSc_, langTc_, langEng_}) {
        connect(button, &QRadioButton::clicked, this, &MainWindow::languageClicked);
    }
}

void MainWindow::labelEdited(const QString& text) {
    const QString upper = text.toUpper();
    // The runs write the label in the code page of the language: a label that does not fit
    // there would fail every device after its format, so it is refused as it is typed.
    if (const auto refusal = volumeLabelRefusal(upper.toStdString(), iLanguage_, iLanguage_)) {
        labelEdit_->setText(qtext(station_.settings.LabelEdit));
        prompt_->show(*refusal, std::string(fixedText(FixedText::Warning, iLanguage_)),
                      PromptIcon::Warning, PromptButtons::Ok);
        return;
    }
    if (upper != text) {
        const int cursor = labelEdit_->cursorPosition();
        labelEdit_->setText(upper);
        labelEdit_->setCursorPosition(cursor);
    }
    station_.settings.LabelEdit = upper.toStdString();
}

void MainWindow::languageClicked() {
    const LanguageChoice choice = langEng_->isChecked()  ? LanguageChoice::English
                                  : langSc_->isChecked() ? LanguageChoice::SimplifiedChinese
                                  : langTc_->isChecked() ? LanguageChoice::TraditionalChinese
                                                         : LanguageChoice::Auto;
    writeLanguageId(*station_.registry, languageIdOf(choice));
    loadLanguage(choice);
}

void MainWindow::loadLanguage(LanguageChoice choice) {
    LanguageLoadResult loaded = loadStationLanguage(station_.folder, choice, systemDefaultLangId(),
                                                    station_.messages, station_.settings);
    for (const std::string& problem : loaded.problems) {
        std::fprintf(stderr, "corvid: %s\n", problem.c_str());
    }
    iLanguage_ = loaded.iLanguage;
    applyCaptions(loaded.captions);
    // The controller shows its own status texts again in the new language and gives later
    // workers the new index.
    controller().setLanguage(iLanguage_);
}

void MainWindow::applyCaptions(const std::vector<Caption>& captions) {
    // The slots' bars keep their positions: a finished slot's verdict outlives a language change.
    for (const Caption& caption : captions) {
        const QString text = qtext(caption.text);
        if (isSlotStatus(caption.control)) {
            continue;  // the controller shows each slot's state again; an ended run's verdict stays
        }
        if (caption.control == kCaptionWindow) {
            setWindowTitle(text);
        } else if (caption.control == kCaptionApplication) {
            QApplication::setApplicationName(text);
        } else if (caption.control == kCaptionSettingsDialog) {
            settingsDialogCaption_ = text;
            if (settingsDialog_ != nullptr) {
                settingsDialog_->setWindowTitle(text);
            }
        } else if (caption.control == "TabSheet4") {
            pages_->setTabText(pages_->indexOf(page_), text);
        } else if (auto* group = findChild<QGroupBox*>(qtext(caption.control))) {
            group->setTitle(text);
        } else if (auto* button = findChild<QAbstractButton*>(qtext(caption.control))) {
            button->setText(text);
        } else if (auto* shown = findChild<QLabel*>(qtext(caption.control))) {
            shown->setText(text);
        } else {
            std::fprintf(stderr, "corvid: the window has no control %s for its caption\n",
                         caption.control.c_str());
        }
    }
    // An unknown split leaves the disk-feature label as it was; the caption list then has none.
    useQtTranslation();
    // The captions the language file does not carry come from the fixed texts.
    languageGroup_->setTitle(fixedQText(FixedText::Language));
    upgradeBtn_->setText(qtext(station_.messages.text(MessageKey::MenuUpgradeStartStr)));
}

void MainWindow::useQtTranslation() {
    // Qt's own buttons and file dialogs speak the station's language when Debian's translations
    // of Qt are installed; without them they stay English.
    if (qtTranslator_ != nullptr) {
        QCoreApplication::removeTranslator(qtTranslator_);
        delete qtTranslator_;
        qtTranslator_ = nullptr;
    }
    const QString name = iLanguage_ == kLanguageSimplifiedChinese ? QStringLiteral("qtbase_zh_CN")
                         : iLanguage_ == kLanguageTraditionalChinese
                             ? QStringLiteral("qtbase_zh_TW")
                             : QString();
    if (name.isEmpty()) {
        return;
    }
    auto* translator = new QTranslator(this);
    if (!translator->load(name, QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return;
    }
    QCoreApplication::installTranslator(translator);
    qtTranslator_ = translator;
}

bool MainWindow::isSlotStatus(const std::string& control) const {
    return std::any_of(slots_.begin(), slots_.end(), [&](const SlotControls& slot) {
        return slot.widgets.status->objectName() == qtext(control);
    });
}

QString MainWindow::fixedQText(FixedText row) const {
    return QString::fromUtf8(fixedText(row, iLanguage_).data());
}

void MainWindow::recomputePicks() {
    recomputeFirmwarePicks(station_.settings, station_.folder);
    showSystemAreaEstimate();
}

void MainWindow::showSystemAreaEstimate() {
    labSystemArea_->setText(
        qtext(systemAreaEstimateText(station_.messages.text(MessageKey::SystemAreaSizeStr),
                                     systemAreaEstimateMB(station_.settings))));
}

std::optional<SettingsEditResult> MainWindow::editPreCopyList(ListEdit change) {
    SettingsEdit edit;
    edit.preCopy = std::move(change);
    edit.runLanguage = iLanguage_;
    try {
        // The editor reads the multiplier again after additions and recomputes the picks.
        SettingsEditResult result = applySettingsEdit(station_.folder, station_.settings, edit,
                                                      *prompt_, iLanguage_, SettingsSave::AtClose);
        showPreCopyList();
        showSystemAreaEstimate();
        return result;
    } catch (const SettingsError& error) {
        prompt_->show(error.what(), std::string(fixedText(FixedText::Fail, iLanguage_)),
                      PromptIcon::Error, PromptButtons::Ok);
        return std::nullopt;
    }
}

void MainWindow::addFiles(const QStringList& files) {
    ListEdit change;
    for (const QString& file : files) {
        change.add.push_back(file.toStdString());
    }
    const auto result = editPreCopyList(std::move(change));
    if (!result || result->longPaths.empty()) {
        return;
    }
    std::string text(fixedText(FixedText::LengthOfFilepathExceeds128, iLanguage_));
    for (const std::string& path : result->longPaths) {
        text += '\n' + path;
    }
    prompt_->show(text, std::string(fixedText(FixedText::Warning, iLanguage_)), PromptIcon::Error,
                  PromptButtons::Ok);
}

void MainWindow::addDirectory(const QString& folder) {
    ListEdit change;
    change.add.push_back(folder.toStdString());
    if (editPreCopyList(std::move(change))) {
        storeAddDir(*station_.registry, folder.toStdString());
    }
}

void MainWindow::removeSelected() {
    ListEdit change;
    for (int row = 0; row < preCopyList_->count(); ++row) {
        if (preCopyList_->item(row)->isSelected()) {
            change.remove.push_back(static_cast<std::size_t>(row));
        }
    }
    editPreCopyList(std::move(change));
}

void MainWindow::chooseFiles() {
    const QStringList files = QFileDialog::getOpenFileNames(
        this, qtext(station_.messages.text(MessageKey::SelectFileStr)),
        qtext(station_.folder.home().string()));
    if (!files.isEmpty()) {
        addFiles(files);
    }
}

void MainWindow::chooseDirectory() {
    const QString folder =
        QFileDialog::getExistingDirectory(this, QStringLiteral("Select Directory"));
    if (!folder.isEmpty()) {
        addDirectory(folder);
    }
}

void MainWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (shownOnce_) {
        return;
    }
    shownOnce_ = true;
    if (const QScreen* screen = this->screen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - rect().center());
    }
    // The first display's image check opens boxes: from a queued call, never inside a paint.
    QTimer::singleShot(0, this, &MainWindow::firstDisplay);
}

void MainWindow::firstDisplay() {
    showLoadNotes();
    const ImageCheck check = checkImageAtFirstDisplay(
        station_.settings.record,
        [this](const std::string& path) -> std::optional<int> {
            const auto size = ImgReadSize(station_.folder.resolve(path));
            return size ? std::optional<int>(static_cast<int>(*size)) : std::nullopt;
        },
        *prompt_, iLanguage_);
    if (const auto feature = diskFeatureText(station_.settings.record, iLanguage_)) {
        labDiskFeature_->setText(qtext(*feature));
    }
    if (check == ImageCheck::Cleared) {
        Q_EMIT imageCleared();
    }
}

void MainWindow::showLoadNotes() {
    // Values of prefer.ini the station could not take as they were, and entries of the lists it
    // left out: the operator learns what the runs will use instead.
    const SettingsLoadReport& report = station_.settingsReport;
    QStringList notes;
    for (const std::string& note : report.outOfRange) {
        notes << QStringLiteral("misc/prefer.ini: ") + qtext(note);
    }
    for (const std::string& entry : report.droppedPreCopy) {
        notes << QStringLiteral("the pre-copy entry %1 names no readable file; it is left out")
                     .arg(qtext(entry));
    }
    for (const std::string& problem : station_.language.problems) {
        notes << qtext(problem);
    }
    for (const std::string& note : station_.notes) {
        notes << qtext(note);  // files the station starts without: prefer.ini, FSM.bin
    }
    if (notes.isEmpty()) {
        return;
    }
    for (const QString& note : notes) {
        std::fprintf(stderr, "corvid: note: %s\n", note.toUtf8().constData());
    }
    prompt_->show(notes.join(QLatin1Char('\n')).toStdString(),
                  std::string(fixedText(FixedText::Warning, iLanguage_)), PromptIcon::Warning,
                  PromptButtons::Ok);
}

void MainWindow::openSettingsDialog() {
    settingsDialog_->load(iLanguage_);
    settingsDialog_->exec();
}

void MainWindow::settingsApplied() {
    if (const auto feature = diskFeatureText(station_.settings.record, iLanguage_)) {
        labDiskFeature_->setText(qtext(*feature));
    }
    showSystemAreaEstimate();  // the editor has recomputed the picks
}

void MainWindow::drainController() {
    if (draining_) {
        return;  // a box opened by a task runs the event loop; the queue waits for the task
    }
    draining_ = true;
    try {
        controller().runPending(std::chrono::milliseconds(0));
    } catch (const std::exception& error) {
        QMessageBox::critical(this, windowTitle(), QString::fromUtf8(error.what()));
    }
    followWorkers();
    if (StationRecord* record = assembly_.record()) {
        for (const std::string& notice : record->takeNotices()) {
            std::fprintf(stderr, "corvid: %s\n", notice.c_str());
            recordLine_->setText(QString::fromStdString(notice));
            recordLine_->setToolTip(recordLine_->toolTip() + QString::fromStdString(notice) +
                                    QLatin1Char('\n'));
        }
    }
    draining_ = false;
}

void MainWindow::showRecordProblem(const std::string& problem) {
    // One box, not modal: the station goes on producing while the operator reads it, and later
    // notices are added to it.
    if (recordNotice_ == nullptr) {
        recordNotice_ =
            new QMessageBox(QMessageBox::Warning, windowTitle(), QString(), QMessageBox::Ok, this);
        recordNotice_->setObjectName(QStringLiteral("recordNotice"));
        recordNotice_->setModal(false);
    }
    const QString line =
        fixedQText(FixedText::RunsNotRecorded) + QStringLiteral(": ") + qtext(problem);
    recordNotice_->setText(recordNotice_->isVisible() && !recordNotice_->text().isEmpty()
                               ? recordNotice_->text() + QLatin1Char('\n') + line
                               : line);
    recordNotice_->show();
}

void MainWindow::followWorkers() {
    // A worker reads the settings and the pre-copy list without a lock from its start: the
    // groups close in the same UI-thread turn that started it, not at its first status.
    const bool idle = controller().runningWorkers() == 0;
    for (QGroupBox* group : {grpMPSetting_, grpFileList_}) {
        if (group->isEnabled() != idle) {
            group->setEnabled(idle);
        }
    }
}

void MainWindow::listen() {
    assembly_.listen(kAllDriveLetters, [this](const std::string& reason) {
        const QString text = QString::fromUtf8(reason.c_str());
        ui_->post([this, text] {
            QMessageBox::critical(this, windowTitle(), text.left(1).toUpper() + text.mid(1) + '.');
        });
    });
}

void MainWindow::endWhenIdle() {
    controller().stopTakingDevices();
    if (controller().runningWorkers() == 0) {
        close();
    }
}

void MainWindow::endRunsAndWait() {
    controller().stopTakingDevices();
    controller().endRunningWorkers();
    while (controller().runningWorkers() > 0) {
        QApplication::processEvents(QEventLoop::AllEvents, 50);
        drainController();
    }
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (closing_) {
        event->ignore();  // already closing: the runs are being ended
        return;
    }
    if (controller().runningWorkers() > 0) {
        // No is the default: Enter must not end production.
        const auto answer = QMessageBox::question(
            this, windowTitle(),
            fixedQText(FixedText::CloseWhileInProduction).arg(controller().runningWorkers()),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes) {
            event->ignore();
            return;
        }
    }
    closing_ = true;
    assembly_.stopListening();
    endRunsAndWait();
    saveSettingsAtClose();
    event->accept();
}

void MainWindow::saveSettingsAtClose() {
    for (;;) {
        try {
            saveStationSettings(station_.folder, station_.settings);
            return;
        } catch (const std::exception& error) {
            // The settings live only in this window now: the operator decides whether they go.
            QMessageBox box(QMessageBox::Critical, windowTitle(),
                            fixedQText(FixedText::SettingsNotSaved) + QStringLiteral(": ") +
                                QString::fromUtf8(error.what()) + QLatin1Char('\n') +
                                fixedQText(FixedText::RetryOrCloseWithoutSaving),
                            QMessageBox::Retry | QMessageBox::Discard, this);
            box.setObjectName(QStringLiteral("settingsNotSaved"));
            box.setDefaultButton(QMessageBox::Retry);
            if (box.exec() != QMessageBox::Retry) {
                return;
            }
        }
    }
}

}  // namespace corvid::gui
