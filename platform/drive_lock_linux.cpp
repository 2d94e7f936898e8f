#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "platform/drive_lock.h"

namespace corvid {

std::unique_ptr<DriveLock> DriveLock::tryAcquire(const std::filesystem::path& folder, char letter) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    const std::filesystem::path path = folder / (std::string(1, letter) + ".lock");
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        throw DriveLockError("the lock file " + path.string() + " of drive " +
                             std::string(1, letter) + " cannot be opened: " + std::strerror(errno));
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int why = errno;
        ::close(fd);
        if (why == EWOULDBLOCK) {
            return nullptr;
        }
        throw DriveLockError("the lock file " + path.string() + " of drive " +
                             std::string(1, letter) + " cannot be locked: " + std::strerror(why));
    }
    return std::unique_ptr<DriveLock>(new DriveLock(path, fd));
}

DriveLock::~DriveLock() {
    ::close(static_cast<int>(handle_));  // closing drops the lock
}

}  // namespace corvid
