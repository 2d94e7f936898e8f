#include "gui/image_tool.h"

#include <cstdio>

#include <QCloseEvent>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <exception>
#include <system_error>

#include "gui/ui_dispatcher.h"
#include "platform/ini_file.h"
#include "station/image_tool_messages.h"
#include "station/messages.h"
#include "station/settings_files.h"

namespace corvid::gui {

namespace {

constexpr char kDiskSection[] = "DISK";
constexpr char kFilesSection[] = "HIDE_FILES";
constexpr char kDefaultLabel[] = "PASS WD";
constexpr int kDefaultPosition = 8;
constexpr int kMinPosition = static_cast<int>(kImageMinSizeMb / kImageSizeStepMb);  // 4
constexpr int kMaxPosition = static_cast<int>(kImageMaxSizeMb / kImageSizeStepMb);  // 256
constexpr int kTickMs = 1000;

template <typename W>
W* named(W* widget, const char* name, QRect where) {
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(where);
    return widget;
}

QString fixed(FixedText row, int language) {
    return QString::fromStdString(std::string(fixedText(row, language)));
}

ShortNameCodePage codePageOf(int language) {
    if (language == kLanguageSimplifiedChinese) {
        return CodePage::Gbk;
    }
    if (language == kLanguageTraditionalChinese) {
        return CodePage::Big5;
    }
    return std::nullopt;
}

}  // namespace

ImageTool::ImageTool(const StationFolder& folder, OperatorPrompt& prompt, QWidget* parent)
    : QDialog(parent), folder_(folder), prompt_(prompt), ui_(new UiDispatcher(this)) {
    setObjectName(QStringLiteral("TfrmIsoMain"));
    setModal(true);
    setFixedSize(470, 400);
    named(new QLabel(this), "lblDiskLabel", QRect(12, 14, 110, 22));
    label_ = named(new QLineEdit(this), "edtDiskLabel", QRect(130, 12, 120, 24));
    label_->setMaxLength(static_cast<int>(kImageLabelMaxCharacters));
    connect(label_, &QLineEdit::textEdited, this, [this](const QString& text) {
        if (text != text.toUpper()) {
            const int cursor = label_->cursorPosition();
            label_->setText(text.toUpper());
            label_->setCursorPosition(cursor);
        }
    });
    named(new QLabel(this), "lblDiskSize", QRect(12, 46, 110, 22));
    size_ = named(new QSlider(Qt::Horizontal, this), "tbarHideDiskRatio", QRect(130, 44, 220, 26));
    size_->setRange(kMinPosition, kMaxPosition);
    size_->setTickInterval(10);
    size_->setTickPosition(QSlider::TicksBelow);
    sizeText_ = named(new QLineEdit(this), "edtDiskSize", QRect(356, 44, 60, 24));
    sizeText_->setReadOnly(true);
    (new QLabel(QStringLiteral("MB"), this))->setGeometry(420, 46, 30, 22);
    connect(size_, &QSlider::valueChanged, this, [this](int position) {
        // 64-bit, as every size of the build: 2048 MB in sectors overflows 32 bits.
        sizeText_->setText(QString::number(static_cast<qint64>(position) * kImageSizeStepMb));
    });

    auto* files = named(new QGroupBox(this), "grpHiddenFiles", QRect(8, 76, 454, 250));
    list_ = named(new QListWidget(files), "TntlstHideFiles", QRect(10, 24, 320, 216));
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    auto* addFile = named(new QPushButton(files), "btnAddFile", QRect(340, 24, 104, 28));
    auto* addDir = named(new QPushButton(files), "btnAddDir", QRect(340, 58, 104, 28));
    auto* remove = named(new QPushButton(files), "btnRemove", QRect(340, 92, 104, 28));
    connect(addFile, &QPushButton::clicked, this,
            [this] { list_->addItems(QFileDialog::getOpenFileNames(this)); });
    connect(addDir, &QPushButton::clicked, this, [this] {
        const QString folder =
            QFileDialog::getExistingDirectory(this, QStringLiteral("Select Directory"));
        if (!folder.isEmpty()) {
            list_->addItem(folder);
        }
    });
    connect(remove, &QPushButton::clicked, this, [this] {
        for (int row = list_->count() - 1; row >= 0; --row) {
            if (list_->item(row)->isSelected()) {
                delete list_->takeItem(row);
            }
        }
    });
    create_ = named(new QPushButton(this), "btnCreateImg", QRect(12, 336, 150, 32));
    // Enter anywhere in the tool means Create Image, never a file picker of the list.
    create_->setDefault(true);
    for (QPushButton* button : {addFile, addDir, remove}) {
        button->setAutoDefault(false);
    }
    connect(create_, &QPushButton::clicked, this, &ImageTool::chooseOutput);
    bar_ = named(new QProgressBar(this), "ProgressBar1", QRect(172, 340, 288, 24));
    bar_->setRange(0, 100);
    bar_->setTextVisible(false);
    bar_->hide();
    timer_ = new QTimer(this);
    timer_->setObjectName(QStringLiteral("Timer1"));
    timer_->setInterval(kTickMs);
    // The bar shows that the build works, not how far it is.
    connect(timer_, &QTimer::timeout, this,
            [this] { bar_->setValue(bar_->value() >= 100 ? 0 : bar_->value() + 10); });
    setLanguage(kLanguageEnglish);
    restore();
}

ImageTool::~ImageTool() {
    if (worker_.joinable()) {
        worker_.join();  // a build cannot be left running into a tool that is gone
    }
    ui_->close();
}

void ImageTool::setLanguage(int language) {
    language_ = language;
    setWindowTitle(fixed(FixedText::CreateImage, language));
    findChild<QLabel*>(QStringLiteral("lblDiskLabel"))
        ->setText(fixed(FixedText::DiskLabel, language));
    findChild<QLabel*>(QStringLiteral("lblDiskSize"))
        ->setText(fixed(FixedText::ImageDiskSize, language));
    findChild<QGroupBox*>(QStringLiteral("grpHiddenFiles"))
        ->setTitle(fixed(FixedText::HiddenFiles, language));
    findChild<QPushButton*>(QStringLiteral("btnAddFile"))
        ->setText(fixed(FixedText::AddFiles, language));
    findChild<QPushButton*>(QStringLiteral("btnAddDir"))
        ->setText(fixed(FixedText::AddDir, language));
    findChild<QPushButton*>(QStringLiteral("btnRemove"))
        ->setText(fixed(FixedText::Remove, language));
    create_->setText(fixed(FixedText::CreateImage, language));
}

void ImageTool::restore() {
    label_->setText(QString::fromLatin1(kDefaultLabel));
    size_->setValue(kDefaultPosition);
    list_->clear();
    try {
        const IniFile ini(folder_.misc() / "ImgTool.ini");
        label_->setText(
            QString::fromStdString(ini.readString(kDiskSection, "Label", kDefaultLabel)));
        size_->setValue(std::clamp(ini.readInt(kDiskSection, "DiskSize", kDefaultPosition),
                                   kMinPosition, kMaxPosition));
        std::error_code error;
        const auto listFile = folder_.misc() / "isoseting.ini";
        if (std::filesystem::exists(listFile, error)) {
            for (const std::string& entry : readListFile(listFile)) {
                if (std::filesystem::exists(folder_.resolve(entry), error)) {
                    list_->addItem(QString::fromStdString(entry));
                }
            }
        }
    } catch (const std::exception& failure) {
        // A damaged file of the tool does not stop the station: the tool starts with an empty
        // list and says why at start and when it opens.
        list_->clear();
        restoreProblem_ = QString::fromUtf8(failure.what()) +
                          QStringLiteral("; the image tool's file list starts empty");
        std::fprintf(stderr, "corvid: %s\n", restoreProblem_.toUtf8().constData());
    }
    sizeText_->setText(QString::number(static_cast<qint64>(size_->value()) * kImageSizeStepMb));
}

void ImageTool::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!restoreProblem_.isEmpty()) {
        const std::string problem = restoreProblem_.toStdString();
        restoreProblem_.clear();
        QTimer::singleShot(0, this, [this, problem] {
            prompt_.show(problem, std::string(fixedText(FixedText::Warning, language_)),
                         PromptIcon::Warning, PromptButtons::Ok);
        });
    }
}

bool ImageTool::save() {
    std::error_code error;
    std::filesystem::create_directories(folder_.misc(), error);
    if (error) {
        prompt_.show("Create misc dir fail!", "ERROR", PromptIcon::Error, PromptButtons::Ok);
        return false;
    }
    FileList entries;
    std::vector<std::pair<std::string, std::string>> keys;
    for (int row = 0; row < list_->count(); ++row) {
        entries.push_back(list_->item(row)->text().toStdString());
        keys.emplace_back("files" + std::to_string(row), entries.back());
    }
    try {
        writeListFile(folder_.misc() / "isoseting.ini", entries);
        IniFile ini(folder_.misc() / "ImgTool.ini");
        ini.writeString(kDiskSection, "Label", label_->text().toStdString());
        ini.writeInt(kDiskSection, "DiskSize", size_->value());
        ini.eraseSection(kFilesSection);
        if (!keys.empty()) {
            ini.writeStrings(kFilesSection, keys);
        }
    } catch (const std::exception& failure) {
        prompt_.show(failure.what(), "ERROR", PromptIcon::Error, PromptButtons::Ok);
        return false;
    }
    return true;
}

void ImageTool::setBuilding(bool building) {
    building_ = building;
    for (const char* name : {"btnCreateImg", "btnAddDir", "btnAddFile", "btnRemove"}) {
        findChild<QPushButton*>(QString::fromLatin1(name))->setEnabled(!building);
    }
    size_->setEnabled(!building);
    label_->setEnabled(!building);
    bar_->setVisible(building);
    bar_->setValue(0);
    if (building) {
        timer_->start();
    } else {
        timer_->stop();
    }
}

void ImageTool::chooseOutput() {
    QFileDialog dialog(this);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilter(QStringLiteral("Image File *.IMG (*.IMG)"));
    dialog.setDefaultSuffix(QStringLiteral("IMG"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return;  // cancelled: nothing changes
    }
    build(dialog.selectedFiles().first());
}

void ImageTool::build(const QString& output) {
    if (building_) {
        return;  // one build at a time
    }
    if (worker_.joinable()) {
        worker_.join();
    }
    ImageBuildRequest request;
    request.label = label_->text().toStdString();
    request.diskSizeMb = static_cast<std::uint32_t>(size_->value()) * kImageSizeStepMb;
    for (int row = 0; row < list_->count(); ++row) {
        request.items.push_back(folder_.resolve(list_->item(row)->text().toStdString()));
    }
    request.output = output.toStdString();
    request.codePage = codePageOf(language_);
    setBuilding(true);
    worker_ = std::thread([this, request = std::move(request), output] {
        ImageBuildResult result;
        try {
            result = buildImage(request);
        } catch (const std::exception& error) {
            result.status = ImageBuildStatus::Failed;
            result.detail = error.what();
        }
        ui_->post([this, result, output] { finish(result, output); });
    });
}

void ImageTool::finish(const ImageBuildResult& result, const QString& output) {
    setBuilding(false);
    const std::vector<ImageToolMessage> messages = imageToolMessages(result, language_);
    for (const ImageToolMessage& message : messages) {
        prompt_.show(message.text, message.caption, message.icon, PromptButtons::Ok);
    }
    const bool success = result.status == ImageBuildStatus::Success;
    if (!success && messages.empty() && !result.detail.empty()) {
        prompt_.show(result.detail, std::string(fixedText(FixedText::Fail, language_)),
                     PromptIcon::Error, PromptButtons::Ok);
    }
    if (success) {
        Q_EMIT built(output);
    }
    Q_EMIT buildEnded(success);
}

void ImageTool::closeEvent(QCloseEvent* event) {
    if (building_) {
        event->ignore();  // the image is not whole until both volumes are in it
        return;
    }
    QDialog::closeEvent(event);  // rejects, which saves
}

void ImageTool::reject() {
    if (building_) {
        return;  // Escape during a build does not close the tool either
    }
    save();
    QDialog::reject();
}

}  // namespace corvid::gui
