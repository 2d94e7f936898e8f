#pragma once

#include <mutex>

#include "station/slot_view.h"

namespace corvid {

// The station's counters that workers change: iTotal, iSuccess, iFail and iRunning. Every change
// is made under one mutex, so two workers ending at once both count. The view is told while the
// mutex is held, so the numbers it shows arrive in the order they were counted; a view must not
// wait for a thread that may itself take this mutex.
class StationCounters {
  public:
    struct Snapshot {
        int iTotal = 0;
        int iSuccess = 0;
        int iFail = 0;
        int iRunning = 0;
    };

    // A worker starts its production run: iRunning + 1, the setting groups are disabled.
    void beginRun(StationView& view);

    // A worker ends. When it had begun its run, iRunning - 1 (never below 0) and the setting groups
    // are enabled again once no run is left. Then the result is counted and shown.
    void countResult(bool runWasBegun, bool passed, StationView& view);

    Snapshot snapshot() const;

  private:
    mutable std::mutex mutex_;
    Snapshot counts_;
};

}  // namespace corvid
