#pragma once

// The Windows pass-through service: the volume "\\.\X:" opened with CreateFileA and the frames of
// windows_frames.h handed to DeviceIoControl. Built only on Windows, as a 32-bit program.

#include "transport/transport.h"

namespace corvid {

class Win32Transport : public Transport {
  public:
    DeviceHandle open(char driveLetter) override;
    void close(DeviceHandle handle) override;
    bool sendBuffered(DeviceHandle handle, const ScsiRequest& request) override;
    bool sendDirect(DeviceHandle handle, const ScsiRequest& request) override;
};

}  // namespace corvid
