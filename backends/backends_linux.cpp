#include <unistd.h>

#include <cctype>
#include <cstdlib>

#include "backends/backends.h"
#include "platform/ascii_text.h"
#include "platform/production_disk_linux.h"
#include "platform/udev_device_bus_linux.h"
#include "platform/volume_tools_linux.h"
#include "simlink/control.h"
#include "simlink/sim_device_bus.h"
#include "simlink/sim_dir.h"
#include "simlink/sim_transport.h"
#include "transport/sg_transport.h"

namespace corvid {

namespace fs = std::filesystem;

namespace {}  // namespace

DeviceSetup resolveDeviceSetup(const std::string& backend, const std::string& simDir) {
    DeviceSetup setup;
    const char* environment = std::getenv("CORVID_SIM_DIR");
    const bool environmentDir = environment != nullptr && *environment != '\0';
    setup.simDir = !simDir.empty() ? fs::absolute(simDir) : simlink::defaultSimDir();
    if (backend == "sim") {
        setup.backend = DeviceBackend::Sim;
    } else if (backend == "sg") {
        setup.backend = DeviceBackend::System;
    } else if (!backend.empty()) {
        throw DeviceSetupError("The backend \"" + backend + "\" is neither sim nor sg.");
    } else {
        const bool known =
            !simDir.empty() || environmentDir || simlink::simulatorRunning(setup.simDir);
        setup.backend = known ? DeviceBackend::Sim : DeviceBackend::System;
    }
    if (setup.backend == DeviceBackend::Sim && !simDir.empty() && !fs::is_directory(setup.simDir)) {
        throw DeviceSetupError("The simulator directory " + setup.simDir.string() +
                               " does not exist (corvid-devsim serve --dir DIR makes it).");
    }
    return setup;
}

std::unique_ptr<Transport> makeTransport(const DeviceSetup& setup) {
    if (setup.backend == DeviceBackend::Sim) {
        return std::make_unique<SimTransport>(SimTransportOptions{setup.simDir, 1.0});
    }
    return std::make_unique<SgTransport>();
}

std::unique_ptr<DeviceBus> makeDeviceBus(const DeviceSetup& setup) {
    if (setup.backend == DeviceBackend::Sim) {
        return std::make_unique<SimDeviceBus>(setup.simDir);
    }
    return std::make_unique<UdevDeviceBus>();
}

std::optional<std::string> driveRefusal(const DeviceSetup& setup, char driveLetter) {
    if (setup.backend == DeviceBackend::Sim) {
        return std::nullopt;
    }
    return productionDriveRefusal(asciiUpper(driveLetter));
}

std::optional<fs::path> volumePath(const DeviceSetup& setup, char driveLetter) {
    const char letter = asciiUpper(driveLetter);
    if (setup.backend == DeviceBackend::Sim) {
        return simlink::simVolumePath(setup.simDir, letter);
    }
    const fs::path device = SgTransport().devicePath(letter);
    std::error_code error;
    // mkfs.fat on the system's disk is the worst the station could do: the same guard as open.
    if (!device.empty() && fs::exists(device, error) && !productionDriveRefusal(letter)) {
        return device;
    }
    return std::nullopt;
}

std::optional<std::string> diskIdentity(const DeviceSetup& setup, char driveLetter) {
    const char letter = asciiUpper(driveLetter);
    if (setup.backend == DeviceBackend::Sim) {
        return simlink::simDiskIdentity(setup.simDir, letter);
    }
    return diskIdentityOfDriveLetter(letter);
}

std::unique_ptr<VolumeTools> makeVolumeTools(const DeviceSetup& setup) {
    LinuxVolumeToolsOptions options;
    options.locate = [setup](char driveLetter) -> std::optional<VolumeLocation> {
        const auto path = volumePath(setup, driveLetter);
        if (!path) {
            return std::nullopt;
        }
        VolumeLocation location{*path, 0};
        if (setup.backend == DeviceBackend::Sim) {
            location.sectorSize =
                simlink::simVolumeSectorSize(setup.simDir, asciiUpper(driveLetter));
        }
        return location;
    };
    return makeLinuxVolumeTools(std::move(options));
}

fs::path driveLockFolder(const DeviceSetup& setup) {
    if (setup.backend == DeviceBackend::Sim) {
        return setup.simDir;
    }
    // /run/lock is open to every user on Debian; the disks are one machine's, whoever runs.
    std::error_code error;
    if (fs::is_directory("/run/lock", error) && ::access("/run/lock", W_OK) == 0) {
        return fs::path("/run/lock") / "corvid";
    }
    return fs::temp_directory_path() / "corvid-locks";
}

std::string noDeviceReason(const DeviceSetup& setup, char driveLetter) {
    const std::string letter(1, asciiUpper(driveLetter));
    if (setup.backend == DeviceBackend::Sim) {
        if (!simlink::simulatorRunning(setup.simDir)) {
            return simlink::noSimulatorText(setup.simDir);
        }
        return "Nothing is plugged at drive " + letter + " of the simulator in " +
               setup.simDir.string() + " (corvid-devsim plug --letter " + letter +
               " --profile nand-2k plugs a device).";
    }
    return "No disk is at drive " + letter + " (" + SgTransport().devicePath(letter[0]) + ").";
}

std::string describeDrive(const DeviceSetup& setup, char driveLetter) {
    const std::string letter(1, asciiUpper(driveLetter));
    if (setup.backend == DeviceBackend::Sim) {
        return "drive " + letter + " of the simulator in " + setup.simDir.string();
    }
    const SgTransport sg;
    const std::string path = sg.commandPath(letter[0]);
    if (path == sg.devicePath(letter[0])) {
        return "drive " + letter + " (SG_IO on " + path +
               "; the disk has no SCSI generic node, so vendor commands pass only for a user "
               "with CAP_SYS_RAWIO)";
    }
    return "drive " + letter + " (SG_IO on " + path + ")";
}

}  // namespace corvid
