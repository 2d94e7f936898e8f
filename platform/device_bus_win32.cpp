#include "platform/device_bus_win32.h"

#include <windows.h>

// Needs windows.h before it.
#include <dbt.h>

#include <condition_variable>
#include <deque>
#include <future>
#include <iostream>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "platform/production_disk_win32.h"

namespace corvid {

namespace {

constexpr char kClassName[] = "CorvidDeviceBusWindow";

LRESULT CALLBACK busWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// What the window hands its device changes to (the bus's state, kept in the window's user data).
class DeviceChangeSink {
  public:
    virtual void deviceChange(WPARAM kind, const DEV_BROADCAST_HDR* header) = 0;

  protected:
    ~DeviceChangeSink() = default;
};

// The class is the process's, registered by the first bus; a second registration finds it.
bool registerWindowClass() {
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = busWindowProcedure;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = kClassName;
    return RegisterClassExA(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

struct Win32DeviceBus::State final : DeviceChangeSink {
    Win32DeviceBusOptions options;
    std::thread windowThread;
    HWND window = nullptr;

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<DeviceEvent> events;
    std::uint32_t offered = 0;  // letters handed out as arrived and not yet gone
    std::set<std::string> noted;
    bool woken = false;

    std::optional<std::string> refusal(char letter) const {
        return options.refusal ? options.refusal(letter) : productionDriveRefusal(letter);
    }

    void note(const std::string& text) {
        if (!noted.insert(text).second) {
            return;
        }
        if (options.note) {
            options.note(text);
        } else {
            std::cerr << "corvid: " << text << "; the station leaves it alone\n";
        }
    }

    // On the window's thread: a volume change of the system.
    void deviceChange(WPARAM kind, const DEV_BROADCAST_HDR* header) override {
        if (header == nullptr || header->dbch_devicetype != DBT_DEVTYP_VOLUME) {
            return;
        }
        const auto* volume = reinterpret_cast<const DEV_BROADCAST_VOLUME*>(header);
        const std::uint32_t mask = volume->dbcv_unitmask & kAllDriveLetters;
        std::uint32_t letters = 0;
        if (kind == DBT_DEVICEARRIVAL) {
            forEachDriveLetter(mask, [&](char letter) {
                if (const auto why = refusal(letter)) {
                    const std::lock_guard lock(mutex);
                    note(*why);
                } else {
                    letters |= driveLetterBit(letter);
                }
            });
        }
        const std::lock_guard lock(mutex);
        if (kind == DBT_DEVICEARRIVAL) {
            offered |= letters;
        } else {
            letters = mask & offered;
            offered &= ~letters;
        }
        if (letters == 0) {
            return;
        }
        events.push_back(
            {kind == DBT_DEVICEARRIVAL ? DeviceEventKind::Arrival : DeviceEventKind::Removal,
             letters});
        changed.notify_all();
    }

    void runWindow(std::promise<void> ready) {
        if (!registerWindowClass()) {
            ready.set_exception(std::make_exception_ptr(
                std::runtime_error("the device bus's window class cannot be registered (error " +
                                   std::to_string(GetLastError()) + ")")));
            return;
        }
        // Top-level and never shown: volume broadcasts reach top-level windows only.
        window = CreateWindowExA(0, kClassName, "corvid device bus", WS_OVERLAPPED, 0, 0, 0, 0,
                                 nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        if (window == nullptr) {
            ready.set_exception(std::make_exception_ptr(
                std::runtime_error("the device bus's window cannot be made (error " +
                                   std::to_string(GetLastError()) + ")")));
            return;
        }
        SetWindowLongPtrA(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(static_cast<DeviceChangeSink*>(this)));
        ready.set_value();
        MSG message;
        while (GetMessageA(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
};

namespace {

LRESULT CALLBACK busWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* sink = reinterpret_cast<DeviceChangeSink*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    switch (message) {
        case WM_DEVICECHANGE:
            if (sink != nullptr &&
                (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE)) {
                sink->deviceChange(wParam, reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam));
            }
            return TRUE;
        case WM_CLOSE:
            DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcA(window, message, wParam, lParam);
    }
}

}  // namespace

Win32DeviceBus::Win32DeviceBus(Win32DeviceBusOptions options) : state_(std::make_unique<State>()) {
    state_->options = std::move(options);
    std::promise<void> ready;
    std::future<void> made = ready.get_future();
    state_->windowThread = std::thread([state = state_.get(), ready = std::move(ready)]() mutable {
        state->runWindow(std::move(ready));
    });
    try {
        made.get();
    } catch (...) {
        state_->windowThread.join();
        throw;
    }
}

Win32DeviceBus::~Win32DeviceBus() {
    PostMessageA(state_->window, WM_CLOSE, 0, 0);
    state_->windowThread.join();
}

std::uint32_t Win32DeviceBus::presentLetters() {
    std::uint32_t letters = 0;
    forEachDriveLetter(GetLogicalDrives() & kAllDriveLetters, [&](char letter) {
        if (!state_->refusal(letter)) {
            letters |= driveLetterBit(letter);
        }
    });
    return letters;
}

std::optional<DeviceEvent> Win32DeviceBus::waitEvent(std::chrono::milliseconds timeout) {
    std::unique_lock lock(state_->mutex);
    state_->changed.wait_for(lock, timeout,
                             [&] { return !state_->events.empty() || state_->woken; });
    state_->woken = false;
    if (state_->events.empty()) {
        return std::nullopt;
    }
    const DeviceEvent event = state_->events.front();
    state_->events.pop_front();
    return event;
}

void Win32DeviceBus::wake() {
    const std::lock_guard lock(state_->mutex);
    state_->woken = true;
    state_->changed.notify_all();
}

const char* Win32DeviceBus::windowClassName() {
    return kClassName;
}

}  // namespace corvid
