#pragma once

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

// One setting of prefer.ini, named by its key, for editors without a window.
struct SettingKey {
    std::string_view key;
    SettingKind kind;
    int min;
    int max;
    bool upperCase;  // texts that the window's edit box turns to upper case
    std::string (*get)(const StationSettings& settings);
    void (*set)(StationSettings& settings, const std::string& value);
};

// The settings in the order prefer.ini is read.
std::span<const SettingKey> settingKeys();

// The key of that name, compared without regard to case as in the INI file; null when unknown.
const SettingKey* findSettingKey(std::string_view key);

// Checks 'value' against the key's kind and range and sets it. Throws SettingsError with one
// sentence naming the key and the accepted values.
void setSettingValue(StationSettings& settings, const SettingKey& key, std::string_view value);

// Checks what single values cannot: the hidden disk takes at most 95 percent. Throws
// SettingsError.
void checkSettingCombination(const StationSettings& settings);

}  // namespace corvid
