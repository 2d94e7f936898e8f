#pragma once

// Which pass-through service, device bus and volume a program uses: the operating system's
// (SG_IO and udev on Linux, the pass-through frames and WM_DEVICECHANGE on Windows) or the
// device simulator's. One file per platform makes them; every program asks here.

#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/device_bus.h"
#include "platform/volume_tools.h"
#include "transport/transport.h"

namespace corvid {

enum class DeviceBackend { Sim, System };

struct DeviceSetup {
    DeviceBackend backend = DeviceBackend::System;
    std::filesystem::path simDir;  // the simulator directory, for the sim backend
};

// A backend name or simulator directory that cannot be used; a program ends with status 2.
class DeviceSetupError : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

// 'backend' is "sim", "sg" or empty; 'simDir' is empty for $CORVID_SIM_DIR, else the
// simulator's default directory. Without a backend: sim when a simulator directory is known
// (given, in the environment, or a simulator serving the default one), else the system's.
DeviceSetup resolveDeviceSetup(const std::string& backend, const std::string& simDir);

std::unique_ptr<Transport> makeTransport(const DeviceSetup& setup);

// Throws std::runtime_error for a bus this build does not have, or one that cannot listen.
std::unique_ptr<DeviceBus> makeDeviceBus(const DeviceSetup& setup);

// Why the station must not send anything to 'driveLetter' of this setup, as a phrase naming the
// drive ("drive A (/dev/sda) holds the system's / mount"); nothing when it may. The system's
// drives are judged by the same rule the transport applies at every open (a disk attached by USB
// holding no system mount or active swap); the simulator's drives are all the station's.
std::optional<std::string> driveRefusal(const DeviceSetup& setup, char driveLetter);

// What the volume tools work on for a drive letter: the simulator's backing file of the part
// the drive shows now, or the block device. Nothing when the drive shows no disk, or its disk is
// one driveRefusal() refuses.
std::optional<std::filesystem::path> volumePath(const DeviceSetup& setup, char driveLetter);

// What tells the disk now at 'driveLetter' from any other that had or will have the letter (see
// diskIdentityOfDriveLetter and simDiskIdentity); nothing when no disk is there or, on Windows,
// the system does not tell. Read at a device's arrival and compared before every later open.
std::optional<std::string> diskIdentity(const DeviceSetup& setup, char driveLetter);

// The volume tools for the drives of this setup: dosfstools and mtools on the volume path above
// (with the simulator's sector size for a simulated disk), or the Windows ones.
std::unique_ptr<VolumeTools> makeVolumeTools(const DeviceSetup& setup);

// The folder of the drive-letter locks (platform/drive_lock.h) every station program takes before
// it sends a device a command: the simulator directory for simulated devices (each simulator has
// letters of its own), the system's lock folder for real ones.
std::filesystem::path driveLockFolder(const DeviceSetup& setup);

// Why no device answers at the drive, for the message that says so: for the simulator, that none
// serves its directory (with the command that starts one) or that nothing is plugged at the
// letter; for the system, that no disk is there.
std::string noDeviceReason(const DeviceSetup& setup, char driveLetter);

// "drive E of the simulator in DIR" or "drive E (SG_IO on /dev/sg4)" (on /dev/sde, saying so,
// when the disk has no SCSI generic node), for messages.
std::string describeDrive(const DeviceSetup& setup, char driveLetter);

}  // namespace corvid
