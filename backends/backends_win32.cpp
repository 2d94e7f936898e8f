#include <cctype>

#include "backends/backends.h"
#include "platform/ascii_text.h"
#include "platform/device_bus_win32.h"
#include "platform/production_disk_win32.h"
#include "platform/volume_tools_win32.h"
#include "transport/transport_win32.h"

namespace corvid {

namespace fs = std::filesystem;

namespace {}  // namespace

// The simulator is a Linux program: on Windows only the system's devices are reached.

DeviceSetup resolveDeviceSetup(const std::string& backend, const std::string& simDir) {
    if (backend == "sim" || !simDir.empty()) {
        throw DeviceSetupError("The device simulator runs on Linux only.");
    }
    if (!backend.empty() && backend != "sg") {
        throw DeviceSetupError("The backend \"" + backend + "\" is not known on Windows.");
    }
    return DeviceSetup{};
}

std::unique_ptr<Transport> makeTransport(const DeviceSetup&) {
    return std::make_unique<Win32Transport>();
}

std::unique_ptr<DeviceBus> makeDeviceBus(const DeviceSetup&) {
    return std::make_unique<Win32DeviceBus>();
}

std::optional<std::string> driveRefusal(const DeviceSetup&, char driveLetter) {
    return productionDriveRefusal(asciiUpper(driveLetter));
}

std::optional<fs::path> volumePath(const DeviceSetup&, char driveLetter) {
    const char letter = asciiUpper(driveLetter);
    // format.com on the system's disk is the worst the station could do: the same guard as open.
    if (productionDriveRefusal(letter)) {
        return std::nullopt;
    }
    return fs::path(std::string(1, letter) + ":\\");
}

std::optional<std::string> diskIdentity(const DeviceSetup&, char) {
    return std::nullopt;  // not told yet: the drive rule at every open is the guard there
}

std::unique_ptr<VolumeTools> makeVolumeTools(const DeviceSetup&) {
    return makeWin32VolumeTools();
}

fs::path driveLockFolder(const DeviceSetup&) {
    return fs::temp_directory_path() / "corvid-locks";
}

std::string noDeviceReason(const DeviceSetup&, char driveLetter) {
    return "No disk is at drive " + std::string(1, asciiUpper(driveLetter)) + ":.";
}

std::string describeDrive(const DeviceSetup&, char driveLetter) {
    const std::string letter(1, asciiUpper(driveLetter));
    return "drive " + letter + " (\\\\.\\" + letter + ":)";
}

}  // namespace corvid
