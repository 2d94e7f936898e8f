#pragma once

// A station program's working parts, made in one place for `corvid-cli station`, `produce` and
// the window: the backend's transport and volume tools, the drive locks, the counters, the
// controller, the production record and the device bus read on a thread of its own. Whatever the
// program, every claimed letter is locked, so two station programs never work on one device.

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "backends/backends.h"
#include "platform/drive_lock.h"
#include "production/station_counters.h"
#include "production/station_setup.h"
#include "station_control/station_controller.h"
#include "station_control/station_record.h"

namespace corvid {

// How a station is loaded for this backend: real devices learn their port from the USB tree,
// simulated ones all sit on one hub.
StationSetupOptions stationSetupOptions(const DeviceSetup& devices, double pauseScale);

// What the controller shows and asks through; owned by the program, they outlive the assembly's
// controller.
struct StationViews {
    std::array<SlotView*, kSlotCount> slots{};
    StationView* station = nullptr;
    OperatorPrompt* prompt = nullptr;
};

using StationNotice = std::function<void(const std::string&)>;

class StationAssembly {
  public:
    // Makes the backend's transport and volume tools and this program's drive locks.
    // 'station' must outlive the assembly.
    StationAssembly(StationSetup& station, const DeviceSetup& devices);
    // Stops reading the bus and waits for the workers still running.
    ~StationAssembly();
    StationAssembly(const StationAssembly&) = delete;
    StationAssembly& operator=(const StationAssembly&) = delete;

    // Keeps the production record (see StationRecord); call before start(). Throws RecordError
    // for a database URL that cannot work.
    void keepRecord(const std::string& recordDatabase, StationNotice complain);
    // Null when no record is kept.
    StationRecord* record() { return record_ ? &*record_ : nullptr; }

    // Makes the controller with these views; the record's writer listens to it. A failed
    // disk-finishing step's reason goes to 'finishingFailure'.
    StationController& start(const StationViews& views, StationNotice finishingFailure);

    // Reads the device bus from now on and posts its events, limited to 'letters', to the
    // controller. A bus that fails is reported once through 'busFailed' (on the bus thread).
    // Throws std::runtime_error when the backend has no bus.
    void listen(std::uint32_t letters, StationNotice busFailed);

    // Stops reading the bus; the controller and its workers go on.
    void stopListening();
    // Stops reading the bus, takes no more devices and waits for the workers still running;
    // their ends are handled. Afterwards the views may go.
    void stop();

    StationSetup& station() { return station_; }
    const DeviceSetup& devices() const { return devices_; }
    Transport& transport() { return *transport_; }
    DriveLocks& locks() { return *locks_; }
    StationController& controller() { return *controller_; }
    StationCounters& counters() { return *counters_; }

  private:
    void readBus(std::uint32_t letters, const StationNotice& busFailed);

    StationSetup& station_;
    DeviceSetup devices_;
    std::unique_ptr<Transport> transport_;
    std::unique_ptr<VolumeTools> volumes_;
    std::unique_ptr<DriveLocks> locks_;    // outlives the controller and its workers
    std::optional<StationRecord> record_;  // its writer listens until the controller is gone
    std::unique_ptr<StationCounters> counters_;
    std::unique_ptr<StationController> controller_;
    std::unique_ptr<DeviceBus> bus_;
    std::atomic<bool> stopBus_{false};
    std::thread busThread_;
};

}  // namespace corvid
