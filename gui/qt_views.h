#pragma once

#include <QPixmap>
#include <QPointer>
#include <QString>
#include <array>
#include <string>
#include <vector>

#include "station/operator_prompt.h"
#include "station/slot_view.h"

class QCheckBox;
class QLabel;
class QProgressBar;
class QWidget;

namespace corvid::gui {

class UiDispatcher;

// The five controls of one slot.
struct SlotWidgets {
    QLabel* status = nullptr;   // DninfoStr
    QLabel* detailP = nullptr;  // TextPn
    QLabel* detailF = nullptr;  // TextFn
    QProgressBar* gauge = nullptr;
    QLabel* picture = nullptr;  // infoImagen
};

// A slot as a worker sees it. Every change runs on the UI thread, queued, in the order the worker
// made them; the progress position is handed over: setProgress returns once the bar shows it.
class QtSlotView : public SlotView {
  public:
    QtSlotView(UiDispatcher& ui, SlotWidgets widgets, QPixmap pass, QPixmap fail);

    void setStatus(const std::string& text) override;
    void setStatusColour(StatusColour colour) override;
    void setDetailP(const std::string& text) override;
    void setDetailF(const std::string& text) override;
    void setProgress(int position) override;
    void setPicture(SlotPicture picture) override;
    void setGaugeVisible(bool visible) override;
    void setProgressMaximum(int maximum) override;

  private:
    UiDispatcher& ui_;
    SlotWidgets widgets_;
    QPixmap pass_;
    QPixmap fail_;
};

// The station's part of the window a worker changes: the Log counters, the two setting groups,
// the system-area label and whether CheckManuupgrade may be switched. Queued, never waited for,
// so a worker holding the counters' turn to show never waits for the UI thread.
struct StationWidgets {
    QLabel* total = nullptr;
    QLabel* success = nullptr;
    QLabel* fail = nullptr;
    std::vector<QWidget*> settingGroups;  // grpMPSetting, grpFileList
    QLabel* systemArea = nullptr;
    QCheckBox* manualUpgrade = nullptr;
};

class QtStationView : public StationView {
  public:
    QtStationView(UiDispatcher& ui, StationWidgets widgets);

    void showCounters(int total, int success, int fail) override;
    void setSettingGroupsEnabled(bool enabled) override;
    void setSystemAreaLabel(const std::string& text) override;
    void setManualUpgradeEnabled(bool enabled) override;

  private:
    UiDispatcher& ui_;
    StationWidgets widgets_;
};

// A modal message box over 'parent', shown on the UI thread; the asking thread waits for the
// answer. When the window is gone the answer is the cautious one (Cancel, No).
class QtOperatorPrompt : public OperatorPrompt {
  public:
    QtOperatorPrompt(UiDispatcher& ui, QWidget* parent);
    PromptAnswer show(const std::string& text, const std::string& caption, PromptIcon icon,
                      PromptButtons buttons) override;
    void notify(const std::string& text, const std::string& caption, PromptIcon icon) override;

  private:
    UiDispatcher& ui_;
    QPointer<QWidget> parent_;
};

// The colour of a status line.
void showStatusColour(QLabel& label, StatusColour colour);
// A slot's status line: elided in the middle to the label's width, the whole text as tooltip.
void showStatusText(QLabel& label, const QString& status);
// The progress bar's colour for a verdict (SlotPicture::None while running).
void showVerdict(QProgressBar& gauge, SlotPicture verdict);

}  // namespace corvid::gui
