#include "simlink/wire.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace corvid::simlink {

namespace fs = std::filesystem;

int Deadline::pollTimeoutMs() const {
    if (!at_) {
        return -1;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        *at_ - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
        return 0;
    }
    // Round up so that a wait never ends a little before the deadline and spins.
    return static_cast<int>(left.count()) + 1;
}

namespace {

// Waits until fd is ready for 'events'; Ok, TimedOut or Failed.
IoResult waitReady(int fd, short events, Deadline deadline) {
    for (;;) {
        pollfd entry{fd, events, 0};
        const int timeout = deadline.pollTimeoutMs();
        const int ready = ::poll(&entry, 1, timeout);
        if (ready > 0) {
            return IoResult::Ok;
        }
        if (ready == 0) {
            return IoResult::TimedOut;
        }
        if (errno != EINTR) {
            return IoResult::Failed;
        }
    }
}

bool peerGone(int error) {
    return error == EPIPE || error == ECONNRESET || error == ENOTCONN;
}

sockaddr_un unixAddress(const fs::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string text = path.string();
    if (text.size() >= sizeof(address.sun_path)) {
        throw std::runtime_error("The socket path " + text + " is too long for a Unix socket.");
    }
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    return address;
}

}  // namespace

IoResult writeAll(int fd, const void* data, std::size_t size, Deadline deadline) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        if (!deadline.unlimited()) {
            if (const IoResult ready = waitReady(fd, POLLOUT, deadline); ready != IoResult::Ok) {
                return ready;
            }
        }
        const ssize_t sent = ::send(fd, bytes, size, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return peerGone(errno) ? IoResult::Closed : IoResult::Failed;
        }
        bytes += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return IoResult::Ok;
}

IoResult readAll(int fd, void* data, std::size_t size, Deadline deadline) {
    auto* bytes = static_cast<std::uint8_t*>(data);
    while (size > 0) {
        if (!deadline.unlimited()) {
            if (const IoResult ready = waitReady(fd, POLLIN, deadline); ready != IoResult::Ok) {
                return ready;
            }
        }
        const ssize_t got = ::recv(fd, bytes, size, 0);
        if (got == 0) {
            return IoResult::Closed;
        }
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return peerGone(errno) ? IoResult::Closed : IoResult::Failed;
        }
        bytes += got;
        size -= static_cast<std::size_t>(got);
    }
    return IoResult::Ok;
}

int connectUnix(const fs::path& path) {
    sockaddr_un address{};
    try {
        address = unixAddress(path);
    } catch (const std::runtime_error&) {
        return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int listenUnix(const fs::path& path, int backlog) {
    const fs::path temporary = path.parent_path() / ("." + path.filename().string() + ".new");
    const sockaddr_un address = unixAddress(temporary);
    unixAddress(path);  // the final name must fit as well
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error("Cannot create a socket for " + path.string() + ": " +
                                 std::strerror(errno) + ".");
    }
    ::unlink(temporary.c_str());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(fd, backlog) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::close(fd);
        ::unlink(temporary.c_str());
        throw std::runtime_error("Cannot listen on " + path.string() + ": " + std::strerror(error) +
                                 ".");
    }
    return fd;
}

int acceptUnix(int listenFd) {
    for (;;) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0 || errno != EINTR) {
            return fd;
        }
    }
}

void shutdownWrite(int fd) {
    ::shutdown(fd, SHUT_WR);
}

void closeFd(int fd) {
    if (fd >= 0) {
        ::close(fd);
    }
}

}  // namespace corvid::simlink
