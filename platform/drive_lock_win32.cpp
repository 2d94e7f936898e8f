#include <windows.h>

#include <system_error>

#include "platform/drive_lock.h"

namespace corvid {

std::unique_ptr<DriveLock> DriveLock::tryAcquire(const std::filesystem::path& folder, char letter) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    const std::filesystem::path path = folder / (std::string(1, letter) + ".lock");
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        throw DriveLockError("the lock file " + path.string() + " of drive " +
                             std::string(1, letter) + " cannot be opened (error " +
                             std::to_string(::GetLastError()) + ")");
    }
    OVERLAPPED at{};
    if (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        const DWORD why = ::GetLastError();
        ::CloseHandle(file);
        if (why == ERROR_LOCK_VIOLATION) {
            return nullptr;
        }
        throw DriveLockError("the lock file " + path.string() + " of drive " +
                             std::string(1, letter) + " cannot be locked (error " +
                             std::to_string(why) + ")");
    }
    return std::unique_ptr<DriveLock>(new DriveLock(path, reinterpret_cast<std::intptr_t>(file)));
}

DriveLock::~DriveLock() {
    ::CloseHandle(reinterpret_cast<HANDLE>(handle_));  // closing drops the lock
}

}  // namespace corvid
