#include "station/settings_files.h"

#include <algorithm>
#include <fstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/code_page.h"
#include "platform/ini_file.h"
#include "platform/text_file.h"
#include "station/capacity_multiplier.h"
#include "station/firmware_picks.h"
#include "station/os_class.h"
#include "station/setting_keys.h"

namespace corvid {

namespace {

// Sections of older stations that every save removes from prefer.ini.
constexpr char kHideFilesSection[] = "HIDE_FILES";
constexpr char kSpiHideFilesSection[] = "SPI_HIDE_FILES";

// Text without a byte-order mark is in the system's 8-bit code page, which is UTF-8 here.
constexpr CodePage kSystemCodePage = CodePage::Utf8;

// The keys in the order of a load or a save.
std::vector<const SettingKey*> keysInOrder(int SettingKey::*position) {
    std::vector<const SettingKey*> keys;
    for (const SettingKey& key : settingKeys()) {
        keys.push_back(&key);
    }
    std::sort(keys.begin(), keys.end(), [position](const SettingKey* a, const SettingKey* b) {
        return a->*position < b->*position;
    });
    return keys;
}

// A key saved only once in use: its value is not the default, or the file holds it already.
bool inUse(const IniFile& ini, const SettingKey& key, const StationSettings& settings) {
    const bool isDefault = key.kind == SettingKind::Text
                               ? key.member.text(settings).empty()
                               : key.member.number(settings) == key.defaultValue;
    // A line break cannot stand in a value, so this default tells a missing key apart.
    constexpr char kMissing[] = "\n";
    return !isDefault ||
           ini.readString(std::string(key.section), std::string(key.key), kMissing) != kMissing;
}

bool isDirectory(const std::filesystem::path& path) {
    std::error_code ignored;
    return std::filesystem::is_directory(path, ignored);
}

bool isReadableFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return static_cast<bool>(in);
}

void requireMisc(const StationFolder& folder, const char* what) {
    if (!isDirectory(folder.misc())) {
        throw SettingsError(std::string("cannot ") + what + " the settings: the folder " +
                            folder.misc().string() + " is missing");
    }
}

}  // namespace

StationSettings newStationSettings(const StationFolder& folder) {
    StationSettings settings;
    settings.sFsmPath = folder.fsmBin().string();
    settings.iOsClass = hostOsClass();
    return settings;
}

std::vector<std::string> readPreferIni(const std::filesystem::path& path,
                                       StationSettings& settings) {
    // A file that is missing, empty, of another kind or cut short reads as defaults: said, so the
    // operator knows which settings the station runs with.
    std::vector<std::string> notes;
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    bool complete = false;
    if (!std::filesystem::exists(status)) {
        notes.push_back("the file is missing; every setting takes its default");
    } else if (!std::filesystem::is_regular_file(status)) {
        notes.push_back("it is not a file; every setting takes its default");
    } else {
        const std::string bytes = readFileBytes(path);
        if (const auto zero = bytes.find('\0'); zero != std::string::npos) {
            throw SettingsError("the settings file " + path.string() +
                                " is not a text file (a zero byte at offset " +
                                std::to_string(zero) + "); it is left as it is");
        }
        if (bytes.find_first_not_of(" \t\r\n") == std::string::npos) {
            notes.push_back("the file is empty; every setting takes its default");
        } else {
            complete = true;
        }
    }
    const IniFile ini(path);
    std::vector<std::string> missing;
    for (const SettingKey* key : keysInOrder(&SettingKey::loadPosition)) {
        const std::string section(key->section);
        const std::string name(key->key);
        if (complete && key->save == SaveRule::Always) {
            const std::vector<std::string> names = ini.keyNames(section);
            if (std::find(names.begin(), names.end(), name) == names.end()) {
                missing.push_back(name);
            }
        }
        if (key->kind == SettingKind::Text) {
            key->member.setText(settings, ini.readString(section, name, ""));
        } else {
            const int value = ini.readInt(section, name, key->defaultValue);
            if (key->outOfRange == OutOfRangeRead::NoChoice &&
                (value < key->min || value > key->max)) {
                key->member.setNumber(settings, -1);
                notes.push_back(name + "=" + std::to_string(value) + " is not " +
                                settingRangeText(*key) + "; it is read as no choice");
                continue;
            }
            key->member.setNumber(settings, value);
        }
        if (auto note = fitSettingValue(settings, *key)) {
            notes.push_back(std::move(*note));
        }
    }
    if (!missing.empty()) {
        std::string names;
        for (const std::string& name : missing) {
            names += (names.empty() ? "" : ", ") + name;
        }
        notes.push_back(
            "it has no " + names + " (cut short?); " +
            (missing.size() == 1 ? "it takes its default" : "they take their defaults"));
    }
    return notes;
}

void writePreferIni(const std::filesystem::path& path, const StationSettings& settings) {
    IniFile ini(path);
    try {
        // Consecutive keys of one section go out in one write of the file.
        std::string section;
        std::vector<std::pair<std::string, std::string>> entries;
        const auto flush = [&] {
            if (!entries.empty()) {
                ini.writeStrings(section, entries);
                entries.clear();
            }
        };
        for (const SettingKey* key : keysInOrder(&SettingKey::savePosition)) {
            if (key->savePosition == kSaveErasesOldListsAt) {
                flush();
                ini.eraseSection(kHideFilesSection);
                ini.eraseSection(kSpiHideFilesSection);
            }
            if (key->save == SaveRule::WhenInUse && !inUse(ini, *key, settings)) {
                continue;
            }
            if (key->section != section) {
                flush();
                section = key->section;
            }
            entries.emplace_back(key->key, key->get(settings));
        }
        flush();
    } catch (const std::exception& e) {
        throw SettingsError(e.what());
    }
}

FileList readListFile(const std::filesystem::path& path) {
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        return {};
    }
    try {
        return readTextLines(path, kSystemCodePage);
    } catch (const std::exception& e) {
        throw SettingsError(std::string("cannot load the file list: ") + e.what());
    }
}

void writeListFile(const std::filesystem::path& path, const FileList& list) {
    try {
        writeUtf16LeLines(path, list);
    } catch (const CodePageError& e) {
        throw SettingsError("cannot write the file " + path.string() +
                            ": an entry is not valid UTF-8 text (" + e.what() + ")");
    } catch (const std::exception& e) {
        throw SettingsError(e.what());
    }
}

FileList dropUnusableEntries(FileList& list, const StationFolder& folder) {
    FileList dropped;
    for (std::size_t i = list.size(); i-- > 0;) {
        const std::filesystem::path path = folder.resolve(list[i]);
        if (list[i].empty() || (!isDirectory(path) && !isReadableFile(path))) {
            dropped.insert(dropped.begin(), std::move(list[i]));
            list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    return dropped;
}

SettingsLoadReport loadStationSettings(const StationFolder& folder, StationSettings& settings) {
    requireMisc(folder, "load");
    SettingsLoadReport report;
    settings.preCopyList = readListFile(folder.preCopyListFile());
    report.droppedPreCopy = dropUnusableEntries(settings.preCopyList, folder);
    settings.record.HideFileList = readListFile(folder.hideListFile());
    report.droppedHide = dropUnusableEntries(settings.record.HideFileList, folder);
    settings.record.SpiFileList = readListFile(folder.spiListFile());
    report.droppedSpi = dropUnusableEntries(settings.record.SpiFileList, folder);

    report.outOfRange = readPreferIni(folder.preferIni(), settings);

    const CapMultiplierRead multiplier = readCapMultiplierFromFirmware(settings, folder);
    report.multiplierFirmware = multiplier.firmwareEntry;
    report.multiplierFromFirmware = multiplier.found;

    recomputeFirmwarePicks(settings, folder);
    return report;
}

void saveStationSettings(const StationFolder& folder, const StationSettings& settings) {
    requireMisc(folder, "save");
    writeListFile(folder.hideListFile(), settings.record.HideFileList);
    writeListFile(folder.spiListFile(), settings.record.SpiFileList);
    writePreferIni(folder.preferIni(), settings);
    writeListFile(folder.preCopyListFile(), settings.preCopyList);
}

}  // namespace corvid
