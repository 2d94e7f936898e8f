#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace corvid::test {

struct ProgramRun {
    int exitCode = -1;   // 128 + signal for a program ended by a signal
    std::string output;  // standard output and standard error together
};

// Variables set for a program on top of the test's environment.
using ProgramEnvironment = std::vector<std::pair<std::string, std::string>>;

// Runs an argument vector through the station's own process runner (never a shell), waits at
// most 'limit' (then kills it and fails the test) and returns what it printed.
ProgramRun runProgram(const std::vector<std::string>& argv,
                      std::chrono::seconds limit = std::chrono::seconds(120),
                      const ProgramEnvironment& environment = {});

// One of the project's programs (corvid-cli, corvid-devsim) from the build's bin folder.
ProgramRun runBinProgram(const std::string& name, const std::vector<std::string>& arguments,
                         std::chrono::seconds limit = std::chrono::seconds(120));

}  // namespace corvid::test
