#pragma once

// The device bus: which drive letters arrive and go. Events carry a 26-bit drive-letter mask,
// bit 0 for 'A' up to bit 25 for 'Z', handled from 'A' to 'Z' by the station.
//
// One implementation per platform (udev on Linux, WM_DEVICECHANGE on Windows) and one for the
// device simulator. A bus is read from one thread: the window runs waitEvent() on a helper
// thread and hands each event to its UI thread; the command line reads it in its main loop.

#include <chrono>
#include <cstdint>
#include <optional>

namespace corvid {

inline constexpr std::uint32_t kAllDriveLetters = (1u << 26) - 1;

// The mask bit of drive letter 'A'..'Z'; 0 for anything else.
constexpr std::uint32_t driveLetterBit(char letter) {
    return letter >= 'A' && letter <= 'Z' ? 1u << (letter - 'A') : 0u;
}

// Calls fn(letter) for every letter of the mask, 'A' first.
template <typename Fn>
void forEachDriveLetter(std::uint32_t mask, Fn&& fn) {
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        if ((mask & driveLetterBit(letter)) != 0) {
            fn(letter);
        }
    }
}

enum class DeviceEventKind { Arrival, Removal };

struct DeviceEvent {
    DeviceEventKind kind = DeviceEventKind::Arrival;
    std::uint32_t letters = 0;  // drive-letter mask, never 0

    bool operator==(const DeviceEvent&) const = default;
};

class DeviceBus {
  public:
    virtual ~DeviceBus() = default;

    // The letters whose devices are there now.
    virtual std::uint32_t presentLetters() = 0;

    // The next event, in the order the devices came and went; nothing when none came within
    // 'timeout'. Letters that arrive (or go) together come as one event.
    virtual std::optional<DeviceEvent> waitEvent(std::chrono::milliseconds timeout) = 0;

    // Makes a waitEvent() running on another thread return at once (with nothing). Safe from
    // any thread.
    virtual void wake() = 0;
};

}  // namespace corvid
