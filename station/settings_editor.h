#pragma once

// Changing the station's settings between production runs, with the effects the window gives
// each change: the capacity multiplier written into the firmware file, the firmware picks and
// the system-area estimate recomputed, the files saved. No window is needed: corvid-cli settings
// edits through it, and so does the settings dialog.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "station/capacity_multiplier.h"
#include "station/messages.h"
#include "station/operator_prompt.h"
#include "station/production_settings.h"
#include "station/settings_files.h"
#include "station/station_folder.h"

namespace corvid {

// A change the editor refuses: the text names the key, entry or path at fault and what is
// allowed. When it is thrown, neither the settings nor any file has changed.
class SettingsEditRefused : public SettingsError {
  public:
    using SettingsError::SettingsError;
};

// The station's three file lists.
enum class StationList { PreCopy, Hidden, Spi };

FileList& stationList(StationSettings& settings, StationList list);
// "pre-copy list", "hidden-disk list", "SPI flash list"
std::string_view stationListName(StationList list);

// Paths longer than this are kept, but the window warns the operator about them.
inline constexpr std::size_t kLongListPath = 128;

// The changes to one list, made in this order: the whole list replaced (the settings dialog
// copies its list boxes back), entries removed by their index in the list as it then stands,
// paths appended. An appended path must name an existing file, or folder (not for the SPI flash
// list); a relative path is taken inside the station folder.
struct ListEdit {
    std::optional<FileList> replace;
    std::vector<std::size_t> remove;
    FileList add;
};

// Changes gathered first and applied together, so that one bad value changes nothing.
struct SettingsEdit {
    // prefer.ini keys (compared without regard to case) and their new values as text.
    std::vector<std::pair<std::string, std::string>> values;
    ListEdit preCopy;
    ListEdit hidden;
    ListEdit spi;
    // The language of the station's runs: a new Label is counted in bytes of its code page.
    int runLanguage = kLanguageEnglish;

    ListEdit& list(StationList which);
};

// When the station's files take an applied edit: at once (corvid-cli, which has no window to
// close), or when the window closes, as the station has always saved its settings.
enum class SettingsSave { Now, AtClose };

struct SettingsEditResult {
    FileList longPaths;  // appended entries longer than kLongListPath
    // Set when paths were appended to the pre-copy list, after which the multiplier is read
    // again from the firmware file, as after the window's "Add files...".
    std::optional<CapMultiplierRead> multiplierRead;
    bool multiplierChanged = false;  // the edit chose another CapMultiplier
    bool multiplierWritten = false;  // and the firmware file took it
};

// Checks every change of 'edit' first: a key that is unknown, a value outside its key's range,
// a hidden disk above 95 percent, a Label the runs' code page cannot hold in 11 bytes, an index
// that is not in its list or a path that names nothing throws SettingsEditRefused with 'settings'
// and every file untouched. Then applies it: the lists, the multiplier read again after pre-copy
// additions, the values, the firmware picks recomputed; with SettingsSave::Now the four settings
// files are saved (a failure throws SettingsError and leaves 'settings' as it was); last, a changed
// CapMultiplier is written into the firmware file (a failure is told to the operator through
// 'prompt' in 'language', as the window does, and shows in the result; CapMultiplier keeps the new
// choice in any case).
SettingsEditResult applySettingsEdit(const StationFolder& folder, StationSettings& settings,
                                     const SettingsEdit& edit, OperatorPrompt& prompt, int language,
                                     SettingsSave save);

}  // namespace corvid
