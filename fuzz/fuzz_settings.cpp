// prefer.ini as the station loads it at its start: every value with its range check, the lists
// and firmware picks around it (missing here), and the same bytes read as a registry store.

#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_station.h"
#include "platform/ini_file.h"
#include "platform/registry_store.h"
#include "station/language_load.h"
#include "station/settings_files.h"
#include "station/station_folder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const corvid::StationFolder& folder = corvid::fuzz::scratchStation();
    corvid::fuzz::writeInput(folder.preferIni(), data, size);

    corvid::StationSettings settings = corvid::newStationSettings(folder);
    try {
        (void)corvid::loadStationSettings(folder, settings);
    } catch (const corvid::SettingsError&) {
    }

    const corvid::IniFile ini(folder.preferIni());
    for (const std::string& section : ini.sectionNames()) {
        for (const std::string& key : ini.keyNames(section)) {
            (void)ini.readInt(section, key, 0);
        }
    }

    // The registry store rewrites its file: give it a copy.
    const auto registryFile = folder.misc() / "registry.ini";
    corvid::fuzz::writeInput(registryFile, data, size);
    const auto store = corvid::openIniRegistryStore(registryFile);
    try {
        (void)corvid::restoreLanguageChoice(*store);
        (void)store->readString("SoftWare\\ZQL5V16\\MPTool", "Station", "");
    } catch (const std::runtime_error&) {
        // A file the format cannot rewrite (a line break in a section name) is refused by name.
    }
    return 0;
}
