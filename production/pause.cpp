#include "production/pause.h"

#include <atomic>
#include <ctime>
#include <thread>

namespace corvid {

namespace {

std::atomic<double> gPauseScale{1.0};

constexpr int kSecondsPerDay = 86400;

int secondsOfDay(const TimeOfDay& time) {
    return time.hour * 3600 + time.minute * 60 + time.second;
}

}  // namespace

void setPauseScale(double scale) {
    gPauseScale.store(scale < 0.0 ? 0.0 : scale);
}

double pauseScale() {
    return gPauseScale.load();
}

void pauseFor(std::chrono::milliseconds duration) {
    const double scaled = static_cast<double>(duration.count()) * gPauseScale.load();
    if (scaled <= 0.0) {
        return;
    }
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(scaled));
}

TimeOfDay timeOfDayNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    // localtime_r is POSIX; the C library's reentrant forms differ per platform.
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    return TimeOfDay{local.tm_hour, local.tm_min, local.tm_sec};
}

int elapsedSeconds(const TimeOfDay& start, const TimeOfDay& end) {
    int elapsed = secondsOfDay(end) - secondsOfDay(start);
    if (elapsed < 0) {
        elapsed += kSecondsPerDay;
    }
    return elapsed;
}

}  // namespace corvid
