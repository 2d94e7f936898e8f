#pragma once

#include <string>
#include <vector>

#include "platform/registry_store.h"
#include "station/language.h"
#include "station/messages.h"
#include "station/production_settings.h"
#include "station/station_folder.h"
#include "station/window_captions.h"

namespace corvid {

// The window's show: reads LanguageID (missing means Auto) and writes the choice back, so the
// value exists from then on.
LanguageChoice restoreLanguageChoice(RegistryStore& store);

struct LanguageLoadResult {
    int iLanguage = kLanguageEnglish;
    std::vector<Caption> captions;  // for the window to apply, in order
    std::vector<std::string> problems;
};

// The language load of the window without its widgets: reads misc/lang.ini for the choice,
// hands the new message table to 'messages' as a whole (workers reading it meanwhile see the old
// or the new texts), takes iFsmSize and the FSM version text from sFsmPath, and composes the
// captions.
LanguageLoadResult loadStationLanguage(const StationFolder& folder, LanguageChoice choice,
                                       int systemLangId, SharedMessages& messages,
                                       StationSettings& settings);

}  // namespace corvid
