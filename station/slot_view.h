#pragma once

#include <string>

namespace corvid {

enum class StatusColour { WindowText, Red, Blue };
enum class SlotPicture { None, Pass, Fail };

// What a worker shows in its slot: status text and colour, detail texts P (port location) and
// F (flash ID, later the result line), progress bar and picture. The window's implementation runs
// each change on the UI thread; setProgress returns only once the bar shows the position.
class SlotView {
  public:
    virtual ~SlotView() = default;
    virtual void setStatus(const std::string& text) = 0;
    virtual void setStatusColour(StatusColour colour) = 0;
    virtual void setDetailP(const std::string& text) = 0;
    virtual void setDetailF(const std::string& text) = 0;
    virtual void setProgress(int position) = 0;
    virtual void setPicture(SlotPicture picture) = 0;
    virtual void setGaugeVisible(bool visible) = 0;
    // The position of a full progress bar (100, or 400 with the blanking check). A view without a
    // scale of its own ignores it.
    virtual void setProgressMaximum(int maximum) { (void)maximum; }
};

// What the workers change in the window as a whole.
class StationView {
  public:
    virtual ~StationView() = default;
    virtual void showCounters(int total, int success, int fail) = 0;
    virtual void setSettingGroupsEnabled(bool enabled) = 0;
    // The window's system-area label ("%s: %dMB"); the worker that computed last wins. A view
    // without that label ignores it.
    virtual void setSystemAreaLabel(const std::string& text) { (void)text; }
    // Whether the operator may switch manual upgrade (CheckManuupgrade) on or off: only while no
    // device is in a slot. A view without that control ignores it.
    virtual void setManualUpgradeEnabled(bool enabled) { (void)enabled; }
};

// A slot nobody watches, such as the slots around the one device a command-line run produces.
class UnseenSlot : public SlotView {
  public:
    void setStatus(const std::string&) override {}
    void setStatusColour(StatusColour) override {}
    void setDetailP(const std::string&) override {}
    void setDetailF(const std::string&) override {}
    void setProgress(int) override {}
    void setPicture(SlotPicture) override {}
    void setGaugeVisible(bool) override {}
};

// A station whose counters and setting groups nobody watches.
class UnseenStation : public StationView {
  public:
    void showCounters(int, int, int) override {}
    void setSettingGroupsEnabled(bool) override {}
};

}  // namespace corvid
