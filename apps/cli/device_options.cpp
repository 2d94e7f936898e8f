#include "apps/cli/device_options.h"

#include <cctype>
#include <cstdlib>
#include <thread>

#include "platform/ascii_text.h"

namespace corvid::cli {

namespace {

constexpr auto kDevicePoll = std::chrono::milliseconds(50);

}  // namespace

void addDeviceOptions(CLI::App& command, DeviceOptions& options) {
    command
        .add_option("--backend", options.backend,
                    "how devices are reached: sim (the device simulator) or sg (SG_IO on "
                    "/dev/sdX); default sim when a simulator directory is known")
        ->check(CLI::IsMember({"sim", "sg"}));
    command.add_option("--sim-dir", options.simDir,
                       "simulator directory (default: $CORVID_SIM_DIR, else the simulator's "
                       "default directory)");
}

DeviceSetup deviceSetupOf(const DeviceOptions& options) {
    try {
        return resolveDeviceSetup(options.backend, options.simDir);
    } catch (const DeviceSetupError& e) {
        throw DeviceOptionError(e.what());
    }
}

char driveLetterArgument(const std::string& text) {
    if (const std::optional<char> letter = driveLetterOf(text)) {
        return *letter;
    }
    throw DeviceOptionError("\"" + text + "\" is not a drive letter (A to Z).");
}

bool deviceAnswers(Transport& transport, char letter) {
    return ScopedDevice(transport, letter).isOpen();
}

bool waitForDevice(Transport& transport, char letter, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (deviceAnswers(transport, letter)) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(kDevicePoll);
    }
}

}  // namespace corvid::cli
