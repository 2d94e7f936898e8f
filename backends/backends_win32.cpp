#include <cctype>

#include "backends/backends.h"
#include "platform/volume_tools_win32.h"
#include "transport/transport_win32.h"

namespace corvid {

namespace fs = std::filesystem;

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
    throw std::runtime_error("The Windows device bus is not built yet.");
}

std::optional<std::string> driveRefusal(const DeviceSetup&, char) {
    throw std::runtime_error(
        "The Windows check that a drive is a USB disk holding no part of the system is not built "
        "yet.");
}

std::optional<fs::path> volumePath(const DeviceSetup&, char driveLetter) {
    return fs::path(
        std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(driveLetter)))) +
        ":\\");
}

std::unique_ptr<VolumeTools> makeVolumeTools(const DeviceSetup&) {
    return makeWin32VolumeTools();
}

fs::path driveLockFolder(const DeviceSetup&) {
    return fs::temp_directory_path() / "corvid-locks";
}

std::string noDeviceReason(const DeviceSetup&, char driveLetter) {
    return "No disk is at drive " + std::string(1, driveLetter) + ":.";
}

std::string describeDrive(const DeviceSetup&, char driveLetter) {
    return std::string("drive ") +
           static_cast<char>(std::toupper(static_cast<unsigned char>(driveLetter)));
}

}  // namespace corvid
