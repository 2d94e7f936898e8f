#include <windows.h>

#include "station/language.h"

namespace corvid {

int systemDefaultLangId() {
    return static_cast<int>(GetSystemDefaultLangID());
}

}  // namespace corvid
