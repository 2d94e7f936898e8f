// The small pieces the run sequence stands on: elapsed time, counters, disk size, port location,
// service values.
#include <gtest/gtest.h>

#include <fstream>
#include <thread>
#include <vector>

#include "production/disk_size.h"
#include "production/pause.h"
#include "production/port_location.h"
#include "production/station_counters.h"
#ifdef __linux__
#include "production/sysfs_port_location.h"
#endif
#include "production/tool_values.h"
#include "tests/production/worker_harness.h"
#include "tests/support/recording_transport.h"
#include "transport/vendor_commands.h"

namespace corvid {
namespace {

using test::RecordingStationView;
using test::RecordingTransport;
using test::Reply;
using testing::WorkerHarnessTest;

TEST(ElapsedSeconds, CountsAcrossMidnight) {
    EXPECT_EQ(elapsedSeconds({23, 59, 50}, {0, 0, 40}), 50);
    EXPECT_EQ(elapsedSeconds({10, 0, 0}, {10, 1, 5}), 65);
    EXPECT_EQ(elapsedSeconds({10, 0, 0}, {10, 0, 0}), 0);
}

TEST(PauseScale, ZeroMeansNoPause) {
    const double before = pauseScale();
    setPauseScale(0.0);
    const auto start = std::chrono::steady_clock::now();
    pauseFor(std::chrono::seconds(10));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    setPauseScale(-3.0);
    EXPECT_EQ(pauseScale(), 0.0);
    setPauseScale(before);
}

TEST(StationCounters, CountsEveryEndAndTracksTheRunningWorkers) {
    StationCounters counters;
    RecordingStationView view;
    counters.beginRun(view);
    counters.beginRun(view);
    counters.countResult(true, true, view);
    EXPECT_EQ(counters.snapshot().iRunning, 1);
    counters.countResult(true, false, view);
    counters.countResult(false, false, view);  // failed before its run began
    const auto counts = counters.snapshot();
    EXPECT_EQ(counts.iTotal, 3);
    EXPECT_EQ(counts.iSuccess, 1);
    EXPECT_EQ(counts.iFail, 2);
    EXPECT_EQ(counts.iRunning, 0);
    EXPECT_EQ(view.lastCounters().total, 3);
    EXPECT_EQ(view.lastCounters().fail, 2);
    // disabled twice, enabled once the last run ended
    EXPECT_EQ(view.groupChanges(), (std::vector<bool>{false, false, true}));
}

TEST(StationCounters, WorkersEndingTogetherLoseNoCount) {
    StationCounters counters;
    RecordingStationView view;
    constexpr int kWorkers = 8;
    constexpr int kRuns = 500;
    std::vector<std::thread> workers;
    for (int t = 0; t < kWorkers; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < kRuns; ++i) {
                counters.beginRun(view);
                counters.countResult(true, (i + t) % 2 == 0, view);
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    const auto counts = counters.snapshot();
    EXPECT_EQ(counts.iTotal, kWorkers * kRuns);
    EXPECT_EQ(counts.iSuccess, kWorkers * kRuns / 2);
    EXPECT_EQ(counts.iFail, kWorkers * kRuns / 2);
    EXPECT_EQ(counts.iRunning, 0);
    EXPECT_EQ(view.lastCounters().total, kWorkers * kRuns);
}

TEST(DiskSize, FollowsReadCapacity) {
    // (block length / 512) x last block address / 2048
    EXPECT_EQ(diskSizeMB(131071, 512), 63);
    EXPECT_EQ(diskSizeMB(131072, 512), 64);
    EXPECT_EQ(diskSizeMB(65536, 1024), 64);
    EXPECT_EQ(diskSizeMB(0xFFFFFFFF, 4096), 16777215);  // no 32-bit wrap

    RecordingTransport fake;
    fake.queueReply({true, {0x00, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0x02, 0x00}});
    EXPECT_EQ(bGetDiskSizeMB(fake, 'H'), 63);
    ASSERT_EQ(fake.requests().size(), 1u);
    EXPECT_EQ(fake.requests()[0].cdb[0], 0x25);
    EXPECT_EQ(fake.closedHandles().size(), 1u);

    fake.queueReply({true, {0, 0, 0, 0, 0, 0, 2, 0}});  // last block address 0
    EXPECT_EQ(bGetDiskSizeMB(fake, 'H'), 0);
    fake.queueReply({false, {0, 1, 0, 0, 0, 0, 2, 0}});
    EXPECT_EQ(bGetDiskSizeMB(fake, 'H'), 0);
    fake.failOpen('J');
    EXPECT_EQ(bGetDiskSizeMB(fake, 'J'), 0);
}

TEST(PortProgramCode, DecodesThreeDigitsOrNothing) {
    struct Case {
        int code;
        const char* text;
    };
    const Case cases[] = {{213, "<2-1-3>"}, {5, "<0-0-5>"}, {1234, "<12-3-4>"},
                          {300, ""},        {0, ""},        {-1, ""}};
    for (const auto& c : cases) {
        const auto location = decodePortProgramCode(c.code);
        EXPECT_EQ(location ? portLocationText(*location) : "", c.text) << c.code;
    }
}

class FixedSource : public PortLocationSource {
  public:
    std::optional<HubLocation> locate(char driveLetter, int portNumber) const override {
        asked = std::string(1, driveLetter) + std::to_string(portNumber);
        return HubLocation{1, 4, portNumber};
    }
    mutable std::string asked;
};

class PortLocationTest : public WorkerHarnessTest {
  protected:
    void SetUp() override {
        WorkerHarnessTest::SetUp();
        state_ = openWorker('K');
    }
    void answerPort(std::uint8_t port) { fake_.queueReply({true, {port}}); }

    std::unique_ptr<WorkerState> state_;
};

TEST_F(PortLocationTest, PortZeroIsTheOrigin) {
    answerPort(0);
    QueryPortLocation(*state_, nullptr);
    EXPECT_EQ(harness_->slot.detailP(), "<0-0-0>");
    EXPECT_EQ(fake_.requests().at(0).cdb[1], SUB_SCSI_OP_GET_PORT);
}

TEST_F(PortLocationTest, WithoutTheProgramTheBusBackendAnswers) {
    FixedSource source;
    answerPort(0x83);  // the top bit is not part of the port number
    QueryPortLocation(*state_, &source);
    EXPECT_EQ(source.asked, "K3");
    EXPECT_EQ(harness_->slot.detailP(), "<1-4-3>");

    answerPort(7);
    QueryPortLocation(*state_, nullptr);  // nobody knows: the text stays as it was
    EXPECT_EQ(harness_->slot.detailP(), "<1-4-3>");
}

TEST_F(PortLocationTest, TheProgramIsGivenThePortAndItsExitCodeDecoded) {
    const auto program = portProgramPath(dir_);
    {
        std::ofstream script(program);
        script << "#!/bin/sh\necho \"$1\" > \"$(dirname \"$0\")/asked\"\nexit 213\n";
    }
    std::filesystem::permissions(program, std::filesystem::perms::owner_all);
    FixedSource source;
    answerPort(9);
    QueryPortLocation(*state_, &source);
    EXPECT_EQ(harness_->slot.detailP(), "<2-1-3>");
    EXPECT_TRUE(source.asked.empty());
    std::ifstream asked(dir_ / "misc" / "asked");
    std::string port;
    asked >> port;
    EXPECT_EQ(port, "9");

    {
        std::ofstream script(program);
        script << "#!/bin/sh\nexit 200\n";
    }
    harness_->slot.setDetailP("");
    answerPort(9);
    QueryPortLocation(*state_, &source);
    EXPECT_EQ(harness_->slot.detailP(), "");
}

#ifdef __linux__
TEST(SysfsPortLocation, ReadsBusHubPortAndPortFromTheDevicePath) {
    struct Case {
        const char* path;
        const char* text;
    };
    const Case cases[] = {
        {"/sys/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1.4/2-1.4:1.0/host6/target6:0:0/"
         "6:0:0:0/block/sdf",
         "<2-1-4>"},
        {"/sys/devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/host2/target2:0:0/2:0:0:0/block/"
         "sdb",
         "<1-0-3>"},
        {"/sys/devices/pci0000:00/usb3/3-2/3-2.1/3-2.1.7/3-2.1.7:1.0/host9/block/sdc", "<3-1-7>"},
        {"/sys/devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda", ""},
    };
    for (const auto& c : cases) {
        const auto location = hubLocationFromDevicePath(c.path);
        EXPECT_EQ(location ? portLocationText(*location) : "", c.text) << c.path;
    }
}
#endif

TEST_F(PortLocationTest, ToolValuesLiveUnderTheToolKey) {
    EXPECT_EQ(ReadToolValue(harness_->registry(), "LogBiTable", 7), 7);
    EXPECT_EQ(WriteToolValue(harness_->registry(), "LogBiTable", 1), 1);
    EXPECT_EQ(ReadToolValue(harness_->registry(), "LogBiTable", 7), 1);
    EXPECT_EQ(harness_->registry().readInt("SoftWare\\ZQL5V16\\MPTool", "LogBiTable", 0), 1);
}

}  // namespace
}  // namespace corvid
