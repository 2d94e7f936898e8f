#pragma once

// The Linux pass-through service: the SG_IO ioctl on the disk's SCSI generic node. Drive letter X
// is the disk /dev/sdX ('A' is /dev/sda ... 'Z' is /dev/sdz); commands go to its generic node
// /dev/sgN (sysfs: /sys/block/sdX/device/scsi_generic/sgN), because the kernel passes vendor
// commands on a block node only for a user with CAP_SYS_RAWIO. Without a generic node (the sg
// module not loaded) they go to /dev/sdX. The handle is the open file descriptor.
//
// Before every open a guard decides, by the disk sdX, whether the letter's disk is one the station
// may send commands to; by default the system's rule (platform/production_disk_linux.h): attached
// by USB, holding no mount, no active swap and nothing device-mapper or md holds. A refused letter
// is never opened.

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "transport/transport.h"

namespace corvid {

// How SG_IO says a command ended, beside the ioctl's own result: the SCSI status byte, the same
// shifted right by one with its reserved bits cleared (the older form), and the host adapter's and
// the driver's statuses. All zero is a command the device carried out.
struct SgIoStatus {
    std::uint8_t status = 0;
    std::uint8_t maskedStatus = 0;
    std::uint16_t hostStatus = 0;
    std::uint16_t driverStatus = 0;
    // Bytes of a read the device did not deliver (the kernel's resid).
    std::uint32_t residual = 0;
    // The sense data the device returned with CHECK CONDITION (sb_len_wr bytes of them).
    std::array<std::uint8_t, 32> sense{};
    std::uint8_t senseLength = 0;
    // errno of an ioctl that failed itself.
    int callError = 0;
};

// One SG_IO call on an open descriptor: sends the request, fills 'status' and returns the ioctl's
// result (negative when the call itself failed).
using SgIoCall = std::function<int(int fd, const ScsiRequest& request, SgIoStatus& status)>;

// A command succeeds only when the call went through and the device answered GOOD (or CONDITION
// MET): CHECK CONDITION, which also carries a UNIT ATTENTION after a medium change or a reset,
// BUSY and the other statuses fail it, as do errors of the host adapter and the driver.
bool sgCommandSucceeded(int ioctlResult, const SgIoStatus& status);

// What a failed call said, for a log line: the call's own error, or the SCSI status with the
// sense key and ASC/ASCQ (fixed or descriptor format) and the host and driver statuses.
std::string sgFailureText(int ioctlResult, const SgIoStatus& status);

// Why a drive letter must not be opened ("drive A (/dev/sda) is not attached by USB"), nothing
// when it may. Called from any worker thread.
using SgDriveGuard = std::function<std::optional<std::string>(char driveLetter)>;

class SgTransport : public Transport {
  public:
    // deviceDirectory holds the sdX and sgN nodes and sysfsRoot the block/sdX folders that name a
    // disk's generic node; tests point both elsewhere, may replace the SG_IO call to play a
    // device's answers (an empty call is the kernel's) and the guard (an empty guard is the
    // system's rule, which reads sysfs and /proc).
    explicit SgTransport(std::string deviceDirectory = "/dev", SgIoCall call = {},
                         SgDriveGuard guard = {}, std::string sysfsRoot = "/sys");

    // kInvalidHandle for a letter outside 'A'..'Z' (either case), a letter the guard refuses, or
    // a node that cannot be opened.
    DeviceHandle open(char driveLetter) override;
    void close(DeviceHandle handle) override;
    bool sendBuffered(DeviceHandle handle, const ScsiRequest& request) override;
    bool sendDirect(DeviceHandle handle, const ScsiRequest& request) override;
    std::string lastFailure(DeviceHandle handle) const override;

    // The block device path of a drive letter, empty for a letter outside 'A'..'Z'.
    std::string devicePath(char driveLetter) const;
    // The node commands go to: the disk's generic node now, else its block device path (equal to
    // devicePath then); empty for a letter outside 'A'..'Z'.
    std::string commandPath(char driveLetter) const;

  private:
    bool send(DeviceHandle handle, const ScsiRequest& request);

    std::string deviceDirectory_;
    std::string sysfsRoot_;
    SgIoCall call_;
    SgDriveGuard guard_;
    // What the last failed command of each handle said; a handle's entry goes when one succeeds
    // or the handle is closed. Workers use handles of their own, so the lock is held briefly.
    mutable std::mutex failuresLock_;
    std::unordered_map<DeviceHandle, std::string> failures_;
};

}  // namespace corvid
