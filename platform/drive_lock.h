#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

namespace corvid {

// A lock file that cannot be made or locked for another reason than another holder.
class DriveLockError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The lock of one drive letter, held by one process at a time: a device is worked on by one
// station program only. The lock is a file LETTER.lock in the lock folder, locked with flock on
// Linux and LockFileEx on Windows; the system drops it when the holder ends, however it ends, so
// a crashed program leaves nothing to clean up. The file itself stays.
class DriveLock {
  public:
    // Locks 'letter' in 'folder' (made when missing) without waiting. Nothing when another
    // process holds it; throws DriveLockError naming the file when it cannot be made or locked.
    static std::unique_ptr<DriveLock> tryAcquire(const std::filesystem::path& folder, char letter);
    ~DriveLock();
    DriveLock(const DriveLock&) = delete;
    DriveLock& operator=(const DriveLock&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    DriveLock(std::filesystem::path path, std::intptr_t handle)
        : path_(std::move(path)), handle_(handle) {}

    std::filesystem::path path_;
    std::intptr_t handle_;  // a file descriptor, or a Windows HANDLE
};

// The drive locks one program holds, by letter. Not thread-safe: the station controller's thread
// (and the program before it starts) uses it.
class DriveLocks {
  public:
    explicit DriveLocks(std::filesystem::path folder) : folder_(std::move(folder)) {}

    // True when this program holds 'letter' now (already, or newly locked); false when another
    // process holds it. Throws DriveLockError as DriveLock::tryAcquire.
    bool acquire(char letter);
    void release(char letter) { held_.erase(letter); }
    bool holds(char letter) const { return held_.count(letter) != 0; }
    const std::filesystem::path& folder() const { return folder_; }

  private:
    std::filesystem::path folder_;
    std::map<char, std::unique_ptr<DriveLock>> held_;
};

}  // namespace corvid
