#pragma once

// What the terminal functions ask of the system, each system in its own file
// (terminal_linux.cpp, terminal_win32.cpp), beside the parts of KeyReader and the rest of
// terminal.h that differ.

#include <optional>

namespace corvid::terminal_system {

// The width of the terminal on standard output, when it tells one.
std::optional<int> columns();

// Hands SIGINT, SIGTERM and, where the system has it, SIGHUP to 'handler' (SIG_DFL: back to the
// default handling).
void handleStopSignals(void (*handler)(int));

}  // namespace corvid::terminal_system
