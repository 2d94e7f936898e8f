#include <conio.h>
#include <io.h>
#include <stdio.h>

#include <csignal>

#include "platform/terminal.h"
#include "platform/terminal_system.h"

namespace corvid {

namespace terminal_system {

std::optional<int> columns() {
    return std::nullopt;  // $COLUMNS or 80
}

void handleStopSignals(void (*handler)(int)) {
    std::signal(SIGINT, handler);
    std::signal(SIGTERM, handler);
}

}  // namespace terminal_system

bool standardOutputIsTerminal() {
    return _isatty(_fileno(stdout)) != 0;
}

void ignoreClosedPipes() {
    // Windows has no SIGPIPE: a write to a closed pipe fails.
}

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

}  // namespace corvid
