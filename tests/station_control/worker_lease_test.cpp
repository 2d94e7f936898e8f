#include "station_control/worker_lease.h"

#include <gtest/gtest.h>

#include "tests/support/recording_transport.h"
#include "tests/support/recording_views.h"
#include "tests/support/recording_volume_tools.h"

namespace corvid {
namespace {

using test::RecordingSlotView;
using test::RecordingTransport;
using test::RecordingVolumeTools;

class WorkerLeaseTest : public ::testing::Test {
  protected:
    // The disk at the letter is the one that arrived while 'sameDisk_' holds.
    WorkerLease lease_{transport_, volumes_, slot_, [this] { return checks_++, sameDisk_; }};
    RecordingTransport transport_;
    RecordingVolumeTools volumes_;
    RecordingSlotView slot_;
    bool sameDisk_ = true;
    int checks_ = 0;
};

// Every way a worker reaches a drive, each refused without reaching it once the drive shows
// another disk than the device that arrived.
TEST_F(WorkerLeaseTest, AnotherDiskOnTheLetterIsNeverOpenedFormattedOrCopiedTo) {
    ASSERT_NE(lease_.transport().open('E'), kInvalidHandle);
    ASSERT_TRUE(lease_.volumes().makeFolder('E', "A").ok);
    sameDisk_ = false;
    transport_.clear();
    const std::vector<std::filesystem::path> none;
    EXPECT_EQ(lease_.transport().open('E'), kInvalidHandle);
    const VolumeResult results[] = {
        lease_.volumes().refresh('E'),
        lease_.volumes().format('E', FileSystemChoice::Fat16Unit8K, true, std::chrono::seconds(60)),
        lease_.volumes().setLabel('E', "CORVID", std::nullopt),
        lease_.volumes().makeFolder('E', "B"),
        lease_.volumes().copyFiles('E', none, "B"),
        lease_.volumes().verifyFiles('E', none, "B"),
        lease_.volumes().checkDisk('E', std::chrono::seconds(60)),
    };
    for (const VolumeResult& result : results) {
        EXPECT_FALSE(result.ok);
        EXPECT_NE(result.reason.find("drive E shows another disk than the device that arrived"),
                  std::string::npos)
            << result.reason;
    }
    EXPECT_EQ(lease_.volumes().probe('E').state, VolumeState::Unreadable);
    EXPECT_EQ(lease_.volumes().label('E'), "");
    EXPECT_TRUE(transport_.openedLetters().empty());
    EXPECT_EQ(volumes_.calls().size(), 1u) << "only the folder made before the swap";
    EXPECT_TRUE(lease_.revoked());
    // The disk that arrived coming back changes nothing: the run has lost its device.
    sameDisk_ = true;
    EXPECT_EQ(lease_.transport().open('E'), kInvalidHandle);
}

// A disk put on the letter between the check and the open is found by the check after it: the
// handle is closed unused.
TEST_F(WorkerLeaseTest, ADiskSwappedDuringTheOpenIsClosedUnused) {
    transport_.setResponder([](const test::RecordedRequest&) { return test::Reply{true, {}}; });
    WorkerLease lease(transport_, volumes_, slot_, [this] { return ++checks_ == 1; });
    EXPECT_EQ(lease.transport().open('E'), kInvalidHandle);
    EXPECT_EQ(transport_.openedLetters(), std::vector<char>{'E'});
    EXPECT_EQ(transport_.closedHandles().size(), 1u);
}

// A removed device's worker shows nothing more in its slot, which may already hold the next
// device; a run ended by the station (revoked, its device still there) shows its end.
TEST_F(WorkerLeaseTest, OnlyARemovedDevicesWorkerLosesItsSlot) {
    lease_.revoke();
    lease_.slot().setStatus("Format Diskfail");
    EXPECT_EQ(slot_.status(), "Format Diskfail");

    lease_.detach();
    slot_.setStatus("device plugin");
    lease_.slot().setStatus("Copy Files...fail");
    lease_.slot().setStatusColour(StatusColour::Red);
    lease_.slot().setPicture(SlotPicture::Fail);
    lease_.slot().setProgress(95);
    EXPECT_EQ(slot_.status(), "device plugin");
    EXPECT_NE(slot_.colour(), StatusColour::Red);
    EXPECT_NE(slot_.picture(), SlotPicture::Fail);
    EXPECT_EQ(lease_.transport().open('E'), kInvalidHandle);
}

}  // namespace
}  // namespace corvid
