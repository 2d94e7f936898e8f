#include "production/device_arrival.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/temp_dir.h"
#include "tests/production/worker_harness.h"
#include "tests/support/recording_transport.h"
#include "tests/support/recording_views.h"
#include "transport/standard_commands.h"
#include "transport/vendor_commands.h"

namespace corvid {
namespace {

using test::RecordedRequest;
using test::RecordingSlotView;
using test::RecordingTransport;
using test::Reply;

constexpr char kLetter = 'E';

class DeviceArrivalTest : public test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        fsm_ = dir_ / "FSM.bin";
        std::ofstream(fsm_, std::ios::binary) << std::string(3000, 'f');
        fake_.setResponder([this](const RecordedRequest& r) { return answer(r); });
    }
    Reply answer(const RecordedRequest& r) {
        if (r.cdb[0] == kScsiOpInquiry) {
            std::vector<std::uint8_t> data = {0x00, 0x80, 0x02, 0x02, 0x04, 0, 0, 0, 'G'};
            if (foreign_) {
                data[4] = 0x07;
            }
            return Reply{true, data};
        }
        switch (r.cdb[1]) {
            case SUB_SCSI_OP_GET_CHIP_NAME:
                return Reply{true, chipName_};
            case SUB_SCSI_OP_READ_FLASH_ID:
                return Reply{true, {0xEC, 0xDA, 0x10, 0x95, 0x44}};
            case SUB_SCSI_OP_FSM_CHECKSUM:
                return Reply{!fsmFails_, {0x01}};
            default:
                return Reply{true, {0x01}};
        }
    }

    ArrivalOutcome arrive(bool failPicture = true) {
        return prepareArrivedDevice(fake_, kLetter, slot_, messages_, fsm_, 3000, failPicture,
                                    clock_);
    }

    std::vector<std::uint8_t> commands() const {
        std::vector<std::uint8_t> codes;
        for (const auto& request : fake_.requests()) {
            codes.push_back(request.cdb[0] == kScsiOpInquiry ? kScsiOpInquiry : request.cdb[1]);
        }
        return codes;
    }

    test::ScriptedClock clock_;
    RecordingTransport fake_;
    RecordingSlotView slot_;
    SharedMessages messages_;
    std::filesystem::path fsm_;
    std::vector<std::uint8_t> chipName_ = {'5', 'V', '0', '6'};
    bool foreign_ = false;
    bool fsmFails_ = false;
};

TEST_F(DeviceArrivalTest, ADeviceOfOursGetsItsFsmAndShowsItsFlashId) {
    EXPECT_EQ(arrive(), ArrivalOutcome::Ready);
    const std::vector<std::uint8_t> expected = {
        SUB_SCSI_OP_GET_CHIP_NAME, kScsiOpInquiry,        SUB_SCSI_OP_FSM_WRITE_SETUP,
        SUB_SCSI_OP_FSM_WRITE,     SUB_SCSI_OP_FSM_WRITE, SUB_SCSI_OP_FSM_CHECKSUM,
        SUB_SCSI_OP_READ_FLASH_ID};
    EXPECT_EQ(commands(), expected);
    EXPECT_EQ(slot_.statuses(), (std::vector<std::string>{"FSM Writing", "FSM Writingsuccessful"}));
    EXPECT_EQ(slot_.colour(), StatusColour::WindowText);
    EXPECT_EQ(slot_.detailF(), "ID:ECDA109544");
    EXPECT_TRUE(slot_.gaugeVisible());
}

TEST_F(DeviceArrivalTest, ADeviceAskingForAResetIsResetAndLeftAlone) {
    chipName_ = {'5', 'V', '1', '6'};
    EXPECT_EQ(arrive(), ArrivalOutcome::ResetSent);
    EXPECT_EQ(commands(),
              (std::vector<std::uint8_t>{SUB_SCSI_OP_GET_CHIP_NAME, SUB_SCSI_OP_RESET}));
    // The reset waits 200 ms on the station's clock.
    EXPECT_EQ(clock_.pauses(),
              (std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(200)}));
    EXPECT_TRUE(slot_.events().empty());
}

TEST_F(DeviceArrivalTest, AForeignDiskIsIgnored) {
    foreign_ = true;
    EXPECT_EQ(arrive(), ArrivalOutcome::NotOurs);
    EXPECT_EQ(commands(), (std::vector<std::uint8_t>{SUB_SCSI_OP_GET_CHIP_NAME, kScsiOpInquiry}));
    EXPECT_TRUE(slot_.events().empty());
}

TEST_F(DeviceArrivalTest, AFailedFsmDownloadShowsRedWithTheFailPicture) {
    fsmFails_ = true;
    EXPECT_EQ(arrive(), ArrivalOutcome::FsmFailed);
    EXPECT_EQ(slot_.status(), "FSM Writingfail");
    EXPECT_EQ(slot_.colour(), StatusColour::Red);
    EXPECT_EQ(slot_.picture(), SlotPicture::Fail);

    RecordingSlotView withoutPicture;
    EXPECT_EQ(prepareArrivedDevice(fake_, kLetter, withoutPicture, messages_, dir_ / "none.bin",
                                   3000, false, clock_),
              ArrivalOutcome::FsmFailed);
    EXPECT_EQ(withoutPicture.picture(), SlotPicture::None);
}

}  // namespace
}  // namespace corvid
