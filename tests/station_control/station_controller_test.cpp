#include "station_control/station_controller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

#include "platform/drive_lock.h"
#include "production/sample_files.h"
#include "tests/production/worker_harness.h"
#include "transport/standard_commands.h"
#include "transport/vendor_commands.h"

namespace corvid {
namespace {

using test::RecordedRequest;
using test::RecordingSlotView;
using test::Reply;

std::uint32_t letters(std::initializer_list<char> list) {
    std::uint32_t mask = 0;
    for (char letter : list) {
        mask |= driveLetterBit(letter);
    }
    return mask;
}

// Remembers what the controller tells its program.
class RecordingListener : public StationListener {
  public:
    void deviceSkipped(char letter, ArrivalSkip why) override { skipped.push_back({letter, why}); }
    void deviceFailed(char letter, const std::string& why) override {
        failed.push_back({letter, why});
    }
    void runStarted(int slot, char) override { started.push_back(slot); }
    void runEnded(const EndedRun& run) override { ended.push_back(run); }

    std::vector<std::pair<char, ArrivalSkip>> skipped;
    std::vector<std::pair<char, std::string>> failed;
    std::vector<int> started;
    std::vector<EndedRun> ended;
};

// A station over a scripted transport: every device answers as one of ours with the flash ID
// EC DA 10 95 44; the first command of a worker (the flash count) fails, so every run ends at
// once, failed, unless the test holds it.
class StationControllerTest : public test::WorkerHarnessTest {
  protected:
    void SetUp() override {
        WorkerHarnessTest::SetUp();
        fsm_ = dir_ / "misc" / "FSM.bin";
        writeSampleFsm(fsm_);
        harness_->settings.sFsmPath = fsm_.string();
        harness_->settings.chkFwUpgrade = false;  // the run goes straight to the flash
        fake_.setResponder([this](const RecordedRequest& r) { return answer(r); });
        locks_ = std::make_unique<DriveLocks>(dir_ / "locks");
        StationControlSetup setup{
            {},           fake_, harness_->volumes, harness_->environment(), kLanguageEnglish,
            locks_.get(), {}};
        for (int slot = 0; slot < kSlotCount; ++slot) {
            setup.slots[slot] = &slots_[slot];
        }
        controller_ = std::make_unique<StationController>(setup);
        controller_->addListener(listener_);
    }
    void TearDown() override {
        release();
        controller_.reset();
        WorkerHarnessTest::TearDown();
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
            case SUB_SCSI_OP_GET_CHIP_NAME: {
                std::unique_lock lock(holdMutex_);
                if (holdFirstArrival_ && !firstArrivalHeld_) {
                    firstArrivalHeld_ = true;
                    holdChanged_.notify_all();
                    holdChanged_.wait(lock, [this] { return !holdFirstArrival_; });
                }
                return Reply{true, chipName_};
            }
            case SUB_SCSI_OP_READ_FLASH_ID:
                return Reply{true, {0xEC, 0xDA, 0x10, 0x95, 0x44}};
            case SUB_SCSI_OP_FSM_CHECKSUM:
                return Reply{!fsmFails_, {0x01}};
            case SUB_SCSI_OP_GET_FLASH_COUNT: {
                std::unique_lock lock(holdMutex_);
                ++heldWorkers_;
                holdChanged_.notify_all();
                holdChanged_.wait(lock, [this] { return !holdWorkers_; });
                return Reply{false, {}};
            }
            default:
                return Reply{true, {0x01}};
        }
    }

    // The arrival and its commands, on their threads, to the slot's claim or the device's skip.
    void arrive(std::initializer_list<char> list) {
        controller_->handle({DeviceEventKind::Arrival, letters(list)});
        runUntil([&] { return controller_->arrivalsUnderWay() == 0; });
    }
    void remove(std::initializer_list<char> list) {
        controller_->handle({DeviceEventKind::Removal, letters(list)});
    }
    // Handles worker ends until 'done' holds.
    template <typename Done>
    void runUntil(Done&& done) {
        for (int i = 0; i < 200 && !done(); ++i) {
            controller_->runPending(std::chrono::milliseconds(20));
        }
        ASSERT_TRUE(done());
    }
    void holdWorkers() { holdWorkers_ = true; }
    void waitForHeldWorkers(int count) {
        std::unique_lock lock(holdMutex_);
        holdChanged_.wait(lock, [&] { return heldWorkers_ >= count; });
    }
    void release() {
        {
            std::lock_guard lock(holdMutex_);
            holdWorkers_ = false;
            holdFirstArrival_ = false;
        }
        holdChanged_.notify_all();
    }

    std::vector<std::uint8_t> commands() const {
        std::vector<std::uint8_t> codes;
        for (const auto& request : fake_.requests()) {
            codes.push_back(request.cdb[0] == kScsiOpInquiry ? kScsiOpInquiry : request.cdb[1]);
        }
        return codes;
    }

    std::filesystem::path fsm_;
    std::unique_ptr<DriveLocks> locks_;
    std::array<RecordingSlotView, kSlotCount> slots_;
    RecordingListener listener_;
    std::unique_ptr<StationController> controller_;
    std::vector<std::uint8_t> chipName_ = {'5', 'V', '0', '6'};
    bool foreign_ = false;
    bool fsmFails_ = false;
    std::mutex holdMutex_;
    std::condition_variable holdChanged_;
    bool holdWorkers_ = false;
    int heldWorkers_ = 0;
    bool holdFirstArrival_ = false;  // the first arrival's first command waits for release()
    bool firstArrivalHeld_ = false;
};

TEST_F(StationControllerTest, ADeviceOfOursGetsItsFsmItsFlashIdAndAWorker) {
    arrive({'E'});
    EXPECT_EQ(controller_->letter(0), 'E');
    EXPECT_EQ(controller_->iPlugged(), 1);
    EXPECT_EQ(listener_.started, std::vector<int>{0});
    const auto statuses = slots_[0].statuses();
    ASSERT_GE(statuses.size(), 2u);
    EXPECT_EQ(statuses[0], "FSM Writing");
    EXPECT_EQ(statuses[1], "FSM Writingsuccessful");

    runUntil([&] { return listener_.ended.size() == 1; });
    // The inquiry that finds the device one of ours, the chip name, the inquiry, the FSM in
    // 2048-byte pieces with its sum, the flash ID; then the worker's commands.
    const auto sent = commands();
    const auto pieces = std::count(sent.begin(), sent.end(), SUB_SCSI_OP_FSM_WRITE);
    EXPECT_GE(pieces * 2048, static_cast<std::ptrdiff_t>(std::filesystem::file_size(fsm_)));
    std::vector<std::uint8_t> arrival = {kScsiOpInquiry, SUB_SCSI_OP_GET_CHIP_NAME, kScsiOpInquiry,
                                         SUB_SCSI_OP_FSM_WRITE_SETUP};
    arrival.insert(arrival.end(), pieces, SUB_SCSI_OP_FSM_WRITE);
    arrival.push_back(SUB_SCSI_OP_FSM_CHECKSUM);
    arrival.push_back(SUB_SCSI_OP_READ_FLASH_ID);
    ASSERT_GT(sent.size(), arrival.size());
    EXPECT_EQ(std::vector<std::uint8_t>(sent.begin(), sent.begin() + arrival.size()), arrival);
    const EndedRun& run = listener_.ended[0];
    EXPECT_EQ(run.letter, 'E');
    EXPECT_EQ(run.flashId, "ECDA109544");
    EXPECT_EQ(run.fsmVersion, kSampleFsmVersion);
    EXPECT_FALSE(run.outcome.passed);
    EXPECT_EQ(run.outcome.finalStatus, slots_[0].status());
    EXPECT_EQ(controller_->state(0), SlotState::Ended);
    EXPECT_EQ(harness_->counters.snapshot().iTotal, 1);
}

TEST_F(StationControllerTest, DevicesThatAreNotTakenLeaveTheSlotsAlone) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> chipName;
        bool foreign;
        ArrivalSkip why;
        std::vector<std::uint8_t> sent;
    };
    const Case cases[] = {
        {"asks for a reset",
         {'5', 'V', '1', '6'},
         false,
         ArrivalSkip::ResetSent,
         {kScsiOpInquiry, SUB_SCSI_OP_GET_CHIP_NAME, SUB_SCSI_OP_RESET}},
        {"foreign disk",
         {'5', 'V', '0', '6'},
         true,
         ArrivalSkip::NotOurs,
         {kScsiOpInquiry}},  // a disk of another maker gets no vendor command
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake_.clear();
        listener_.skipped.clear();
        chipName_ = c.chipName;
        foreign_ = c.foreign;
        arrive({'E'});
        EXPECT_EQ(commands(), c.sent);
        ASSERT_EQ(listener_.skipped.size(), 1u);
        EXPECT_EQ(listener_.skipped[0].second, c.why);
        EXPECT_EQ(controller_->slotOfLetter('E'), kNoSlot);
        EXPECT_EQ(controller_->iPlugged(), 0);
        EXPECT_TRUE(slots_[0].events().empty());
    }
    // The reset waits 200 ms on the station's clock.
    EXPECT_EQ(harness_->clock.pauses(),
              (std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(200)}));
}

// The letter of a claimed slot is locked against every other station program from its first
// command until the device leaves; a letter another program holds gets no command at all, and a
// device that is not taken is not held.
TEST_F(StationControllerTest, AClaimedSlotHoldsTheLockOfItsLetterUntilRemoval) {
    harness_->settings.CheckManuupgrade = true;  // the slot waits, claimed
    DriveLocks other(dir_ / "locks");
    arrive({'E'});
    ASSERT_EQ(controller_->slotOfLetter('E'), 0);
    EXPECT_FALSE(other.acquire('E'));
    remove({'E'});
    EXPECT_TRUE(other.acquire('E'));

    fake_.clear();
    arrive({'E'});
    EXPECT_TRUE(commands().empty());
    ASSERT_EQ(listener_.skipped.size(), 1u);
    EXPECT_EQ(listener_.skipped[0].second, ArrivalSkip::LockedElsewhere);
    EXPECT_EQ(controller_->slotOfLetter('E'), kNoSlot);

    other.release('E');
    foreign_ = true;
    arrive({'E'});
    EXPECT_EQ(listener_.skipped.back().second, ArrivalSkip::NotOurs);
    EXPECT_TRUE(other.acquire('E'));
}

// Their arrival commands run side by side, so which of the two takes the lower slot is not fixed.
TEST_F(StationControllerTest, TwoLettersInOneEventTakeTwoSlotsAndAgainChangeNothing) {
    harness_->settings.CheckManuupgrade = true;
    arrive({'F', 'E'});
    ASSERT_EQ((std::set<char>{controller_->letter(0), controller_->letter(1)}),
              (std::set<char>{'E', 'F'}));
    const int e = controller_->slotOfLetter('E');
    const int f = controller_->slotOfLetter('F');
    EXPECT_EQ(controller_->state(f), SlotState::WaitingStart);
    EXPECT_EQ(slots_[f].status(), "device plugin");
    EXPECT_EQ(slots_[f].detailF(), "ID:ECDA109544");
    EXPECT_EQ(controller_->iPlugged(), 2);

    fake_.clear();
    slots_[e].clear();
    arrive({'E'});
    EXPECT_EQ(commands(), (std::vector<std::uint8_t>{kScsiOpInquiry, SUB_SCSI_OP_GET_CHIP_NAME,
                                                     kScsiOpInquiry}));
    EXPECT_EQ(listener_.skipped,
              (std::vector<std::pair<char, ArrivalSkip>>{{'E', ArrivalSkip::AlreadyHeld}}));
    EXPECT_TRUE(slots_[e].events().empty());
    EXPECT_EQ(controller_->iPlugged(), 2);
}

// A device silent in its first command holds up neither the next device's claim nor a removal;
// when it is pulled, what it finally answers claims nothing.
TEST_F(StationControllerTest, ASilentArrivalHoldsUpNoOtherDevice) {
    harness_->settings.CheckManuupgrade = true;
    holdFirstArrival_ = true;
    controller_->handle({DeviceEventKind::Arrival, letters({'E'})});
    {
        std::unique_lock lock(holdMutex_);
        holdChanged_.wait(lock, [this] { return firstArrivalHeld_; });
    }
    controller_->handle({DeviceEventKind::Arrival, letters({'F'})});
    runUntil([&] { return controller_->state(0) == SlotState::WaitingStart; });
    EXPECT_EQ(controller_->letter(0), 'F');
    remove({'F'});
    EXPECT_EQ(controller_->slotOfLetter('F'), kNoSlot);
    remove({'E'});
    release();
    runUntil([&] { return controller_->arrivalsUnderWay() == 0; });
    EXPECT_EQ(controller_->slotOfLetter('E'), kNoSlot);
    EXPECT_EQ(controller_->iPlugged(), 0);
    EXPECT_TRUE(listener_.started.empty());
}

TEST_F(StationControllerTest, TheNinthDeviceShowsTheLimitBoxAndChangesNothing) {
    harness_->settings.CheckManuupgrade = true;
    arrive({'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'});
    EXPECT_EQ(controller_->firstFreeSlot(), kNoSlot);
    arrive({'I'});
    const auto shown = harness_->prompt.shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "Exceed the device limit!");
    EXPECT_EQ(shown[0].caption, "Status");
    EXPECT_EQ(controller_->slotOfLetter('I'), kNoSlot);
    EXPECT_EQ(controller_->iPlugged(), 8);
    EXPECT_EQ(harness_->counters.snapshot().iTotal, 0);
    EXPECT_EQ(listener_.skipped.back(),
              (std::pair<char, ArrivalSkip>{'I', ArrivalSkip::LimitReached}));
}

TEST_F(StationControllerTest, AFailedFsmKeepsTheSlotRedUntilRemoval) {
    std::ofstream(dir_ / "misc" / "fail.bmp") << "BM";
    fsmFails_ = true;
    arrive({'E'});
    EXPECT_EQ(slots_[0].status(), "FSM Writingfail");
    EXPECT_EQ(slots_[0].colour(), StatusColour::Red);
    EXPECT_EQ(slots_[0].picture(), SlotPicture::Fail);
    EXPECT_EQ(controller_->state(0), SlotState::FsmFailed);
    EXPECT_TRUE(listener_.started.empty());

    // A missing FSM file: nothing of it is sent and the slot shows the same failure.
    std::filesystem::remove(fsm_);
    fake_.clear();
    arrive({'F'});
    EXPECT_EQ(commands(), (std::vector<std::uint8_t>{kScsiOpInquiry, SUB_SCSI_OP_GET_CHIP_NAME,
                                                     kScsiOpInquiry}));
    EXPECT_EQ(slots_[1].status(), "FSM Writingfail");
    EXPECT_EQ(controller_->iPlugged(), 2);

    remove({'E'});
    EXPECT_EQ(slots_[0].status(), "Waiting device...");
    EXPECT_EQ(slots_[0].colour(), StatusColour::WindowText);
    EXPECT_FALSE(slots_[0].gaugeVisible());
    EXPECT_EQ(controller_->iPlugged(), 1);
    EXPECT_EQ(harness_->counters.snapshot().iTotal, 0);
}

TEST_F(StationControllerTest, TheLastRemovalClearsEveryPictureAndFlashIdLine) {
    harness_->settings.CheckManuupgrade = true;
    arrive({'E', 'F'});
    const int f = controller_->slotOfLetter('F');
    slots_[5].setDetailF("left from an earlier run");
    slots_[5].setPicture(SlotPicture::Pass);
    remove({'E'});
    EXPECT_EQ(slots_[f].detailF(), "ID:ECDA109544");
    EXPECT_EQ(slots_[5].picture(), SlotPicture::Pass);
    remove({'F'});
    for (const auto& slot : slots_) {
        EXPECT_EQ(slot.picture(), SlotPicture::None);
        EXPECT_EQ(slot.detailF(), "");
    }
    EXPECT_EQ(controller_->iPlugged(), 0);
}

TEST_F(StationControllerTest,
       ManualModeStartsEachWaitingDeviceOnceAndLocksTheSwitchUntilAllAreGone) {
    harness_->settings.CheckManuupgrade = true;
    holdWorkers();
    arrive({'E', 'F', 'G'});
    EXPECT_EQ(harness_->station.manualSwitchChanges(), std::vector<bool>{false});
    for (int slot = 0; slot < 3; ++slot) {
        EXPECT_EQ(slots_[slot].status(), "device plugin");
    }
    controller_->startUpgrade();
    controller_->startUpgrade();  // a second press finds no slot waiting
    EXPECT_EQ(listener_.started, (std::vector<int>{0, 1, 2}));
    waitForHeldWorkers(3);
    EXPECT_EQ(controller_->runningWorkers(), 3);
    release();
    runUntil([&] { return listener_.ended.size() == 3; });
    remove({'E', 'F'});
    EXPECT_EQ(harness_->station.manualSwitchChanges(), std::vector<bool>{false});
    remove({'G'});
    EXPECT_EQ(harness_->station.manualSwitchChanges(), (std::vector<bool>{false, true}));
}

TEST_F(StationControllerTest, ARunningDeviceAnnouncedAgainGetsNoCommand) {
    holdWorkers();
    arrive({'E'});
    waitForHeldWorkers(1);
    fake_.clear();
    arrive({'E'});
    EXPECT_TRUE(fake_.requests().empty());
    EXPECT_EQ(listener_.skipped.back(), (std::pair<char, ArrivalSkip>{'E', ArrivalSkip::Busy}));
}

TEST_F(StationControllerTest, AWorkerOfARemovedDeviceNeverReachesTheNextDeviceOnItsLetter) {
    holdWorkers();
    arrive({'E'});
    waitForHeldWorkers(1);
    remove({'E'});
    EXPECT_EQ(slots_[0].status(), "Waiting device...");
    harness_->settings.CheckManuupgrade = true;  // the new device waits, sending nothing more
    arrive({'E'});
    EXPECT_EQ(controller_->letter(0), 'E');
    fake_.clear();
    release();
    runUntil([&] { return listener_.ended.size() == 1; });
    // The old worker's flash-count command failed; nothing after it reached the transport.
    EXPECT_TRUE(fake_.requests().empty());
    EXPECT_EQ(harness_->counters.snapshot().iTotal, 1);
    EXPECT_EQ(controller_->state(0), SlotState::WaitingStart);
    // The old worker's failed end is not painted over the new claim of the slot.
    EXPECT_EQ(slots_[0].status(), "device plugin");
    EXPECT_EQ(slots_[0].colour(), StatusColour::WindowText);
    EXPECT_NE(slots_[0].picture(), SlotPicture::Fail);
}

// The bus revokes a removed device's worker as it sees the removal, while the controller's
// queue may still be busy with another device for a long time: not even the handle the worker
// holds sends again.
TEST_F(StationControllerTest, ARemovalSeenByTheBusStopsTheWorkerBeforeTheQueueComesToIt) {
    holdWorkers();
    arrive({'E'});
    waitForHeldWorkers(1);
    controller_->revokeRemoved(letters({'E'}));
    fake_.clear();
    release();
    runUntil([&] { return listener_.ended.size() == 1; });
    EXPECT_TRUE(fake_.requests().empty());
    EXPECT_TRUE(fake_.openedLetters().empty());
}

// An arrival whose drive lock cannot be taken (its lock file cannot be made) fails that drive
// alone: the removal queued behind it is still handled and its slot freed.
TEST_F(StationControllerTest, AFailingArrivalDropsNothingQueuedBehindIt) {
    harness_->settings.CheckManuupgrade = true;
    arrive({'F'});
    ASSERT_EQ(controller_->slotOfLetter('F'), 0);
    std::filesystem::create_directories(dir_ / "locks" / "E.lock");  // no lock file can be made
    controller_->post({DeviceEventKind::Arrival, letters({'E'})});
    controller_->post({DeviceEventKind::Removal, letters({'F'})});
    controller_->runPending(std::chrono::milliseconds(0));
    ASSERT_EQ(listener_.failed.size(), 1u);
    EXPECT_EQ(listener_.failed[0].first, 'E');
    EXPECT_NE(listener_.failed[0].second.find("locks"), std::string::npos)
        << listener_.failed[0].second;
    EXPECT_EQ(controller_->slotOfLetter('E'), kNoSlot);
    EXPECT_EQ(controller_->slotOfLetter('F'), kNoSlot) << "the removal behind it was handled";
    EXPECT_EQ(slots_[0].status(), "Waiting device...");
}

TEST_F(StationControllerTest, ALanguageChangeShowsTheSlotsOwnTextsAnew) {
    harness_->settings.CheckManuupgrade = true;
    arrive({'E'});
    auto table = std::make_shared<MessageTable>();
    table->setText(MessageKey::DevicePluginStr, "設備插入");
    table->setText(MessageKey::WaitDeviceMsg, "等待設備...");
    harness_->messages.replace(table);
    controller_->setLanguage(kLanguageTraditionalChinese);
    EXPECT_EQ(slots_[0].status(), "設備插入");
    EXPECT_EQ(slots_[1].status(), "等待設備...");
}

// A run ended from outside is no failure of its device: a pull (seen by the bus or by the
// controller) ends it "removed", the station's end (the window's close, a second Ctrl-C)
// "stopped", whatever step it was at; a run that fails by itself is "failed". Each keeps the
// step it was at as its key.
TEST_F(StationControllerTest, ARunEndedFromOutsideIsRemovedOrStoppedNotFailed) {
    struct Case {
        const char* what;
        std::function<void(StationController&)> end;  // while the worker waits on the device
        RunEnd expected;
    };
    const Case cases[] = {
        {"nothing", [](StationController&) {}, RunEnd::Failed},
        {"pulled, seen by the bus", [](StationController& c) { c.revokeRemoved(letters({'E'})); },
         RunEnd::Removed},
        {"pulled, seen by the controller",
         [](StationController& c) {
             c.handle({DeviceEventKind::Removal, letters({'E'})});
         },
         RunEnd::Removed},
        // Last: an ended station takes no more devices.
        {"the station ends", [](StationController& c) { c.endRunningWorkers(); }, RunEnd::Stopped},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        holdWorkers();
        arrive({'E'});
        waitForHeldWorkers(1);
        c.end(*controller_);
        release();
        runUntil([&] { return listener_.ended.size() == 1; });
        const EndedRun& run = listener_.ended.front();
        EXPECT_EQ(run.end, c.expected);
        EXPECT_FALSE(run.failureKey.empty());
        if (controller_->slotOfLetter('E') != kNoSlot) {
            remove({'E'});
        }
        listener_.ended.clear();
        heldWorkers_ = 0;
    }
}

// The same failure shown in another language has the same key.
TEST_F(StationControllerTest, AFailuresKeyIsTheSameInEveryLanguage) {
    arrive({'E'});
    runUntil([&] { return listener_.ended.size() == 1; });
    const EndedRun english = listener_.ended.front();
    ASSERT_EQ(english.end, RunEnd::Failed);

    auto table = std::make_shared<MessageTable>();
    for (std::size_t i = 0; i < kMessageCount; ++i) {
        table->setText(static_cast<MessageKey>(i), "消息" + std::to_string(i));
    }
    harness_->messages.replace(table);
    controller_->setLanguage(kLanguageSimplifiedChinese);
    remove({'E'});
    arrive({'E'});
    runUntil([&] { return listener_.ended.size() == 2; });
    const EndedRun chinese = listener_.ended.back();
    EXPECT_NE(chinese.outcome.finalStatus, english.outcome.finalStatus);
    EXPECT_EQ(chinese.failureKey, english.failureKey);
    EXPECT_EQ(chinese.end, RunEnd::Failed);
    EXPECT_EQ(english.failureKey, "Write CFG");  // the fixed text's English words
}

}  // namespace
}  // namespace corvid
