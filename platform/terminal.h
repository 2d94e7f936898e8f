#pragma once

namespace corvid {

// True when the program's standard output is a terminal (so colour and a live line make sense),
// false for a pipe or a file.
bool standardOutputIsTerminal();

}  // namespace corvid
