#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/code_page.h"
#include "station/messages.h"

namespace corvid {

// The operator's language choice, stored as the registry value LanguageID.
enum class LanguageChoice { Auto = 0, English = 1, SimplifiedChinese = 2, TraditionalChinese = 3 };

// LanguageID to choice: 1..3 as above, any other value is Auto.
LanguageChoice languageChoiceFromId(int languageId);
int languageIdOf(LanguageChoice choice);

// Language identifiers (Windows LANGID) that decide a language.
inline constexpr int kLangIdEnglishUs = 1033;           // 0x0409
inline constexpr int kLangIdTraditionalChinese = 1028;  // 0x0404, Chinese (Taiwan)
inline constexpr int kLangIdSimplifiedChinese = 2052;   // 0x0804, Chinese (PRC)
inline constexpr int kLangIdChineseHongKong = 3076;     // 0x0C04

// The identifier of a POSIX locale name such as "zh_CN.UTF-8": zh_CN 2052, zh_TW 1028, zh_HK 3076,
// any other locale English (1033).
int langIdFromLocaleName(std::string_view localeName);
// The system's default language identifier: from LC_ALL, else LC_MESSAGES, else LANG; on Windows
// GetSystemDefaultLangID (station/system_language_win32.cpp).
int systemDefaultLangId();

// One section of lang.ini: its name, the language index it sets and the code page of its bytes
// (none for English, whose texts are plain ASCII and pass through unchanged).
struct LanguageSection {
    std::string_view name;
    int iLanguage;
    std::optional<CodePage> codePage;
};
// The section of language index 0, 1 or 2.
const LanguageSection& languageSectionOf(int iLanguage);
// The bytes a FAT volume label holds.
inline constexpr std::size_t kVolumeLabelBytes = 11;
// Why a volume label (UTF-8) cannot be given to the runs of language iLanguage, which write it in
// that language's code page (English: the UTF-8 bytes as they are): longer than
// kVolumeLabelBytes bytes there, or a character the code page does not hold. One line in
// 'textLanguage', the label in UTF-8; nothing when it fits.
std::optional<std::string> volumeLabelRefusal(std::string_view label, int iLanguage,
                                              int textLanguage);
// The section a choice selects: "Eng." English; "简中" and "繁中" their identifiers; "Auto" the
// system identifier. Only 2052 and 1028 select Chinese.
const LanguageSection& languageSectionFor(LanguageChoice choice, int systemLangId);

// The texts of one language read from lang.ini.
struct LanguageTexts {
    std::shared_ptr<const MessageTable> table;
    // Keys whose text could not be converted from the section's code page (English: is not valid
    // UTF-8); they keep their text. One sentence each, naming key, section and file.
    std::vector<std::string> problems;
};

// Reads every keyed message from the section, in the table's order, each taking its text from
// 'current' when the file, the section or the key is missing. BlankingSetupMsg becomes
// BlankingCheckStr followed by SettingMsg; FlashIdCheckMsg is never read.
LanguageTexts readLanguageTexts(const std::filesystem::path& langIni,
                                const LanguageSection& section, const MessageTable& current);

}  // namespace corvid
