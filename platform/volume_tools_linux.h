#pragma once

// The volume tools on Linux: dosfstools (mkfs.fat, fsck.fat) and mtools (mmd, mcopy, mdir) on
// the volume's block device or image file, each started by argument vector through the process
// runner, never a shell. The label is written in place (volume_tools_fat.h).
//
// The volume of a whole-disk block device is the disk itself when it carries no partition
// table, else its first partition (the one a system gives the drive letter). A mounted volume
// (a desktop mounts sticks on arrival) is unmounted before anything writes to it.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/production_disk_linux.h"
#include "platform/volume_tools.h"

namespace corvid {

// What the tools work on for a drive letter.
struct VolumeLocation {
    std::filesystem::path path;    // a whole-disk block device (/dev/sde) or an image file
    std::uint32_t sectorSize = 0;  // an image file's logical sector size, 0 for 512; a block
                                   // device tells its own
};

// Nothing when the drive shows no disk.
using VolumeLocator = std::function<std::optional<VolumeLocation>(char letter)>;

// The programs; a name without '/' is searched on PATH and then in /usr/sbin and /sbin, where
// dosfstools live and an ordinary user's PATH may not reach.
struct VolumePrograms {
    std::string mkfsFat = "mkfs.fat";
    std::string fsckFat = "fsck.fat";
    std::string mmd = "mmd";
    std::string mcopy = "mcopy";
    std::string mdir = "mdir";
    std::string umount = "umount";
    std::string udisksctl = "udisksctl";  // tried first when present: it unmounts for the
                                          // desktop user who mounted the stick
};

struct LinuxVolumeToolsOptions {
    VolumeLocator locate;
    VolumePrograms programs{};
    // How long refresh() waits for a real disk to answer again.
    std::chrono::milliseconds refreshLimit{10000};
    // The mount table a volume is unmounted by, as the system-disk guard reads it.
    SystemMountFiles mountFiles{};
};

std::unique_ptr<VolumeTools> makeLinuxVolumeTools(LinuxVolumeToolsOptions options);

// What mkfs.fat is told for a choice on a volume of 'volumeBytes' with 'sectorSize'-byte
// logical sectors. FAT16 with the choice's cluster size; FAT12 where the volume holds too few
// clusters for FAT16 (then with extra reserved sectors where the volume falls between the two);
// FAT32 with the choice's cluster size, halved where the volume is too small for FAT32 at it.
// Clusters are never smaller than a sector.
struct FatFormatPlan {
    int fatBits = 0;  // 12, 16 or 32; 0 when the volume cannot take the choice
    std::uint32_t clusterBytes = 0;
    std::uint32_t reservedSectors = 0;
    std::uint32_t rootEntries = 0;  // FAT12/16
    std::uint64_t clusters = 0;     // as the plan counts them
    std::string refusal;            // why the volume cannot take the choice
};
FatFormatPlan planFatFormat(FileSystemChoice choice, std::uint64_t volumeBytes,
                            std::uint32_t sectorSize);

}  // namespace corvid
