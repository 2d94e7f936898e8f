// lang.ini as the window's language load reads it, in the languages the station offers.

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_station.h"
#include "station/language.h"
#include "station/language_load.h"
#include "station/messages.h"
#include "station/settings_files.h"
#include "station/station_folder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const corvid::StationFolder& folder = corvid::fuzz::scratchStation();
    corvid::fuzz::writeInput(folder.langIni(), data, size);
    // One language a run, picked by the input's length: each load reads the file once a text.
    constexpr std::array kChoices{corvid::LanguageChoice::English,
                                  corvid::LanguageChoice::SimplifiedChinese,
                                  corvid::LanguageChoice::TraditionalChinese};
    corvid::SharedMessages messages;
    corvid::StationSettings settings = corvid::newStationSettings(folder);
    (void)corvid::loadStationLanguage(folder, kChoices[size % kChoices.size()],
                                      corvid::kLangIdEnglishUs, messages, settings);
    return 0;
}
