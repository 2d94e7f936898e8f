#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

namespace corvid {

// A lock file that cannot be made or locked for another reason than another holder.
class FileLockError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// An exclusive lock on a file, held by one process at a time: flock on Linux, LockFileEx on
// Windows. The system drops it when the holder ends, however it ends, so a crashed program
// leaves nothing to clean up and no name to take over. The file itself stays.
class FileLock {
  public:
    // Makes 'file' when missing and locks it without waiting. Nothing when another process
    // holds it; throws FileLockError when it cannot be made or locked, naming the file followed
    // by 'role' (" of drive E").
    static std::unique_ptr<FileLock> tryAcquire(const std::filesystem::path& file,
                                                const std::string& role);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    FileLock(std::filesystem::path path, std::intptr_t handle)
        : path_(std::move(path)), handle_(handle) {}

    std::filesystem::path path_;
    std::intptr_t handle_;  // a file descriptor, or a Windows HANDLE
};

}  // namespace corvid
