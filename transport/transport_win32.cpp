#include "transport/transport_win32.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>

#include "transport/windows_frames.h"

namespace corvid {

static_assert(sizeof(void*) == 4, "the pass-through frames have the 32-bit layout");
static_assert(sizeof(HANDLE) == sizeof(DeviceHandle));

namespace {

constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

HANDLE toHandle(DeviceHandle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

DeviceHandle Win32Transport::open(char driveLetter) {
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
    win::BufferedFrame frame;
    win::buildBufferedFrame(request, frame);
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(toHandle(handle), win::kIoctlScsiPassThrough, &frame,
                                    win::kBufferedInputLength, &frame,
                                    win::bufferedOutputLength(request), &returned, nullptr);
    if (request.data != nullptr) {
        std::copy_n(frame.data, kBufferedDataAreaSize, request.data);
    }
    return ok != FALSE;
}

bool Win32Transport::sendDirect(DeviceHandle handle, const ScsiRequest& request) {
    if (handle == kInvalidHandle) {
        return false;
    }
    win::DirectFrame frame;
    win::buildDirectFrame(
        request, static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(request.data)), frame);
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(toHandle(handle), win::kIoctlScsiPassThroughDirect, &frame,
                                    win::kDirectInOutLength, &frame, win::kDirectInOutLength,
                                    &returned, nullptr);
    return ok != FALSE;
}

}  // namespace corvid
