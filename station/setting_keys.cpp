#include "station/setting_keys.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "platform/ascii_text.h"
#include "station/connection_text.h"
#include "station/messages.h"
#include "station/settings_files.h"

namespace corvid {

namespace {

using S = StationSettings;
using R = SETTING_T;
using C = CorvidSettings;

// The member reached from the settings through the member pointers of 'Path', for example
// &S::record, &R::iScanLevel.
template <auto... Path>
constexpr auto& field(S& settings) {
    return (settings.*....*Path);
}
template <auto... Path>
constexpr const auto& field(const S& settings) {
    return (settings.*....*Path);
}

template <typename T>
constexpr int toNumber(T value) {
    if constexpr (std::is_enum_v<T>) {
        return static_cast<int>(static_cast<std::underlying_type_t<T>>(value));
    } else {
        return static_cast<int>(value);
    }
}

// As the record's types take a number read from prefer.ini: a flag is set by any value but 0,
// an 8-bit enumeration keeps the low byte.
template <typename T>
constexpr T fromNumber(int value) {
    if constexpr (std::is_same_v<T, bool>) {
        return value != 0;
    } else if constexpr (std::is_enum_v<T>) {
        return static_cast<T>(static_cast<std::underlying_type_t<T>>(value));
    } else {
        return static_cast<T>(value);
    }
}

template <auto... Path>
constexpr SettingMember at() {
    using T = std::remove_cvref_t<decltype(field<Path...>(std::declval<S&>()))>;
    SettingMember member;
    if constexpr (std::is_same_v<T, std::string>) {
        member.text = [](const S& s) -> const std::string& { return field<Path...>(s); };
        member.setText = [](S& s, std::string value) { field<Path...>(s) = std::move(value); };
    } else {
        member.number = [](const S& s) { return toNumber(field<Path...>(s)); };
        member.setNumber = [](S& s, int value) { field<Path...>(s) = fromNumber<T>(value); };
    }
    return member;
}

std::string num(int value) {
    return std::to_string(value);
}
std::string english(FixedText row) {
    return std::string(fixedText(row, kLanguageEnglish));
}
std::string option(OptionTable table, int row) {
    const std::string_view name = optionName(table, row, kLanguageEnglish);
    return name.empty() ? "not a listed choice" : std::string(name);
}

// What a value that names a choice means.

std::string systemAreaSizeMeaning(const S& s) {
    return s.SystemAreaComBo < 0 ? std::string("no size chosen")
                                 : num(systemAreaItemMiB(s.SystemAreaComBo)) +
                                       "MB, used while System Area check is on";
}
std::string capMultiplierMeaning(const S& s) {
    const int index = s.record.CapMultiplier;
    return index >= 0 && index < kCapMultiplierCount
               ? "capacity multiplier x" + num(kCapMultipliers[index])
               : std::string("no valid multiplier");
}
std::string scanLevelMeaning(const S& s) {
    // The settings dialog shows any other value as the last level.
    const auto level = static_cast<unsigned>(s.record.iScanLevel);
    return option(OptionTable::ScanLevels, level > 3 ? 4 : static_cast<int>(level));
}
std::string eccLevelMeaning(const S& s) {
    const int item = s.record.iEccLevel;
    return item == 0               ? english(FixedText::Default)
           : item > 0 && item <= 7 ? "ECC level " + num(item - 1)
                                   : std::string("not a listed choice");
}
std::string deviceFeatureMeaning(const S& s) {
    switch (s.record.eDeviceFeature) {
        case DeviceFeature::Normal:
            return english(FixedText::Normal);
        case DeviceFeature::Encrypted:
            return english(FixedText::EncryptedDisk);
        case DeviceFeature::Hidden:
            return english(FixedText::HiddenDisk);
    }
    return "not a listed split";
}
std::string imageSourceMeaning(const S& s) {
    return s.record.bUseImgFile ? "hidden disk from ImageFile" : "hidden disk from its file list";
}
std::string dealCapErrorMeaning(const S& s) {
    const int deal = toNumber(s.record.DealCapError);
    return deal <= 2 ? english(static_cast<FixedText>(static_cast<int>(FixedText::Degrade) + deal))
                     : std::string("not a listed choice");
}
std::string pageModeSelMeaning(const S& s) {
    return option(OptionTable::PageModes, s.record.PageModeSel);
}

constexpr std::string_view kMp = kPreferSection;
constexpr std::string_view kOwn = kCorvidSection;
constexpr SettingKind kFlag = SettingKind::Flag;
constexpr SettingKind kNumber = SettingKind::Number;
constexpr SettingKind kText = SettingKind::Text;
constexpr bool kUpper = true;
constexpr OutOfRangeRead kAsIs = OutOfRangeRead::AsIs;
constexpr OutOfRangeRead kNoChoice = OutOfRangeRead::NoChoice;
constexpr SaveRule kWhenInUse = SaveRule::WhenInUse;

// Every setting of prefer.ini, in the order they are shown. A new setting is one row here (and
// its member in StationSettings); the checks below the table keep each row whole. Columns:
// section, key, member, kind, default, min, max, load position, save position, meaning, then
// where needed: the meaning of a chosen value, upper case, out-of-range reading, save rule.
constexpr SettingKey kKeys[] = {
    {kMp, "Format", at<&S::chkFormat>(), kFlag, 0, 0, 1, 0, 0,
     "format the disk after the downloads"},
    {kMp, "Blanking check", at<&S::chkBlankCheck>(), kFlag, 0, 0, 1, 1, 1,
     "blanking check (bad-block scan)"},
    {kMp, "FwUpgrade", at<&S::chkFwUpgrade>(), kFlag, 1, 0, 1, 2, 2, "write the firmware"},
    {kMp, "ISO upgrade", at<&S::chkISOupgrade>(), kFlag, 0, 0, 1, 3, 3,
     "write the CD-ROM image image.iso"},
    {kMp, "Manual Upgrade", at<&S::CheckManuupgrade>(), kFlag, 0, 0, 1, 4, 4,
     "wait for Start Upgrade"},
    {kMp, "System Area check", at<&S::SystemAreachk>(), kFlag, 0, 0, 1, 5, 5,
     "fixed system area size"},
    {kMp, "System Area Size", at<&S::SystemAreaComBo>(), kNumber, 0, 0, kSystemAreaItemCount - 1, 6,
     6, "the fixed system area size, item i being (i + 1) x 4 MB", systemAreaSizeMeaning, false,
     kNoChoice},
    {kMp, "Label", at<&S::LabelEdit>(), kText, 0, 0, 11, 7, 8, "volume label", nullptr, kUpper},
    {kMp, "FwParityCheck", at<&S::chkParityCheck>(), kFlag, 1, 0, 1, 8, 7, "firmware parity check"},
    {kMp, "CapMultiplier", at<&S::record, &R::CapMultiplier>(), kNumber, 0, 0,
     kCapMultiplierCount - 1, 9, 9,
     "capacity multiplier 1, 2, 4, 8, 16 or 32 by index, also kept in the firmware file",
     capMultiplierMeaning},
    {kMp, "iScanLevel", at<&S::record, &R::iScanLevel>(), kNumber, 0, 0, 4, 10, 10,
     "scan level of the blanking check", scanLevelMeaning},
    {kMp, "iPageSkip", at<&S::record, &R::iPageSkip>(), kNumber, 0, 0, 64, 11, 11,
     "pages skipped in the scan"},
    {kMp, "iEccLevel", at<&S::record, &R::iEccLevel>(), kNumber, 2, 0, 7, 12, 12,
     "ECC level the scan permits: 0 the default, n the level n - 1", eccLevelMeaning},
    {kMp, "iBadThreshold", at<&S::record, &R::iBadThreshold>(), kNumber, 20, 0, 100, 13, 13,
     "% bad blocks that force a blanking check"},
    {kMp, "eDeviceFeature", at<&S::record, &R::eDeviceFeature>(), kNumber, 0, 0, 2, 14, 14,
     "disk split: 0 normal, 1 encrypted, 2 hidden disk", deviceFeatureMeaning},
    {kMp, "iHideDiskRatio", at<&S::record, &R::iHideDiskRatio>(), kNumber, 10, 1, 100, 15, 15,
     "% of the capacity for the hidden or encrypted part"},
    {kMp, "sHideDiskLabel", at<&S::record, &R::sHideDiskLabel>(), kText, 0, 0, 8, 16, 16,
     "hidden disk label", nullptr, kUpper},
    {kMp, "bUseImgFile", at<&S::record, &R::bUseImgFile>(), kFlag, 0, 0, 1, 17, 17,
     "hidden disk from ImageFile instead of its file list", imageSourceMeaning},
    {kMp, "ImageFile", at<&S::record, &R::ImageFile>(), kText, 0, 0, 0, 18, 18,
     "hidden-disk image"},
    {kMp, "SaveSpiImage", at<&S::record, &R::SaveSpiImage>(), kFlag, 0, 0, 1, 19, 21,
     "save the NOR flash to NorImage.bin"},
    {kMp, "AllowErrorRate", at<&S::record, &R::AllowErrorRate>(), kNumber, 2, 1, 20, 20, 19,
     "% capacity shortfall allowed"},
    {kMp, "DealCapError", at<&S::record, &R::DealCapError>(), kNumber, 0, 0, 2, 21, 20,
     "a larger shortfall: 0 degrade, 1 show an error, 2 do not care", dealCapErrorMeaning},
    {kMp, "PageMode", at<&S::record, &R::PageMode>(), kFlag, 0, 0, 1, 22, 22, "special scan"},
    {kMp, "PageModeSel", at<&S::record, &R::PageModeSel>(), kNumber, 0, 0, 7, 23, 23,
     "page mode of the special scan", pageModeSelMeaning},
    {kOwn, "Verify", at<&S::corvid, &C::verify>(), kFlag, 0, 0, 1, 24, 24,
     "read back every copied file and image sector after writing", nullptr, false, kAsIs,
     kWhenInUse},
    {kOwn, "ProductionRecord", at<&S::corvid, &C::productionRecord>(), kFlag, 1, 0, 1, 25, 25,
     "keep one row per ended run in log/production.db", nullptr, false, kAsIs, kWhenInUse},
    {kOwn, "RecordDatabase", at<&S::corvid, &C::recordDatabase>(), kText, 0, 0, 0, 26, 26,
     "also send each row to this PostgreSQL database (postgresql://USER@HOST:PORT/DATABASE; "
     "empty: log/production.db only):",
     nullptr, false, kAsIs, kWhenInUse},
};
constexpr std::size_t kKeyCount = std::size(kKeys);

constexpr char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
constexpr bool equalNoCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return lowerAscii(x) == lowerAscii(y); });
}

constexpr bool isPermutation(int SettingKey::*position) {
    std::array<bool, kKeyCount> seen{};
    for (const SettingKey& key : kKeys) {
        const int p = key.*position;
        if (p < 0 || p >= static_cast<int>(kKeyCount) || seen[static_cast<std::size_t>(p)]) {
            return false;
        }
        seen[static_cast<std::size_t>(p)] = true;
    }
    return true;
}

// Unique over every section too: an editor names a setting by its key alone.
constexpr bool keysAreUnique() {
    for (std::size_t i = 0; i < kKeyCount; ++i) {
        for (std::size_t j = i + 1; j < kKeyCount; ++j) {
            if (equalNoCase(kKeys[i].key, kKeys[j].key)) {
                return false;
            }
        }
    }
    return true;
}

// The member's kind matches the row's, the range holds the default, and the default is the one
// the member starts with, so a station without prefer.ini and a new StationSettings agree.
[[maybe_unused]] constexpr bool rowsAreWhole() {
    StationSettings fresh{};  // not const: GCC 12 cannot build a const std::string here
    for (const SettingKey& key : kKeys) {
        if (key.section.empty() || key.key.empty() || key.meaning.empty()) {
            return false;
        }
        if (key.kind == SettingKind::Text) {
            if (key.member.text == nullptr || key.member.setText == nullptr ||
                !key.member.text(fresh).empty() || key.defaultValue != 0) {
                return false;
            }
            continue;
        }
        if (key.member.number == nullptr || key.member.setNumber == nullptr ||
            key.member.number(fresh) != key.defaultValue || key.defaultValue < key.min ||
            key.defaultValue > key.max) {
            return false;
        }
        if (key.kind == SettingKind::Flag && (key.min != 0 || key.max != 1)) {
            return false;
        }
    }
    return true;
}

static_assert(isPermutation(&SettingKey::loadPosition), "every key needs its own load position");
static_assert(isPermutation(&SettingKey::savePosition), "every key needs its own save position");
static_assert(kSaveErasesOldListsAt > 0 && kSaveErasesOldListsAt < static_cast<int>(kKeyCount));
static_assert(keysAreUnique(), "a key appears twice");
// Clang 14 cannot build libstdc++ 12's std::string at compile time (the fuzz build); GCC, which
// builds the station, checks the table.
#if !defined(__clang__)
static_assert(rowsAreWhole(), "a row's kind, range or default does not match its member");
#endif

// Decimal, or hexadecimal after "0x", as prefer.ini reads numbers.
std::optional<int> parseNumber(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// Characters of UTF-8 text: every byte that does not continue a sequence.
std::size_t characterCount(std::string_view text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

std::string quoted(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

}  // namespace

std::string SettingKey::get(const StationSettings& settings) const {
    return kind == SettingKind::Text ? member.text(settings) : num(member.number(settings));
}

std::span<const SettingKey> settingKeys() {
    return kKeys;
}

const SettingKey* findSettingKey(std::string_view key) {
    const auto it = std::find_if(std::begin(kKeys), std::end(kKeys),
                                 [&](const SettingKey& k) { return equalNoCase(k.key, key); });
    return it == std::end(kKeys) ? nullptr : &*it;
}

const SettingKey& settingKey(std::string_view key) {
    const SettingKey* found = findSettingKey(key);
    if (found == nullptr) {
        throw std::logic_error("prefer.ini has no key " + std::string(key));
    }
    return *found;
}

std::string settingRangeText(const SettingKey& key) {
    switch (key.kind) {
        case SettingKind::Flag:
            return "0 or 1";
        case SettingKind::Number:
            return "a whole number from " + num(key.min) + " to " + num(key.max);
        case SettingKind::Text:
            return key.max > 0 ? "at most " + num(key.max) + " characters" : "any text on one line";
    }
    return {};
}

void setSettingValue(StationSettings& settings, const SettingKey& key, std::string_view value) {
    const std::string name(key.key);
    if (key.kind == SettingKind::Text) {
        if (std::any_of(value.begin(), value.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
            throw SettingsError("the value for " + name + " must not hold control characters");
        }
        if (key.max > 0 && characterCount(value) > static_cast<std::size_t>(key.max)) {
            throw SettingsError("the value " + quoted(value) + " for " + name + " is longer than " +
                                num(key.max) + " characters");
        }
        key.member.setText(settings, key.upperCase ? asciiUpper(value) : std::string(value));
        return;
    }
    const std::optional<int> number = parseNumber(value);
    if (!number || *number < key.min || *number > key.max) {
        throw SettingsError("the value " + quoted(value) + " for " + name + " is not " +
                            settingRangeText(key));
    }
    key.member.setNumber(settings, *number);
}

std::optional<std::string> fitSettingValue(StationSettings& settings, const SettingKey& key) {
    const std::string name(key.key);
    if (key.kind == SettingKind::Text) {
        const std::string& text = key.member.text(settings);
        if (key.max <= 0 || characterCount(text) <= static_cast<std::size_t>(key.max)) {
            return std::nullopt;
        }
        // Cut before the lead byte of character max + 1, so no character is split.
        std::size_t characters = 0;
        std::size_t cut = 0;
        for (; cut < text.size(); ++cut) {
            if ((static_cast<unsigned char>(text[cut]) & 0xC0) != 0x80 &&
                characters++ == static_cast<std::size_t>(key.max)) {
                break;
            }
        }
        std::string used = text.substr(0, cut);
        std::string note = name + " " + quoted(std::string_view(text)) + " is longer than " +
                           num(key.max) + " characters; " + quoted(std::string_view(used)) +
                           " is used";
        key.member.setText(settings, std::move(used));
        return note;
    }
    const int value = key.member.number(settings);
    if (value >= key.min && value <= key.max) {
        return std::nullopt;
    }
    if (key.outOfRange == OutOfRangeRead::NoChoice && value == -1) {
        return std::nullopt;  // read as no choice already
    }
    const int used = std::clamp(value, key.min, key.max);
    key.member.setNumber(settings, used);
    return name + "=" + num(value) + " is not " + settingRangeText(key) + "; " + num(used) +
           " is used";
}

void checkSettingCombination(const StationSettings& settings) {
    if (settings.record.eDeviceFeature == DeviceFeature::Hidden &&
        settings.record.iHideDiskRatio > kHiddenDiskMaxRatio) {
        throw SettingsError("iHideDiskRatio " + num(settings.record.iHideDiskRatio) +
                            " is more than the hidden disk allows (" + num(kHiddenDiskMaxRatio) +
                            "); lower it or choose another eDeviceFeature");
    }
}

std::string settingValueMeaning(const SettingKey& key, const StationSettings& settings) {
    if (key.valueMeaning != nullptr) {
        return key.valueMeaning(settings);
    }
    const std::string meaning(key.meaning);
    switch (key.kind) {
        case SettingKind::Flag:
            return meaning + ": " + (key.member.number(settings) != 0 ? "on" : "off");
        case SettingKind::Text: {
            // The record database's connection string may hold a password: never shown.
            const std::string text = key.key == "RecordDatabase"
                                         ? urlWithoutPassword(key.member.text(settings))
                                         : key.member.text(settings);
            return meaning + " " + (text.empty() ? "(empty)" : text);
        }
        case SettingKind::Number:
            break;
    }
    return meaning;
}

}  // namespace corvid
