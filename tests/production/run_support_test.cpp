// The small pieces the run sequence stands on: counters, disk size, port location,
// service values.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "production/disk_size.h"
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
using test::WorkerHarnessTest;

TEST(StationCounters, CountsEveryEndAndTracksTheRunningWorkers) {
    RecordingStationView view;
    StationCounters counters(view);
    counters.beginRun();
    counters.beginRun();
    counters.countResult(true, true);
    EXPECT_EQ(counters.snapshot().iRunning, 1);
    counters.countResult(true, false);
    counters.countResult(false, false);  // failed before its run began
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
    RecordingStationView view;
    StationCounters counters(view);
    constexpr int kWorkers = 8;
    constexpr int kRuns = 500;
    std::vector<std::thread> workers;
    for (int t = 0; t < kWorkers; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < kRuns; ++i) {
                counters.beginRun();
                counters.countResult(true, (i + t) % 2 == 0);
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

// Runs 'body' on a thread of its own. A body that has not ended after a minute is deadlocked;
// its threads cannot be stopped, so the test program ends there with the reason.
void expectNoDeadlock(const char* what, const std::function<void()>& body) {
    std::promise<void> done;
    auto finished = done.get_future();
    std::thread runner([&] {
        body();
        done.set_value();
    });
    if (finished.wait_for(std::chrono::minutes(1)) != std::future_status::ready) {
        std::fprintf(stderr, "deadlock: %s\n", what);
        std::abort();
    }
    runner.join();
}

// A view that reads the counters from inside its calls, on the calling thread, as a window that
// refreshes all its labels at once would.
class ReadingView : public StationView {
  public:
    void showCounters(int total, int success, int fail) override {
        const auto counts = counters->snapshot();
        std::lock_guard lock(mutex_);
        shown.push_back({total, success, fail});
        read.push_back(counts);
    }
    void setSettingGroupsEnabled(bool enabled) override {
        const auto counts = counters->snapshot();
        std::lock_guard lock(mutex_);
        groups.push_back({enabled, counts.iRunning});
    }

    StationCounters* counters = nullptr;
    std::mutex mutex_;
    std::vector<RecordingStationView::Counters> shown;
    std::vector<StationCounters::Snapshot> read;
    std::vector<std::pair<bool, int>> groups;  // enabled, iRunning read in the call
};

TEST(StationCounters, AViewMayReadTheCountersFromItsCalls) {
    ReadingView view;
    StationCounters counters(view);
    view.counters = &counters;
    expectNoDeadlock("the view was called with the counters' lock held", [&] {
        counters.beginRun();
        counters.countResult(true, true);
        counters.countResult(false, false);
    });
    ASSERT_EQ(view.shown.size(), 2u);
    EXPECT_EQ(view.shown[1].total, 2);
    EXPECT_EQ(view.shown[1].success, 1);
    EXPECT_EQ(view.shown[1].fail, 1);
    EXPECT_EQ(view.read[1].iTotal, 2);
    EXPECT_EQ(view.groups, (std::vector<std::pair<bool, int>>{{false, 1}, {true, 0}}));
}

// The window's thread: runs what it is handed, in order, one at a time.
class UiThread {
  public:
    UiThread() : thread_([this] { loop(); }) {}
    ~UiThread() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
    // Hands 'task' over and waits until the window's thread has run it.
    void runAndWait(std::function<void()> task) {
        std::packaged_task<void()> packaged(std::move(task));
        auto done = packaged.get_future();
        {
            std::lock_guard lock(mutex_);
            tasks_.push_back(std::move(packaged));
        }
        wake_.notify_one();
        done.get();
    }

  private:
    void loop() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return stop_ || !tasks_.empty(); });
            if (tasks_.empty()) {
                return;
            }
            auto task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::packaged_task<void()>> tasks_;
    bool stop_ = false;
    std::thread thread_;
};

// A window's view: every change is handed over to the window's thread, and the worker waits until
// it is shown. The window's thread reads the counters meanwhile, for a status line of its own.
class HandOverView : public StationView {
  public:
    void showCounters(int total, int success, int fail) override {
        ui.runAndWait([=, this] {
            shown.push_back({total, success, fail});
            statusLine.push_back(counters->snapshot());
        });
    }
    void setSettingGroupsEnabled(bool enabled) override {
        ui.runAndWait([=, this] {
            groups.push_back(enabled);
            statusLine.push_back(counters->snapshot());
        });
    }

    StationCounters* counters = nullptr;
    // Touched only on the window's thread.
    std::vector<RecordingStationView::Counters> shown;
    std::vector<bool> groups;
    std::vector<StationCounters::Snapshot> statusLine;
    UiThread ui;  // last: it ends before the records go
};

TEST(StationCounters, AViewThatHandsOverToTheWindowsThreadShowsEveryCountInOrder) {
    HandOverView view;
    StationCounters counters(view);
    view.counters = &counters;
    constexpr int kWorkers = 8;
    constexpr int kRuns = 200;
    expectNoDeadlock("a worker waited for the window's thread while holding the counters' lock",
                     [&] {
                         std::vector<std::thread> workers;
                         for (int t = 0; t < kWorkers; ++t) {
                             workers.emplace_back([&, t] {
                                 for (int i = 0; i < kRuns; ++i) {
                                     counters.beginRun();
                                     counters.countResult(true, (i + t) % 2 == 0);
                                 }
                             });
                         }
                         for (auto& worker : workers) {
                             worker.join();
                         }
                     });
    view.ui.runAndWait([] {});  // everything handed over has been shown
    ASSERT_FALSE(view.shown.empty());
    // Shows may be merged while another worker shows, but an older count never follows a newer
    // one, and each shown count adds up.
    for (std::size_t i = 0; i < view.shown.size(); ++i) {
        const auto& shown = view.shown[i];
        EXPECT_EQ(shown.success + shown.fail, shown.total) << i;
        if (i > 0) {
            EXPECT_LT(view.shown[i - 1].total, shown.total) << i;
        }
    }
    EXPECT_EQ(view.shown.back().total, kWorkers * kRuns);
    EXPECT_EQ(view.shown.back().success, kWorkers * kRuns / 2);
    ASSERT_FALSE(view.groups.empty());
    EXPECT_TRUE(view.groups.back());  // no run left: the settings may change again
    EXPECT_EQ(counters.snapshot().iRunning, 0);
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
