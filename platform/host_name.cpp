#include "platform/host_name.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace corvid {

std::string hostName() {
    char name[256] = {};
#ifdef _WIN32
    DWORD size = sizeof(name);
    if (GetComputerNameA(name, &size) == 0) {
        return "unknown";
    }
#else
    if (gethostname(name, sizeof(name) - 1) != 0) {
        return "unknown";
    }
#endif
    return name[0] != '\0' ? std::string(name) : std::string("unknown");
}

}  // namespace corvid
