#include "production/port_location.h"

namespace corvid {

std::filesystem::path portProgramPath(const std::filesystem::path& home) {
    return home / "misc" / "usbdos.exe";
}

std::unique_ptr<PortLocationSource> systemPortLocationSource() {
    return nullptr;  // no sysfs: the port-location program alone tells the location
}

}  // namespace corvid
