#pragma once

#include <span>
#include <string_view>

#include "station/messages.h"

namespace corvid {

// The station's own Chinese texts of the 64 keyed messages, UTF-8, in the order lang.ini is
// loaded; the English texts are the messages' defaults.
struct StationLangText {
    MessageKey key;
    std::string_view traditional;
    std::string_view simplified;
};
std::span<const StationLangText> stationLangTexts();

// The text of a keyed message in language index 0, 1 or 2.
std::string_view stationLangText(MessageKey key, int language);

}  // namespace corvid
