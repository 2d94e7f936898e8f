#pragma once

// What `produce` and `station` share: a station read from its folder, the devices of the chosen
// backend, the counters and a station controller on them, with the device bus read on a thread
// of its own and its events handed to the controller.

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "apps/cli/device_options.h"
#include "production/station_setup.h"
#include "station_control/station_controller.h"

namespace corvid::cli {

struct StationSessionOptions {
    std::string home;
    DeviceOptions device;
    double pauseScale = 1.0;
};

// --home, the device options and --pause-scale.
void addStationSessionOptions(CLI::App& command, StationSessionOptions& options);

// Runs a command's body and turns what it throws into one line on standard error, named by the
// command, and an exit status: a station folder, settings file or device option at fault is bad
// input (2), anything else a failure (1).
int runStationCommand(const char* command, const std::function<int()>& body);

class StationSession {
  public:
    // Reads the station folder and makes the backend's transport and volume tools; prints the
    // notes of the settings load. Throws StationFolderError, SettingsError, DeviceOptionError.
    explicit StationSession(const StationSessionOptions& options);
    // Stops reading the bus, then waits for the workers still running.
    ~StationSession();
    void stop();

    // Stops the session when it goes out of scope. A command declares one after the views and
    // listeners it handed to start(), so the workers and the controller are done with them
    // before they go, whichever way the command ends.
    class StopGuard {
      public:
        explicit StopGuard(StationSession& session) : session_(session) {}
        ~StopGuard() { session_.stop(); }
        StopGuard(const StopGuard&) = delete;
        StopGuard& operator=(const StopGuard&) = delete;

      private:
        StationSession& session_;
    };
    StationSession(const StationSession&) = delete;
    StationSession& operator=(const StationSession&) = delete;

    StationSetup& station() { return *station_; }
    Transport& transport() { return *transport_; }
    const DeviceSetup& devices() const { return setup_; }

    // Makes the controller with these views. A failed disk-finishing step's reason goes to
    // standard error, named by 'command'.
    StationController& start(const std::array<SlotView*, kSlotCount>& slots, StationView& view,
                             OperatorPrompt& prompt, const std::string& command);

    // Reads the device bus from now on and posts its events to the controller, limited to
    // 'letters'. Throws std::runtime_error when the backend has no bus.
    void listen(std::uint32_t letters = kAllDriveLetters);

    StationController& controller() { return *controller_; }
    StationCounters& counters() { return *counters_; }
    // The drive locks this program holds; the controller takes each claimed slot's letter.
    DriveLocks& locks() { return *locks_; }

  private:
    void readBus(std::uint32_t letters);

    DeviceSetup setup_;
    std::unique_ptr<StationSetup> station_;
    std::unique_ptr<Transport> transport_;
    std::unique_ptr<VolumeTools> volumes_;
    std::unique_ptr<StationCounters> counters_;
    std::unique_ptr<DriveLocks> locks_;  // outlives the controller and its workers
    std::unique_ptr<StationController> controller_;
    std::unique_ptr<DeviceBus> bus_;
    std::atomic<bool> stopBus_{false};
    std::thread busThread_;
};

}  // namespace corvid::cli
