#include "station/language.h"

#include <array>
#include <cstdlib>
#include <utility>

#include "platform/ini_file.h"

namespace corvid {

namespace {

constexpr std::array<LanguageSection, kLanguageCount> kSections = {{
    {"English", kLanguageEnglish, std::nullopt},
    {"Chinese (Taiwan)", kLanguageTraditionalChinese, CodePage::Big5},
    {"Chinese (PRC)", kLanguageSimplifiedChinese, CodePage::Gbk},
}};

}  // namespace

LanguageChoice languageChoiceFromId(int languageId) {
    switch (languageId) {
        case 1:
            return LanguageChoice::English;
        case 2:
            return LanguageChoice::SimplifiedChinese;
        case 3:
            return LanguageChoice::TraditionalChinese;
        default:
            return LanguageChoice::Auto;
    }
}

int languageIdOf(LanguageChoice choice) {
    return static_cast<int>(choice);
}

int langIdFromLocaleName(std::string_view localeName) {
    // "language_TERRITORY.codeset@modifier": only language and territory matter.
    const std::string_view base = localeName.substr(0, localeName.find_first_of(".@"));
    if (base == "zh_CN") {
        return kLangIdSimplifiedChinese;
    }
    if (base == "zh_TW") {
        return kLangIdTraditionalChinese;
    }
    if (base == "zh_HK") {
        return kLangIdChineseHongKong;
    }
    return kLangIdEnglishUs;
}

const LanguageSection& languageSectionOf(int iLanguage) {
    if (iLanguage < 0 || iLanguage >= kLanguageCount) {
        return kSections[kLanguageEnglish];
    }
    return kSections[static_cast<std::size_t>(iLanguage)];
}

std::optional<std::string> volumeLabelRefusal(std::string_view label, int iLanguage,
                                              int textLanguage) {
    const auto fill = [&](FixedText row, std::string bytes) {
        std::string text(fixedText(row, textLanguage));
        const std::pair<std::string_view, std::string> fields[] = {
            {"%1", std::string(label)},
            {"%2", std::move(bytes)},
            {"%3", std::to_string(kVolumeLabelBytes)}};
        for (const auto& [field, value] : fields) {
            if (const std::size_t at = text.find(field); at != std::string::npos) {
                text.replace(at, field.size(), value);
            }
        }
        return text;
    };
    std::size_t bytes = label.size();
    if (const std::optional<CodePage> codePage = languageSectionOf(iLanguage).codePage) {
        try {
            bytes = fromUtf8(label, *codePage).size();
        } catch (const CodePageError&) {
            return fill(FixedText::LabelNotInCodePage, {});
        }
    }
    if (bytes <= kVolumeLabelBytes) {
        return std::nullopt;
    }
    return fill(FixedText::LabelTooLong, std::to_string(bytes));
}

const LanguageSection& languageSectionFor(LanguageChoice choice, int systemLangId) {
    int langId = systemLangId;
    switch (choice) {
        case LanguageChoice::English:
            return kSections[kLanguageEnglish];
        case LanguageChoice::SimplifiedChinese:
            langId = kLangIdSimplifiedChinese;
            break;
        case LanguageChoice::TraditionalChinese:
            langId = kLangIdTraditionalChinese;
            break;
        case LanguageChoice::Auto:
            break;
    }
    if (langId == kLangIdSimplifiedChinese) {
        return kSections[kLanguageSimplifiedChinese];
    }
    if (langId == kLangIdTraditionalChinese) {
        return kSections[kLanguageTraditionalChinese];
    }
    return kSections[kLanguageEnglish];
}

LanguageTexts readLanguageTexts(const std::filesystem::path& langIni,
                                const LanguageSection& section, const MessageTable& current) {
    const IniFile ini(langIni);
    const std::string sectionName(section.name);
    auto table = std::make_shared<MessageTable>(current);
    LanguageTexts result;

    // One read of the file for every text: it holds a section of them per language.
    std::vector<std::string> keyNames;
    for (std::size_t i = 0; i < kKeyedMessageCount; ++i) {
        keyNames.emplace_back(messageKeyName(static_cast<MessageKey>(i)));
    }
    const auto values = ini.readStrings(sectionName, keyNames);
    for (std::size_t i = 0; i < kKeyedMessageCount; ++i) {
        if (!values[i]) {
            continue;
        }
        try {
            // English texts are taken as UTF-8, checked so that no stray byte reaches a terminal
            // or the window.
            table->setText(static_cast<MessageKey>(i),
                           toUtf8(*values[i], section.codePage.value_or(CodePage::Utf8)));
        } catch (const CodePageError& e) {
            result.problems.push_back("the text of " + keyNames[i] + " in section [" + sectionName +
                                      "] of " + langIni.string() + " is kept: " + e.what());
        }
    }
    table->setText(MessageKey::BlankingSetupMsg,
                   table->text(MessageKey::BlankingCheckStr) + table->text(MessageKey::SettingMsg));
    result.table = std::move(table);
    return result;
}

}  // namespace corvid
