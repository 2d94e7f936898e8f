#include "production/station_counters.h"

#include <utility>

namespace corvid {

void StationCounters::beginRun() {
    std::unique_lock lock(mutex_);
    ++counts_.iRunning;
    groupsEnabled_ = false;
    ++groupsDue_;
    showDue(std::move(lock));
}

void StationCounters::countResult(bool runWasBegun, bool passed) {
    std::unique_lock lock(mutex_);
    if (runWasBegun) {
        --counts_.iRunning;
        if (counts_.iRunning < 1) {
            counts_.iRunning = 0;
            groupsEnabled_ = true;
            ++groupsDue_;
        }
    }
    ++counts_.iTotal;
    counts_.iSuccess += passed ? 1 : 0;
    counts_.iFail = counts_.iTotal - counts_.iSuccess;
    ++countersDue_;
    showDue(std::move(lock));
}

StationCounters::Snapshot StationCounters::snapshot() const {
    std::lock_guard lock(mutex_);
    return counts_;
}

void StationCounters::showDue(std::unique_lock<std::mutex> lock) {
    if (showing_) {
        return;  // the thread that shows now takes this change with it
    }
    showing_ = true;
    try {
        for (;;) {
            const bool groups = groupsShown_ != groupsDue_;
            const bool counters = countersShown_ != countersDue_;
            if (!groups && !counters) {
                break;
            }
            const bool enabled = groupsEnabled_;
            const Snapshot counts = counts_;
            groupsShown_ = groupsDue_;
            countersShown_ = countersDue_;
            lock.unlock();
            // The groups first: a run's end enables them before its count is shown.
            if (groups) {
                view_.setSettingGroupsEnabled(enabled);
            }
            if (counters) {
                view_.showCounters(counts.iTotal, counts.iSuccess, counts.iFail);
            }
            lock.lock();
        }
    } catch (...) {
        // The counts stay right; the next change of the same kind shows the newest state.
        if (!lock.owns_lock()) {
            lock.lock();
        }
        showing_ = false;
        throw;
    }
    showing_ = false;
}

}  // namespace corvid
