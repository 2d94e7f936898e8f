#pragma once

// The simulator's wire protocol, shared by corvid-devsim and the station's sim backends.
//
// One Unix stream socket per device: the station connects to DIR/E.sock to "open" drive E and
// sends one request at a time on that connection. A request is a WireRequest followed, for
// data-out, by transferLength bytes; the reply is a WireReply followed by dataLength bytes of
// data-in. Both ends run on the same host, so numbers travel in the host's byte order.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>

namespace corvid::simlink {

inline constexpr std::uint32_t kWireMagic = 0x53445643;  // "CVDS"
inline constexpr std::uint8_t kWireVersion = 1;
// Larger transfers are refused by both ends; the station moves at most a few sectors at once.
inline constexpr std::uint32_t kMaxWireTransfer = 16u * 1024u * 1024u;

enum class WireDirection : std::uint8_t { In = 0, Out = 1 };

// How the device ended a command. CheckCondition is a refusal: the pass-through call fails.
enum class WireStatus : std::uint8_t { Good = 0, CheckCondition = 1 };

#pragma pack(push, 1)
struct WireRequest {
    std::uint32_t magic;
    std::uint8_t version;
    std::uint8_t cdbLength;  // 6, 10 or 16
    std::uint8_t direction;  // WireDirection
    std::uint8_t reserved;
    std::uint8_t cdb[16];
    std::uint32_t transferLength;
    std::uint32_t timeoutMs;  // what the station allows; the device does not enforce it
};
static_assert(sizeof(WireRequest) == 32);

struct WireReply {
    std::uint32_t magic;
    std::uint8_t status;  // WireStatus
    std::uint8_t reserved[3];
    std::uint32_t dataLength;  // data-in bytes that follow, at most the request's transferLength
};
static_assert(sizeof(WireReply) == 12);
#pragma pack(pop)

// A point in time after which socket I/O gives up; the default never does.
class Deadline {
  public:
    Deadline() = default;
    static Deadline after(std::chrono::milliseconds span) {
        return Deadline(std::chrono::steady_clock::now() + span);
    }
    bool unlimited() const { return !at_.has_value(); }
    // Milliseconds left for poll(): -1 without a deadline, 0 once it has passed.
    int pollTimeoutMs() const;

  private:
    explicit Deadline(std::chrono::steady_clock::time_point at) : at_(at) {}
    std::optional<std::chrono::steady_clock::time_point> at_;
};

enum class IoResult { Ok, Closed, TimedOut, Failed };

// Move exactly 'size' bytes over a stream socket, waiting at most until the deadline.
// Closed: the peer went away (EOF, reset, shut down).
IoResult writeAll(int fd, const void* data, std::size_t size, Deadline deadline);
IoResult readAll(int fd, void* data, std::size_t size, Deadline deadline);

// Connects to a Unix stream socket; -1 when nothing listens there.
int connectUnix(const std::filesystem::path& path);

// Binds and listens on 'path' under a temporary name first and then renames it into place, so
// that whoever watches the folder sees the socket only once it accepts connections. Throws
// std::runtime_error naming the path on failure.
int listenUnix(const std::filesystem::path& path, int backlog);

// The next connection waiting on a listening socket; -1 when none can be taken.
int acceptUnix(int listenFd);

// Ends what this side sends: the peer reads what was sent, then the end of the stream. This side
// can still read.
void shutdownWrite(int fd);

// Closes a descriptor, ignoring -1.
void closeFd(int fd);

}  // namespace corvid::simlink
