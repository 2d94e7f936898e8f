#pragma once

#include <filesystem>
#include <stdexcept>

#include "station/production_settings.h"
#include "station/station_folder.h"

namespace corvid {

// A settings file or folder that cannot be read or written; the text names it.
class SettingsError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The section of prefer.ini that holds the station settings, and the one beside it that holds
// Corvid's own.
inline constexpr char kPreferSection[] = "MP_Setting";
inline constexpr char kCorvidSection[] = "Corvid";

// A new station's settings: the defaults, sFsmPath of the folder and iOsClass of this host.
StationSettings newStationSettings(const StationFolder& folder);

// Reads every key of settingKeys() (setting_keys.h) into the settings: the nine control-held
// settings, the record and Corvid's own. Missing keys and values that are not numbers give the
// defaults; a value outside its range gives the nearest allowed one (fitSettingValue) and a note,
// returned in key order. Throws SettingsError naming the file when it is not text at all.
std::vector<std::string> readPreferIni(const std::filesystem::path& path,
                                       StationSettings& settings);
// Writes them, in the order the station has always written them; the sections HIDE_FILES and
// SPI_HIDE_FILES are erased in passing. Corvid's keys are written once they are in use. Other
// sections and keys stay as they are.
void writePreferIni(const std::filesystem::path& path, const StationSettings& settings);

// A list file (seting.ini, hideseting.ini, spiseting.ini). A missing file is an empty list; one
// that exists but cannot be read or decoded throws SettingsError, so that the next save does not
// replace it with an empty list.
FileList readListFile(const std::filesystem::path& path);
// Written as UTF-16LE with a byte-order mark, each entry followed by CR LF.
void writeListFile(const std::filesystem::path& path, const FileList& list);

// Removes, from the last entry to the first, every entry that names neither an existing folder
// nor a file that can be opened for reading. Returns the removed entries in list order.
FileList dropUnusableEntries(FileList& list, const StationFolder& folder);

// What loading found besides the values themselves.
struct SettingsLoadReport {
    FileList droppedPreCopy;
    FileList droppedHide;
    FileList droppedSpi;
    // The firmware entry the capacity multiplier was looked for in (empty without a .bin entry),
    // and whether it replaced the CapMultiplier of prefer.ini.
    std::string multiplierFirmware;
    bool multiplierFromFirmware = false;
    // prefer.ini values outside their range, each with the value used instead.
    std::vector<std::string> outOfRange;
};

// Everything the window's show loads, in its order: the three lists with unusable entries
// dropped, prefer.ini, the capacity multiplier from the firmware file, the firmware picks.
// Missing files give the defaults; a missing misc folder throws SettingsError. The disk-feature
// label follows from the record afterwards (diskFeatureText).
SettingsLoadReport loadStationSettings(const StationFolder& folder, StationSettings& settings);

// Everything the window's close saves, in its order: hideseting.ini, spiseting.ini, prefer.ini,
// seting.ini. Throws SettingsError naming the folder or file that cannot be written.
void saveStationSettings(const StationFolder& folder, const StationSettings& settings);

}  // namespace corvid
