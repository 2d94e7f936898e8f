#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "production/port_location.h"

namespace corvid {

// The USB location of a SCSI disk from its sysfs device path, for example
// ".../usb2/2-1/2-1.4/2-1.4:1.0/host6/target6:0:0/6:0:0:0/block/sdf": the bus (2), the port of
// the hub the device hangs on (1; 0 when it sits on the root hub) and its own port (4). Nothing
// when the path holds no USB device.
std::optional<HubLocation> hubLocationFromDevicePath(const std::string& devicePath);

// Drive letter X is the disk /dev/sdX; its location is read from /sys/block/sdX.
class SysfsPortLocationSource : public PortLocationSource {
  public:
    explicit SysfsPortLocationSource(std::filesystem::path sysBlock = "/sys/block")
        : sysBlock_(std::move(sysBlock)) {}
    std::optional<HubLocation> locate(char driveLetter, int portNumber) const override;

  private:
    std::filesystem::path sysBlock_;
};

}  // namespace corvid
