#include "station/settings_editor.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <system_error>

#include "station/firmware_picks.h"
#include "station/language.h"
#include "station/setting_keys.h"

namespace corvid {

namespace {

std::string entriesText(std::size_t count) {
    return count == 0 ? "the list is empty" : "its entries are 0 to " + std::to_string(count - 1);
}

// Applies one list's changes to 'list' after checking each of them; returns the appended
// entries that are longer than the window accepts without a warning.
FileList editList(FileList& list, StationList which, const ListEdit& change,
                  const StationFolder& folder) {
    if (change.replace) {
        list = *change.replace;
    }
    const std::string name(stationListName(which));
    const std::set<std::size_t> removed(change.remove.begin(), change.remove.end());
    for (const std::size_t index : removed) {
        if (index >= list.size()) {
            throw SettingsEditRefused("there is no entry " + std::to_string(index) + " in the " +
                                      name + " (" + entriesText(list.size()) + ")");
        }
    }
    for (auto it = removed.rbegin(); it != removed.rend(); ++it) {
        list.erase(list.begin() + static_cast<std::ptrdiff_t>(*it));
    }

    FileList longPaths;
    for (const std::string& entry : change.add) {
        std::error_code error;
        const std::filesystem::path path = folder.resolve(entry);
        const bool file = std::filesystem::is_regular_file(path, error);
        const bool directory = std::filesystem::is_directory(path, error);
        if (which == StationList::Spi && !file) {
            throw SettingsEditRefused(entry + " is not a file");
        }
        if (!file && !directory) {
            throw SettingsEditRefused(entry + " is neither a file nor a folder");
        }
        if (entry.size() > kLongListPath) {
            longPaths.push_back(entry);
        }
    }
    list.insert(list.end(), change.add.begin(), change.add.end());
    return longPaths;
}

void setValues(StationSettings& settings,
               const std::vector<std::pair<std::string, std::string>>& values) {
    for (const auto& [name, value] : values) {
        const SettingKey* key = findSettingKey(name);
        if (key == nullptr) {
            throw SettingsEditRefused("\"" + name + "\" is not a setting");
        }
        try {
            setSettingValue(settings, *key, value);
        } catch (const SettingsError& e) {
            throw SettingsEditRefused(e.what());
        }
    }
    try {
        checkSettingCombination(settings);
    } catch (const SettingsError& e) {
        throw SettingsEditRefused(e.what());
    }
}

// The runs write the label in their code page: a label that does not fit there would fail every
// device after its format, so it is refused here, before anything is saved.
void checkNewLabel(const std::string& label, const SettingsEdit& edit, int textLanguage) {
    const bool changed = std::any_of(edit.values.begin(), edit.values.end(), [](const auto& value) {
        const SettingKey* key = findSettingKey(value.first);
        return key != nullptr && key->key == "Label";
    });
    if (!changed) {
        return;
    }
    if (auto refusal = volumeLabelRefusal(label, edit.runLanguage, textLanguage)) {
        throw SettingsEditRefused(*refusal);
    }
}

}  // namespace

FileList& stationList(StationSettings& settings, StationList list) {
    switch (list) {
        case StationList::PreCopy:
            return settings.preCopyList;
        case StationList::Hidden:
            return settings.record.HideFileList;
        case StationList::Spi:
            break;
    }
    return settings.record.SpiFileList;
}

std::string_view stationListName(StationList list) {
    switch (list) {
        case StationList::PreCopy:
            return "pre-copy list";
        case StationList::Hidden:
            return "hidden-disk list";
        case StationList::Spi:
            break;
    }
    return "SPI flash list";
}

ListEdit& SettingsEdit::list(StationList which) {
    switch (which) {
        case StationList::PreCopy:
            return preCopy;
        case StationList::Hidden:
            return hidden;
        case StationList::Spi:
            break;
    }
    return spi;
}

SettingsEditResult applySettingsEdit(const StationFolder& folder, StationSettings& settings,
                                     const SettingsEdit& edit, OperatorPrompt& prompt, int language,
                                     SettingsSave save) {
    // Everything is checked and worked out on a copy; only a whole edit reaches 'settings'.
    StationSettings next = settings;
    SettingsEditResult result;
    const std::pair<StationList, const ListEdit*> lists[] = {
        {StationList::PreCopy, &edit.preCopy},
        {StationList::Hidden, &edit.hidden},
        {StationList::Spi, &edit.spi},
    };
    for (const auto& [which, change] : lists) {
        FileList longPaths = editList(stationList(next, which), which, *change, folder);
        result.longPaths.insert(result.longPaths.end(), longPaths.begin(), longPaths.end());
    }
    if (!edit.preCopy.add.empty()) {
        result.multiplierRead = readCapMultiplierFromFirmware(next, folder);
    }
    const std::int32_t multiplierBefore = next.record.CapMultiplier;
    setValues(next, edit.values);
    checkNewLabel(next.LabelEdit, edit, language);
    recomputeFirmwarePicks(next, folder);
    result.multiplierChanged = next.record.CapMultiplier != multiplierBefore;

    if (save == SettingsSave::Now) {
        saveStationSettings(folder, next);
    }
    settings = std::move(next);

    // Last: the firmware file is not the station's own, so it changes only once everything else
    // has. It keeps the multiplier that overrides prefer.ini at the next start.
    if (result.multiplierChanged) {
        result.multiplierWritten = writeCapMultiplierToFirmware(
            settings.preCopyList, folder, settings.record.CapMultiplier, prompt, language);
    }
    return result;
}

}  // namespace corvid
