#pragma once

// The options every command that talks to devices takes: --backend sim|sg and --sim-dir DIR
// (or CORVID_SIM_DIR), and the pass-through service and device bus they choose; the drive letter
// such a command names and the checks whether a device answers there.

#include <CLI/CLI.hpp>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/device_bus.h"
#include "transport/transport.h"

namespace corvid::cli {

struct DeviceOptions {
    std::string backend;  // "sim", "sg" or empty
    std::string simDir;   // empty: $CORVID_SIM_DIR, else the simulator's default directory
};

void addDeviceOptions(CLI::App& command, DeviceOptions& options);

enum class DeviceBackend { Sim, Sg };

struct DeviceSetup {
    DeviceBackend backend = DeviceBackend::Sg;
    std::filesystem::path simDir;  // the simulator directory, for the sim backend
};

// Bad options: the command ends with status 2.
class DeviceOptionError : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

// --backend when given; otherwise sim when a simulator directory is known (--sim-dir,
// CORVID_SIM_DIR, or a simulator serving the default directory), else sg.
DeviceSetup resolveDeviceSetup(const DeviceOptions& options);

std::unique_ptr<Transport> makeTransport(const DeviceSetup& setup);
// Throws std::runtime_error for a bus this build does not have.
std::unique_ptr<DeviceBus> makeDeviceBus(const DeviceSetup& setup);

// What the volume tools work on for a drive letter: the simulator's backing file of the part
// the drive shows now, or the block device /dev/sdX. Nothing when the drive shows no disk.
std::optional<std::filesystem::path> volumePath(const DeviceSetup& setup, char driveLetter);

// "the simulator in DIR" or "SG_IO on /dev/sdX", for messages.
std::string describeDrive(const DeviceSetup& setup, char driveLetter);

// The drive letter a command line names, "E" or "E:" in either case, in upper case. Throws
// DeviceOptionError for anything else.
char driveLetterOf(const std::string& text);

// True when the device at 'letter' can be opened now.
bool deviceAnswers(Transport& transport, char letter);

// Waits up to 'limit' for the device at 'letter' to answer, as after a reset, when it leaves and
// comes back. It looks at least once.
bool waitForDevice(Transport& transport, char letter, std::chrono::milliseconds limit);

}  // namespace corvid::cli
