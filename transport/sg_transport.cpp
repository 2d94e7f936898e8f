#include "transport/sg_transport.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

#include "platform/production_disk_linux.h"

namespace corvid {

namespace {

// SCSI status bytes that report a command carried out; bit 0 is not part of the status code.
constexpr std::uint8_t kStatusMask = 0xFE;
constexpr std::uint8_t kStatusGood = 0x00;
constexpr std::uint8_t kStatusConditionMet = 0x04;
// driver_status bit that only says sense data exist; the status byte judges the command.
constexpr std::uint16_t kDriverSense = 0x08;
constexpr unsigned kMillisecondsPerSecond = 1000;

std::string hexByte(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

int kernelSgIo(int fd, const ScsiRequest& request, SgIoStatus& status) {
    sg_io_hdr_t header{};
    header.interface_id = 'S';
    header.cmd_len = request.cdbLength;
    // The kernel only reads the CDB.
    header.cmdp = const_cast<unsigned char*>(request.cdb.data());
    header.mx_sb_len = static_cast<unsigned char>(status.sense.size());
    header.sbp = status.sense.data();
    header.dxfer_len = request.transferLength;
    header.dxferp = request.transferLength > 0 ? request.data : nullptr;
    if (request.transferLength == 0) {
        header.dxfer_direction = SG_DXFER_NONE;
    } else if (request.direction == DataDirection::In) {
        header.dxfer_direction = SG_DXFER_FROM_DEV;
    } else {
        header.dxfer_direction = SG_DXFER_TO_DEV;
    }
    header.timeout = request.timeoutSeconds * kMillisecondsPerSecond;

    int result;
    do {
        result = ::ioctl(fd, SG_IO, &header);
    } while (result < 0 && errno == EINTR);
    status.callError = result < 0 ? errno : 0;
    status.senseLength =
        static_cast<std::uint8_t>(std::min<std::size_t>(header.sb_len_wr, status.sense.size()));
    status.status = header.status;
    status.maskedStatus = header.masked_status;
    status.hostStatus = header.host_status;
    status.driverStatus = header.driver_status;
    status.residual = header.resid > 0 ? static_cast<std::uint32_t>(header.resid) : 0;
    return result;
}

}  // namespace

bool sgCommandSucceeded(int ioctlResult, const SgIoStatus& status) {
    const auto scsiStatus = static_cast<std::uint8_t>(status.status & kStatusMask);
    const bool deviceGood = scsiStatus == kStatusGood || scsiStatus == kStatusConditionMet;
    const bool maskedGood = status.maskedStatus == (kStatusGood >> 1) ||
                            status.maskedStatus == (kStatusConditionMet >> 1);
    return ioctlResult >= 0 && deviceGood && maskedGood && status.hostStatus == 0 &&
           (status.driverStatus & ~kDriverSense) == 0;
}

std::string sgFailureText(int ioctlResult, const SgIoStatus& status) {
    if (ioctlResult < 0) {
        return "the SG_IO call failed: " + std::string(std::strerror(status.callError));
    }
    std::string text = "SCSI status " + hexByte(status.status);
    const std::uint8_t* sense = status.sense.data();
    const std::uint8_t responseCode = status.senseLength > 0 ? sense[0] & 0x7F : 0;
    if ((responseCode == 0x70 || responseCode == 0x71) && status.senseLength >= 14) {
        text += ", sense key " + hexByte(sense[2] & 0x0F) + ", ASC/ASCQ " + hexByte(sense[12]) +
                "/" + hexByte(sense[13]);
    } else if ((responseCode == 0x72 || responseCode == 0x73) && status.senseLength >= 4) {
        text += ", sense key " + hexByte(sense[1] & 0x0F) + ", ASC/ASCQ " + hexByte(sense[2]) +
                "/" + hexByte(sense[3]);
    }
    if (status.hostStatus != 0) {
        text += ", host status " + hexByte(status.hostStatus);
    }
    if ((status.driverStatus & ~kDriverSense) != 0) {
        text += ", driver status " + hexByte(status.driverStatus);
    }
    return text;
}

SgTransport::SgTransport(std::string deviceDirectory, SgIoCall call, SgDriveGuard guard,
                         std::string sysfsRoot)
    : deviceDirectory_(std::move(deviceDirectory)),
      sysfsRoot_(std::move(sysfsRoot)),
      call_(call ? std::move(call) : SgIoCall(kernelSgIo)),
      guard_(guard ? std::move(guard) : SgDriveGuard([](char driveLetter) {
          return productionDriveRefusal(driveLetter);
      })) {}

std::string SgTransport::devicePath(char driveLetter) const {
    const std::string name = diskNameOfDriveLetter(driveLetter);
    return name.empty() ? std::string() : deviceDirectory_ + "/" + name;
}

std::string SgTransport::commandPath(char driveLetter) const {
    const std::string block = devicePath(driveLetter);
    if (block.empty()) {
        return {};
    }
    const std::filesystem::path generic = std::filesystem::path(sysfsRoot_) / "block" /
                                          std::filesystem::path(block).filename() / "device" /
                                          "scsi_generic";
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(generic, error)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("sg")) {
            return deviceDirectory_ + "/" + name;
        }
    }
    return block;
}

DeviceHandle SgTransport::open(char driveLetter) {
    const std::string path = commandPath(driveLetter);
    // Asked at every open: the disk behind a letter may have changed since the last one.
    if (path.empty() || guard_(driveLetter)) {
        return kInvalidHandle;
    }
    // O_NONBLOCK: a card reader without a medium still opens, as the Windows volume does.
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    return fd < 0 ? kInvalidHandle : static_cast<DeviceHandle>(fd);
}

void SgTransport::close(DeviceHandle handle) {
    if (handle != kInvalidHandle) {
        {
            const std::lock_guard<std::mutex> lock(failuresLock_);
            failures_.erase(handle);
        }
        ::close(static_cast<int>(handle));
    }
}

std::string SgTransport::lastFailure(DeviceHandle handle) const {
    const std::lock_guard<std::mutex> lock(failuresLock_);
    const auto found = failures_.find(handle);
    return found != failures_.end() ? found->second : std::string();
}

bool SgTransport::sendBuffered(DeviceHandle handle, const ScsiRequest& request) {
    if (request.transferLength > kBufferedDataAreaSize || request.direction != DataDirection::In) {
        return false;
    }
    return send(handle, request);
}

bool SgTransport::sendDirect(DeviceHandle handle, const ScsiRequest& request) {
    if (request.transferLength > 0 && request.data == nullptr) {
        return false;
    }
    return send(handle, request);
}

bool SgTransport::send(DeviceHandle handle, const ScsiRequest& request) {
    if (handle == kInvalidHandle || request.cdbLength > request.cdb.size()) {
        return false;
    }
    SgIoStatus status;
    const int result = call_(static_cast<int>(handle), request, status);
    if (result >= 0 && request.direction == DataDirection::In) {
        clearUndelivered(
            request, request.transferLength - std::min(status.residual, request.transferLength));
    }
    const bool succeeded = sgCommandSucceeded(result, status);
    const std::lock_guard<std::mutex> lock(failuresLock_);
    if (succeeded) {
        failures_.erase(handle);
    } else {
        failures_[handle] = sgFailureText(result, status);
    }
    return succeeded;
}

}  // namespace corvid
