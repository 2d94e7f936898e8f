// What the system-disk guard reads: drive letters of disk names, the mounts of mountinfo and the
// swaps of /proc/swaps. The guard itself runs on described devices in udev_device_bus_test.cpp.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/production_disk_linux.h"

namespace corvid {
namespace {

TEST(ProductionDiskTest, OnlySdaToSdzHaveADriveLetter) {
    struct Case {
        const char* name;
        std::optional<char> letter;
    };
    const Case cases[] = {
        {"sda", 'A'},
        {"sdq", 'Q'},
        {"sdz", 'Z'},
        {"sdaa", std::nullopt},
        {"sda1", std::nullopt},
        {"sdA", std::nullopt},
        {"sd", std::nullopt},
        {"nvme0n1", std::nullopt},
        {"mmcblk0", std::nullopt},
        {"vda", std::nullopt},
        {"hda", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(driveLetterOfDiskName(c.name), c.letter);
        if (c.letter) {
            EXPECT_EQ(diskNameOfDriveLetter(*c.letter), c.name);
        }
    }
    EXPECT_EQ(diskNameOfDriveLetter('e'), "sde");
    EXPECT_EQ(diskNameOfDriveLetter('1'), "");
    EXPECT_EQ(diskNameOfDriveLetter('['), "");
}

TEST(ProductionDiskTest, MountInfoGivesMountPointNumberAndSource) {
    struct Case {
        const char* what;
        std::string line;
        std::vector<MountEntry> mounts;
    };
    const Case cases[] = {
        {"no optional fields",
         "26 1 8:2 / / rw,relatime - ext4 /dev/sda2 rw",
         {{"/", "8:2", "/dev/sda2", "ext4", "rw"}}},
        {"optional fields before the separator",
         "36 26 8:17 / /home rw,relatime shared:1 master:2 - ext4 /dev/sdb1 rw,errors=remount-ro",
         {{"/home", "8:17", "/dev/sdb1", "ext4", "rw,errors=remount-ro"}}},
        {"a space in the mount point and source",
         "40 26 8:33 / /media/user/MY\\040STICK rw - vfat /dev/disk/by-label/MY\\040STICK rw",
         {{"/media/user/MY STICK", "8:33", "/dev/disk/by-label/MY STICK", "vfat", "rw"}}},
        {"a number of the file system's own (btrfs)",
         "27 1 0:45 /@home /home rw - btrfs /dev/nvme0n1p2 rw,subvol=/@home",
         {{"/home", "0:45", "/dev/nvme0n1p2", "btrfs", "rw,subvol=/@home"}}},
        {"no device at all",
         "21 26 0:20 / /proc rw - proc proc rw",
         {{"/proc", "0:20", "proc", "proc", "rw"}}},
        {"an overlay with its layers",
         "28 1 0:31 / / rw - overlay overlay rw,lowerdir=/run/live/rootfs/filesystem.squashfs,"
         "upperdir=/run/live/overlay/rw,workdir=/run/live/overlay/work",
         {{"/", "0:31", "overlay", "overlay",
           "rw,lowerdir=/run/live/rootfs/filesystem.squashfs,upperdir=/run/live/overlay/rw,"
           "workdir=/run/live/overlay/work"}}},
        {"no options of the file system's own",
         "26 1 8:2 / / rw - ext4 /dev/sda2",
         {{"/", "8:2", "/dev/sda2", "ext4", ""}}},
        {"no separator", "26 1 8:2 / / rw,relatime ext4 /dev/sda2 rw", {}},
        {"cut short after the separator", "26 1 8:2 / / rw -", {}},
        {"empty", "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(parseMountInfo(c.line), c.mounts);
    }

    const std::string two =
        "26 1 254:0 / / rw - ext4 /dev/mapper/vg-root rw\n"
        "30 26 8:1 / /boot rw - ext2 /dev/sda1 rw\n";
    EXPECT_EQ(parseMountInfo(two),
              (std::vector<MountEntry>{{"/", "254:0", "/dev/mapper/vg-root", "ext4", "rw"},
                                       {"/boot", "8:1", "/dev/sda1", "ext2", "rw"}}));
}

TEST(ProductionDiskTest, SwapsSkipTheirHeadingAndTellFilesFromPartitions) {
    const std::string text =
        "Filename\t\t\t\tType\t\tSize\t\tUsed\t\tPriority\n"
        "/dev/sda3                               partition\t8388604\t\t0\t\t-2\n"
        "/swap\\040file                           file\t\t1048572\t\t0\t\t-3\n"
        "/dev/dm-1                               partition\t4194300\t\t0\t\t-4\n";
    EXPECT_EQ(
        parseSwaps(text),
        (std::vector<SwapEntry>{{"/dev/sda3", false}, {"/swap file", true}, {"/dev/dm-1", false}}));
    EXPECT_EQ(parseSwaps("Filename\tType\tSize\tUsed\tPriority\n"), std::vector<SwapEntry>{});
    EXPECT_EQ(parseSwaps(""), std::vector<SwapEntry>{});
}

}  // namespace
}  // namespace corvid
