#pragma once

#include <optional>

namespace corvid {

// True when the program's standard output is a terminal (so colour and a live line make sense),
// false for a pipe or a file.
bool standardOutputIsTerminal();

// True when colours may be sent to standard output: it is a terminal, NO_COLOR is not set (or
// empty) and TERM is not "dumb".
bool standardOutputWantsColour();

// The width of the terminal on standard output in columns; $COLUMNS, else 80, when it has none.
int standardOutputColumns();

// A reader of the program's output that went away (a closed pipe, a `| tee` that died) no longer
// ends the program: its writes fail (EPIPE) instead. For the whole process; a no-op on Windows.
void ignoreClosedPipes();

// While one exists, an interrupt (Ctrl-C, SIGINT, SIGTERM, or SIGHUP from a closed terminal or
// ssh session) no longer ends the program: it is counted, and the program decides what each one
// means. The default handling comes back when it is destroyed. One at a time in a process:
// signals belong to the whole process.
class InterruptCounter {
  public:
    InterruptCounter();
    ~InterruptCounter();
    InterruptCounter(const InterruptCounter&) = delete;
    InterruptCounter& operator=(const InterruptCounter&) = delete;

    // The interrupts received since construction.
    int count() const;
};

// Single key presses on standard input, without waiting for Enter, while one exists; the
// terminal is put back as it was when it is destroyed. From a pipe or a file, each byte written
// to it counts as a key, so a script (or a test appending to the file) can press them.
class KeyReader {
  public:
    KeyReader();
    ~KeyReader();
    KeyReader(const KeyReader&) = delete;
    KeyReader& operator=(const KeyReader&) = delete;

    // A key pressed since the last call, if any; never waits.
    std::optional<char> poll();

  private:
    bool active_ = false;           // the terminal's settings were changed
    unsigned char saved_[64] = {};  // the terminal's settings before
};

}  // namespace corvid
