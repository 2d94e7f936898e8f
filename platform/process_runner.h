#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace corvid {

enum class ProcessPriority { Idle, BelowNormal, Normal, AboveNormal, High };

struct ProcessOptions {
    std::vector<std::string> argv{};  // argv[0] is the program; never a shell string
    std::optional<std::filesystem::path> stdinFile{};  // standard input from this file
    // Standard output into this file (replaced), whatever 'hidden' says; standard error too,
    // unless errorFile names a file of its own.
    std::optional<std::filesystem::path> outputFile{};
    std::optional<std::filesystem::path> errorFile{};
    ProcessPriority priority = ProcessPriority::Normal;
    bool hidden = true;  // no window, output discarded
    // Variables set for the child on top of the station's environment (replacing one of the
    // same name).
    std::vector<std::pair<std::string, std::string>> environment{};
    // The child leads a process group of its own, and kill() ends the whole group: a tool that
    // starts helpers of its own leaves none of them running when it is ended.
    bool newProcessGroup = false;
};

// A child process started from an argument vector. Destroying it while the child still runs
// kills the child, so no process outlives its owner unnoticed.
class ChildProcess {
  public:
    virtual ~ChildProcess() = default;
    // The process ID, for messages.
    virtual long id() const = 0;
    // The exit code once it ended, nothing while it still runs. A child ended by a signal
    // gives 128 + the signal number, as a shell reports it.
    virtual std::optional<int> poll() = 0;
    // Waits at most 'limit'; the exit code, or nothing when it still runs.
    virtual std::optional<int> waitFor(std::chrono::milliseconds limit) = 0;
    // Ends the child at once (with its process group when it leads one) and waits for it to be
    // gone; nothing happens when it has ended.
    virtual void kill() = 0;
};

class ProcessStartError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Starts the program, searched on PATH when argv[0] holds no '/'. Throws ProcessStartError
// ("... cannot be started: <reason>", naming the program) when the program or the standard input
// file cannot be opened, or argv is empty. The priority is a nice value on Linux (Idle 19,
// BelowNormal 10, AboveNormal -5, High -10; Normal keeps the station's own); a raise that the
// system refuses to an unprivileged user leaves the child at the station's priority, as
// starting the program matters more than its priority.
std::unique_ptr<ChildProcess> startProcess(const ProcessOptions& options);

}  // namespace corvid
