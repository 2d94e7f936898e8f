#include "apps/cli/station_session.h"

#include <cstdio>

#include "apps/cli/commands.h"
#include "apps/cli/station_home.h"

namespace corvid::cli {

void addStationSessionOptions(CLI::App& command, StationSessionOptions& options) {
    addHomeOption(command, options.home);
    addDeviceOptions(command, options.device);
    command
        .add_option("--pause-scale", options.pauseScale,
                    "Scale of the pauses between device steps (1: as the station waits; 0: no "
                    "pauses, for tests and measurements of the devices alone)")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                // A range check alone lets "nan" through: it compares false both ways.
                double value = 0;
                const bool number = CLI::detail::lexical_cast(text, value);
                return number && value >= 0.0 && value <= 100.0
                           ? std::string()
                           : "the pause scale " + text + " is not a number from 0 to 100";
            },
            "0 TO 100"));
}

int runStationCommand(const char* command, const std::function<int()>& body) {
    try {
        return body();
    } catch (const StationFolderError& e) {
        std::fprintf(stderr,
                     "corvid-cli %s: %s (corvid-cli init-home DIR writes a complete one).\n",
                     command, e.what());
        return kExitBadInput;
    } catch (const DeviceOptionError& e) {
        std::fprintf(stderr, "corvid-cli %s: %s\n", command, e.what());
        return kExitBadInput;
    } catch (const SettingsError& e) {
        std::fprintf(stderr, "corvid-cli %s: %s\n", command, e.what());
        return kExitBadInput;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "corvid-cli %s: %s\n", command, e.what());
        return kExitFailed;
    }
}

StationSession::StationSession(const StationSessionOptions& options)
    : setup_(deviceSetupOf(options.device)) {
    StationSetupOptions stationOptions;
    stationOptions.pauseScale = options.pauseScale;
    stationOptions.portLocations = setup_.backend == DeviceBackend::Sim
                                       ? PortLocationOrigin::SingleHub
                                       : PortLocationOrigin::UsbSysfs;
    station_ = loadStation(resolveStationHome(options.home), stationOptions);
    for (const auto& note : station_->settingsReport.outOfRange) {
        std::printf("note: misc/prefer.ini: %s\n", note.c_str());
    }
    for (const auto& problem : station_->language.problems) {
        std::printf("note: %s\n", problem.c_str());
    }
    for (const auto& note : station_->notes) {
        std::printf("note: %s\n", note.c_str());
    }
    for (const auto& dropped : station_->settingsReport.droppedPreCopy) {
        std::printf("note: the pre-copy entry %s names no readable file; it is left out\n",
                    dropped.c_str());
    }
    transport_ = makeTransport(setup_);
    volumes_ = makeVolumeTools(setup_);
    locks_ = std::make_unique<DriveLocks>(driveLockFolder(setup_));
}

StationSession::~StationSession() {
    stop();
}

void StationSession::stop() {
    stopBus_ = true;
    if (bus_) {
        bus_->wake();
    }
    if (busThread_.joinable()) {
        busThread_.join();
    }
    controller_.reset();
}

StationController& StationSession::start(const std::array<SlotView*, kSlotCount>& slots,
                                         StationView& view, OperatorPrompt& prompt,
                                         const std::string& command) {
    counters_ = std::make_unique<StationCounters>(view);
    controller_ = std::make_unique<StationController>(
        StationControlSetup{slots,
                            station_->environment(*transport_, *volumes_, view, prompt, *counters_,
                                                  [command](const std::string& reason) {
                                                      std::fprintf(stderr, "corvid-cli %s: %s\n",
                                                                   command.c_str(), reason.c_str());
                                                  }),
                            station_->language.iLanguage, locks_.get()});
    return *controller_;
}

void StationSession::listen(std::uint32_t letters) {
    bus_ = makeDeviceBus(setup_);
    busThread_ = std::thread([this, letters] { readBus(letters); });
}

void StationSession::readBus(std::uint32_t letters) {
    try {
        while (!stopBus_) {
            auto event = bus_->waitEvent(std::chrono::milliseconds(200));
            if (!event) {
                continue;
            }
            event->letters &= letters;
            if (event->letters != 0) {
                controller_->post(*event);
            }
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr,
                     "corvid-cli: the device bus failed (%s); arrivals and removals are no "
                     "longer seen.\n",
                     error.what());
    }
}

}  // namespace corvid::cli
