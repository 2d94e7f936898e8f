#include "gui/settings_dialog.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <filesystem>
#include <system_error>

#include "image/image_file.h"
#include "station/messages.h"
#include "station/setting_keys.h"
#include "station/settings_editor.h"

namespace corvid::gui {

namespace {

const QPoint kSwitchedGroupAt(16, 88);

template <typename W>
W* named(W* widget, const char* name, QRect where) {
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(where);
    return widget;
}

std::optional<std::uint32_t> imageSizeMb(const QString& path) {
    if (path.isEmpty()) {
        return std::nullopt;
    }
    std::error_code error;
    const std::filesystem::path file(path.toStdString());
    if (!std::filesystem::is_regular_file(file, error)) {
        return std::nullopt;
    }
    return ImgReadSize(file);
}

QStringList itemsOf(const QListWidget& list) {
    QStringList items;
    for (int row = 0; row < list.count(); ++row) {
        items << list.item(row)->text();
    }
    return items;
}

// A spin box that takes the values of a prefer.ini key, as the table of keys gives them.
void takeRange(QSpinBox& box, std::string_view key) {
    const SettingKey& range = settingKey(key);
    box.setRange(range.min, range.max);
}

FileList fileListOf(const QListWidget& list) {
    FileList entries;
    for (const QString& item : itemsOf(list)) {
        entries.push_back(item.toStdString());
    }
    return entries;
}

void removeSelected(QListWidget& list) {
    for (int row = list.count() - 1; row >= 0; --row) {
        if (list.item(row)->isSelected()) {
            delete list.takeItem(row);
        }
    }
}

}  // namespace

SettingsDialog::SettingsDialog(StationSetup& station, OperatorPrompt& prompt,
                               std::function<int()> runningWorkers, QWidget* parent)
    : QDialog(parent),
      station_(station),
      prompt_(prompt),
      runningWorkers_(std::move(runningWorkers)) {
    setObjectName(QStringLiteral("TfrmSetting"));
    setModal(true);
    setFixedSize(520, 470);
    build();
}

void SettingsDialog::build() {
    pages_ = named(new QTabWidget(this), "pgeSetting", QRect(0, 0, 520, 420));
    devicePage_ = buildDevicePage();
    pages_->addTab(devicePage_, QString());
    pages_->addTab(buildFlashPage(), QString());
    pages_->addTab(buildSpiPage(), QString());
    pages_->addTab(buildFactoryPage(), QString());
    auto* apply = named(new QPushButton(this), "btnApply", QRect(300, 430, 100, 30));
    auto* cancel = named(new QPushButton(this), "btnCancel", QRect(410, 430, 100, 30));
    // Enter applies from any box (never "Add Files"); Escape cancels, as QDialog does.
    apply->setDefault(true);
    for (QPushButton* button : findChildren<QPushButton*>()) {
        button->setAutoDefault(button == apply);
    }
    connect(apply, &QPushButton::clicked, this, [this] { this->apply(); });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

QWidget* SettingsDialog::buildDevicePage() {
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("tabDeviceSetting"));
    auto* split = named(new QGroupBox(page), "grpDiskSplit", QRect(8, 6, 496, 50));
    normal_ = named(new QRadioButton(split), "rdoNormalDisk", QRect(10, 22, 150, 20));
    encrypted_ = named(new QRadioButton(split), "rdoEncryptDisk", QRect(170, 22, 160, 20));
    hidden_ = named(new QRadioButton(split), "rdoHideDisk", QRect(340, 22, 150, 20));
    for (QRadioButton* button : {normal_, encrypted_, hidden_}) {
        connect(button, &QRadioButton::clicked, this, &SettingsDialog::splitClicked);
    }

    hideGroup_ = named(new QGroupBox(page), "grpHideDisk", QRect(8, 60, 496, 320));
    named(new QLabel(hideGroup_), "lblHideRatio", QRect(16, 24, 90, 20));
    ratio_ = named(new QSlider(Qt::Horizontal, hideGroup_), "tbarHideDiskRatio",
                   QRect(110, 20, 280, 26));
    ratio_->setMinimum(settingKey("iHideDiskRatio").min);
    ratio_->setTickInterval(10);
    ratio_->setTickPosition(QSlider::TicksBelow);
    ratioText_ = named(new QLineEdit(hideGroup_), "edtEncryptRatio", QRect(400, 22, 60, 22));
    ratioText_->setReadOnly(true);
    (new QLabel(QStringLiteral("%"), hideGroup_))->setGeometry(464, 24, 20, 20);
    connect(ratio_, &QSlider::valueChanged, this, &SettingsDialog::showRatio);
    auto* source = new QButtonGroup(this);
    useList_ = named(new QRadioButton(hideGroup_), "rdoUseListFile", QRect(16, 56, 200, 20));
    useImage_ = named(new QRadioButton(hideGroup_), "rdoUseImgFile", QRect(230, 56, 200, 20));
    source->addButton(useList_);
    source->addButton(useImage_);
    connect(useList_, &QRadioButton::clicked, this, &SettingsDialog::sourceClicked);
    connect(useImage_, &QRadioButton::clicked, this, &SettingsDialog::sourceClicked);

    hiddenFiles_ = named(new QGroupBox(hideGroup_), "grpHiddenFiles",
                         QRect(kSwitchedGroupAt, QSize(470, 224)));
    named(new QLabel(hiddenFiles_), "lblDiskLabel", QRect(10, 22, 90, 20));
    diskLabel_ = named(new QLineEdit(hiddenFiles_), "edtDiskLabel", QRect(104, 20, 120, 22));
    diskLabel_->setMaxLength(settingKey("sHideDiskLabel").max);
    connect(diskLabel_, &QLineEdit::textEdited, this, [this](const QString& text) {
        if (text != text.toUpper()) {
            const int cursor = diskLabel_->cursorPosition();
            diskLabel_->setText(text.toUpper());
            diskLabel_->setCursorPosition(cursor);
        }
    });
    hideList_ = named(new QListWidget(hiddenFiles_), "TntlstHideFiles", QRect(10, 50, 340, 164));
    auto* addFile = named(new QPushButton(hiddenFiles_), "btnAddFile", QRect(360, 50, 100, 28));
    auto* addDir = named(new QPushButton(hiddenFiles_), "btnAddDir", QRect(360, 84, 100, 28));
    auto* remove = named(new QPushButton(hiddenFiles_), "btnRemove", QRect(360, 118, 100, 28));
    connect(addFile, &QPushButton::clicked, this, &SettingsDialog::addHiddenFiles);
    connect(addDir, &QPushButton::clicked, this, &SettingsDialog::addHiddenFolder);
    connect(remove, &QPushButton::clicked, this, [this] { removeSelected(*hideList_); });

    imageGroup_ =
        named(new QGroupBox(hideGroup_), "grpImgFile", QRect(kSwitchedGroupAt, QSize(470, 120)));
    named(new QLabel(imageGroup_), "lblImgDiskSize", QRect(10, 24, 130, 20));
    imageSize_ = named(new QLabel(imageGroup_), "lblImgSizeMB", QRect(144, 24, 100, 20));
    imageFile_ = named(new QLineEdit(imageGroup_), "edtImgFile", QRect(10, 54, 380, 24));
    imageFile_->setReadOnly(true);
    auto* browse = named(new QPushButton(QStringLiteral("..."), imageGroup_), "btnBrowseImg",
                         QRect(396, 54, 60, 24));
    auto* create = named(new QPushButton(imageGroup_), "btnShowImgTool", QRect(10, 86, 120, 26));
    connect(browse, &QPushButton::clicked, this, &SettingsDialog::browseImage);
    connect(create, &QPushButton::clicked, this, &SettingsDialog::imageToolRequested);
    return page;
}

QWidget* SettingsDialog::buildFlashPage() {
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("tabFlashSetting"));
    auto* blank = named(new QGroupBox(page), "grpBlankCheck", QRect(8, 6, 496, 200));
    const auto row = [&](const char* labelName, int y) {
        named(new QLabel(blank), labelName, QRect(12, y, 190, 22));
    };
    row("lblScanLevel", 24);
    scanLevel_ = named(new QComboBox(blank), "cboScanLevel", QRect(210, 22, 160, 24));
    row("lblPageSkip", 54);
    pageSkip_ = named(new QComboBox(blank), "cboPageSkip", QRect(210, 52, 160, 24));
    connect(pageSkip_, &QComboBox::activated, this, &SettingsDialog::pageSkipPicked);
    row("lblECCLevel", 84);
    ecc_ = named(new QComboBox(blank), "cboECC", QRect(210, 82, 160, 24));
    // Two lines in Chinese: the label has the height of both.
    named(new QLabel(blank), "lblBadThreshold", QRect(12, 106, 190, 38));
    badThreshold_ = named(new QSpinBox(blank), "UpDownBadThreshold", QRect(210, 112, 70, 24));
    takeRange(*badThreshold_, "iBadThreshold");
    (new QLabel(QStringLiteral("%"), blank))->setGeometry(284, 114, 20, 22);
    pageScan_ = named(new QCheckBox(blank), "chkPageScan", QRect(12, 148, 190, 22));
    pageMode_ = named(new QComboBox(blank), "cboPageMode", QRect(210, 146, 160, 24));
    connect(pageScan_, &QCheckBox::toggled, pageMode_, &QComboBox::setEnabled);

    auto* rule = named(new QGroupBox(page), "grpCapacityRule", QRect(8, 212, 496, 150));
    named(new QLabel(rule), "lblAllowCapError", QRect(12, 26, 190, 22));
    capError_ = named(new QSpinBox(rule), "UpDownCapError", QRect(210, 24, 70, 24));
    takeRange(*capError_, "AllowErrorRate");
    (new QLabel(QStringLiteral("%"), rule))->setGeometry(284, 26, 20, 22);
    auto* deal = named(new QGroupBox(rule), "grpCapErrorDeal", QRect(12, 60, 470, 76));
    degrade_ = named(new QRadioButton(deal), "rdoDegrade", QRect(10, 30, 140, 22));
    showFail_ = named(new QRadioButton(deal), "rdoCapShowFail", QRect(160, 30, 140, 22));
    doNotCare_ = named(new QRadioButton(deal), "rdoDonotCare", QRect(310, 30, 150, 22));
    return page;
}

QWidget* SettingsDialog::buildSpiPage() {
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("tabSpiSetting"));
    saveSpiImage_ = named(new QCheckBox(page), "chkSaveSpiImage", QRect(12, 10, 300, 22));
    auto* files = named(new QGroupBox(page), "grpSpiHiddenFile", QRect(8, 40, 496, 330));
    spiList_ = named(new QListWidget(files), "TntlstSpiFiles", QRect(10, 24, 360, 296));
    auto* add = named(new QPushButton(files), "btnAddSpiFile", QRect(380, 24, 100, 28));
    auto* remove = named(new QPushButton(files), "btnRmvSpiFile", QRect(380, 58, 100, 28));
    connect(add, &QPushButton::clicked, this, &SettingsDialog::addSpiFiles);
    connect(remove, &QPushButton::clicked, this, [this] { removeSelected(*spiList_); });
    return page;
}

QWidget* SettingsDialog::buildFactoryPage() {
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("tabFactorSet"));
    named(new QLabel(page), "lblCapMultiplier", QRect(12, 14, 200, 22));
    // Beside its caption, never over it.
    moduleNo_ = named(new QComboBox(page), "cboFlashModuleNo", QRect(220, 12, 100, 24));
    for (int multiplier : kCapMultipliers) {
        moduleNo_->addItem(QString::number(multiplier));
    }
    moduleNoPanel_ = named(new QWidget(page), "pnlFlashModuleNo", QRect(12, 40, 300, 40));
    return page;
}

void SettingsDialog::setCaptions() {
    const auto fixed = [this](FixedText row) {
        return QString::fromUtf8(fixedText(row, language_).data(),
                                 static_cast<qsizetype>(fixedText(row, language_).size()));
    };
    const auto caption = [&](const char* name, FixedText row) {
        QWidget* widget = findChild<QWidget*>(QString::fromLatin1(name));
        if (auto* group = qobject_cast<QGroupBox*>(widget)) {
            group->setTitle(fixed(row));
        } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
            button->setText(fixed(row));
        } else if (auto* shown = qobject_cast<QLabel*>(widget)) {
            shown->setText(fixed(row));
        }
    };
    caption("btnApply", FixedText::Apply);
    caption("btnCancel", FixedText::Cancel);
    pages_->setTabText(0, fixed(FixedText::DeviceSetting));
    pages_->setTabText(1, fixed(FixedText::FlashSetting));
    pages_->setTabText(2, fixed(FixedText::NorFlashSetting));
    pages_->setTabText(3, fixed(FixedText::FactorySetting));
    caption("grpDiskSplit", FixedText::DiskSplit);
    caption("rdoNormalDisk", FixedText::Normal);
    caption("rdoEncryptDisk", FixedText::EncryptedDisk);
    caption("rdoHideDisk", FixedText::HiddenDisk);
    caption("grpHideDisk", FixedText::HiddenOrEncryptDisk);
    caption("lblHideRatio", FixedText::DiskRatio);
    caption("rdoUseListFile", FixedText::ManualAddFiles);
    caption("rdoUseImgFile", FixedText::UseImageFile);
    caption("grpHiddenFiles", FixedText::HiddenFiles);
    caption("lblDiskLabel", FixedText::DiskLabel);
    caption("btnAddFile", FixedText::AddFiles);
    caption("btnAddDir", FixedText::AddDir);
    caption("btnRemove", FixedText::Remove);
    caption("grpImgFile", FixedText::ImageFile);
    caption("lblImgDiskSize", FixedText::ImageDiskSize);
    caption("btnShowImgTool", FixedText::Create);
    caption("grpBlankCheck", FixedText::BlankCheck);
    caption("lblScanLevel", FixedText::ScanLevel);
    caption("lblPageSkip", FixedText::PageSkip);
    caption("lblECCLevel", FixedText::PermitEcc);
    caption("lblBadThreshold", FixedText::BadBlockRateThreshold);
    caption("chkPageScan", FixedText::SpecialScan);
    caption("grpCapacityRule", FixedText::CapacityRule);
    caption("lblAllowCapError", FixedText::AllowCapacityError);
    caption("grpCapErrorDeal", FixedText::DealWithUnsatisfying);
    caption("rdoDegrade", FixedText::Degrade);
    caption("rdoCapShowFail", FixedText::ShowError);
    caption("rdoDonotCare", FixedText::DoNotCare);
    caption("chkSaveSpiImage", FixedText::SaveFlashImage);
    caption("grpSpiHiddenFile", FixedText::HiddenFilesInNorFlash);
    caption("btnAddSpiFile", FixedText::AddFiles);
    caption("btnRmvSpiFile", FixedText::Remove);
    caption("lblCapMultiplier", FixedText::FlashModuleNo);
}

void SettingsDialog::load(int language) {
    language_ = language;
    const SETTING_T& r = station_.settings.record;
    setCaptions();

    moduleNo_->show();
    moduleNoPanel_->hide();
    moduleNo_->setCurrentIndex(r.CapMultiplier);

    const auto fill = [&](QComboBox* box, OptionTable table) {
        box->clear();
        for (int row = 0; row < optionRowCount(table); ++row) {
            box->addItem(QString::fromStdString(std::string(optionName(table, row, language_))));
        }
    };
    fill(scanLevel_, OptionTable::ScanLevels);
    // A stored level above 3, negative ones too (taken as unsigned), shows as the last level.
    scanLevel_->setCurrentIndex(static_cast<unsigned>(r.iScanLevel) > 3 ? 4 : r.iScanLevel);
    pages_->setCurrentWidget(devicePage_);

    pageSkip_->clear();
    for (int pages = 0; pages <= settingKey("iPageSkip").max; ++pages) {  // item i is i pages
        pageSkip_->addItem(QString::number(pages));
    }
    pageSkip_->setCurrentIndex(r.iPageSkip);
    // Item 0 is the flash's own level, item n the level n - 1.
    ecc_->clear();
    ecc_->addItem(QString::fromStdString(std::string(fixedText(FixedText::Default, language_))));
    for (int item = 1; item <= settingKey("iEccLevel").max; ++item) {
        ecc_->addItem(QString::number(item - 1));
    }
    ecc_->setCurrentIndex(r.iEccLevel);
    fill(pageMode_, OptionTable::PageModes);
    pageMode_->setCurrentIndex(r.PageModeSel);
    pageScan_->setChecked(r.PageMode);
    pageMode_->setEnabled(r.PageMode);
    badThreshold_->setValue(r.iBadThreshold);  // the box brings it into its range

    (r.bUseImgFile ? useImage_ : useList_)->setChecked(true);
    imageFile_->setText(QString::fromStdString(r.ImageFile));
    sourceClicked();
    // The maximum first: a stored 100 must not come back as 95 before the split is known.
    ratio_->setMaximum(settingKey("iHideDiskRatio").max);
    ratio_->setValue(r.iHideDiskRatio);
    diskLabel_->setText(QString::fromStdString(r.sHideDiskLabel));

    std::error_code error;
    hideList_->clear();
    for (const std::string& entry : r.HideFileList) {
        if (std::filesystem::exists(station_.folder.resolve(entry), error)) {
            hideList_->addItem(QString::fromStdString(entry));
        }
    }
    spiList_->clear();
    for (const std::string& entry : r.SpiFileList) {
        if (std::filesystem::is_regular_file(station_.folder.resolve(entry), error)) {
            spiList_->addItem(QString::fromStdString(entry));
        }
    }
    (r.eDeviceFeature == DeviceFeature::Hidden      ? hidden_
     : r.eDeviceFeature == DeviceFeature::Encrypted ? encrypted_
                                                    : normal_)
        ->setChecked(true);
    splitClicked();
    capError_->setValue(r.AllowErrorRate);
    (r.DealCapError == CapErrorDeal::Degrade     ? degrade_
     : r.DealCapError == CapErrorDeal::ShowError ? showFail_
                                                 : doNotCare_)
        ->setChecked(true);
    saveSpiImage_->setChecked(r.SaveSpiImage);
}

void SettingsDialog::setImagePath(const QString& path) {
    imageFile_->setText(path);
    showImageSize(path);
}

void SettingsDialog::showImageSize(const QString& path) {
    // No image, no size: an old size never stays beside another path.
    const auto size = imageSizeMb(path);
    imageSize_->setText(size ? QStringLiteral("%1MB").arg(*size) : QString());
}

void SettingsDialog::splitClicked() {
    if (normal_->isChecked()) {
        hideGroup_->hide();
        return;
    }
    hideGroup_->show();
    // A hidden disk takes at most 95 percent; a larger position is brought down to it.
    ratio_->setMaximum(hidden_->isChecked() ? kHiddenDiskMaxRatio
                                            : settingKey("iHideDiskRatio").max);
    showRatio(ratio_->value());
}

void SettingsDialog::showRatio(int position) {
    ratioText_->setText(QString::number(position));
}

void SettingsDialog::sourceClicked() {
    const bool image = useImage_->isChecked();
    QGroupBox* shown = image ? imageGroup_ : hiddenFiles_;
    shown->move(kSwitchedGroupAt);
    shown->show();
    (image ? hiddenFiles_ : imageGroup_)->hide();
    if (image) {
        const std::string current = imageFile_->text().toStdString();
        showImageSize(current.empty()
                          ? QString()
                          : QString::fromStdString(station_.folder.resolve(current).string()));
    }
}

void SettingsDialog::pageSkipPicked(int index) {
    // Only the operator's pick warns; loading a stored value does not.
    if (index >= 1) {
        prompt_.show(
            std::string(fixedText(FixedText::SkipPageModeMayCouseFlashUnstable, language_)),
            std::string(fixedText(FixedText::Warning, language_)), PromptIcon::Warning,
            PromptButtons::Ok);
    }
}

void SettingsDialog::refuse(const QString& text, const QString& caption) {
    prompt_.show(text.toStdString(), caption.toStdString(), PromptIcon::Error, PromptButtons::Ok);
}

void SettingsDialog::browseImage() {
    const QString path = QFileDialog::getOpenFileName(
        this, QString(), QString::fromStdString(station_.folder.home().string()),
        QStringLiteral("Image File *.IMG (*.IMG *.img)"));
    if (path.isEmpty()) {
        return;
    }
    if (!imageSizeMb(path)) {
        refuse(QString::fromStdString(std::string(fixedText(FixedText::InvalidImgFile, language_))),
               QString::fromStdString(std::string(fixedText(FixedText::Fail, language_))));
        return;
    }
    setImagePath(path);
}

void SettingsDialog::addHiddenFiles() {
    hideList_->addItems(QFileDialog::getOpenFileNames(this));
}

void SettingsDialog::addHiddenFolder() {
    const QString folder =
        QFileDialog::getExistingDirectory(this, QStringLiteral("Select Directory"));
    if (!folder.isEmpty()) {
        hideList_->addItem(folder);
    }
}

void SettingsDialog::addSpiFiles() {
    spiList_->addItems(QFileDialog::getOpenFileNames(this, QString(), QString(),
                                                     QStringLiteral("All File Format(*.*)")));
}

bool SettingsDialog::apply() {
    const QString failCaption =
        QString::fromStdString(std::string(fixedText(FixedText::Fail, language_)));
    if (const int running = runningWorkers_(); running > 0) {
        refuse(QString::fromUtf8(fixedText(FixedText::ApplyRefusedInProduction, language_).data())
                   .arg(running),
               failCaption);
        return false;
    }
    const bool split = !normal_->isChecked();
    if (useImage_->isChecked() && split &&
        !imageSizeMb(QString::fromStdString(
            station_.folder.resolve(imageFile_->text().toStdString()).string()))) {
        refuse(QString::fromStdString(std::string(fixedText(FixedText::InvalidImgFile, language_))),
               failCaption);
        pages_->setCurrentWidget(devicePage_);
        imageFile_->setFocus();
        return false;
    }

    SettingsEdit edit;
    const auto value = [&](const char* key, const QString& text) {
        edit.values.emplace_back(key, text.toStdString());
    };
    const auto number = [&](const char* key, int n) { value(key, QString::number(n)); };
    // A list without a choice (a stored value outside its items) leaves that setting as it is.
    const auto choice = [&](const char* key, const QComboBox* box) {
        if (box->currentIndex() >= 0) {
            number(key, box->currentIndex());
        }
    };
    choice("CapMultiplier", moduleNo_);
    choice("iScanLevel", scanLevel_);
    choice("iPageSkip", pageSkip_);  // item i is i pages
    choice("iEccLevel", ecc_);
    number("iBadThreshold", badThreshold_->value());
    number("eDeviceFeature", hidden_->isChecked() ? 2 : encrypted_->isChecked() ? 1 : 0);
    if (split) {
        number("iHideDiskRatio", ratio_->value());
        value("sHideDiskLabel", diskLabel_->text());
    }
    edit.hidden.replace = fileListOf(*hideList_);
    edit.spi.replace = fileListOf(*spiList_);
    number("bUseImgFile", useImage_->isChecked() ? 1 : 0);
    value("ImageFile", imageFile_->text());
    number("AllowErrorRate", capError_->value());
    number("DealCapError", showFail_->isChecked() ? 1 : degrade_->isChecked() ? 0 : 2);
    number("PageMode", pageScan_->isChecked() ? 1 : 0);
    choice("PageModeSel", pageMode_);
    number("SaveSpiImage", saveSpiImage_->isChecked() ? 1 : 0);
    try {
        // Every value is checked before any is taken; the firmware file is written last.
        applySettingsEdit(station_.folder, station_.settings, edit, prompt_, language_,
                          SettingsSave::AtClose);
    } catch (const SettingsError& error) {
        refuse(QString::fromUtf8(error.what()), failCaption);
        return false;
    }
    Q_EMIT applied();
    accept();
    return true;
}

}  // namespace corvid::gui
