#pragma once

// What `produce` and `station` share: a station read from its folder, its notes printed, and the
// station's working parts for the chosen backend.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "apps/cli/device_options.h"
#include "production/station_setup.h"
#include "station_control/station_assembly.h"

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
    // Reads the station folder and makes the backend's parts; prints the notes of the settings
    // load. Throws StationFolderError, SettingsError, DeviceOptionError.
    explicit StationSession(const StationSessionOptions& options);
    StationSession(const StationSession&) = delete;
    StationSession& operator=(const StationSession&) = delete;

    // Stops the session when it goes out of scope. A command declares one after the views and
    // listeners it handed to start(), so the workers and the controller are done with them
    // before they go, whichever way the command ends.
    class StopGuard {
      public:
        explicit StopGuard(StationSession& session) : session_(session) {}
        ~StopGuard() { session_.assembly().stop(); }
        StopGuard(const StopGuard&) = delete;
        StopGuard& operator=(const StopGuard&) = delete;

      private:
        StationSession& session_;
    };

    StationSetup& station() { return *station_; }
    StationAssembly& assembly() { return *assembly_; }
    const DeviceSetup& devices() const { return assembly_->devices(); }

    // Makes the controller with these views. A failed disk-finishing step's reason goes to
    // standard error, named by 'command'.
    StationController& start(const StationViews& views, const std::string& command);

    // Reads the device bus from now on, limited to 'letters'; a bus that fails is said on
    // standard error. Throws std::runtime_error when the backend has no bus.
    void listen(std::uint32_t letters = kAllDriveLetters);

  private:
    std::unique_ptr<StationSetup> station_;
    std::unique_ptr<StationAssembly> assembly_;
};

}  // namespace corvid::cli
