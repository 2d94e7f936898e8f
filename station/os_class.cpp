#include "station/os_class.h"

namespace corvid {

int osClassFromVersion(bool versionKnown, bool ntFamily, int major, int minor) {
    if (!versionKnown || !ntFamily) {
        return 0;
    }
    if (major < 5) {
        return 1;
    }
    if (minor == 0) {
        return 2;
    }
    return minor == 1 ? 3 : 4;
}

}  // namespace corvid
