#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/file_lock.h"

namespace corvid {

std::unique_ptr<FileLock> FileLock::tryAcquire(const std::filesystem::path& file,
                                               const std::string& role) {
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        throw FileLockError("the lock file " + file.string() + role +
                            " cannot be opened: " + std::strerror(errno));
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int why = errno;
        ::close(fd);
        if (why == EWOULDBLOCK) {
            return nullptr;
        }
        throw FileLockError("the lock file " + file.string() + role +
                            " cannot be locked: " + std::strerror(why));
    }
    return std::unique_ptr<FileLock>(new FileLock(file, fd));
}

FileLock::~FileLock() {
    ::close(static_cast<int>(handle_));  // closing drops the lock
}

}  // namespace corvid
