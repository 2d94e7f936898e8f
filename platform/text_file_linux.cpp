#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/text_file.h"
#include "platform/text_file_system.h"

namespace corvid {

long text_file_system::processId() {
    return static_cast<long>(getpid());
}

void text_file_system::writeAndFlush(const std::filesystem::path& temp,
                                     const std::filesystem::path& path, std::string_view bytes) {
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        throw writeError(path, std::strerror(errno));
    }
    // Keep the permissions the operator gave the old file.
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0) {
        ::fchmod(fd, old.st_mode & 07777);
    }
    const char* data = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const int error = errno;
            ::close(fd);
            throw writeError(path, std::strerror(error));
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        throw writeError(path, std::strerror(errno));
    }
}

std::string readFileBytes(const std::filesystem::path& path) {
    // Close-on-exec: a program another worker starts meanwhile must not inherit the file (a
    // stream of the standard library cannot ask for that).
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw std::runtime_error("cannot read the file " + path.string() + ": " +
                                 std::strerror(errno));
    }
    std::string bytes;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            // A folder opens but does not read.
            const int error = errno;
            ::close(fd);
            throw std::runtime_error("cannot read the file " + path.string() + ": " +
                                     std::strerror(error));
        }
        if (n == 0) {
            break;
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return bytes;
}

}  // namespace corvid
