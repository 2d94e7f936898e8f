#include "station/lang_ini_writer.h"

#include "platform/code_page.h"
#include "platform/text_file.h"
#include "station/language.h"
#include "station/station_lang_texts.h"

namespace corvid {

std::string stationLangIniBytes() {
    std::string bytes;
    for (int language = 0; language < kLanguageCount; ++language) {
        const LanguageSection& section = languageSectionOf(language);
        if (language > 0) {
            bytes += "\r\n";
        }
        bytes += "[" + std::string(section.name) + "]\r\n";
        for (const StationLangText& text : stationLangTexts()) {
            const std::string_view utf8 = stationLangText(text.key, language);
            bytes += std::string(messageKeyName(text.key)) + "=";
            bytes += section.codePage ? fromUtf8(utf8, *section.codePage) : std::string(utf8);
            bytes += "\r\n";
        }
    }
    return bytes;
}

void writeStationLangIni(const std::filesystem::path& path) {
    writeFileAtomically(path, stationLangIniBytes());
}

}  // namespace corvid
