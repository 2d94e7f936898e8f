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

StationSession::StationSession(const StationSessionOptions& options) {
    const DeviceSetup devices = deviceSetupOf(options.device);
    station_ = loadStation(resolveStationHome(options.home),
                           stationSetupOptions(devices, options.pauseScale));
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
    assembly_ = std::make_unique<StationAssembly>(*station_, devices);
}

StationController& StationSession::start(const StationViews& views, const std::string& command) {
    return assembly_->start(views, [command](const std::string& reason) {
        std::fprintf(stderr, "corvid-cli %s: %s\n", command.c_str(), reason.c_str());
    });
}

void StationSession::listen(std::uint32_t letters) {
    assembly_->listen(letters, [](const std::string& reason) {
        std::fprintf(stderr, "corvid-cli: %s.\n", reason.c_str());
    });
}

}  // namespace corvid::cli
