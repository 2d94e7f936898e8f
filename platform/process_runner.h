#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvid {

enum class ProcessPriority { Idle, BelowNormal, Normal, AboveNormal, High };

struct ProcessOptions {
    std::vector<std::string> argv;               // argv[0] is the program; never a shell string
    std::optional<std::filesystem::path> stdinFile;  // standard input from this file
    ProcessPriority priority = ProcessPriority::Normal;
    bool hidden = true;                          // no window, output discarded
};

// A child process started from an argument vector.
class ChildProcess {
public:
    virtual ~ChildProcess() = default;
    // The exit code once it ended, nothing while it still runs.
    virtual std::optional<int> poll() = 0;
    // Waits at most 'limit'; the exit code, or nothing when it still runs.
    virtual std::optional<int> waitFor(std::chrono::milliseconds limit) = 0;
    virtual void kill() = 0;
};

class ProcessStartError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws ProcessStartError ("cannot be started") when the program cannot be started.
std::unique_ptr<ChildProcess> startProcess(const ProcessOptions& options);

}  // namespace corvid
