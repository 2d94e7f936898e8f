#pragma once

// The device bus of the device simulator: a drive arrives when its socket DIR/X.sock appears in
// the simulator directory and goes when the socket goes (watched with inotify).

#include <deque>
#include <filesystem>

#include "platform/device_bus.h"

namespace corvid {

class SimDeviceBus : public DeviceBus {
  public:
    // Creates the simulator directory when it is missing, so the station may start before the
    // simulator. Throws std::runtime_error naming the directory when it cannot be watched.
    explicit SimDeviceBus(std::filesystem::path simDir);
    ~SimDeviceBus() override;
    SimDeviceBus(const SimDeviceBus&) = delete;
    SimDeviceBus& operator=(const SimDeviceBus&) = delete;

    std::uint32_t presentLetters() override;
    std::optional<DeviceEvent> waitEvent(std::chrono::milliseconds timeout) override;
    void wake() override;

  private:
    // Reads what inotify has and queues the events.
    void drain();
    void queue(DeviceEventKind kind, std::uint32_t letters);

    std::filesystem::path simDir_;
    int inotifyFd_ = -1;
    int wakeFd_ = -1;
    std::deque<DeviceEvent> pending_;
    std::uint32_t known_ = 0;  // the letters present after the events queued so far
};

}  // namespace corvid
