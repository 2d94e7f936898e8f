#include "production/station_counters.h"

namespace corvid {

void StationCounters::beginRun(StationView& view) {
    std::lock_guard lock(mutex_);
    ++counts_.iRunning;
    view.setSettingGroupsEnabled(false);
}

void StationCounters::countResult(bool runWasBegun, bool passed, StationView& view) {
    std::lock_guard lock(mutex_);
    if (runWasBegun) {
        --counts_.iRunning;
        if (counts_.iRunning < 1) {
            counts_.iRunning = 0;
            view.setSettingGroupsEnabled(true);
        }
    }
    ++counts_.iTotal;
    counts_.iSuccess += passed ? 1 : 0;
    counts_.iFail = counts_.iTotal - counts_.iSuccess;
    view.showCounters(counts_.iTotal, counts_.iSuccess, counts_.iFail);
}

StationCounters::Snapshot StationCounters::snapshot() const {
    std::lock_guard lock(mutex_);
    return counts_;
}

}  // namespace corvid
