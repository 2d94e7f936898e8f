#pragma once

#include <chrono>
#include <cstdint>

namespace corvid {

// A time of day with a one-second resolution, as the run's elapsed-time figure uses it.
struct TimeOfDay {
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// Seconds from 'start' to 'end'; a run that passed midnight gains a day.
int elapsedSeconds(const TimeOfDay& start, const TimeOfDay& end);

// The pauses between device steps and the time of day, as the workers of one station see them.
// Each station hands its own to its workers, so a test can run without waiting and choose the
// times a run starts and ends, and two stations in one process do not share a pause scale.
// Called from every worker thread at once.
class RunClock {
  public:
    virtual ~RunClock() = default;
    // Waits between two device steps.
    virtual void pause(std::chrono::milliseconds duration) const = 0;
    // Now, for the start and the result line of a run.
    virtual TimeOfDay timeOfDay() const = 0;
    // Where a run seeds its pseudo-random generator from the current time.
    virtual std::uint32_t timeSeed() const = 0;
};

// The host's clock. Its pauses last 'pauseScale' times as long as asked: 1 as the station waits,
// 0 no pause at all (tests and measurements of the device alone); a negative scale counts as 0.
class SystemRunClock : public RunClock {
  public:
    explicit SystemRunClock(double pauseScale = 1.0);

    void pause(std::chrono::milliseconds duration) const override;
    TimeOfDay timeOfDay() const override;
    std::uint32_t timeSeed() const override;

    double pauseScale() const { return pauseScale_; }

  private:
    double pauseScale_;
};

}  // namespace corvid
