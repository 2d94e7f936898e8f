#include <cstdlib>

#include "station/language.h"

namespace corvid {

int systemDefaultLangId() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            return langIdFromLocaleName(value);
        }
    }
    return kLangIdEnglishUs;
}

}  // namespace corvid
