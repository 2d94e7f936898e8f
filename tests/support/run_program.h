#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/process_runner.h"
#include "tests/support/temp_dir.h"

namespace corvid::test {

struct ProgramRun {
    int exitCode = -1;   // 128 + signal for a program ended by a signal
    std::string output;  // standard output and standard error together
};

// Variables set for a program on top of the test's environment.
using ProgramEnvironment = std::vector<std::pair<std::string, std::string>>;

// What a program printed, as the test reads it: on Windows the text-mode line ends ("\r\n") of
// standard output and error become "\n", so one expectation holds on both systems.
std::string printedText(std::string bytes);

// Runs an argument vector through the station's own process runner (never a shell), waits at
// most 'limit' (then kills it and fails the test) and returns what it printed.
ProgramRun runProgram(const std::vector<std::string>& argv,
                      std::chrono::seconds limit = std::chrono::seconds(120),
                      const ProgramEnvironment& environment = {});

// One of the project's programs (corvid-cli, corvid-devsim) from the build's bin folder.
ProgramRun runBinProgram(const std::string& name, const std::vector<std::string>& arguments,
                         std::chrono::seconds limit = std::chrono::seconds(120));

// One of the project's programs running in the background while the test works with it: its
// standard input is a file the test appends to (each byte a key for corvid-cli station), its
// output a file the test reads as it grows. Killed when destroyed if still running.
class BackgroundProgram {
  public:
    BackgroundProgram(const std::string& name, const std::vector<std::string>& arguments);
    ~BackgroundProgram();
    BackgroundProgram(const BackgroundProgram&) = delete;
    BackgroundProgram& operator=(const BackgroundProgram&) = delete;

    std::string output() const;
    // The program's process ID.
    long id() const;
    // Waits until the output holds 'text' (true), or 'limit' passed or the program ended
    // without it (false).
    bool waitForOutput(const std::string& text,
                       std::chrono::seconds limit = std::chrono::seconds(60)) const;
    // Appends to the program's standard input.
    void type(const std::string& keys);
    // The exit code; fails the test and kills the program when it runs longer than 'limit'.
    int waitForExit(std::chrono::seconds limit = std::chrono::seconds(120));

  private:
    TempDir scratch_;
    std::unique_ptr<ChildProcess> child_;
};

}  // namespace corvid::test
