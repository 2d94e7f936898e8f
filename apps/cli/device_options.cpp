#include "apps/cli/device_options.h"

#include <cctype>
#include <cstdlib>

#include "devsim/control.h"
#include "devsim/sim_dir.h"
#include "platform/sim_device_bus.h"
#include "transport/sim_transport.h"
#ifdef __linux__
#include "transport/sg_transport.h"
#endif

namespace corvid::cli {

namespace fs = std::filesystem;

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
    const bool environmentDir = environment != nullptr && *environment != '\0';
    setup.simDir = !options.simDir.empty() ? fs::absolute(options.simDir) : devsim::defaultSimDir();
    if (options.backend == "sim") {
        setup.backend = DeviceBackend::Sim;
    } else if (options.backend == "sg") {
        setup.backend = DeviceBackend::Sg;
    } else if (!options.backend.empty()) {
        throw DeviceOptionError("The backend \"" + options.backend + "\" is neither sim nor sg.");
    } else {
        const bool known =
            !options.simDir.empty() || environmentDir || devsim::simulatorRunning(setup.simDir);
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
    if (setup.backend == DeviceBackend::Sim) {
        return std::make_unique<SimTransport>(SimTransportOptions{setup.simDir, 1.0});
    }
#ifdef __linux__
    return std::make_unique<SgTransport>();
#else
    throw std::runtime_error("The sg backend exists on Linux only.");
#endif
}

std::unique_ptr<DeviceBus> makeDeviceBus(const DeviceSetup& setup) {
    if (setup.backend == DeviceBackend::Sim) {
        return std::make_unique<SimDeviceBus>(setup.simDir);
    }
    throw std::runtime_error(
        "The udev device bus of the sg backend is not built yet; use "
        "--backend sim with corvid-devsim.");
}

std::optional<fs::path> volumePath(const DeviceSetup& setup, char driveLetter) {
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(driveLetter)));
    if (setup.backend == DeviceBackend::Sim) {
        return devsim::simVolumePath(setup.simDir, letter);
    }
#ifdef __linux__
    const fs::path device = SgTransport().devicePath(letter);
    std::error_code error;
    if (!device.empty() && fs::exists(device, error)) {
        return device;
    }
#endif
    return std::nullopt;
}

std::string describeDrive(const DeviceSetup& setup, char driveLetter) {
    const std::string letter(
        1, static_cast<char>(std::toupper(static_cast<unsigned char>(driveLetter))));
    if (setup.backend == DeviceBackend::Sim) {
        return "drive " + letter + " of the simulator in " + setup.simDir.string();
    }
#ifdef __linux__
    return "drive " + letter + " (SG_IO on " + SgTransport().devicePath(letter[0]) + ")";
#else
    return "drive " + letter;
#endif
}

}  // namespace corvid::cli
