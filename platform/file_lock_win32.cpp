#include <windows.h>

#include "platform/file_lock.h"

namespace corvid {

std::unique_ptr<FileLock> FileLock::tryAcquire(const std::filesystem::path& file,
                                               const std::string& role) {
    HANDLE handle = ::CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        throw FileLockError("the lock file " + file.string() + role + " cannot be opened (error " +
                            std::to_string(::GetLastError()) + ")");
    }
    OVERLAPPED at{};
    if (!::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        const DWORD why = ::GetLastError();
        ::CloseHandle(handle);
        if (why == ERROR_LOCK_VIOLATION) {
            return nullptr;
        }
        throw FileLockError("the lock file " + file.string() + role + " cannot be locked (error " +
                            std::to_string(why) + ")");
    }
    return std::unique_ptr<FileLock>(new FileLock(file, reinterpret_cast<std::intptr_t>(handle)));
}

FileLock::~FileLock() {
    ::CloseHandle(reinterpret_cast<HANDLE>(handle_));  // closing drops the lock
}

}  // namespace corvid
