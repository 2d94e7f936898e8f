#pragma once

// The Windows pass-through service: the volume "\\.\X:" opened with CreateFileA and the frames of
// windows_frames.h (the layout of the program's word size) handed to DeviceIoControl. Built only
// on Windows.

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
