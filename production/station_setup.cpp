#include "production/station_setup.h"

#include <system_error>

#include "station/language.h"
#include "station/station_registry.h"

namespace corvid {

namespace {

std::unique_ptr<PortLocationSource> makePortLocationSource(PortLocationOrigin origin) {
    switch (origin) {
        case PortLocationOrigin::None:
            return nullptr;
        case PortLocationOrigin::SingleHub:
            return std::make_unique<SingleHubPortLocationSource>();
        case PortLocationOrigin::UsbSysfs:
            return systemPortLocationSource();
    }
    return nullptr;
}

}  // namespace

ProductionEnvironment StationSetup::environment(Transport& transport, VolumeTools& volumes,
                                                StationView& view, OperatorPrompt& prompt,
                                                StationCounters& counters,
                                                DiagnosticSink diagnostic) {
    return ProductionEnvironment{
        transport, volumes,  view,  prompt,        *registry,           messages,
        settings,  counters, clock, folder.home(), portLocations.get(), std::move(diagnostic)};
}

std::unique_ptr<StationSetup> loadStation(const std::filesystem::path& home,
                                          const StationSetupOptions& options) {
    std::error_code error;
    if (!std::filesystem::is_directory(home / "misc", error)) {
        throw StationFolderError("the station folder " + home.string() + " has no misc folder");
    }
    auto station = std::make_unique<StationSetup>(home, options.pauseScale);
    station->settings = newStationSettings(station->folder);
    station->settingsReport = loadStationSettings(station->folder, station->settings);
    station->registry = openRegistryStore(home.string());
    station->language = loadStationLanguage(
        station->folder, languageChoiceFromId(readLanguageId(*station->registry)),
        systemDefaultLangId(), station->messages, station->settings);
    station->portLocations = makePortLocationSource(options.portLocations);
    if (!std::filesystem::is_regular_file(station->folder.fsmBin(), error)) {
        station->notes.push_back(station->folder.fsmBin().string() +
                                 " is missing: every device will fail at \"FSM Writing\" until "
                                 "it is there");
    }
    return station;
}

}  // namespace corvid
