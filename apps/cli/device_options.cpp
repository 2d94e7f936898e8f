#include "apps/cli/device_options.h"

#include <cctype>
#include <cstdlib>
#include <thread>

#ifdef _WIN32
#include "transport/transport_win32.h"
#else
#include "devsim/control.h"
#include "devsim/sim_dir.h"
#include "platform/sim_device_bus.h"
#include "transport/sg_transport.h"
#include "transport/sim_transport.h"
#endif

namespace corvid::cli {

namespace fs = std::filesystem;

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

DeviceSetup resolveDeviceSetup(const DeviceOptions& options) {
    DeviceSetup setup;
    const char* environment = std::getenv("CORVID_SIM_DIR");
    [[maybe_unused]] const bool environmentDir = environment != nullptr && *environment != '\0';
#ifdef _WIN32
    setup.simDir = fs::absolute(options.simDir);
#else
    setup.simDir = !options.simDir.empty() ? fs::absolute(options.simDir) : devsim::defaultSimDir();
#endif
    if (options.backend == "sim") {
        setup.backend = DeviceBackend::Sim;
    } else if (options.backend == "sg") {
        setup.backend = DeviceBackend::Sg;
    } else if (!options.backend.empty()) {
        throw DeviceOptionError("The backend \"" + options.backend + "\" is neither sim nor sg.");
    } else {
#ifdef _WIN32
        const bool known = false;  // the simulator is a Linux program
#else
        const bool known =
            !options.simDir.empty() || environmentDir || devsim::simulatorRunning(setup.simDir);
#endif
        setup.backend = known ? DeviceBackend::Sim : DeviceBackend::Sg;
    }
    if (setup.backend == DeviceBackend::Sim && !options.simDir.empty() &&
        !fs::is_directory(setup.simDir)) {
        throw DeviceOptionError("The simulator directory " + setup.simDir.string() +
                                " does not exist (corvid-devsim serve --dir DIR makes it).");
    }
    return setup;
}

std::unique_ptr<Transport> makeTransport(const DeviceSetup& setup) {
#ifdef _WIN32
    if (setup.backend == DeviceBackend::Sim) {
        throw std::runtime_error("The device simulator runs on Linux only.");
    }
    return std::make_unique<Win32Transport>();
#else
    if (setup.backend == DeviceBackend::Sim) {
        return std::make_unique<SimTransport>(SimTransportOptions{setup.simDir, 1.0});
    }
    return std::make_unique<SgTransport>();
#endif
}

std::unique_ptr<DeviceBus> makeDeviceBus(const DeviceSetup& setup) {
#ifndef _WIN32
    if (setup.backend == DeviceBackend::Sim) {
        return std::make_unique<SimDeviceBus>(setup.simDir);
    }
#endif
    (void)setup;
    throw std::runtime_error(
        "The device bus of the operating system is not built yet; use "
        "--backend sim with corvid-devsim.");
}

std::optional<fs::path> volumePath(const DeviceSetup& setup, char driveLetter) {
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(driveLetter)));
#ifndef _WIN32
    if (setup.backend == DeviceBackend::Sim) {
        return devsim::simVolumePath(setup.simDir, letter);
    }
    const fs::path device = SgTransport().devicePath(letter);
    std::error_code error;
    if (!device.empty() && fs::exists(device, error)) {
        return device;
    }
#else
    (void)setup;
    (void)letter;
#endif
    return std::nullopt;
}

std::string describeDrive(const DeviceSetup& setup, char driveLetter) {
    const std::string letter(
        1, static_cast<char>(std::toupper(static_cast<unsigned char>(driveLetter))));
    if (setup.backend == DeviceBackend::Sim) {
        return "drive " + letter + " of the simulator in " + setup.simDir.string();
    }
#ifndef _WIN32
    return "drive " + letter + " (SG_IO on " + SgTransport().devicePath(letter[0]) + ")";
#else
    return "drive " + letter;
#endif
}

char driveLetterOf(const std::string& text) {
    if (text.size() == 1 || (text.size() == 2 && text[1] == ':')) {
        const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
        if (letter >= 'A' && letter <= 'Z') {
            return letter;
        }
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
