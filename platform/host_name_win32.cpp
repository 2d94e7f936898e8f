#include <windows.h>

#include "platform/host_name.h"

namespace corvid {

std::string hostName() {
    char name[256] = {};
    DWORD size = sizeof(name);
    if (GetComputerNameA(name, &size) == 0) {
        return "unknown";
    }
    return name[0] != '\0' ? std::string(name) : std::string("unknown");
}

}  // namespace corvid
