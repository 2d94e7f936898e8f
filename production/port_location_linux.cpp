#include "production/port_location.h"
#include "production/sysfs_port_location.h"

namespace corvid {

std::filesystem::path portProgramPath(const std::filesystem::path& home) {
    return home / "misc" / "usbdos";
}

std::unique_ptr<PortLocationSource> systemPortLocationSource() {
    return std::make_unique<SysfsPortLocationSource>();
}

}  // namespace corvid
