#include "transport/transport_win32.h"

#include <windows.h>

// Needs windows.h before it.
#include <ntddscsi.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "platform/production_disk_win32.h"
#include "transport/windows_frames.h"

namespace corvid {

namespace {

// The frames of this program's word size: the driver reads the header of the caller's layout.
constexpr bool k64Bit = sizeof(void*) == 8;
using BufferedFrame = std::conditional_t<k64Bit, win::BufferedFrame64, win::BufferedFrame32>;
using DirectFrame = std::conditional_t<k64Bit, win::DirectFrame64, win::DirectFrame32>;
using DirectHeader = decltype(DirectFrame::header);
using BufferedHeader = decltype(BufferedFrame::header);

// Our frames against the driver kit's own structures, field by field.
static_assert(sizeof(BufferedHeader) == sizeof(SCSI_PASS_THROUGH));
static_assert(sizeof(DirectHeader) == sizeof(SCSI_PASS_THROUGH_DIRECT));
static_assert(offsetof(BufferedHeader, cdbLength) == offsetof(SCSI_PASS_THROUGH, CdbLength));
static_assert(offsetof(BufferedHeader, dataIn) == offsetof(SCSI_PASS_THROUGH, DataIn));
static_assert(offsetof(BufferedHeader, dataTransferLength) ==
              offsetof(SCSI_PASS_THROUGH, DataTransferLength));
static_assert(offsetof(BufferedHeader, timeOutValue) == offsetof(SCSI_PASS_THROUGH, TimeOutValue));
static_assert(offsetof(BufferedHeader, dataBufferOffset) ==
              offsetof(SCSI_PASS_THROUGH, DataBufferOffset));
static_assert(offsetof(BufferedHeader, senseInfoOffset) ==
              offsetof(SCSI_PASS_THROUGH, SenseInfoOffset));
static_assert(offsetof(BufferedHeader, cdb) == offsetof(SCSI_PASS_THROUGH, Cdb));
static_assert(offsetof(DirectHeader, dataBuffer) == offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer));
static_assert(offsetof(DirectHeader, senseInfoOffset) ==
              offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset));
static_assert(offsetof(DirectHeader, cdb) == offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb));
static_assert(win::kIoctlScsiPassThrough == IOCTL_SCSI_PASS_THROUGH);
static_assert(win::kIoctlScsiPassThroughDirect == IOCTL_SCSI_PASS_THROUGH_DIRECT);
static_assert(win::kScsiIoctlDataIn == SCSI_IOCTL_DATA_IN);
static_assert(win::kScsiIoctlDataOut == SCSI_IOCTL_DATA_OUT);
static_assert(sizeof(HANDLE) == sizeof(DeviceHandle));

constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

HANDLE toHandle(DeviceHandle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

DeviceHandle Win32Transport::open(char driveLetter) {
    // Never a disk of the system, nor one that is not attached by USB: the same rule as the bus.
    if (productionDriveRefusal(driveLetter)) {
        return kInvalidHandle;
    }
    const char path[] = {'\\', '\\', '.', '\\', driveLetter, ':', '\0'};
    const HANDLE handle = CreateFileA(path, kAccess, kShare, nullptr, OPEN_EXISTING, 0, nullptr);
    // INVALID_HANDLE_VALUE is the all-ones value, kInvalidHandle.
    return reinterpret_cast<DeviceHandle>(handle);
}

void Win32Transport::close(DeviceHandle handle) {
    if (handle != kInvalidHandle) {
        CloseHandle(toHandle(handle));
    }
}

bool Win32Transport::sendBuffered(DeviceHandle handle, const ScsiRequest& request) {
    if (handle == kInvalidHandle || request.transferLength > kBufferedDataAreaSize) {
        return false;
    }
    BufferedFrame frame;
    win::buildBufferedFrame(request, frame);
    DWORD returned = 0;
    const BOOL ok =
        DeviceIoControl(toHandle(handle), win::kIoctlScsiPassThrough, &frame,
                        win::bufferedInputLength<BufferedFrame>(), &frame,
                        win::bufferedOutputLength<BufferedFrame>(request), &returned, nullptr);
    if (request.data != nullptr) {
        std::copy_n(frame.data, kBufferedDataAreaSize, request.data);
    }
    return ok != FALSE;
}

bool Win32Transport::sendDirect(DeviceHandle handle, const ScsiRequest& request) {
    if (handle == kInvalidHandle) {
        return false;
    }
    DirectFrame frame;
    win::buildDirectFrame(
        request,
        static_cast<typename DirectFrame::Address>(reinterpret_cast<std::uintptr_t>(request.data)),
        frame);
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(toHandle(handle), win::kIoctlScsiPassThroughDirect, &frame,
                                    win::directInOutLength<DirectFrame>(), &frame,
                                    win::directInOutLength<DirectFrame>(), &returned, nullptr);
    // The driver sets the length to what actually moved.
    if (ok != FALSE && request.direction == DataDirection::In) {
        clearUndelivered(request,
                         std::min(frame.header.dataTransferLength, request.transferLength));
    }
    return ok != FALSE;
}

}  // namespace corvid
