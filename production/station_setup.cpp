#include "production/station_setup.h"

#include <system_error>

#include "station/language.h"
#include "station/settings_files.h"
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

ProductionEnvironment StationSetup::environment(StationView& view, OperatorPrompt& prompt,
                                                StationCounters& counters,
                                                DiagnosticSink diagnostic) {
    return ProductionEnvironment{
        WorkerSeams{view, prompt, *registry, messages, settings, clock, folder.home()}, counters,
        portLocations.get(), std::move(diagnostic)};
}

std::unique_ptr<StationSetup> loadStation(const std::filesystem::path& home,
                                          const StationSetupOptions& options) {
    std::error_code error;
    if (!std::filesystem::is_directory(home / "misc", error)) {
        throw StationFolderError("the station folder " + home.string() + " has no misc folder");
    }
    auto station = std::make_unique<StationSetup>(home, options.pauseScale);
    // Files read at start and written at the end: in place of one, a folder would be read as
    // nothing, leave every value at its default and refuse the save at the end.
    for (const std::filesystem::path& file :
         {station->folder.preferIni(), station->folder.misc() / "registry.ini",
          station->folder.langIni()}) {
        if (std::filesystem::exists(file, error) &&
            !std::filesystem::is_regular_file(file, error)) {
            throw SettingsError(file.string() +
                                (std::filesystem::is_directory(file, error)
                                     ? " is a folder, not a file"
                                     : " is not a file") +
                                "; the station does not start until it is a file or gone");
        }
    }
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
