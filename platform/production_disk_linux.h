#pragma once

// Which disks the station may produce on Linux. Drive letter X is the disk /dev/sdX; the station
// opens it only when that disk is attached by USB, holds no mount at all (the station mounts
// nothing itself, so any mount is the system's or another program's), no active swap and no
// device that device-mapper or md holds (LVM, dm-crypt, RAID, mounted or not). The device bus
// offers only such disks and the SG_IO transport opens only them: both ask here, so one rule
// decides.
//
// A mount or swap on a partition belongs to its disk; one on a device-mapper or md device
// belongs to every disk beneath it; one on a loop device belongs to the disk of its backing file
// (a live system's squashfs, a swap file); an overlay's belongs to the disks of its layers; a ZFS
// or btrfs mount belongs to every disk with a member of its pool, as udev names them.

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct udev;
struct udev_device;

namespace corvid {

// Where the system's mounts and active swaps are read; tests hand in files of their own.
struct SystemMountFiles {
    std::filesystem::path mountInfo = "/proc/self/mountinfo";
    std::filesystem::path swaps = "/proc/swaps";
};

// The drive letter of a block device name: 'A' for "sda" ... 'Z' for "sdz"; nothing for any
// other name ("sdaa", "sda1", "nvme0n1", "mmcblk0").
std::optional<char> driveLetterOfDiskName(std::string_view name);

// "sda" for 'A' or 'a' ... "sdz"; empty for anything outside A..Z.
std::string diskNameOfDriveLetter(char letter);

// One line of /proc/self/mountinfo: where it is mounted and the device behind it, by number
// ("8:2"; "0:N" for file systems the kernel numbers itself, such as btrfs) and by the source
// the mount names ("/dev/sda2", "/dev/mapper/vg-root", "overlay", "rpool/ROOT/debian"), with
// the file system's type and its own options (an overlay's "lowerdir=...").
struct MountEntry {
    std::string mountPoint;
    std::string deviceNumber;
    std::string source;
    std::string fileSystem;
    std::string superOptions;

    bool operator==(const MountEntry&) const = default;
};

// The mounts of a mountinfo text, in order; lines that do not have the form are skipped.
std::vector<MountEntry> parseMountInfo(std::string_view text);

// One active swap of /proc/swaps: a partition (or other block device), or a file.
struct SwapEntry {
    std::string fileName;
    bool isFile = false;

    bool operator==(const SwapEntry&) const = default;
};

// The swaps of a /proc/swaps text (its heading line skipped).
std::vector<SwapEntry> parseSwaps(std::string_view text);

// The whole disks that hold a mount, an active swap or a device in use by device-mapper or md,
// each with what it holds (the system's mounts named first).
class SystemDisks {
  public:
    // Reads the mount files and the block devices of 'context'. Throws std::runtime_error naming
    // the file when the mounts cannot be read ("the system's mounts cannot be read from FILE
    // (why)", a phrase): without them no disk can be judged.
    static SystemDisks read(udev* context, const SystemMountFiles& files);

    // What the whole disk of kernel name 'diskName' holds ("the system's / mount", "an active
    // swap (/dev/sdb2)", "a mount on /media/user/STICK", "/dev/sdb1, in use by /dev/dm-0"),
    // nothing when it holds none of these.
    std::optional<std::string> holding(const std::string& diskName) const;

  private:
    std::map<std::string, std::string> held_;  // disk name -> what it holds, first found
};

// True when the block device 'disk' hangs below a USB device, or udev says its bus is USB.
bool attachedByUsb(udev_device* disk);

// Why the whole disk 'disk' is no disk for the station ("holds the system's / mount", "is not
// attached by USB"), nothing when it may be produced.
std::optional<std::string> productionDiskRefusal(udev_device* disk, const SystemDisks& system);

// The same for drive letter X and its disk /dev/sdX, as a phrase that names the drive: "drive A
// (/dev/sda) is not attached by USB". A letter outside A..Z, a letter without a disk now and mount
// files that cannot be read are refusals too. Reads sysfs and the mount files afresh in a udev
// context of its own at each call (a letter's disk may change at any time), so any thread may
// call it.
std::optional<std::string> productionDriveRefusal(char letter, const SystemMountFiles& files = {});

// What tells one whole disk from any other that had or will have its name while the system
// runs: the number of its folder in sysfs (the kernel's sysfs numbers its nodes without reusing a
// number), with its device number ("sysfs node 4711, device 8:16"). It stays while the disk stays,
// whatever its medium does: a removable disk's disk sequence number grows at every medium change,
// and a stick shows a medium change each time its controller starts or switches its disk. Nothing
// when 'diskFolder' (a whole disk's folder in sysfs, /sys/block/sdX or its target) is not there.
std::optional<std::string> diskIdentityOfSysfsFolder(const std::filesystem::path& diskFolder);

// The same for the disk now at drive letter X (/dev/sdX); nothing when no disk has the name now.
std::optional<std::string> diskIdentityOfDriveLetter(char letter);

}  // namespace corvid
