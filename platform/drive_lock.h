#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/file_lock.h"

namespace corvid {

// A drive's lock file that cannot be made or locked for another reason than another holder.
class DriveLockError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The lock of one drive letter, held by one process at a time: a device is worked on by one
// station program only. The lock is a FileLock on LETTER.lock in the lock folder.
class DriveLock {
  public:
    // Locks 'letter' in 'folder' (made when missing) without waiting. Nothing when another
    // process holds it; throws DriveLockError naming the file when it cannot be made or locked.
    static std::unique_ptr<DriveLock> tryAcquire(const std::filesystem::path& folder, char letter);

    const std::filesystem::path& path() const { return lock_->path(); }

  private:
    explicit DriveLock(std::unique_ptr<FileLock> lock) : lock_(std::move(lock)) {}

    std::unique_ptr<FileLock> lock_;
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
