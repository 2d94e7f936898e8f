#pragma once

#include <cstdint>
#include <string>

#include "transport/scsi_request.h"

namespace corvid {

// An open device volume. The all-ones value stands for "could not be opened".
using DeviceHandle = std::intptr_t;
inline constexpr DeviceHandle kInvalidHandle = -1;

// The pass-through service. One implementation per platform (SG_IO, the Windows frames) and one
// for the device simulator. Implementations share nothing between calls, so up to eight worker
// threads may use one instance, each on its own handle.
class Transport {
  public:
    virtual ~Transport() = default;

    // Opens the volume shown under drive letter 'A'..'Z'; kInvalidHandle when that fails.
    virtual DeviceHandle open(char driveLetter) = 0;
    virtual void close(DeviceHandle handle) = 0;

    // Buffered form: always direction data-in, transferLength <= kBufferedDataAreaSize.
    // request.data points to a zeroed area of kBufferedDataAreaSize bytes that receives the
    // device's data. Returns the call result.
    virtual bool sendBuffered(DeviceHandle handle, const ScsiRequest& request) = 0;

    // Direct form: the data stay in the caller's buffer, in either direction.
    virtual bool sendDirect(DeviceHandle handle, const ScsiRequest& request) = 0;

    // Ends the command in progress on 'handle', and every later one, as soon as the transport
    // can: its caller gets a failure. Safe from any thread. Where the system cannot end a
    // command early (SG_IO), the command ends at its own timeout.
    virtual void abandon(DeviceHandle handle) { (void)handle; }

    // What the device or the system said of the last command on 'handle' that failed, in a few
    // words for a log line ("SCSI status 0x02, sense key 0x3, ASC/ASCQ 0x11/0x00"); empty when
    // the last command succeeded or the transport knows nothing more than the failure.
    virtual std::string lastFailure(DeviceHandle handle) const {
        (void)handle;
        return {};
    }
};

// Opens a drive letter for the length of one scope and closes it again, the way the by-letter
// routines use a device: open, send, close.
class ScopedDevice {
  public:
    ScopedDevice(Transport& transport, char driveLetter)
        : transport_(transport), handle_(transport.open(driveLetter)) {}
    ~ScopedDevice() {
        if (handle_ != kInvalidHandle) {
            transport_.close(handle_);
        }
    }
    ScopedDevice(const ScopedDevice&) = delete;
    ScopedDevice& operator=(const ScopedDevice&) = delete;

    bool isOpen() const { return handle_ != kInvalidHandle; }
    DeviceHandle handle() const { return handle_; }

  private:
    Transport& transport_;
    DeviceHandle handle_;
};

}  // namespace corvid
