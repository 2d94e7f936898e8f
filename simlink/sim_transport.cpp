#include "simlink/sim_transport.h"

#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <vector>

#include "platform/ascii_text.h"
#include "simlink/sim_dir.h"
#include "simlink/wire.h"

namespace corvid {

namespace {

constexpr std::uint32_t kDefaultTimeoutSeconds = 12;

}  // namespace

SimTransport::SimTransport(SimTransportOptions options) : options_(std::move(options)) {}

SimTransport::~SimTransport() {
    for (const auto& [handle, fd] : connections_) {
        simlink::closeFd(fd);
    }
}

DeviceHandle SimTransport::open(char driveLetter) {
    const char letter = asciiUpper(driveLetter);
    if (!simlink::isDriveLetter(letter)) {
        return kInvalidHandle;
    }
    const int fd = simlink::connectUnix(simlink::deviceSocketPath(options_.simDir, letter));
    if (fd < 0) {
        return kInvalidHandle;
    }
    std::lock_guard lock(mutex_);
    // Handles are never reused, so a handle whose connection broke cannot reach a newer one.
    const DeviceHandle handle = nextHandle_++;
    connections_[handle] = fd;
    return handle;
}

void SimTransport::close(DeviceHandle handle) {
    std::lock_guard lock(mutex_);
    const auto found = connections_.find(handle);
    if (found == connections_.end()) {
        return;
    }
    simlink::closeFd(found->second);
    connections_.erase(found);
}

// The connection is shut, not closed: a read waiting on it returns at once, and the handle's fd
// stays its own until close().
void SimTransport::abandon(DeviceHandle handle) {
    std::lock_guard lock(mutex_);
    const auto found = connections_.find(handle);
    if (found != connections_.end() && found->second >= 0) {
        ::shutdown(found->second, SHUT_RDWR);
    }
}

int SimTransport::connectionOf(DeviceHandle handle) {
    std::lock_guard lock(mutex_);
    const auto found = connections_.find(handle);
    return found == connections_.end() ? -1 : found->second;
}

void SimTransport::markBroken(DeviceHandle handle) {
    // The connection is closed at once (a late reply must not be read as the next one's); the
    // handle stays known until close() and fails every call.
    std::lock_guard lock(mutex_);
    const auto found = connections_.find(handle);
    if (found != connections_.end() && found->second >= 0) {
        simlink::closeFd(found->second);
        found->second = -1;
    }
}

bool SimTransport::sendBuffered(DeviceHandle handle, const ScsiRequest& request) {
    if (request.direction != DataDirection::In || request.transferLength > kBufferedDataAreaSize) {
        return false;
    }
    return exchange(handle, request, static_cast<std::uint32_t>(kBufferedDataAreaSize));
}

bool SimTransport::sendDirect(DeviceHandle handle, const ScsiRequest& request) {
    return exchange(handle, request, request.transferLength);
}

bool SimTransport::exchange(DeviceHandle handle, const ScsiRequest& request,
                            std::uint32_t capacity) {
    using simlink::IoResult;
    const int fd = connectionOf(handle);
    if (fd < 0 || request.transferLength > simlink::kMaxWireTransfer ||
        (request.cdbLength != 6 && request.cdbLength != 10 && request.cdbLength != 16) ||
        (request.transferLength > 0 && request.data == nullptr)) {
        return false;
    }
    const std::uint32_t timeoutSeconds =
        request.timeoutSeconds != 0 ? request.timeoutSeconds : kDefaultTimeoutSeconds;
    const auto timeout = std::chrono::milliseconds(std::max<std::int64_t>(
        1, static_cast<std::int64_t>(timeoutSeconds * 1000.0 * options_.timeoutScale)));
    const simlink::Deadline deadline = simlink::Deadline::after(timeout);

    simlink::WireRequest wire{};
    wire.magic = simlink::kWireMagic;
    wire.version = simlink::kWireVersion;
    wire.cdbLength = request.cdbLength;
    wire.direction = static_cast<std::uint8_t>(request.direction == DataDirection::Out
                                                   ? simlink::WireDirection::Out
                                                   : simlink::WireDirection::In);
    std::memcpy(wire.cdb, request.cdb.data(), request.cdbLength);
    wire.transferLength = request.transferLength;
    wire.timeoutMs = static_cast<std::uint32_t>(timeout.count());

    const bool out = request.direction == DataDirection::Out;
    simlink::WireReply reply{};
    bool ok = simlink::writeAll(fd, &wire, sizeof(wire), deadline) == IoResult::Ok &&
              (!out || simlink::writeAll(fd, request.data, request.transferLength, deadline) ==
                           IoResult::Ok) &&
              simlink::readAll(fd, &reply, sizeof(reply), deadline) == IoResult::Ok &&
              reply.magic == simlink::kWireMagic && reply.dataLength <= request.transferLength &&
              reply.dataLength <= capacity && (!out || reply.dataLength == 0);
    if (ok && reply.dataLength > 0) {
        ok = simlink::readAll(fd, request.data, reply.dataLength, deadline) == IoResult::Ok;
    }
    if (ok && !out) {
        clearUndelivered(request, reply.dataLength);
    }
    if (!ok) {
        markBroken(handle);
        return false;
    }
    return reply.status == static_cast<std::uint8_t>(simlink::WireStatus::Good);
}

}  // namespace corvid
