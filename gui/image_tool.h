#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <thread>

#include "image/image_builder.h"
#include "station/operator_prompt.h"
#include "station/station_folder.h"

class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QSlider;
class QTimer;

namespace corvid::gui {

class UiDispatcher;

// The image tool: a label, a disk size and a list of PC files and folders become one hidden-disk
// image with a volume for 512-byte and one for 1024-byte sectors. Label, size and list are kept
// in misc/ImgTool.ini and misc/isoseting.ini between runs.
//
// The build runs on a thread of its own while the tool's controls are disabled and the window
// goes on drawing; its messages are shown on the UI thread when it ends. The tool cannot be
// closed while a build runs.
class ImageTool : public QDialog {
    Q_OBJECT

  public:
    // Restores label, size and list from the station folder's misc/.
    ImageTool(const StationFolder& folder, OperatorPrompt& prompt, QWidget* parent = nullptr);
    ~ImageTool() override;

    // Sets the captions in 'language' (the window's) before the tool is shown.
    void setLanguage(int language);
    // "Create Image" once the operator has named the output file.
    void build(const QString& output);
    bool building() const { return building_; }
    // Writes misc/isoseting.ini and misc/ImgTool.ini; false (the operator told) when misc/ cannot
    // be made.
    bool save();

  Q_SIGNALS:
    // A build ended well; 'path' is the new image.
    void built(const QString& path);
    // A build ended, well or not, and the controls are back.
    void buildEnded(bool success);

  protected:
    void showEvent(QShowEvent* event) override;
    // Ignored while a build runs; otherwise rejects, which saves once.
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

  private:
    void restore();
    void setBuilding(bool building);
    void chooseOutput();
    void finish(const ImageBuildResult& result, const QString& output);

    StationFolder folder_;
    OperatorPrompt& prompt_;
    UiDispatcher* ui_ = nullptr;
    int language_ = 0;
    bool building_ = false;
    // Why the kept list could not be read at start; said once when the tool opens.
    QString restoreProblem_;
    std::thread worker_;

    QLineEdit* label_ = nullptr;
    QSlider* size_ = nullptr;
    QLineEdit* sizeText_ = nullptr;
    QListWidget* list_ = nullptr;
    QPushButton* create_ = nullptr;
    QProgressBar* bar_ = nullptr;
    QTimer* timer_ = nullptr;
};

}  // namespace corvid::gui
