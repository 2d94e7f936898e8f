#include "platform/drive_lock.h"

#include <system_error>

namespace corvid {

std::unique_ptr<DriveLock> DriveLock::tryAcquire(const std::filesystem::path& folder, char letter) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    const std::filesystem::path file = folder / (std::string(1, letter) + ".lock");
    try {
        auto lock = FileLock::tryAcquire(file, " of drive " + std::string(1, letter));
        return lock ? std::unique_ptr<DriveLock>(new DriveLock(std::move(lock))) : nullptr;
    } catch (const FileLockError& failed) {
        throw DriveLockError(failed.what());
    }
}

bool DriveLocks::acquire(char letter) {
    if (holds(letter)) {
        return true;
    }
    auto lock = DriveLock::tryAcquire(folder_, letter);
    if (!lock) {
        return false;
    }
    held_.emplace(letter, std::move(lock));
    return true;
}

}  // namespace corvid
