#include "platform/drive_lock.h"

namespace corvid {

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
