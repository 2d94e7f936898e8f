#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "characterisation/run_clock.h"
#include "platform/registry_store.h"
#include "production/port_location.h"
#include "production/product_thread.h"
#include "station/language_load.h"
#include "station/messages.h"
#include "station/production_settings.h"
#include "station/settings_files.h"
#include "station/station_folder.h"

namespace corvid {

// The station folder has no misc folder, so it holds no station; the text names the folder.
class StationFolderError : public SettingsError {
  public:
    using SettingsError::SettingsError;
};

// Where a device's port location comes from when misc/ holds no port-location program.
enum class PortLocationOrigin {
    None,       // nowhere: the slot's detail text P stays empty
    SingleHub,  // the simulator's devices, all on one hub: "<1-0-port>"
    UsbSysfs,   // Linux: the USB path of the disk /dev/sdX in sysfs
};

struct StationSetupOptions {
    // How long the pauses between device steps last: 1 as the station waits, 0 none at all.
    double pauseScale = 1.0;
    PortLocationOrigin portLocations = PortLocationOrigin::None;
};

// A station read from its folder, with everything its workers share that is not the program's
// own: the program brings the views, the operator prompt and the counters, and each worker's
// device. It does not move, since the workers hold references into it.
struct StationSetup {
    explicit StationSetup(std::filesystem::path home, double pauseScale)
        : folder(std::move(home)), clock(pauseScale) {}
    StationSetup(const StationSetup&) = delete;
    StationSetup& operator=(const StationSetup&) = delete;

    StationFolder folder;
    // The settings, the three lists and the firmware picks, as the window's show loads them.
    StationSettings settings;
    // The list entries dropped as unusable and where the capacity multiplier came from.
    SettingsLoadReport settingsReport;
    // misc/registry.ini of the folder (the registry on Windows).
    std::unique_ptr<RegistryStore> registry;
    // The texts of the language the registry's LanguageID chooses.
    SharedMessages messages;
    // The language index, the window captions to apply and what was wrong with lang.ini.
    LanguageLoadResult language;
    SystemRunClock clock;
    // Null for PortLocationOrigin::None.
    std::unique_ptr<PortLocationSource> portLocations;
    // What the station found missing at its start and falls back on, one line each.
    std::vector<std::string> notes;

    // What each worker of this station shares; 'counters' show themselves on 'view'.
    ProductionEnvironment environment(StationView& view, OperatorPrompt& prompt,
                                      StationCounters& counters, DiagnosticSink diagnostic = {});
};

// Reads the station in folder 'home': the lists, prefer.ini, the capacity multiplier of the
// firmware file and the firmware picks, the registry, the language with its captions, and makes
// its clock and port-location source. Throws StationFolderError when 'home' has no misc folder,
// SettingsError for a settings file that exists but cannot be read.
std::unique_ptr<StationSetup> loadStation(const std::filesystem::path& home,
                                          const StationSetupOptions& options);

}  // namespace corvid
