#pragma once

#include <chrono>

namespace corvid {

// The pauses between device steps. Tests and measurements scale them down (0 = no pause at all);
// the scale is a property of the process, not of a run.
void setPauseScale(double scale);
double pauseScale();

// Sleeps the calling worker for 'duration' times the pause scale.
void pauseFor(std::chrono::milliseconds duration);

// A time of day with a one-second resolution, as the run's elapsed-time figure uses it.
struct TimeOfDay {
    int hour = 0;
    int minute = 0;
    int second = 0;
};

TimeOfDay timeOfDayNow();

// Seconds from 'start' to 'end'; a run that passed midnight gains a day.
int elapsedSeconds(const TimeOfDay& start, const TimeOfDay& end);

}  // namespace corvid
