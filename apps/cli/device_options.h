#pragma once

// The options every command that talks to devices takes: --backend sim|sg and --sim-dir DIR
// (or CORVID_SIM_DIR), which choose the backend; the drive letter such a command names and the
// checks whether a device answers there.

#include <CLI/CLI.hpp>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "backends/backends.h"
#include "transport/transport.h"

namespace corvid::cli {

struct DeviceOptions {
    std::string backend;  // "sim", "sg" or empty
    std::string simDir;   // empty: $CORVID_SIM_DIR, else the simulator's default directory
};

void addDeviceOptions(CLI::App& command, DeviceOptions& options);

// Bad options: the command ends with status 2.
class DeviceOptionError : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

// The backend the options choose (see resolveDeviceSetup); throws DeviceOptionError.
DeviceSetup deviceSetupOf(const DeviceOptions& options);

// The drive letter a command line names, "E" or "E:" in either case, in upper case. Throws
// DeviceOptionError for anything else.
char driveLetterArgument(const std::string& text);

// True when the device at 'letter' can be opened now.
bool deviceAnswers(Transport& transport, char letter);

// Waits up to 'limit' for the device at 'letter' to answer, as after a reset, when it leaves and
// comes back. It looks at least once.
bool waitForDevice(Transport& transport, char letter, std::chrono::milliseconds limit);

}  // namespace corvid::cli
