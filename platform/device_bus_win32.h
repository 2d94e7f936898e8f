#pragma once

// The device bus of Windows: WM_DEVICECHANGE. A hidden window on a thread of its own receives the
// system's volume arrival and removal broadcasts (DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE with
// a DEV_BROADCAST_VOLUME drive-letter mask); waitEvent() hands them to whichever thread reads the
// bus, so the command line needs no window loop of its own. The window is a top-level one that is
// never shown: the system broadcasts volume changes to top-level windows only, so a message-only
// window would hear none. Built only on Windows.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/device_bus.h"

namespace corvid {

struct Win32DeviceBusOptions {
    // Why a drive is no drive for the station, nothing when it may be produced; empty for the
    // rule of production_disk_win32.h.
    std::function<std::optional<std::string>(char letter)> refusal{};
    // Where the bus says why it leaves a drive alone, once per drive and reason. Empty: a line
    // on standard error.
    std::function<void(const std::string& note)> note{};
};

class Win32DeviceBus : public DeviceBus {
  public:
    // Throws std::runtime_error when the window cannot be made.
    explicit Win32DeviceBus(Win32DeviceBusOptions options = {});
    ~Win32DeviceBus() override;
    Win32DeviceBus(const Win32DeviceBus&) = delete;
    Win32DeviceBus& operator=(const Win32DeviceBus&) = delete;

    std::uint32_t presentLetters() override;
    std::optional<DeviceEvent> waitEvent(std::chrono::milliseconds timeout) override;
    void wake() override;

    // The window's class name, for tests that send it a device change of their own.
    static const char* windowClassName();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace corvid
