#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "station/operator_prompt.h"
#include "station/slot_view.h"

namespace corvid::test {

// Recording implementations of the station's seams (SlotView, StationView, OperatorPrompt) for
// tests of the workers and of the station's settings. All members are safe to call from several
// threads.

// Records everything a worker shows in its slot, in order, so tests can compare the run with the
// expected texts, colours and progress positions.
class RecordingSlotView : public SlotView {
  public:
    enum class Kind { Status, Colour, DetailP, DetailF, Progress, Picture, Gauge, Maximum };
    struct Event {
        Kind kind;
        std::string text;  // Status, DetailP, DetailF
        int value = 0;     // Progress, Maximum; Colour, Picture as their enumerators; Gauge 0/1
    };

    void setStatus(const std::string& text) override;
    void setStatusColour(StatusColour colour) override;
    void setDetailP(const std::string& text) override;
    void setDetailF(const std::string& text) override;
    void setProgress(int position) override;
    void setPicture(SlotPicture picture) override;
    void setGaugeVisible(bool visible) override;
    void setProgressMaximum(int maximum) override;

    // Forgets everything recorded so far: the view is as new.
    void clear();

    std::vector<Event> events() const;
    std::vector<std::string> statuses() const;
    std::vector<StatusColour> colours() const;
    std::vector<int> progress() const;
    std::string status() const;
    StatusColour colour() const;
    std::string detailP() const;
    std::string detailF() const;
    SlotPicture picture() const;
    bool gaugeVisible() const;
    int lastProgress() const;
    int maximum() const;

  private:
    void record(Event event);
    // The events of one kind, in order.
    std::vector<Event> eventsOf(Kind kind) const;

    mutable std::mutex mutex_;
    std::vector<Event> events_;
    std::string status_;
    StatusColour colour_ = StatusColour::WindowText;
    std::string detailP_;
    std::string detailF_;
    SlotPicture picture_ = SlotPicture::None;
    bool gaugeVisible_ = false;
    int progress_ = 0;
    int maximum_ = 0;
};

class RecordingStationView : public StationView {
  public:
    struct Counters {
        int total = 0;
        int success = 0;
        int fail = 0;
    };
    void showCounters(int total, int success, int fail) override;
    void setSettingGroupsEnabled(bool enabled) override;
    void setSystemAreaLabel(const std::string& text) override;
    void setManualUpgradeEnabled(bool enabled) override;

    Counters lastCounters() const;
    // Every change of the manual-upgrade switch, in order.
    std::vector<bool> manualSwitchChanges() const;
    std::vector<bool> groupChanges() const;
    // The last system-area label shown; empty when none was.
    std::string systemAreaLabel() const;

  private:
    mutable std::mutex mutex_;
    Counters counters_;
    std::vector<bool> groupChanges_;
    std::vector<bool> manualSwitchChanges_;
    std::string systemAreaLabel_;
};

// Answers every prompt with Ok and remembers what was asked.
class RecordingPrompt : public OperatorPrompt {
  public:
    struct Shown {
        std::string text;
        std::string caption;
        PromptIcon icon;
    };
    PromptAnswer show(const std::string& text, const std::string& caption, PromptIcon icon,
                      PromptButtons buttons) override;
    std::vector<Shown> shown() const;
    // Forgets the prompts shown so far.
    void clear();

  private:
    mutable std::mutex mutex_;
    std::vector<Shown> shown_;
};

}  // namespace corvid::test
