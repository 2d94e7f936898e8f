#pragma once

// The Linux pass-through service: the SG_IO ioctl on the disk's block device. Drive letter X is
// /dev/sdX ('A' is /dev/sda ... 'Z' is /dev/sdz). The handle is the open file descriptor.

#include <string>

#include "transport/transport.h"

namespace corvid {

class SgTransport : public Transport {
  public:
    // deviceDirectory holds the sdX nodes; tests point it elsewhere.
    explicit SgTransport(std::string deviceDirectory = "/dev");

    // kInvalidHandle for a letter outside 'A'..'Z' (either case) or a node that cannot be opened.
    DeviceHandle open(char driveLetter) override;
    void close(DeviceHandle handle) override;
    bool sendBuffered(DeviceHandle handle, const ScsiRequest& request) override;
    bool sendDirect(DeviceHandle handle, const ScsiRequest& request) override;

    // The block device path of a drive letter, empty for a letter outside 'A'..'Z'.
    std::string devicePath(char driveLetter) const;

  private:
    std::string deviceDirectory_;
};

}  // namespace corvid
