// The Linux SG_IO backend. The build machines have no SCSI disks, so these tests cover what can
// be shown without one: the letter-to-device mapping and every failure path.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "transport/plugin_checks.h"
#include "tests/support/temp_dir.h"
#include "transport/sg_transport.h"
#include "transport/vendor_commands.h"

namespace corvid {
namespace {

namespace fs = std::filesystem;

// A fresh device directory per test, holding no sdX nodes unless the test makes one.
class SgTransportTest : public test::TempDirTest {};

TEST_F(SgTransportTest, DriveLetterNamesTheSdNode) {
    const SgTransport sg(dir_.string());
    EXPECT_EQ(sg.devicePath('C'), (dir_ / "sdc").string());
    EXPECT_EQ(sg.devicePath('c'), (dir_ / "sdc").string());
    EXPECT_EQ(sg.devicePath('Z'), (dir_ / "sdz").string());
    EXPECT_EQ(sg.devicePath('1'), "");
    EXPECT_EQ(sg.devicePath('['), "");
    EXPECT_EQ(SgTransport().devicePath('A'), "/dev/sda");
}

TEST_F(SgTransportTest, MissingOrBadLetterGivesTheInvalidHandle) {
    SgTransport sg(dir_.string());
    EXPECT_EQ(sg.open('Q'), kInvalidHandle);
    EXPECT_EQ(sg.open('1'), kInvalidHandle);
    EXPECT_EQ(sg.open('\0'), kInvalidHandle);
}

TEST_F(SgTransportTest, ByLetterChecksFailOnAMissingDevice) {
    SgTransport sg(dir_.string());
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
    SgTransport sg(dir_.string());
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

}  // namespace
}  // namespace corvid
