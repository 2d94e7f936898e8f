#include "platform/terminal.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#ifdef _WIN32
#include <conio.h>
#include <io.h>
#include <stdio.h>
#else
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace corvid {

namespace {

std::atomic<int> interrupts{0};
std::atomic<bool> counterActive{false};

extern "C" void countInterrupt(int) {
    interrupts.fetch_add(1);
}

#ifndef _WIN32
static_assert(sizeof(termios) <= 64, "KeyReader keeps the terminal's settings in 64 bytes");
#endif

}  // namespace

bool standardOutputWantsColour() {
    const char* noColour = std::getenv("NO_COLOR");
    const char* term = std::getenv("TERM");
    return standardOutputIsTerminal() && (noColour == nullptr || *noColour == '\0') &&
           !(term != nullptr && std::strcmp(term, "dumb") == 0);
}

int standardOutputColumns() {
#ifndef _WIN32
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
#endif
    if (const char* columns = std::getenv("COLUMNS"); columns != nullptr) {
        const int value = std::atoi(columns);
        if (value > 0) {
            return value;
        }
    }
    return 80;
}

bool standardOutputIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stdout)) != 0;
#else
    return isatty(STDOUT_FILENO) != 0;
#endif
}

void ignoreClosedPipes() {
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

InterruptCounter::InterruptCounter() {
    if (counterActive.exchange(true)) {
        throw std::logic_error("only one InterruptCounter may exist at a time");
    }
    interrupts = 0;
    std::signal(SIGINT, countInterrupt);
    std::signal(SIGTERM, countInterrupt);
#ifdef SIGHUP
    std::signal(SIGHUP, countInterrupt);
#endif
}

InterruptCounter::~InterruptCounter() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
#ifdef SIGHUP
    std::signal(SIGHUP, SIG_DFL);
#endif
    counterActive = false;
}

int InterruptCounter::count() const {
    return interrupts.load();
}

#ifdef _WIN32

KeyReader::KeyReader() {
    active_ = _isatty(_fileno(stdin)) != 0;
}
KeyReader::~KeyReader() = default;

std::optional<char> KeyReader::poll() {
    if (active_ && _kbhit()) {
        return static_cast<char>(_getch());
    }
    return std::nullopt;
}

#else

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

#endif

}  // namespace corvid
