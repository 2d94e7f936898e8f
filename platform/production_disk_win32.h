#pragma once

// Which drives the station may produce on Windows: drive letter X is the volume "\\.\X:", taken
// only when its disk is attached by USB and is not the disk that holds the Windows folder. The
// device bus offers only such drives and the backends refuse every other one, so one rule decides
// (as production_disk_linux.h does on Linux). Built only on Windows.

#include <optional>
#include <string>

namespace corvid {

// What the system says of a drive letter's volume.
struct WindowsVolumeFacts {
    char letter = 'A';
    bool present = false;  // a volume is at the letter
    // Why the storage queries could not be answered; empty when they were.
    std::string queryFailure{};
    bool usb = false;
    long diskNumber = -1;        // the physical disk of the volume
    long systemDiskNumber = -1;  // the physical disk of the Windows folder; -1 when unknown
    char systemLetter = 'C';     // the letter of the Windows folder's volume
};

// The facts of the volume at 'letter', asked of the system now.
WindowsVolumeFacts windowsVolumeFacts(char letter);

// Why the volume of these facts is no drive for the station, as a phrase naming it: "drive C
// (\\.\C:) holds the Windows folder", "drive D (\\.\D:) is not attached by USB"; nothing when it
// may be produced.
std::optional<std::string> windowsVolumeRefusal(const WindowsVolumeFacts& facts);

// windowsVolumeRefusal(windowsVolumeFacts(letter)); a letter outside A..Z is a refusal too.
std::optional<std::string> productionDriveRefusal(char letter);

}  // namespace corvid
