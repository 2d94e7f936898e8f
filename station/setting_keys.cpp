#include "station/setting_keys.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <optional>

#include "station/settings_files.h"

namespace corvid {

namespace {

constexpr int kHiddenDiskMaxRatio = 95;

std::string num(int value) {
    return std::to_string(value);
}

// A numeric setting held as any integer type of the settings.
template <auto Member>
std::string getNumber(const StationSettings& s) {
    return num(static_cast<int>(s.*Member));
}
template <auto Member>
void setNumber(StationSettings& s, const std::string& v) {
    using T = std::remove_reference_t<decltype(s.*Member)>;
    s.*Member = static_cast<T>(std::stoi(v));
}
template <auto Member>
std::string getRecordNumber(const StationSettings& s) {
    return num(static_cast<int>(s.record.*Member));
}
template <auto Member>
void setRecordNumber(StationSettings& s, const std::string& v) {
    using T = std::remove_reference_t<decltype(s.record.*Member)>;
    s.record.*Member = static_cast<T>(std::stoi(v));
}
template <auto Member>
std::string getRecordText(const StationSettings& s) {
    return s.record.*Member;
}
template <auto Member>
void setRecordText(StationSettings& s, const std::string& v) {
    s.record.*Member = v;
}

using S = StationSettings;
using R = SETTING_T;
constexpr SettingKind kFlag = SettingKind::Flag;
constexpr SettingKind kNumber = SettingKind::Number;
constexpr SettingKind kText = SettingKind::Text;

const std::array<SettingKey, 24> kKeys{{
    {"Format", kFlag, 0, 1, false, getNumber<&S::chkFormat>, setNumber<&S::chkFormat>},
    {"Blanking check", kFlag, 0, 1, false, getNumber<&S::chkBlankCheck>,
     setNumber<&S::chkBlankCheck>},
    {"FwUpgrade", kFlag, 0, 1, false, getNumber<&S::chkFwUpgrade>, setNumber<&S::chkFwUpgrade>},
    {"ISO upgrade", kFlag, 0, 1, false, getNumber<&S::chkISOupgrade>, setNumber<&S::chkISOupgrade>},
    {"Manual Upgrade", kFlag, 0, 1, false, getNumber<&S::CheckManuupgrade>,
     setNumber<&S::CheckManuupgrade>},
    {"System Area check", kFlag, 0, 1, false, getNumber<&S::SystemAreachk>,
     setNumber<&S::SystemAreachk>},
    {"System Area Size", kNumber, 0, kSystemAreaItemCount - 1, false,
     getNumber<&S::SystemAreaComBo>, setNumber<&S::SystemAreaComBo>},
    {"Label", kText, 0, 11, true, [](const S& s) { return s.LabelEdit; },
     [](S& s, const std::string& v) { s.LabelEdit = v; }},
    {"FwParityCheck", kFlag, 0, 1, false, getNumber<&S::chkParityCheck>,
     setNumber<&S::chkParityCheck>},
    {"CapMultiplier", kNumber, 0, kCapMultiplierCount - 1, false,
     getRecordNumber<&R::CapMultiplier>, setRecordNumber<&R::CapMultiplier>},
    {"iScanLevel", kNumber, 0, 4, false, getRecordNumber<&R::iScanLevel>,
     setRecordNumber<&R::iScanLevel>},
    {"iPageSkip", kNumber, 0, 64, false, getRecordNumber<&R::iPageSkip>,
     setRecordNumber<&R::iPageSkip>},
    {"iEccLevel", kNumber, 0, 7, false, getRecordNumber<&R::iEccLevel>,
     setRecordNumber<&R::iEccLevel>},
    {"iBadThreshold", kNumber, 0, 100, false, getRecordNumber<&R::iBadThreshold>,
     setRecordNumber<&R::iBadThreshold>},
    {"eDeviceFeature", kNumber, 0, 2, false, getRecordNumber<&R::eDeviceFeature>,
     setRecordNumber<&R::eDeviceFeature>},
    {"iHideDiskRatio", kNumber, 1, 100, false, getRecordNumber<&R::iHideDiskRatio>,
     setRecordNumber<&R::iHideDiskRatio>},
    {"sHideDiskLabel", kText, 0, 8, true, getRecordText<&R::sHideDiskLabel>,
     setRecordText<&R::sHideDiskLabel>},
    {"bUseImgFile", kFlag, 0, 1, false, getRecordNumber<&R::bUseImgFile>,
     setRecordNumber<&R::bUseImgFile>},
    {"ImageFile", kText, 0, 0, false, getRecordText<&R::ImageFile>, setRecordText<&R::ImageFile>},
    {"SaveSpiImage", kFlag, 0, 1, false, getRecordNumber<&R::SaveSpiImage>,
     setRecordNumber<&R::SaveSpiImage>},
    {"AllowErrorRate", kNumber, 1, 20, false, getRecordNumber<&R::AllowErrorRate>,
     setRecordNumber<&R::AllowErrorRate>},
    {"DealCapError", kNumber, 0, 2, false, getRecordNumber<&R::DealCapError>,
     setRecordNumber<&R::DealCapError>},
    {"PageMode", kFlag, 0, 1, false, getRecordNumber<&R::PageMode>, setRecordNumber<&R::PageMode>},
    {"PageModeSel", kNumber, 0, 7, false, getRecordNumber<&R::PageModeSel>,
     setRecordNumber<&R::PageModeSel>},
}};

bool equalNoCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

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

std::span<const SettingKey> settingKeys() {
    return kKeys;
}

const SettingKey* findSettingKey(std::string_view key) {
    const auto it = std::find_if(kKeys.begin(), kKeys.end(),
                                 [&](const SettingKey& k) { return equalNoCase(k.key, key); });
    return it == kKeys.end() ? nullptr : &*it;
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
        std::string text(value);
        if (key.upperCase) {
            std::transform(text.begin(), text.end(), text.begin(),
                           [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        }
        key.set(settings, text);
        return;
    }
    const std::optional<int> number = parseNumber(value);
    if (!number || *number < key.min || *number > key.max) {
        throw SettingsError("the value " + quoted(value) + " for " + name + " is not " +
                            (key.kind == SettingKind::Flag
                                 ? std::string("0 or 1")
                                 : "a whole number from " + num(key.min) + " to " + num(key.max)));
    }
    key.set(settings, num(*number));
}

void checkSettingCombination(const StationSettings& settings) {
    if (settings.record.eDeviceFeature == DeviceFeature::Hidden &&
        settings.record.iHideDiskRatio > kHiddenDiskMaxRatio) {
        throw SettingsError("iHideDiskRatio " + num(settings.record.iHideDiskRatio) +
                            " is more than the hidden disk allows (" + num(kHiddenDiskMaxRatio) +
                            "); lower it or choose another eDeviceFeature");
    }
}

}  // namespace corvid
