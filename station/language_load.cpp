#include "station/language_load.h"

#include "station/station_registry.h"

namespace corvid {

LanguageChoice restoreLanguageChoice(RegistryStore& store) {
    const LanguageChoice choice = languageChoiceFromId(readLanguageId(store));
    writeLanguageId(store, languageIdOf(choice));
    return choice;
}

LanguageLoadResult loadStationLanguage(const StationFolder& folder, LanguageChoice choice,
                                       int systemLangId, SharedMessages& messages,
                                       StationSettings& settings) {
    const LanguageSection& section = languageSectionFor(choice, systemLangId);
    LanguageTexts texts = readLanguageTexts(folder.langIni(), section, *messages.current());
    messages.replace(texts.table);

    const FsmVersion fsm = readFsmVersion(settings.sFsmPath);
    if (fsm.opened) {
        settings.iFsmSize = fsm.size;
    }

    LanguageLoadResult result;
    result.iLanguage = section.iLanguage;
    result.captions = composeWindowCaptions(*texts.table, section.iLanguage, settings, fsm.text);
    result.problems = std::move(texts.problems);
    return result;
}

}  // namespace corvid
