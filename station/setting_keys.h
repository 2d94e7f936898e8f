#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "station/production_settings.h"

namespace corvid {

// How a setting is written after its INI key.
enum class SettingKind {
    Flag,    // 0 or 1
    Number,  // a whole number from 'min' to 'max'
    Text,    // at most 'max' characters ('max' 0: no limit)
};

// How a stored number outside min..max is read: as it is (the settings dialog shows such values
// as its nearest item), or as -1, no choice (the system-area combo box takes only its items).
enum class OutOfRangeRead { AsIs, NoChoice };

// When a save writes the key: always, or only once it is in use, that is when its value differs
// from the default or the file holds the key already. Corvid's own keys are saved that way, so
// that the prefer.ini of a station that never touched them keeps its bytes.
enum class SaveRule { Always, WhenInUse };

// Where a setting lives in StationSettings. Numbers (flags, counts, enumerations) go through
// 'number' / 'setNumber', texts through 'text' / 'setText'; the other pair is null.
struct SettingMember {
    int (*number)(const StationSettings& settings) = nullptr;
    void (*setNumber)(StationSettings& settings, int value) = nullptr;
    const std::string& (*text)(const StationSettings& settings) = nullptr;
    void (*setText)(StationSettings& settings, std::string value) = nullptr;
};

// One key of prefer.ini: the single description that loading, saving, showing and setting read.
struct SettingKey {
    std::string_view section;
    std::string_view key;
    SettingMember member;
    SettingKind kind = SettingKind::Number;
    int defaultValue = 0;  // for a missing key or a value that is not a number; texts: empty
    int min = 0;
    int max = 0;
    int loadPosition = 0;      // order in which the window's show reads the keys
    int savePosition = 0;      // order in which the window's close writes them
    std::string_view meaning;  // what the setting does, in English
    // The meaning of the value now held, for settings whose value names a choice; null when
    // 'meaning' with the value says it.
    std::string (*valueMeaning)(const StationSettings& settings) = nullptr;
    bool upperCase = false;  // texts that the window's edit box turns to upper case
    OutOfRangeRead outOfRange = OutOfRangeRead::AsIs;
    SaveRule save = SaveRule::Always;

    // The value as prefer.ini holds it: a decimal number, or the text.
    std::string get(const StationSettings& settings) const;
};

// Every save erases the sections of older stations' file lists (HIDE_FILES, SPI_HIDE_FILES) just
// before it writes the key at this save position.
inline constexpr int kSaveErasesOldListsAt = 19;

// The most of the capacity a hidden disk may take, in percent; an encrypted part may take all of
// it (iHideDiskRatio's maximum).
inline constexpr int kHiddenDiskMaxRatio = 95;

// Every key, in the order the settings are shown (which is also the order they are read).
std::span<const SettingKey> settingKeys();

// The key of that name, compared without regard to case as in the INI file; null when unknown.
const SettingKey* findSettingKey(std::string_view key);
// The key of a name the code itself spells, which the table must hold; throws std::logic_error
// for any other.
const SettingKey& settingKey(std::string_view key);

// Checks 'value' against the key's kind and range and sets it. Throws SettingsError with one
// sentence naming the key and the accepted values.
void setSettingValue(StationSettings& settings, const SettingKey& key, std::string_view value);

// Brings a value read from a hand-edited file into the key's range: a number to the nearest
// allowed value (a key read as "no choice" keeps -1), a text to its first 'max' characters.
// Returns a note naming the key, the value read and the value used; nothing when it was in range.
std::optional<std::string> fitSettingValue(StationSettings& settings, const SettingKey& key);

// Checks what single values cannot: the hidden disk takes at most 95 percent. Throws
// SettingsError.
void checkSettingCombination(const StationSettings& settings);

// What the key's current value means, in English: "format the disk after the downloads: on".
std::string settingValueMeaning(const SettingKey& key, const StationSettings& settings);

// The values 'key' accepts, in English: "0 or 1", "a whole number from 0 to 4", "at most 11
// characters", "any text on one line".
std::string settingRangeText(const SettingKey& key);

}  // namespace corvid
