// The udev device bus and the system-disk guard on devices described to umockdev: a USB stick, a
// USB disk that holds /, a SATA disk, an NVMe disk and a card reader, with the mount files each
// test hands in. CTest starts this program through umockdev's preload (umockdev-wrapper), which
// answers sysfs, /dev, /proc and udev's events from the test bed.

#include <fcntl.h>
#include <glib-object.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <umockdev.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/production_disk_linux.h"
#include "platform/udev_device_bus_linux.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"
#include "transport/plugin_checks.h"
#include "transport/sg_transport.h"
#include "transport/vendor_commands.h"

namespace corvid {

void PrintTo(const DeviceEvent& event, std::ostream* out) {
    *out << (event.kind == DeviceEventKind::Arrival ? "arrival of " : "removal of ");
    forEachDriveLetter(event.letters, [&](char letter) { *out << letter; });
}

namespace {

namespace fs = std::filesystem;
using std::chrono_literals::operator""s;

const std::string kUsbHub = "/devices/pci0000:00/0000:00:14.0/usb1";

// A disk as the test bed shows it, with its partitions.
struct Disk {
    std::string name;       // kernel name
    std::string usbDevice;  // the USB device above it; empty for a disk on another bus
    std::string blockDir;   // sysfs folder holding "name"
    std::string number;     // "8:16"
    std::string bus;        // ID_BUS; empty for none
    std::string serial;
    std::string sectors;  // "0": a card reader without a medium
    int partitions = 0;

    std::string path() const { return blockDir + "/" + name; }
    std::string partitionName(int n) const {
        return name + (std::isdigit(static_cast<unsigned char>(name.back())) ? "p" : "") +
               std::to_string(n);
    }
    std::string partitionPath(int n) const { return path() + "/" + partitionName(n); }
};

// A disk behind the USB port 'port' of the hub, as usb-storage shows one.
Disk usbDisk(const std::string& name, const std::string& port, int host, const std::string& number,
             const std::string& serial, const std::string& sectors, int partitions) {
    const std::string usb = kUsbHub + "/" + port;
    const std::string scsi = std::to_string(host) + ":0:0";
    return {name,
            usb,
            usb + "/" + port + ":1.0/host" + std::to_string(host) + "/target" + scsi + "/" + scsi +
                ":0/block",
            number,
            "usb",
            serial,
            sectors,
            partitions};
}

// The devices of the tests: a stick, a USB disk whose first partition holds / (kMounts), a SATA
// disk with a mount, an NVMe disk and a card reader without a medium.
const Disk kStick = usbDisk("sdb", "1-2", 6, "8:16", "Corvid_Stick_0001", "7864320", 1);
const Disk kRootUsbDisk = usbDisk("sdc", "1-3", 7, "8:32", "Backup_Disk_77", "976773168", 2);
const Disk kCardReader = usbDisk("sdd", "1-4", 8, "8:48", "Generic_Card_Reader", "0", 0);
const Disk kSataDisk{
    "sda",       "",    "/devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block",
    "8:0",       "ata", "Samsung_SSD_870",
    "500118192", 2};
const Disk kNvmeDisk{
    "nvme0n1",    "",     "/devices/pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0",
    "259:0",      "nvme", "WD_SN770",
    "1953525168", 1};

const std::string kMounts =
    "22 1 8:33 / / rw,relatime shared:1 - ext4 /dev/sdc1 rw\n"
    "23 22 8:2 / /srv rw,relatime shared:2 - ext4 /dev/sda2 rw\n"
    "25 22 0:20 / /proc rw - proc proc rw\n";
const std::string kNoSwaps = "Filename\t\t\t\tType\t\tSize\t\tUsed\t\tPriority\n";

// A live system booted from the USB disk sdc: / is an overlay over the squashfs on loop0, whose
// file lies on the boot medium, sdc1 (with describeLoop("loop0", "7:0", kLiveSquashfs)).
const std::string kLiveSquashfs = "/run/live/medium/live/filesystem.squashfs";
const std::string kLiveMounts =
    "22 1 0:31 / / rw - overlay overlay rw,lowerdir=/run/live/rootfs/filesystem.squashfs,"
    "upperdir=/run/live/overlay/rw,workdir=/run/live/overlay/work\n"
    "23 22 8:33 / /run/live/medium ro - iso9660 /dev/sdc1 ro\n"
    "24 22 7:0 / /run/live/rootfs/filesystem.squashfs ro - squashfs /dev/loop0 ro\n";

// A loop device whose backing file is 'file'.
std::string describeLoop(const std::string& name, const std::string& number,
                         const std::string& file) {
    return "P: /devices/virtual/block/" + name + "\nN: " + name +
           "=00\nE: SUBSYSTEM=block\nE: DEVTYPE=disk\nE: DEVNAME=/dev/" + name +
           "\nA: dev=" + number + "\nA: size=1000\nA: loop/backing_file=" + file + "\n";
}

std::string describe(const Disk& disk) {
    std::string text;
    if (!disk.usbDevice.empty()) {
        text += "P: " + disk.usbDevice +
                "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: busnum=1\nA: idVendor=abcd\n\n";
    }
    const auto node = [&](const std::string& name, const std::string& devtype,
                          const std::string& number, const std::string& sectors) {
        const auto colon = number.find(':');
        return "N: " + name + "=00\nE: SUBSYSTEM=block\nE: DEVTYPE=" + devtype +
               "\nE: DEVNAME=/dev/" + name + "\nE: MAJOR=" + number.substr(0, colon) +
               "\nE: MINOR=" + number.substr(colon + 1) + "\nA: dev=" + number +
               "\nA: size=" + sectors + "\n";
    };
    text += "P: " + disk.path() + "\n" + node(disk.name, "disk", disk.number, disk.sectors);
    if (!disk.bus.empty()) {
        text += "E: ID_BUS=" + disk.bus + "\n";
    }
    text += "E: ID_SERIAL=" + disk.serial + "\n\n";
    const auto colon = disk.number.find(':');
    const int minor = std::stoi(disk.number.substr(colon + 1));
    for (int n = 1; n <= disk.partitions; ++n) {
        text += "P: " + disk.partitionPath(n) + "\n" +
                node(disk.partitionName(n), "partition",
                     disk.number.substr(0, colon + 1) + std::to_string(minor + n), "2048") +
                "A: partition=" + std::to_string(n) + "\n\n";
    }
    return text;
}

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

class UdevBusTest : public test::TempDirTest {
  protected:
    void SetUp() override {
        const char* preload = std::getenv("LD_PRELOAD");
        ASSERT_TRUE(preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr)
            << "This test runs with umockdev's library preloaded (umockdev-wrapper, as CTest "
               "starts it).";
        bed_ = umockdev_testbed_new();
        setMounts(kMounts, kNoSwaps);
    }
    void TearDown() override {
        if (bed_ != nullptr) {
            g_object_unref(bed_);
        }
    }

    // The test bed's folder, which stands for / in sysfs, /dev and /proc.
    fs::path bedRoot() const {
        gchar* root = umockdev_testbed_get_root_dir(bed_);
        const fs::path path = root;
        g_free(root);
        return path;
    }

    void add(const Disk& disk) { addText(describe(disk)); }
    void addText(const std::string& text) {
        GError* error = nullptr;
        if (!umockdev_testbed_add_from_string(bed_, text.c_str(), &error)) {
            ADD_FAILURE() << "the test bed refused a device: " << error->message << "\n" << text;
            g_error_free(error);
        }
    }
    void uevent(const std::string& path, const char* action) {
        umockdev_testbed_uevent(bed_, ("/sys" + path).c_str(), action);
    }
    void setAttribute(const std::string& path, const char* name, const char* value) {
        umockdev_testbed_set_attribute(bed_, ("/sys" + path).c_str(), name, value);
    }
    void setProperty(const std::string& path, const char* name, const char* value) {
        umockdev_testbed_set_property(bed_, ("/sys" + path).c_str(), name, value);
    }
    // Unplugged: udev's remove for each partition and the disk ('removes' times), then the
    // device is gone from sysfs and /dev (and umockdev sends no event for it any more).
    void unplug(const Disk& disk, int removes = 1) {
        for (int n = disk.partitions; n >= 1; --n) {
            uevent(disk.partitionPath(n), "remove");
        }
        for (int i = 0; i < removes; ++i) {
            uevent(disk.path(), "remove");
        }
        removeSilently(disk);
    }
    // Gone from sysfs and /dev without a word, as if udev's events were lost. One by one, and
    // the /sys/block links and /dev nodes too, which umockdev leaves behind (a disk of the same
    // name could not come after it).
    void removeSilently(const Disk& disk) {
        const fs::path root = bedRoot();
        for (int n = disk.partitions; n >= 0; --n) {
            const std::string name = n > 0 ? disk.partitionName(n) : disk.name;
            umockdev_testbed_remove_device(
                bed_, ("/sys" + (n > 0 ? disk.partitionPath(n) : disk.path())).c_str());
            fs::remove(root / "sys/block" / name);
            fs::remove(root / "dev" / name);
        }
        if (!disk.usbDevice.empty()) {
            umockdev_testbed_remove_device(bed_, ("/sys" + disk.usbDevice).c_str());
        }
    }

    // The mount files handed to the bus and guard under test.
    void setMounts(const std::string& mountInfo, const std::string& swaps) {
        writeFile(files_.mountInfo, mountInfo);
        writeFile(files_.swaps, swaps);
    }
    // The same as the system's own /proc files, for code that reads those.
    void setSystemMounts(const std::string& mountInfo, const std::string& swaps) {
        const fs::path root = bedRoot();
        writeFile(root / "proc/self/mountinfo", mountInfo);
        writeFile(root / "proc/swaps", swaps);
    }

    std::unique_ptr<UdevDeviceBus> makeBus() {
        return std::make_unique<UdevDeviceBus>(UdevDeviceBusOptions{
            files_, [this](const std::string& note) { notes_.push_back(note); }});
    }

    static std::optional<DeviceEvent> next(DeviceBus& bus) {
        return bus.waitEvent(std::chrono::milliseconds(10000));
    }

    UMockdevTestbed* bed_ = nullptr;
    SystemMountFiles files_{dir_ / "mountinfo", dir_ / "swaps"};
    std::vector<std::string> notes_;
};

constexpr DeviceEvent arrival(char letter) {
    return {DeviceEventKind::Arrival, driveLetterBit(letter)};
}
constexpr DeviceEvent removal(char letter) {
    return {DeviceEventKind::Removal, driveLetterBit(letter)};
}

// Of the five, the stick and the USB disk without a medium (a blank stick shows none until it has
// its firmware; a card reader's is judged by its inquiry) may be the station's: the SATA disk is
// not attached by USB, the USB disk holds /, the NVMe disk has no drive letter. A stick that only
// udev calls USB (no USB device above it in sysfs) is one too.
TEST_F(UdevBusTest, OnlyAUsbDiskWithNoSystemMountIsOffered) {
    for (const Disk& disk : {kSataDisk, kStick, kRootUsbDisk, kCardReader, kNvmeDisk}) {
        add(disk);
    }
    add({"sde", "", "/devices/platform/vhci_hcd.0/host9/target9:0:0/9:0:0:0/block", "8:64", "usb",
         "Remote_Stick", "1000000", 0});

    const auto bus = makeBus();
    const std::uint32_t offered = driveLetterBit('B') | driveLetterBit('D') | driveLetterBit('E');
    EXPECT_EQ(bus->presentLetters(), offered);
    EXPECT_EQ(bus->presentLetters(), offered);
    // Each note once, however often the disks are looked at.
    EXPECT_EQ(notes_, (std::vector<std::string>{
                          "The USB disk sdc holds the system's / mount; the station leaves it "
                          "alone.",
                          "The disk nvme0n1 has no drive letter (only sda to sdz have one); the "
                          "station leaves it alone."}));
}

// The guard names the drive and why it is refused. A disk without a medium may be opened (the
// plug-in checks speak to it), so the guard does not ask for a medium.
TEST_F(UdevBusTest, GuardSaysWhyADriveIsRefused) {
    for (const Disk& disk : {kSataDisk, kStick, kRootUsbDisk, kCardReader, kNvmeDisk}) {
        add(disk);
    }
    struct Case {
        char letter;
        std::optional<std::string> refusal;
    };
    const Case cases[] = {
        {'A', "drive A (/dev/sda) holds a mount on /srv"},
        {'B', std::nullopt},
        {'b', std::nullopt},
        {'C', "drive C (/dev/sdc) holds the system's / mount"},
        {'D', std::nullopt},
        {'Q', "drive Q (/dev/sdq) shows no disk"},
        {'1', "'1' is not a drive letter (A to Z)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.letter);
        EXPECT_EQ(productionDriveRefusal(c.letter, files_), c.refusal);
    }

    // Without the mounts nothing can be judged: every drive is refused, and the bus offers none.
    fs::remove(files_.mountInfo);
    EXPECT_EQ(productionDriveRefusal('B', files_),
              "drive B (/dev/sdb) cannot be checked: the system's mounts cannot be read from " +
                  files_.mountInfo.string() + " (No such file or directory)");
    EXPECT_EQ(makeBus()->presentLetters(), 0u);
    EXPECT_THAT(notes_,
                ::testing::Contains("The device bus offers no disk: the system's mounts "
                                    "cannot be read from " +
                                    files_.mountInfo.string() + " (No such file or directory)."));
}

// Every way a disk holds part of the system or another program's data: a system mount on a
// partition, on the whole disk, on LVM or RAID over it, found by device number or by source; any
// other mount; an active swap partition, a swap file on one of its mounts or on a loop device
// whose file lies there; a live system's overlay root over a squashfs on a loop device whose file
// lies on its boot medium; a ZFS or multi-device btrfs root with a member on it.
TEST_F(UdevBusTest, ADiskHoldingAnyPartOfTheSystemIsNeverOffered) {
    add(kStick);
    add(kRootUsbDisk);
    add(kSataDisk);
    // LVM: dm-0 "vg-data" over sdc2; RAID: md0 over sdc1 (and sda1).
    addText(
        "P: /devices/virtual/block/dm-0\nN: dm-0=00\nE: SUBSYSTEM=block\nE: DEVTYPE=disk\n"
        "E: DEVNAME=/dev/dm-0\nA: dev=254:0\nA: size=1000\nA: dm/name=vg-data\n\n"
        "P: /devices/virtual/block/md0\nN: md0=00\nE: SUBSYSTEM=block\nE: DEVTYPE=disk\n"
        "E: DEVNAME=/dev/md0\nA: dev=9:0\nA: size=1000\n");
    const fs::path sys = bedRoot() / "sys";
    const auto slave = [&](const std::string& holder, const Disk& disk, int partition) {
        const fs::path slaves = sys / ("devices/virtual/block/" + holder + "/slaves");
        fs::create_directories(slaves);
        fs::create_symlink(sys / disk.partitionPath(partition).substr(1),
                           slaves / disk.partitionName(partition));
    };
    slave("dm-0", kRootUsbDisk, 2);
    slave("md0", kRootUsbDisk, 1);
    slave("md0", kSataDisk, 1);
    // A live system's squashfs and a swap file, each on a loop device.
    addText(describeLoop("loop0", "7:0", kLiveSquashfs));
    addText(describeLoop("loop1", "7:1", "/data/swapfile"));
    // The members udev found: a ZFS pool on sdc2, a btrfs file system over sda2 and sdc1.
    setProperty(kRootUsbDisk.partitionPath(2), "ID_FS_TYPE", "zfs_member");
    setProperty(kRootUsbDisk.partitionPath(2), "ID_FS_LABEL", "rpool");
    for (const std::string& member : {kRootUsbDisk.partitionPath(1), kSataDisk.partitionPath(2)}) {
        setProperty(member, "ID_FS_TYPE", "btrfs");
        setProperty(member, "ID_FS_UUID", "6c1f0d2e-btrfs");
    }

    const std::string rootOnSata = "22 1 8:2 / / rw - ext4 /dev/sda2 rw\n";
    struct Case {
        const char* what;
        std::string mountInfo;
        std::string swaps;
        std::optional<std::string> refusal;  // of drive C
    };
    const Case cases[] = {
        {"/ on a partition, by number", kMounts, kNoSwaps, "holds the system's / mount"},
        {"/home by its source, the number being the file system's own",
         rootOnSata + "30 22 0:45 /@home /home rw - btrfs /dev/sdc2 rw\n", kNoSwaps,
         "holds the system's /home mount"},
        {"/boot on the whole disk", rootOnSata + "30 22 8:32 / /boot rw - vfat /dev/sdc rw\n",
         kNoSwaps, "holds the system's /boot mount"},
        {"/var on LVM over a partition, by number",
         rootOnSata + "30 22 254:0 / /var rw - ext4 /dev/mapper/vg-data rw\n", kNoSwaps,
         "holds the system's /var mount"},
        {"/var on LVM over a partition, by mapper name",
         rootOnSata + "30 22 0:46 / /var rw - btrfs /dev/mapper/vg-data rw\n", kNoSwaps,
         "holds the system's /var mount"},
        {"/usr on RAID over a partition", rootOnSata + "30 22 9:0 / /usr rw - ext4 /dev/md0 rw\n",
         kNoSwaps, "holds the system's /usr mount"},
        {"an active swap partition", rootOnSata, kNoSwaps + "/dev/sdc2 partition 8388604 0 -2\n",
         "holds an active swap (/dev/sdc2)"},
        {"an active swap on LVM", rootOnSata, kNoSwaps + "/dev/dm-0 partition 8388604 0 -2\n",
         "holds an active swap (/dev/dm-0)"},
        {"a swap file on one of its mounts",
         rootOnSata + "30 22 8:33 / /data rw - ext4 /dev/sdc1 rw\n",
         kNoSwaps + "/data/swap\\040file file 1048572 0 -3\n",
         "holds an active swap (/data/swap file)"},
        {"the EFI system partition", rootOnSata + "30 22 8:33 / /boot/efi rw - vfat /dev/sdc1 rw\n",
         kNoSwaps, "holds the system's /boot/efi mount"},
        {"mounted anywhere else",
         rootOnSata + "30 22 8:33 / /media/user/BACKUP rw - ext4 /dev/sdc1 rw\n"
                      "31 22 8:34 / /home/user/mnt rw - ext4 /dev/sdc2 rw\n",
         kNoSwaps, "holds a mount on /media/user/BACKUP"},
        {"a swap file on a loop device, the file on one of its mounts",
         rootOnSata + "30 22 8:33 / /data rw - ext4 /dev/sdc1 rw\n",
         kNoSwaps + "/dev/loop1 partition 1048572 0 -3\n", "holds an active swap (/dev/loop1)"},
        {"a live system's boot medium under an overlay root", kLiveMounts, kNoSwaps,
         "holds the system's / mount"},
        {"a ZFS root with a member on it", "22 1 0:50 / / rw - zfs rpool/ROOT/debian rw\n",
         kNoSwaps, "holds the system's / mount"},
        {"a btrfs root over another disk and a member on it",
         "22 1 0:45 /@ / rw - btrfs /dev/sda2 rw,subvol=/@\n", kNoSwaps,
         "holds the system's / mount"},
        {"a swap file on another disk's mount", rootOnSata,
         kNoSwaps + "/data/swapfile file 1048572 0 -3\n", std::nullopt},
        {"a loop device whose file is on another disk",
         rootOnSata + "30 22 7:1 / /mnt rw - ext4 /dev/loop1 rw\n", kNoSwaps, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        setMounts(c.mountInfo, c.swaps);
        const auto refusal = productionDriveRefusal('C', files_);
        EXPECT_EQ(refusal,
                  c.refusal ? std::optional("drive C (/dev/sdc) " + *c.refusal) : std::nullopt);
        const std::uint32_t expected = driveLetterBit('B') | (c.refusal ? 0 : driveLetterBit('C'));
        EXPECT_EQ(makeBus()->presentLetters(), expected);
        // The stick beside it is never caught up in another disk's mounts.
        EXPECT_EQ(productionDriveRefusal('B', files_), std::nullopt);
    }
}

// LVM, md and dm-crypt hold their devices whether or not anything on them is mounted: a disk
// with a held partition is refused and names the holder.
TEST_F(UdevBusTest, ADiskInUseByDeviceMapperIsNeverOffered) {
    add(kStick);
    add(kRootUsbDisk);
    addText(
        "P: /devices/virtual/block/dm-0\nN: dm-0=00\nE: SUBSYSTEM=block\nE: DEVTYPE=disk\n"
        "E: DEVNAME=/dev/dm-0\nA: dev=254:0\nA: size=1000\nA: dm/name=crypt-backup\n");
    const fs::path holders =
        bedRoot() / "sys" / kRootUsbDisk.partitionPath(2).substr(1) / "holders";
    fs::create_directories(holders);
    fs::create_symlink(bedRoot() / "sys/devices/virtual/block/dm-0", holders / "dm-0");
    setMounts("22 1 8:2 / / rw - ext4 /dev/sda2 rw\n", kNoSwaps);

    EXPECT_EQ(productionDriveRefusal('C', files_),
              "drive C (/dev/sdc) holds /dev/sdc2, in use by /dev/dm-0");
    EXPECT_EQ(productionDriveRefusal('B', files_), std::nullopt);
    EXPECT_EQ(makeBus()->presentLetters(), driveLetterBit('B'));
}

// Plugged and unplugged: one arrival per disk, whatever udev says about its partitions or says
// again, and one removal when it goes. Disks that are not the station's make no event. Each step
// ends with an event the test expects next, so an unwanted one shows up in its place.
TEST_F(UdevBusTest, AddAndRemoveOfTheWholeDiskMakeOneEventEach) {
    add(kSataDisk);
    add(kRootUsbDisk);
    const auto bus = makeBus();
    EXPECT_EQ(bus->presentLetters(), 0u);

    add(kStick);  // udev's add for the USB device, the disk and its partition
    EXPECT_EQ(next(*bus), arrival('B'));
    EXPECT_EQ(bus->presentLetters(), driveLetterBit('B'));

    // Said again, partitions, a medium change while it is held: nothing new.
    uevent(kStick.path(), "add");
    uevent(kStick.partitionPath(1), "add");
    uevent(kStick.partitionPath(1), "change");
    setProperty(kStick.path(), "DISK_MEDIA_CHANGE", "1");
    uevent(kStick.path(), "change");
    // Disks that are not the station's, arriving or said again.
    add(kNvmeDisk);
    add(usbDisk("sdaa", "1-6", 10, "65:160", "Twenty_Seventh", "1000000", 0));
    uevent(kSataDisk.path(), "add");
    uevent(kRootUsbDisk.path(), "add");
    uevent(kRootUsbDisk.path(), "change");
    uevent(kRootUsbDisk.partitionPath(1), "remove");
    const Disk second = usbDisk("sdf", "1-5", 11, "8:80", "Corvid_Stick_0002", "7864320", 1);
    add(second);
    EXPECT_EQ(next(*bus), arrival('F'));

    unplug(kStick, 2);  // its removal said twice: it went once
    EXPECT_EQ(next(*bus), removal('B'));
    uevent(kRootUsbDisk.path(), "remove");
    unplug(second);
    EXPECT_EQ(next(*bus), removal('F'));
    EXPECT_EQ(bus->presentLetters(), 0u);
    EXPECT_EQ(notes_, (std::vector<std::string>{
                          "The USB disk sdc holds the system's / mount; the station leaves it "
                          "alone.",
                          "The disk nvme0n1 has no drive letter (only sda to sdz have one); the "
                          "station leaves it alone.",
                          "The disk sdaa has no drive letter (only sda to sdz have one); the "
                          "station leaves it alone."}));
}

// sdX names are reused: a letter follows the disk it arrived with. Another disk under the same
// name, whose predecessor's removal udev never told, is a removal and an arrival; a removal of
// one of its partitions is not its own.
TEST_F(UdevBusTest, ALetterFollowsItsOwnDisk) {
    add(kStick);
    const auto bus = makeBus();
    EXPECT_EQ(bus->presentLetters(), driveLetterBit('B'));

    // The stick gone without an event, another in another port under the same name.
    removeSilently(kStick);
    const Disk other = usbDisk("sdb", "1-7", 12, "8:16", "Corvid_Stick_0003", "7864320", 1);
    add(other);
    EXPECT_EQ(next(*bus), removal('B'));
    EXPECT_EQ(next(*bus), arrival('B'));

    uevent(other.partitionPath(1), "remove");
    unplug(other);
    EXPECT_EQ(next(*bus), removal('B'));
}

// Under load udev's late change events carry degraded properties (ID_BUS=scsi, a serial of the
// USB strings or none), and a stick's medium changes (its disk sequence number grows) as its
// controller starts its disk: on the disk the kernel still holds they are no removal and arrival,
// and the remove that inherits them still takes the letter away. Another disk at the same place,
// whose predecessor's removal udev never told, is another disk.
TEST_F(UdevBusTest, ChangeEventsOfTheSameDiskAreNoArrivalAnotherDiskAtItsPlaceIs) {
    add(kStick);
    setAttribute(kStick.path(), "diskseq", "12");
    const auto bus = makeBus();
    EXPECT_EQ(bus->presentLetters(), driveLetterBit('B'));
    // What a worker's lease compares before every open, read as the stick arrived.
    const auto arrived = diskIdentityOfDriveLetter('B');
    ASSERT_TRUE(arrived);

    setProperty(kStick.path(), "ID_BUS", "scsi");
    for (const char* serial : {"Generic_Flash_Disk-0:0", ""}) {
        setProperty(kStick.path(), "ID_SERIAL", serial);
        uevent(kStick.path(), "change");
    }
    setAttribute(kStick.path(), "diskseq", "13");
    setProperty(kStick.path(), "DISK_MEDIA_CHANGE", "1");
    uevent(kStick.path(), "change");
    const Disk second = usbDisk("sdf", "1-5", 11, "8:80", "Corvid_Stick_0002", "7864320", 1);
    add(second);
    EXPECT_EQ(next(*bus), arrival('F'));
    EXPECT_EQ(diskIdentityOfDriveLetter('B'), arrived);

    {
        // The old disk's folder is kept open, as the kernel keeps a number while its node lives:
        // the file system of the test bed could otherwise give the new folder the same number.
        const int held = ::open((bedRoot() / ("sys" + kStick.path())).c_str(),
                                O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(held, 0);
        removeSilently(kStick);
        add(usbDisk("sdb", "1-2", 6, "8:16", "Corvid_Stick_0009", "7864320", 1));
        ::close(held);
    }
    EXPECT_NE(diskIdentityOfDriveLetter('B'), arrived);
    EXPECT_EQ(next(*bus), removal('B'));
    EXPECT_EQ(next(*bus), arrival('B'));

    unplug(kStick);
    EXPECT_EQ(next(*bus), removal('B'));
    unplug(second);
    EXPECT_EQ(next(*bus), removal('F'));
}

// A disk without a medium (a blank stick, a card reader) arrives as it is plugged; a medium
// coming and going, as often as that happens, changes nothing; it leaves when it is unplugged.
TEST_F(UdevBusTest, ADiskWithoutAMediumArrivesAndKeepsItsLetterThroughMediumChanges) {
    const auto bus = makeBus();
    add(kCardReader);
    EXPECT_EQ(next(*bus), arrival('D'));

    for (const char* size : {"31116288", "0", "31116288", "0"}) {
        setAttribute(kCardReader.path(), "size", size);
        setProperty(kCardReader.path(), "DISK_MEDIA_CHANGE", "1");
        uevent(kCardReader.path(), "change");
    }
    add(kStick);
    EXPECT_EQ(next(*bus), arrival('B'));
    EXPECT_EQ(bus->presentLetters(), driveLetterBit('B') | driveLetterBit('D'));

    unplug(kCardReader);
    EXPECT_EQ(next(*bus), removal('D'));
}

// Sticks that arrive at once may come as one event or one each; every letter comes once.
TEST_F(UdevBusTest, SticksPluggedTogetherEachArriveOnce) {
    const auto bus = makeBus();
    const Disk sticks[] = {kStick, usbDisk("sde", "1-5", 9, "8:64", "S5", "7864320", 1),
                           usbDisk("sdg", "1-6", 10, "8:96", "S6", "7864320", 1)};
    for (const Disk& stick : sticks) {
        add(stick);
    }
    std::uint32_t arrived = 0;
    const std::uint32_t all = driveLetterBit('B') | driveLetterBit('E') | driveLetterBit('G');
    while (arrived != all) {
        const auto event = next(*bus);
        ASSERT_TRUE(event) << "arrived so far: " << arrived;
        EXPECT_EQ(event->kind, DeviceEventKind::Arrival);
        EXPECT_EQ(event->letters & arrived, 0u) << "a letter arrived twice";
        arrived |= event->letters;
    }
    EXPECT_EQ(arrived, all);
    EXPECT_EQ(bus->presentLetters(), all);
}

TEST_F(UdevBusTest, WakeEndsAWaitOnAnotherThreadWithNothing) {
    const auto bus = makeBus();
    auto waiting = std::async(std::launch::async, [&] { return bus->waitEvent(600s); });
    // Woken until it returns: a wake before the wait began counts too.
    while (waiting.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
        bus->wake();
    }
    EXPECT_EQ(waiting.get(), std::nullopt);
}

// The SG_IO transport with its own guard (the system's rule on the system's /proc files, here
// the test bed's): the SATA disk and the disk holding / are never opened, so not a command
// reaches them; the stick is.
TEST_F(UdevBusTest, TransportOpensOnlyTheStationsDisks) {
    for (const Disk& disk : {kSataDisk, kStick, kRootUsbDisk}) {
        add(disk);
    }
    setSystemMounts(kMounts, kNoSwaps);
    std::vector<int> commands;
    SgTransport sg("/dev", [&](int fd, const ScsiRequest&, SgIoStatus& status) {
        commands.push_back(fd);
        status = {};
        return 0;
    });
    EXPECT_EQ(sg.open('A'), kInvalidHandle);
    EXPECT_EQ(sg.open('C'), kInvalidHandle);
    EXPECT_FALSE(resetByLetter(sg, 'C'));
    EXPECT_TRUE(commands.empty());

    const DeviceHandle stick = sg.open('B');
    ASSERT_NE(stick, kInvalidHandle);
    EXPECT_TRUE(fsmInit(sg, stick));
    sg.close(stick);
    EXPECT_EQ(commands, std::vector<int>{static_cast<int>(stick)});
}

// What the user sees: probe and produce on a drive the station must not touch say why, and
// nothing reaches it. corvid-cli runs in the same test bed (it inherits the preload and the test
// bed's location).
TEST_F(UdevBusTest, ProbeAndProduceRefuseTheSystemsDisksAndSayWhy) {
    for (const Disk& disk : {kSataDisk, kStick, kRootUsbDisk}) {
        add(disk);
    }
    setSystemMounts(kMounts, kNoSwaps);
    const fs::path home = dir_ / "station";
    const auto made = test::runBinProgram("corvid-cli", {"init-home", home.string()});
    ASSERT_EQ(made.exitCode, 0) << made.output;

    struct Case {
        std::vector<std::string> arguments;
        std::string says;
    };
    const Case cases[] = {
        {{"probe", "A", "--backend", "sg"},
         "corvid-cli probe: drive A (/dev/sda) holds a mount on /srv; nothing was sent to it."},
        {{"probe", "c:", "--backend", "sg"},
         "corvid-cli probe: drive C (/dev/sdc) holds the system's / mount; nothing was sent to "
         "it."},
        {{"produce", "A", "--backend", "sg", "--home", home.string(), "--pause-scale", "0"},
         "corvid-cli produce: drive A (/dev/sda) holds a mount on /srv; nothing was sent to "
         "it."},
        {{"produce", "C", "--backend", "sg", "--home", home.string(), "--pause-scale", "0"},
         "corvid-cli produce: drive C (/dev/sdc) holds the system's / mount; nothing was sent to "
         "it."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments[0] + " " + c.arguments[1]);
        const auto run = test::runBinProgram("corvid-cli", c.arguments);
        EXPECT_EQ(run.exitCode, 2)
            << "a drive that is no station disk is bad input: " << run.output;
        EXPECT_NE(run.output.find(c.says + "\n"), std::string::npos) << run.output;
        EXPECT_EQ(run.output.find("Probe of"), std::string::npos) << run.output;
    }

    // The system on the SATA disk; a live system booted from the USB disk, its overlay root
    // traced to it.
    addText(describeLoop("loop0", "7:0", kLiveSquashfs));
    struct System {
        std::string mountInfo;
        const char* letter;
        std::string says;
    };
    const System systems[] = {
        {"22 1 8:2 / / rw - ext4 /dev/sda2 rw\n", "A",
         "corvid-cli probe: drive A (/dev/sda) holds the system's / mount; nothing was sent to "
         "it."},
        {kLiveMounts, "C",
         "corvid-cli probe: drive C (/dev/sdc) holds the system's / mount; nothing was sent to "
         "it."},
    };
    for (const System& system : systems) {
        SCOPED_TRACE(system.says);
        setSystemMounts(system.mountInfo, kNoSwaps);
        const auto run =
            test::runBinProgram("corvid-cli", {"probe", system.letter, "--backend", "sg"});
        EXPECT_EQ(run.exitCode, 2) << run.output;
        EXPECT_NE(run.output.find(system.says + "\n"), std::string::npos) << run.output;
        EXPECT_EQ(run.output.find("Probe of"), std::string::npos) << run.output;
    }
}

}  // namespace
}  // namespace corvid
