#ifdef _WIN32

#include <windows.h>

#include "station/os_class.h"

namespace corvid {

int hostOsClass() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof(info);
    if (!GetVersionExA(&info)) {
        return osClassFromVersion(false, false, 0, 0);
    }
    return osClassFromVersion(true, info.dwPlatformId == VER_PLATFORM_WIN32_NT,
                              static_cast<int>(info.dwMajorVersion),
                              static_cast<int>(info.dwMinorVersion));
}

}  // namespace corvid

#endif
