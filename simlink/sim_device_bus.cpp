#include "simlink/sim_device_bus.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "simlink/sim_dir.h"

namespace corvid {

namespace fs = std::filesystem;

SimDeviceBus::SimDeviceBus(fs::path simDir) : simDir_(std::move(simDir)) {
    std::error_code error;
    fs::create_directories(simDir_, error);
    inotifyFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (inotifyFd_ < 0 || wakeFd_ < 0 ||
        ::inotify_add_watch(inotifyFd_, simDir_.c_str(),
                            IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM) < 0) {
        const std::string why = std::strerror(errno);
        if (inotifyFd_ >= 0) {
            ::close(inotifyFd_);
        }
        if (wakeFd_ >= 0) {
            ::close(wakeFd_);
        }
        throw std::runtime_error("The simulator directory " + simDir_.string() +
                                 " cannot be watched: " + why + ".");
    }
    known_ = presentLetters();
}

SimDeviceBus::~SimDeviceBus() {
    ::close(inotifyFd_);
    ::close(wakeFd_);
}

std::uint32_t SimDeviceBus::presentLetters() {
    std::uint32_t mask = 0;
    std::error_code error;
    for (const auto& item : fs::directory_iterator(simDir_, error)) {
        if (const auto letter = simlink::letterOfSocketName(item.path().filename())) {
            mask |= driveLetterBit(*letter);
        }
    }
    return mask;
}

void SimDeviceBus::wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof(one));
}

void SimDeviceBus::queue(DeviceEventKind kind, std::uint32_t letters) {
    if (letters == 0) {
        return;
    }
    known_ = kind == DeviceEventKind::Arrival ? known_ | letters : known_ & ~letters;
    // Letters that come (or go) one right after the other make one event, as one notification
    // of the operating system names several letters.
    if (!pending_.empty() && pending_.back().kind == kind &&
        (pending_.back().letters & letters) == 0) {
        pending_.back().letters |= letters;
    } else {
        pending_.push_back({kind, letters});
    }
}

void SimDeviceBus::drain() {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(inotifyFd_, buffer, sizeof(buffer));
        if (got <= 0) {
            return;
        }
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if ((event->mask & IN_Q_OVERFLOW) != 0) {
                // Events were lost: what is there now against what was reported tells.
                const std::uint32_t now = presentLetters();
                queue(DeviceEventKind::Removal, known_ & ~now);
                queue(DeviceEventKind::Arrival, now & ~known_);
                continue;
            }
            const auto letter =
                event->len == 0 ? std::nullopt : simlink::letterOfSocketName(event->name);
            if (!letter) {
                continue;
            }
            queue((event->mask & (IN_CREATE | IN_MOVED_TO)) != 0 ? DeviceEventKind::Arrival
                                                                 : DeviceEventKind::Removal,
                  driveLetterBit(*letter));
        }
    }
}

std::optional<DeviceEvent> SimDeviceBus::waitEvent(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        drain();
        if (!pending_.empty()) {
            const DeviceEvent event = pending_.front();
            pending_.pop_front();
            return event;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        pollfd fds[2] = {{inotifyFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        const int ready = ::poll(fds, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) {
            return std::nullopt;
        }
        if (ready > 0 && fds[1].revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const auto got = ::read(wakeFd_, &count, sizeof(count));
            drain();
            if (!pending_.empty()) {
                const DeviceEvent event = pending_.front();
                pending_.pop_front();
                return event;
            }
            return std::nullopt;
        }
    }
}

}  // namespace corvid
