#include <unistd.h>

#include "platform/host_name.h"

namespace corvid {

std::string hostName() {
    char name[256] = {};
    if (gethostname(name, sizeof(name) - 1) != 0) {
        return "unknown";
    }
    return name[0] != '\0' ? std::string(name) : std::string("unknown");
}

}  // namespace corvid
