// The WM_DEVICECHANGE bus: the test sends its window the volume messages the system broadcasts.

#include <windows.h>

// Needs windows.h before it.
#include <dbt.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/device_bus_win32.h"

namespace corvid {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t bits(std::initializer_list<char> letters) {
    std::uint32_t mask = 0;
    for (const char letter : letters) {
        mask |= driveLetterBit(letter);
    }
    return mask;
}

class DeviceBusWin32Test : public ::testing::Test {
  protected:
    Win32DeviceBusOptions options() {
        Win32DeviceBusOptions options;
        // Drive C is the system's; every other letter is a USB disk here.
        options.refusal = [](char letter) -> std::optional<std::string> {
            if (letter == 'C') {
                return std::string("drive C (\\\\.\\C:) holds the Windows folder");
            }
            return std::nullopt;
        };
        options.note = [this](const std::string& note) { notes_.push_back(note); };
        return options;
    }

    // What the system does when a volume comes or goes.
    static void broadcast(WPARAM kind, std::uint32_t mask) {
        const HWND window = FindWindowA(Win32DeviceBus::windowClassName(), nullptr);
        ASSERT_NE(window, nullptr);
        DEV_BROADCAST_VOLUME volume{};
        volume.dbcv_size = sizeof volume;
        volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
        volume.dbcv_unitmask = mask;
        SendMessageA(window, WM_DEVICECHANGE, kind, reinterpret_cast<LPARAM>(&volume));
    }

    std::vector<std::string> notes_;
};

TEST_F(DeviceBusWin32Test, VolumeArrivalsAndRemovalsBecomeEvents) {
    Win32DeviceBus bus(options());
    broadcast(DBT_DEVICEARRIVAL, bits({'C', 'E', 'F'}));
    broadcast(DBT_DEVICEREMOVECOMPLETE, bits({'E', 'G'}));  // G was never offered
    broadcast(DBT_DEVICEARRIVAL, bits({'C'}));              // nothing the station may take
    broadcast(DBT_DEVICEREMOVECOMPLETE, bits({'F'}));

    const std::vector<DeviceEvent> expected = {
        {DeviceEventKind::Arrival, bits({'E', 'F'})},
        {DeviceEventKind::Removal, bits({'E'})},
        {DeviceEventKind::Removal, bits({'F'})},
    };
    for (const DeviceEvent& event : expected) {
        EXPECT_EQ(bus.waitEvent(5s), event);
    }
    EXPECT_EQ(bus.waitEvent(10ms), std::nullopt);
    // The refused drive is said once, however often it comes.
    EXPECT_EQ(notes_, std::vector<std::string>{"drive C (\\\\.\\C:) holds the Windows folder"});
}

TEST_F(DeviceBusWin32Test, OtherDeviceChangesMakeNoEvent) {
    Win32DeviceBus bus(options());
    const HWND window = FindWindowA(Win32DeviceBus::windowClassName(), nullptr);
    ASSERT_NE(window, nullptr);
    DEV_BROADCAST_HDR port{};
    port.dbch_size = sizeof port;
    port.dbch_devicetype = DBT_DEVTYP_PORT;
    SendMessageA(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&port));
    SendMessageA(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    EXPECT_EQ(bus.waitEvent(10ms), std::nullopt);
}

TEST_F(DeviceBusWin32Test, WakeEndsAWaitAtOnce) {
    Win32DeviceBus bus(options());
    const auto start = std::chrono::steady_clock::now();
    std::thread waker([&] {
        std::this_thread::sleep_for(50ms);
        bus.wake();
    });
    EXPECT_EQ(bus.waitEvent(60s), std::nullopt);
    waker.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
}

TEST_F(DeviceBusWin32Test, PresentLettersFollowTheRule) {
    Win32DeviceBus bus(options());
    const std::uint32_t present = bus.presentLetters();
    EXPECT_EQ(present & bits({'C'}), 0u);
    EXPECT_EQ(present & ~(GetLogicalDrives() & kAllDriveLetters), 0u);
}

}  // namespace
}  // namespace corvid
