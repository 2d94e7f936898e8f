#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "characterisation/run_clock.h"

namespace corvid::test {

// A station clock that never waits: it remembers the pauses asked of it, tells the times of day
// it was given, one per call, repeating the last (before any is given it is always midnight), and
// seeds every run with the same number.
class ScriptedClock : public RunClock {
  public:
    explicit ScriptedClock(std::uint32_t seed = 1) : seed_(seed) {}

    void pause(std::chrono::milliseconds duration) const override {
        std::lock_guard lock(mutex_);
        pauses_.push_back(duration);
    }
    TimeOfDay timeOfDay() const override {
        std::lock_guard lock(mutex_);
        if (times_.empty()) {
            return {};
        }
        const TimeOfDay time = times_[next_];
        next_ = std::min(next_ + 1, times_.size() - 1);
        return time;
    }
    std::uint32_t timeSeed() const override { return seed_; }

    void setTimes(std::vector<TimeOfDay> times) {
        std::lock_guard lock(mutex_);
        times_ = std::move(times);
        next_ = 0;
    }
    std::vector<std::chrono::milliseconds> pauses() const {
        std::lock_guard lock(mutex_);
        return pauses_;
    }

  private:
    std::uint32_t seed_;
    mutable std::mutex mutex_;
    mutable std::vector<std::chrono::milliseconds> pauses_;
    std::vector<TimeOfDay> times_;
    mutable std::size_t next_ = 0;
};

}  // namespace corvid::test
