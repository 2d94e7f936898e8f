#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#include "platform/terminal.h"
#include "platform/terminal_system.h"

namespace corvid {

static_assert(sizeof(termios) <= 64, "KeyReader keeps the terminal's settings in 64 bytes");

namespace terminal_system {

std::optional<int> columns() {
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return std::nullopt;
}

void handleStopSignals(void (*handler)(int)) {
    std::signal(SIGINT, handler);
    std::signal(SIGTERM, handler);
    std::signal(SIGHUP, handler);
}

}  // namespace terminal_system

bool standardOutputIsTerminal() {
    return isatty(STDOUT_FILENO) != 0;
}

void ignoreClosedPipes() {
    std::signal(SIGPIPE, SIG_IGN);
}

KeyReader::KeyReader() {
    termios current{};
    if (isatty(STDIN_FILENO) == 0 || tcgetattr(STDIN_FILENO, &current) != 0) {
        return;  // a pipe or a file: its bytes are read as they come, the terminal is not touched
    }
    std::memcpy(saved_, &current, sizeof(current));
    // Keys one at a time, not echoed; Ctrl-C still interrupts.
    current.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    current.c_cc[VMIN] = 0;
    current.c_cc[VTIME] = 0;
    active_ = tcsetattr(STDIN_FILENO, TCSANOW, &current) == 0;
}

KeyReader::~KeyReader() {
    if (active_) {
        termios saved{};
        std::memcpy(&saved, saved_, sizeof(saved));
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    }
}

std::optional<char> KeyReader::poll() {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    char key = 0;
    if (::poll(&input, 1, 0) > 0 && ::read(STDIN_FILENO, &key, 1) == 1) {
        return key;
    }
    return std::nullopt;
}

}  // namespace corvid
