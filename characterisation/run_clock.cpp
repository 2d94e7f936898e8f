#include "characterisation/run_clock.h"

#include <ctime>
#include <thread>

#include "platform/local_time.h"

namespace corvid {

namespace {

constexpr int kSecondsPerDay = 86400;

int secondsOfDay(const TimeOfDay& time) {
    return time.hour * 3600 + time.minute * 60 + time.second;
}

}  // namespace

int elapsedSeconds(const TimeOfDay& start, const TimeOfDay& end) {
    int elapsed = secondsOfDay(end) - secondsOfDay(start);
    if (elapsed < 0) {
        elapsed += kSecondsPerDay;
    }
    return elapsed;
}

SystemRunClock::SystemRunClock(double pauseScale)
    : pauseScale_(pauseScale < 0.0 ? 0.0 : pauseScale) {}

void SystemRunClock::pause(std::chrono::milliseconds duration) const {
    const double scaled = static_cast<double>(duration.count()) * pauseScale_;
    if (scaled <= 0.0) {
        return;
    }
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(scaled));
}

TimeOfDay SystemRunClock::timeOfDay() const {
    const std::time_t now = std::time(nullptr);
    const std::tm local = localTime(now);
    return TimeOfDay{local.tm_hour, local.tm_min, local.tm_sec};
}

std::uint32_t SystemRunClock::timeSeed() const {
    return static_cast<std::uint32_t>(std::time(nullptr));
}

}  // namespace corvid
