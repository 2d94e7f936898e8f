#include "transport/sg_transport.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace corvid {

namespace {

// driver_status bit that only says sense data exist; we ask for none and judge no sense.
constexpr unsigned kDriverSense = 0x08;
constexpr unsigned kMillisecondsPerSecond = 1000;

bool sendSgIo(DeviceHandle handle, const ScsiRequest& request) {
    if (handle == kInvalidHandle || request.cdbLength > request.cdb.size()) {
        return false;
    }
    sg_io_hdr_t header{};
    header.interface_id = 'S';
    header.cmd_len = request.cdbLength;
    // The kernel only reads the CDB.
    header.cmdp = const_cast<unsigned char*>(request.cdb.data());
    header.mx_sb_len = 0;  // no sense data
    header.sbp = nullptr;
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
        result = ::ioctl(static_cast<int>(handle), SG_IO, &header);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        return false;
    }
    // The SCSI status byte is not judged (as on Windows); a transport or driver error is a
    // failed call.
    return header.host_status == 0 && (header.driver_status & ~kDriverSense) == 0;
}

}  // namespace

SgTransport::SgTransport(std::string deviceDirectory)
    : deviceDirectory_(std::move(deviceDirectory)) {}

std::string SgTransport::devicePath(char driveLetter) const {
    char lower;
    if (driveLetter >= 'A' && driveLetter <= 'Z') {
        lower = static_cast<char>(driveLetter - 'A' + 'a');
    } else if (driveLetter >= 'a' && driveLetter <= 'z') {
        lower = driveLetter;
    } else {
        return {};
    }
    return deviceDirectory_ + "/sd" + lower;
}

DeviceHandle SgTransport::open(char driveLetter) {
    const std::string path = devicePath(driveLetter);
    if (path.empty()) {
        return kInvalidHandle;
    }
    // O_NONBLOCK: a card reader without a medium still opens, as the Windows volume does.
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    return fd < 0 ? kInvalidHandle : static_cast<DeviceHandle>(fd);
}

void SgTransport::close(DeviceHandle handle) {
    if (handle != kInvalidHandle) {
        ::close(static_cast<int>(handle));
    }
}

bool SgTransport::sendBuffered(DeviceHandle handle, const ScsiRequest& request) {
    if (request.transferLength > kBufferedDataAreaSize || request.direction != DataDirection::In) {
        return false;
    }
    return sendSgIo(handle, request);
}

bool SgTransport::sendDirect(DeviceHandle handle, const ScsiRequest& request) {
    if (request.transferLength > 0 && request.data == nullptr) {
        return false;
    }
    return sendSgIo(handle, request);
}

}  // namespace corvid
