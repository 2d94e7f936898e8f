// The Linux SG_IO backend. The build machines have no SCSI disks, so these tests cover what can
// be shown without one: the letter-to-device mapping, every failure path, and the verdict on what
// SG_IO reports, played through a replaced SG_IO call. The files standing in for sdX nodes are no
// USB disks, so these tests open them past a guard that lets every letter through; the system's
// guard is tested on described devices in tests/platform/udev_device_bus_test.cpp.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "tests/support/temp_dir.h"
#include "transport/plugin_checks.h"
#include "transport/sg_transport.h"
#include "transport/standard_commands.h"
#include "transport/vendor_commands.h"

namespace corvid {
namespace {

namespace fs = std::filesystem;

// A fresh device directory per test, holding no sdX nodes unless the test makes one.
class SgTransportTest : public test::TempDirTest {};

const SgDriveGuard kEveryDrive = [](char) { return std::optional<std::string>(); };

TEST_F(SgTransportTest, DriveLetterNamesTheSdNode) {
    const SgTransport sg(dir_.string());
    EXPECT_EQ(sg.devicePath('C'), (dir_ / "sdc").string());
    EXPECT_EQ(sg.devicePath('c'), (dir_ / "sdc").string());
    EXPECT_EQ(sg.devicePath('Z'), (dir_ / "sdz").string());
    EXPECT_EQ(sg.devicePath('1'), "");
    EXPECT_EQ(sg.devicePath('['), "");
    EXPECT_EQ(SgTransport().devicePath('A'), "/dev/sda");
}

// Commands go to the disk's SCSI generic node as sysfs names it; a disk without one (the sg
// module not loaded) gets them on its block node. The guard is asked by the drive letter's disk.
TEST_F(SgTransportTest, CommandsGoToTheDisksGenericNodeWhereItHasOne) {
    const fs::path dev = dir_ / "dev";
    const fs::path sys = dir_ / "sys";
    fs::create_directories(dev);
    fs::create_directories(sys / "block/sdb/device/scsi_generic/sg3");
    fs::create_directories(sys / "block/sdc/device");
    for (const char* node : {"sdb", "sg3", "sdc"}) {
        std::ofstream(dev / node) << "a node";
    }
    std::vector<fs::path> opened;
    std::vector<char> guarded;
    SgTransport sg(
        dev.string(),
        [&](int fd, const ScsiRequest&, SgIoStatus& status) {
            opened.push_back(fs::read_symlink("/proc/self/fd/" + std::to_string(fd)));
            status = {};
            return 0;
        },
        [&](char letter) {
            guarded.push_back(letter);
            return std::optional<std::string>();
        },
        sys.string());

    struct Case {
        char letter;
        fs::path node;
    };
    const Case cases[] = {{'B', dev / "sg3"}, {'c', dev / "sdc"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.letter);
        opened.clear();
        EXPECT_EQ(sg.commandPath(c.letter), c.node.string());
        const DeviceHandle handle = sg.open(c.letter);
        ASSERT_NE(handle, kInvalidHandle);
        EXPECT_TRUE(fsmInit(sg, handle));
        sg.close(handle);
        EXPECT_EQ(opened, std::vector<fs::path>{c.node});
    }
    EXPECT_EQ(guarded, (std::vector<char>{'B', 'c'}));
    EXPECT_EQ(sg.devicePath('B'), (dev / "sdb").string());
    EXPECT_EQ(sg.commandPath('1'), "");
}

TEST_F(SgTransportTest, MissingOrBadLetterGivesTheInvalidHandle) {
    SgTransport sg(dir_.string(), {}, kEveryDrive);
    EXPECT_EQ(sg.open('Q'), kInvalidHandle);
    EXPECT_EQ(sg.open('1'), kInvalidHandle);
    EXPECT_EQ(sg.open('\0'), kInvalidHandle);
}

TEST_F(SgTransportTest, ByLetterChecksFailOnAMissingDevice) {
    SgTransport sg(dir_.string(), {}, kEveryDrive);
    std::uint8_t maker = 0x11;
    std::uint32_t id = 0x22;
    EXPECT_FALSE(needsReset(sg, 'Q'));
    EXPECT_FALSE(resetByLetter(sg, 'Q'));
    EXPECT_FALSE(cmd_bInquiry(sg, 'Q'));
    EXPECT_FALSE(readFlashIdByLetter(sg, 'Q', maker, id));
    EXPECT_EQ(maker, 0);
    EXPECT_EQ(id, 0u);
}

TEST_F(SgTransportTest, InvalidHandleFailsEveryForm) {
    SgTransport sg(dir_.string());
    std::array<std::uint8_t, kBufferedDataAreaSize> area{};
    ScsiRequest request;
    request.data = area.data();
    request.transferLength = 1;
    EXPECT_FALSE(sg.sendBuffered(kInvalidHandle, request));
    EXPECT_FALSE(sg.sendDirect(kInvalidHandle, request));
    EXPECT_FALSE(fsmInit(sg, kInvalidHandle));
    sg.close(kInvalidHandle);  // harmless
}

// A node that opens but is no SCSI device: the SG_IO ioctl itself fails, and so does the call.
TEST_F(SgTransportTest, FailedIoctlIsAFailedCall) {
    std::ofstream(dir_ / "sdq") << "not a disk";
    SgTransport sg(dir_.string(), {}, kEveryDrive);
    const DeviceHandle handle = sg.open('q');
    ASSERT_NE(handle, kInvalidHandle);

    std::uint8_t maker = 0x11;
    std::uint32_t id = 0x22;
    EXPECT_FALSE(readFlashId(sg, handle, maker, id));
    EXPECT_EQ(maker, 0);
    EXPECT_EQ(id, 0u);
    std::vector<std::uint8_t> chunk(100, 0xAB);
    EXPECT_FALSE(fileWrite(sg, handle, chunk));
    std::array<std::uint8_t, kCfgBlockSize> cfg{};
    EXPECT_FALSE(readCfg(sg, handle, cfg));
    sg.close(handle);

    // A plug-in check on that letter opens, fails its call, and passes as a failed INQUIRY does.
    EXPECT_TRUE(cmd_bInquiry(sg, 'Q'));
    EXPECT_FALSE(needsReset(sg, 'Q'));
}

// What SG_IO reports for a command, and whether the command succeeded: the device's SCSI status
// counts, not only the ioctl. A CHECK CONDITION (also the UNIT ATTENTION that follows a medium
// change or a reset) fails WRITE(10) and READ(10) of a disk as it fails a vendor command.
TEST_F(SgTransportTest, ScsiStatusOfTheDeviceDecidesTheVerdict) {
    struct Case {
        const char* what;
        int ioctlResult;
        SgIoStatus status;
        bool succeeded;
    };
    constexpr std::uint16_t kDriverSense = 0x08;
    const Case cases[] = {
        {"GOOD", 0, {}, true},
        {"CONDITION MET", 0, {0x04, 0x02, 0, 0}, true},
        {"ioctl failed", -1, {}, false},
        {"CHECK CONDITION", 0, {0x02, 0x01, 0, 0}, false},
        {"CHECK CONDITION with sense data", 0, {0x02, 0x01, 0, kDriverSense}, false},
        {"CHECK CONDITION in the masked status only", 0, {0x00, 0x01, 0, 0}, false},
        {"CHECK CONDITION in the status byte only", 0, {0x02, 0x00, 0, 0}, false},
        {"BUSY", 0, {0x08, 0x04, 0, 0}, false},
        {"RESERVATION CONFLICT", 0, {0x18, 0x0C, 0, 0}, false},
        {"TASK SET FULL", 0, {0x28, 0x14, 0, 0}, false},
        {"TASK ABORTED", 0, {0x40, 0x20, 0, 0}, false},
        {"host adapter error", 0, {0, 0, 0x07, 0}, false},
        {"host reports no connection", 0, {0, 0, 0x01, 0}, false},
        {"driver timeout", 0, {0, 0, 0, 0x06}, false},
        {"GOOD with sense data pending", 0, {0, 0, 0, kDriverSense}, true},
    };
    std::ofstream(dir_ / "sdq") << "a node that opens";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(sgCommandSucceeded(c.ioctlResult, c.status), c.succeeded);

        std::vector<std::vector<std::uint8_t>> cdbs;
        std::vector<int> descriptors;
        SgTransport sg(
            dir_.string(),
            [&](int fd, const ScsiRequest& request, SgIoStatus& status) {
                cdbs.emplace_back(request.cdb.begin(), request.cdb.begin() + request.cdbLength);
                descriptors.push_back(fd);
                if (request.direction == DataDirection::In && request.transferLength > 0) {
                    request.data[0] = 0x01;  // a vendor status byte with bit 0 set
                }
                status = c.status;
                return c.ioctlResult;
            },
            kEveryDrive);
        const DeviceHandle handle = sg.open('Q');
        ASSERT_NE(handle, kInvalidHandle);
        std::vector<std::uint8_t> sector(512, 0x5A);
        EXPECT_EQ(write10(sg, handle, 7, sector, 512, 1), c.succeeded);
        EXPECT_EQ(read10(sg, handle, 7, sector, 512, 1), c.succeeded);
        EXPECT_EQ(fsmInit(sg, handle), c.succeeded);
        sg.close(handle);

        ASSERT_EQ(cdbs.size(), 3u);
        EXPECT_EQ(cdbs[0], (std::vector<std::uint8_t>{0x2A, 0, 0, 0, 0, 7, 0, 0, 1, 0}));
        EXPECT_EQ(cdbs[1][0], 0x28);
        EXPECT_EQ(descriptors, std::vector<int>(3, static_cast<int>(handle)));
    }
}

// What a failed command said stays with its handle for the worker's log line, until a command
// succeeds: the SCSI status with the sense key and ASC/ASCQ of either sense format, the host
// adapter's status, or the error of the call itself.
TEST_F(SgTransportTest, LastFailureSaysWhatTheDeviceAnswered) {
    constexpr std::uint16_t kDriverSense = 0x08;
    SgIoStatus fixedSense{0x02, 0x01, 0, kDriverSense};
    fixedSense.sense = {0x70, 0, 0x03, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x11, 0x00};
    fixedSense.senseLength = 18;
    SgIoStatus descriptorSense{0x02, 0x01, 0, kDriverSense};
    descriptorSense.sense = {0x72, 0x05, 0x24, 0x00};
    descriptorSense.senseLength = 8;
    SgIoStatus callFailed;
    callFailed.callError = ENODEV;
    struct Case {
        const char* what;
        int ioctlResult;
        SgIoStatus status;
        std::string said;
    };
    const Case cases[] = {
        {"fixed sense", 0, fixedSense, "SCSI status 0x02, sense key 0x03, ASC/ASCQ 0x11/0x00"},
        {"descriptor sense", 0, descriptorSense,
         "SCSI status 0x02, sense key 0x05, ASC/ASCQ 0x24/0x00"},
        {"no sense", 0, {0x08, 0x04, 0, 0}, "SCSI status 0x08"},
        {"host adapter", 0, {0, 0, 0x07, 0}, "SCSI status 0x00, host status 0x07"},
        {"call", -1, callFailed, "the SG_IO call failed: " + std::string(std::strerror(ENODEV))},
    };
    std::ofstream(dir_ / "sdq") << "a node that opens";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        bool failNext = true;
        SgTransport sg(
            dir_.string(),
            [&](int, const ScsiRequest& request, SgIoStatus& status) {
                if (request.direction == DataDirection::In && request.transferLength > 0) {
                    request.data[0] = 0x01;  // a vendor status byte with bit 0 set
                }
                status = failNext ? c.status : SgIoStatus{};
                return failNext ? c.ioctlResult : 0;
            },
            kEveryDrive);
        const DeviceHandle handle = sg.open('Q');
        ASSERT_NE(handle, kInvalidHandle);
        EXPECT_EQ(sg.lastFailure(handle), "");
        EXPECT_FALSE(fsmInit(sg, handle));
        EXPECT_EQ(sg.lastFailure(handle), c.said);
        failNext = false;
        EXPECT_TRUE(fsmInit(sg, handle));
        EXPECT_EQ(sg.lastFailure(handle), "");
        sg.close(handle);
    }
}

// A short read: the bytes the device did not deliver read as zeros, not as the caller's old data.
TEST_F(SgTransportTest, ShortReadLeavesNoOldBytes) {
    std::ofstream(dir_ / "sdq") << "a node that opens";
    SgTransport sg(
        dir_.string(),
        [](int, const ScsiRequest& request, SgIoStatus& status) {
            std::fill(request.data, request.data + 8, 0x11);
            status = {};
            status.residual = request.transferLength - 8;
            return 0;
        },
        kEveryDrive);
    const DeviceHandle handle = sg.open('Q');
    ASSERT_NE(handle, kInvalidHandle);
    std::vector<std::uint8_t> sector(512, 0x5A);
    EXPECT_TRUE(read10(sg, handle, 0, sector, 512, 1));
    sg.close(handle);
    EXPECT_EQ(std::count(sector.begin(), sector.begin() + 8, 0x11), 8);
    EXPECT_EQ(std::count(sector.begin() + 8, sector.end(), 0), 504);
}

// A letter the guard refuses is never opened, so not one command reaches it, whichever routine
// asks; the guard is asked at every open, as the disk behind a letter may change between two.
TEST_F(SgTransportTest, RefusedLetterIsNeverOpenedAndGetsNoCommand) {
    std::ofstream(dir_ / "sda") << "the system's disk";
    std::ofstream(dir_ / "sdb") << "a USB stick";
    int calls = 0;
    std::string asked;
    SgTransport sg(
        dir_.string(),
        [&](int, const ScsiRequest&, SgIoStatus& status) {
            ++calls;
            status = {};
            return 0;
        },
        [&](char letter) -> std::optional<std::string> {
            asked += letter;
            if (letter == 'A' || letter == 'a') {
                return "drive A (/dev/sda) holds the system's / mount";
            }
            return std::nullopt;
        });

    EXPECT_EQ(sg.open('A'), kInvalidHandle);
    EXPECT_EQ(sg.open('a'), kInvalidHandle);
    std::uint8_t maker = 0;
    std::uint32_t id = 0;
    EXPECT_FALSE(needsReset(sg, 'A'));
    EXPECT_FALSE(resetByLetter(sg, 'A'));
    EXPECT_FALSE(readFlashIdByLetter(sg, 'A', maker, id));
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(asked, "AaAAA");

    const DeviceHandle stick = sg.open('B');
    ASSERT_NE(stick, kInvalidHandle);
    EXPECT_TRUE(fsmInit(sg, stick));
    sg.close(stick);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(asked, "AaAAAB");
}

}  // namespace
}  // namespace corvid
