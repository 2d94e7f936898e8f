#pragma once

#include <cstdint>
#include <mutex>

#include "station/slot_view.h"

namespace corvid {

// The station's counters that workers change: iTotal, iSuccess, iFail and iRunning. Every change
// is made under one mutex, so two workers ending at once both count.
//
// The view is called after the mutex is released: a window's view hands each change over to its
// UI thread and waits, and that thread may read the counters meanwhile. One thread shows at a
// time, and it always shows the newest counts and group state: a change made while another
// thread is showing is shown by that thread right after its current call, so an older state never
// replaces a newer one on the screen. A view may read the counters from its calls, on its own
// thread or on the one it hands over to.
class StationCounters {
  public:
    struct Snapshot {
        int iTotal = 0;
        int iSuccess = 0;
        int iFail = 0;
        int iRunning = 0;
    };

    // 'view' shows the counters and the setting groups; it must outlive the counters.
    explicit StationCounters(StationView& view) : view_(view) {}
    StationCounters(const StationCounters&) = delete;
    StationCounters& operator=(const StationCounters&) = delete;

    // A worker starts its production run: iRunning + 1, the setting groups are disabled.
    void beginRun();

    // A worker ends. When it had begun its run, iRunning - 1 (never below 0) and the setting groups
    // are enabled again once no run is left. Then the result is counted and shown.
    void countResult(bool runWasBegun, bool passed);

    Snapshot snapshot() const;

  private:
    // Shows what is due unless another thread is showing; takes the locked 'lock' and returns
    // with it unlocked.
    void showDue(std::unique_lock<std::mutex> lock);

    StationView& view_;
    mutable std::mutex mutex_;
    Snapshot counts_;
    bool groupsEnabled_ = true;
    // Each change the view has to show raises a "due" number; "shown" is the last one shown.
    std::uint64_t countersDue_ = 0;
    std::uint64_t countersShown_ = 0;
    std::uint64_t groupsDue_ = 0;
    std::uint64_t groupsShown_ = 0;
    bool showing_ = false;  // a thread is calling the view
};

}  // namespace corvid
