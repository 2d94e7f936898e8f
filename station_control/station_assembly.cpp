#include "station_control/station_assembly.h"

#include <chrono>
#include <exception>

namespace corvid {

StationSetupOptions stationSetupOptions(const DeviceSetup& devices, double pauseScale) {
    StationSetupOptions options;
    options.pauseScale = pauseScale;
    options.portLocations = devices.backend == DeviceBackend::Sim ? PortLocationOrigin::SingleHub
                                                                  : PortLocationOrigin::UsbSysfs;
    return options;
}

StationAssembly::StationAssembly(StationSetup& station, const DeviceSetup& devices)
    : station_(station),
      devices_(devices),
      transport_(makeTransport(devices)),
      volumes_(makeVolumeTools(devices)),
      locks_(std::make_unique<DriveLocks>(driveLockFolder(devices))) {}

StationAssembly::~StationAssembly() {
    stop();
}

void StationAssembly::keepRecord(const std::string& recordDatabase, StationNotice complain) {
    record_.emplace(station_, recordDatabase, std::move(complain));
}

StationController& StationAssembly::start(const StationViews& views,
                                          StationNotice finishingFailure) {
    counters_ = std::make_unique<StationCounters>(*views.station);
    controller_ = std::make_unique<StationController>(StationControlSetup{
        views.slots, *transport_, *volumes_,
        station_.environment(*views.station, *views.prompt, *counters_,
                             std::move(finishingFailure)),
        station_.language.iLanguage, locks_.get(),
        [devices = devices_](char letter) { return diskIdentity(devices, letter); }});
    if (record_) {
        if (StationListener* writer = record_->writer()) {
            controller_->addListener(*writer);
        }
    }
    return *controller_;
}

void StationAssembly::listen(std::uint32_t letters, StationNotice busFailed) {
    if (busThread_.joinable()) {
        return;
    }
    bus_ = makeDeviceBus(devices_);
    stopBus_ = false;
    busThread_ = std::thread(
        [this, letters, busFailed = std::move(busFailed)] { readBus(letters, busFailed); });
}

void StationAssembly::readBus(std::uint32_t letters, const StationNotice& busFailed) {
    try {
        while (!stopBus_) {
            auto event = bus_->waitEvent(std::chrono::milliseconds(200));
            if (!event) {
                continue;
            }
            event->letters &= letters;
            if (event->letters == 0) {
                continue;
            }
            // Seen here first: the controller's thread may be busy with another device for a
            // while, and the removed device's worker must not reach the next disk on the letter.
            if (event->kind == DeviceEventKind::Removal) {
                controller_->revokeRemoved(event->letters);
            }
            controller_->post(*event);
        }
    } catch (const std::exception& error) {
        busFailed(std::string("the device bus failed (") + error.what() +
                  "); arrivals and removals are no longer seen");
    }
}

void StationAssembly::stopListening() {
    stopBus_ = true;
    if (bus_) {
        bus_->wake();
    }
    if (busThread_.joinable()) {
        busThread_.join();
    }
}

void StationAssembly::stop() {
    stopListening();
    if (controller_) {
        controller_->stopTakingDevices();
    }
    controller_.reset();
}

}  // namespace corvid
