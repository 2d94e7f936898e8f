#pragma once

// The simulator directory: what corvid-devsim and the station's sim backends agree on.
//
//   DIR/control.sock   the simulator's control socket (plug, unplug, list, stop)
//   DIR/E.sock         drive E, present while the simulated device is plugged in
//   DIR/E.volume       link to the backing file of the disk part drive E shows now
//   DIR/E.sector       the logical sector size of that disk in bytes, as text ("1024")
//   DIR/E.trace        one line per command drive E received (default trace file)
//   DIR/state/         default state folders of the devices

#include <cstdint>
#include <filesystem>
#include <optional>

namespace corvid::simlink {

// $CORVID_SIM_DIR when set and not empty, else $XDG_RUNTIME_DIR/corvid-devsim, else
// /tmp/corvid-devsim-<uid>.
std::filesystem::path defaultSimDir();

std::filesystem::path controlSocketPath(const std::filesystem::path& simDir);
std::filesystem::path deviceSocketPath(const std::filesystem::path& simDir, char driveLetter);
std::filesystem::path volumeLinkPath(const std::filesystem::path& simDir, char driveLetter);
std::filesystem::path sectorSizePath(const std::filesystem::path& simDir, char driveLetter);
std::filesystem::path defaultTracePath(const std::filesystem::path& simDir, char driveLetter);

// The drive letter a device socket's file name stands for ("E.sock" gives 'E'), if any.
std::optional<char> letterOfSocketName(const std::filesystem::path& fileName);

// The backing file of the disk part that drive 'driveLetter' shows now, for the volume tools
// (mkfs.fat, mtools). Nothing while the device is absent or shows no disk.
std::optional<std::filesystem::path> simVolumePath(const std::filesystem::path& simDir,
                                                   char driveLetter);

// The logical sector size of the disk that drive 'driveLetter' shows (512 or 1024): what a real
// device reports in READ CAPACITY and a block device in its logical block size. 512 when the
// simulator does not tell it.
std::uint32_t simVolumeSectorSize(const std::filesystem::path& simDir, char driveLetter);

// What tells the device plugged at drive 'driveLetter' now from any device plugged there before
// or after: its socket file, made anew at every plug and every re-arrival after a reset (file
// number and change time). Nothing while no device is plugged there.
std::optional<std::string> simDiskIdentity(const std::filesystem::path& simDir, char driveLetter);

// True for 'A'..'Z'.
constexpr bool isDriveLetter(char c) {
    return c >= 'A' && c <= 'Z';
}

}  // namespace corvid::simlink
