#pragma once

// The control channel of corvid-devsim: a command of a few words ("plug", "letter=E",
// "profile=nand-2k" ...) and one reply, over DIR/control.sock.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvid::simlink {

#pragma pack(push, 1)
struct ControlHeader {
    std::uint32_t magic;   // kControlMagic
    std::uint32_t length;  // payload bytes that follow
    std::uint8_t code;     // reply: ControlCode; request: 0
    std::uint8_t reserved[3];
};
static_assert(sizeof(ControlHeader) == 12);
#pragma pack(pop)

inline constexpr std::uint32_t kControlMagic = 0x43445643;  // "CVDC"
inline constexpr std::uint32_t kMaxControlPayload = 1u << 20;

// Reply codes, the same as the programs' exit statuses.
enum class ControlCode : std::uint8_t { Ok = 0, Failed = 1, BadInput = 2 };

struct ControlReply {
    ControlCode code = ControlCode::Ok;
    std::string text;
};

class NoSimulatorError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Sends one command to the simulator serving simDir and waits for its reply. Throws
// NoSimulatorError when nothing serves simDir, std::runtime_error when the simulator does not
// answer in time.
ControlReply sendControl(const std::filesystem::path& simDir, const std::vector<std::string>& words,
                         std::chrono::milliseconds timeout);

// The words of a request payload (NUL-separated) and back.
std::string joinWords(const std::vector<std::string>& words);
std::vector<std::string> splitWords(const std::string& payload);

// True when a simulator answers on simDir's control socket.
// "No simulator serves DIR (start one with: corvid-devsim serve --dir DIR --daemon)."
std::string noSimulatorText(const std::filesystem::path& simDir);

bool simulatorRunning(const std::filesystem::path& simDir);

}  // namespace corvid::simlink
