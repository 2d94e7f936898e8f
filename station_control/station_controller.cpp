#include "station_control/station_controller.h"

#include <system_error>

#include "production/device_arrival.h"
#include "production/file_downloads.h"
#include "station/operator_prompt.h"
#include "station/window_captions.h"
#include "station_control/failure_key.h"
#include "transport/plugin_checks.h"
#include "transport/vendor_commands.h"

namespace corvid {

namespace {

constexpr char kFailPicture[] = "fail.bmp";
constexpr std::size_t kFlashIdPrefix = 3;  // "ID:" before the ten digits

}  // namespace

StationController::StationController(StationControlSetup setup)
    : transport_(setup.transport),
      volumes_(setup.volumes),
      env_(setup.environment),
      language_(setup.language),
      locks_(setup.locks),
      diskIdentity_(std::move(setup.diskIdentity)) {
    for (int slot = 0; slot < kSlotCount; ++slot) {
        slots_[slot].view = setup.slots[slot];
    }
}

StationController::~StationController() {
    while (!workers_.empty() || !arrivals_.empty()) {
        runPending(std::chrono::milliseconds(100));
    }
}

void StationController::post(const DeviceEvent& event) {
    queue_.post([this, event] { handle(event); });
}

void StationController::revokeRemoved(std::uint32_t letters) {
    std::lock_guard lock(leasesMutex_);
    for (DEVICE_ENTRY& entry : slots_) {
        if (entry.lease && (letters & driveLetterBit(entry.cLetter.load())) != 0) {
            entry.lease->detach();
        }
    }
    for (auto& [id, pending] : arrivals_) {
        if ((letters & driveLetterBit(pending.letter)) != 0) {
            pending.lease->detach();
        }
    }
}

void StationController::setLease(DEVICE_ENTRY& entry, std::shared_ptr<WorkerLease> lease) {
    std::lock_guard lock(leasesMutex_);
    entry.lease = std::move(lease);
}

void StationController::postStartUpgrade() {
    queue_.post([this] { startUpgrade(); });
}

int StationController::slotOfLetter(char letter) const {
    for (int slot = 0; slot < kSlotCount; ++slot) {
        if (slots_[slot].cLetter.load() == letter) {
            return slot;
        }
    }
    return kNoSlot;
}

int StationController::firstFreeSlot() const {
    return slotOfLetter(0);
}

void StationController::handle(const DeviceEvent& event) {
    forEachDriveLetter(event.letters, [&](char letter) {
        // One drive's failure (a lock file another user made, say) stays that drive's: the
        // other letters and the tasks queued behind are handled all the same.
        try {
            if (event.kind == DeviceEventKind::Arrival) {
                arrival(letter);
            } else {
                removal(letter);
            }
        } catch (const std::exception& error) {
            tell([&](StationListener& l) { l.deviceFailed(letter, error.what()); });
        }
    });
    updateManualUpgradeSwitch();
}

void StationController::arrival(char letter) {
    if (closed_) {
        tell([&](StationListener& l) { l.deviceSkipped(letter, ArrivalSkip::Closed); });
        return;
    }
    const int held = slotOfLetter(letter);
    // A volume is announced again when its medium changes in the middle of a run (after the
    // disk starts, at the switch to the second part), or while its arrival commands are under
    // way: its device must not get a single command more.
    if ((held != kNoSlot && slots_[held].state == SlotState::Running) || arrivalUnderWay(letter)) {
        tell([&](StationListener& l) { l.deviceSkipped(letter, ArrivalSkip::Busy); });
        return;
    }
    // Another station program working on the device gets no competition: not even an inquiry.
    if (held == kNoSlot && !lockLetter(letter)) {
        tell([&](StationListener& l) { l.deviceSkipped(letter, ArrivalSkip::LockedElsewhere); });
        return;
    }
    // Before the first command: the disk that answers it is the one the slot will hold.
    const std::uint64_t id = nextWorker_++;
    PendingArrival pending;
    pending.letter = letter;
    pending.identity = diskIdentity_ ? diskIdentity_(letter) : std::nullopt;
    pending.lease = makeLease(letter, pending.identity, unseenSlot_);
    std::shared_ptr<WorkerLease> lease = pending.lease;
    {
        std::lock_guard lock(leasesMutex_);
        arrivals_.emplace(id, std::move(pending));
    }
    try {
        arrivals_[id].thread = std::thread([this, id, letter, lease] {
            ArrivalCheck check = ArrivalCheck::NotOurs;
            try {
                check = checkArrivedDevice(lease->transport(), letter, env_.seams.clock);
            } catch (const std::exception&) {
                check = ArrivalCheck::NotOurs;  // a device that cannot answer is not taken
            }
            queue_.post([this, id, check] { arrivalChecked(id, check); });
        });
    } catch (const std::system_error&) {
        endArrival(id);
        if (held == kNoSlot) {
            unlockLetter(letter);
        }
        throw;
    }
}

void StationController::arrivalChecked(std::uint64_t id, ArrivalCheck check) {
    PendingArrival* pending = arrivalDone(id);
    if (pending == nullptr || pending->removed) {
        endArrival(id);  // the removal has unlocked the letter
        return;
    }
    const char letter = pending->letter;
    std::optional<ArrivalSkip> skip;
    bool unlock = true;
    int slot = firstFreeSlot();
    if (check == ArrivalCheck::ResetSent) {
        skip = ArrivalSkip::ResetSent;  // the lock stays until the device leaves for its reset
        unlock = false;
    } else if (slotOfLetter(letter) != kNoSlot) {
        skip = ArrivalSkip::AlreadyHeld;  // the slot holds the lock
        unlock = false;
    } else if (closed_) {
        skip = ArrivalSkip::Closed;
    } else if (check == ArrivalCheck::NotOurs) {
        skip = ArrivalSkip::NotOurs;
    } else if (slot == kNoSlot) {
        skip = ArrivalSkip::LimitReached;
        // Not waited for: arrivals, removals and the ends of runs go on behind the box.
        env_.seams.prompt.notify(env_.seams.messages.text(MessageKey::ExceedLimitMsg),
                                 env_.seams.messages.text(MessageKey::StatusMsg),
                                 PromptIcon::Warning);
    }
    if (skip) {
        endArrival(id);
        if (unlock) {
            unlockLetter(letter);
        }
        tell([&](StationListener& l) { l.deviceSkipped(letter, *skip); });
        return;
    }

    DEVICE_ENTRY& entry = slots_[slot];
    entry.cLetter = letter;
    entry.state = SlotState::Fsm;
    entry.flashId.clear();
    entry.fsmVersion.clear();
    entry.identity = pending->identity;
    pending->slot = slot;
    ++iPlugged_;
    tell([&](StationListener& l) { l.slotClaimed(slot, letter); });
    entry.view->setGaugeVisible(true);
    showState(slot);
    updateManualUpgradeSwitch();

    // The FSM's file is named now: the settings belong to this thread.
    try {
        pending->thread =
            std::thread([this, id, letter, lease = pending->lease,
                         fsmFile = std::filesystem::path(env_.seams.settings.sFsmPath)] {
                const FsmDownload download = downloadFsm(lease->transport(), letter, fsmFile);
                queue_.post([this, id, download] { arrivalDownloaded(id, download); });
            });
    } catch (const std::system_error&) {
        arrivalDownloaded(id, FsmDownload{});  // no thread, no FSM: the slot shows it failed
    }
}

void StationController::arrivalDownloaded(std::uint64_t id, const FsmDownload& download) {
    PendingArrival* pending = arrivalDone(id);
    if (pending == nullptr || pending->removed) {
        endArrival(id);  // the removal has freed the slot
        return;
    }
    const int slot = pending->slot;
    endArrival(id);
    DEVICE_ENTRY& entry = slots_[slot];
    if (!download.sent) {
        entry.state = SlotState::FsmFailed;
        showState(slot);
        if (failPictureExists()) {
            entry.view->setPicture(SlotPicture::Fail);
        }
        tell([&](StationListener& l) { l.fsmFailed(slot, entry.cLetter.load()); });
        return;
    }
    entry.state = SlotState::FsmDone;
    entry.fsmVersion = download.fsmVersion;
    showState(slot);
    if (!download.flashIdText.empty()) {
        entry.view->setDetailF(download.flashIdText);
        entry.flashId = download.flashIdText.substr(kFlashIdPrefix);
    }
    if (closed_) {
        // Stopping: the device got its FSM but no run starts.
        tell([&](StationListener& l) {
            l.deviceSkipped(entry.cLetter.load(), ArrivalSkip::Closed);
        });
    } else if (env_.seams.settings.CheckManuupgrade) {
        entry.state = SlotState::WaitingStart;
        showState(slot);
    } else {
        startWorker(slot);
    }
}

// The FSM's size and version are taken from the file as it is now: it may have been replaced
// since the station started. Runs on the arrival's thread.
StationController::FsmDownload StationController::downloadFsm(
    Transport& transport, char letter, const std::filesystem::path& fsmFile) const {
    FsmDownload download;
    const FsmVersion fsm = readFsmVersion(fsmFile);
    if (!fsm.opened || fsm.size <= 0) {
        return download;
    }
    download.fsmVersion = fsm.text;
    try {
        download.sent =
            bDownloadFsm(transport, letter, fsmFile, static_cast<std::uint32_t>(fsm.size));
    } catch (const std::exception&) {
        return download;
    }
    if (!download.sent) {
        return download;
    }
    std::uint8_t maker = 0;
    std::uint32_t flashId = 0;
    try {
        if (readFlashIdByLetter(transport, letter, maker, flashId)) {
            download.flashIdText = formatFlashId(maker, flashId);
        }
    } catch (const std::exception&) {
        // an unread flash ID leaves detail line F as it was; the worker still starts
    }
    return download;
}

bool StationController::arrivalUnderWay(char letter) const {
    for (const auto& [id, pending] : arrivals_) {
        if (pending.letter == letter && !pending.removed) {
            return true;
        }
    }
    return false;
}

StationController::PendingArrival* StationController::arrivalDone(std::uint64_t id) {
    const auto found = arrivals_.find(id);
    if (found == arrivals_.end()) {
        return nullptr;
    }
    if (found->second.thread.joinable()) {
        found->second.thread.join();
    }
    return &found->second;
}

void StationController::endArrival(std::uint64_t id) {
    std::lock_guard lock(leasesMutex_);
    arrivals_.erase(id);
}

void StationController::removal(char letter) {
    // Nothing of this program reaches the letter any more (a revoked lease sends nothing).
    unlockLetter(letter);
    for (auto& [id, pending] : arrivals_) {
        if (pending.letter == letter && !pending.removed) {
            pending.lease->detach();
            pending.removed = true;
        }
    }
    const int held = slotOfLetter(letter);
    if (held == kNoSlot) {
        return;
    }
    for (int slot = held; slot < kSlotCount; ++slot) {
        DEVICE_ENTRY& entry = slots_[slot];
        if (entry.cLetter.load() != letter) {
            continue;
        }
        SlotView& view = *entry.view;
        view.setStatusColour(StatusColour::WindowText);
        view.setGaugeVisible(false);
        view.setProgress(0);
        view.setPicture(SlotPicture::None);
        view.setDetailP("");
        view.setDetailF("");
        // The worker, if one still runs, may no longer reach the letter nor show anything in
        // the slot: the next device on it is not its device.
        if (entry.lease) {
            entry.lease->detach();
            setLease(entry, nullptr);
        }
        entry.cLetter = 0;
        entry.state = SlotState::Free;
        showState(slot);
        tell([&](StationListener& l) { l.slotFreed(slot, letter); });
    }
    --iPlugged_;
    if (iPlugged_ <= 0) {
        iPlugged_ = 0;
        for (DEVICE_ENTRY& entry : slots_) {
            entry.view->setPicture(SlotPicture::None);
            entry.view->setDetailF("");
        }
    }
}

void StationController::startUpgrade() {
    for (int slot = 0; slot < kSlotCount; ++slot) {
        if (slots_[slot].state == SlotState::WaitingStart && slots_[slot].cLetter.load() != 0) {
            startWorker(slot);
        }
    }
}

void StationController::startWorker(int slot) {
    DEVICE_ENTRY& entry = slots_[slot];
    const char letter = entry.cLetter.load();
    auto lease = makeLease(letter, entry.identity, *entry.view);
    auto worker = std::make_unique<ProductThread>(
        env_, WorkerDevice{lease->transport(), lease->volumes(), lease->slot()}, letter, slot,
        language_, [&entry] { return entry.cLetter.load(); });
    const std::uint64_t id = nextWorker_++;
    const auto startedSteady = std::chrono::steady_clock::now();
    // The run's end is stamped as the worker ends, not when the controller's queue comes to it;
    // so is how it ended: a lease revoked by then (the device pulled, the station ending) made
    // the run fail, not the device.
    worker->setEndHandler([this, id, startedSteady,
                           lease = std::weak_ptr<WorkerLease>(lease)](const RunOutcome& outcome) {
        const auto ended = std::chrono::system_clock::now();
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - startedSteady).count();
        RunEnd end = outcome.passed ? RunEnd::Passed : RunEnd::Failed;
        if (const auto held = lease.lock(); !outcome.passed && held && held->revoked()) {
            end = held->removed() ? RunEnd::Removed : RunEnd::Stopped;
        }
        queue_.post([this, id, outcome, end, ended, seconds] {
            workerEnded(id, outcome, end, ended, seconds);
        });
    });
    entry.state = SlotState::Running;
    setLease(entry, lease);
    Worker& record = workers_[id];
    record.slot = slot;
    record.lease = lease;
    record.flashId = entry.flashId;
    record.fsmVersion = entry.fsmVersion;
    record.started = std::chrono::system_clock::now();
    try {
        record.thread = std::thread([worker = std::move(worker), lease]() mutable {
            worker->run();
            worker.reset();
        });
    } catch (const std::system_error& error) {
        // No thread, no run: the slot must not stay Running with nobody to end it.
        workers_.erase(id);
        setLease(entry, nullptr);
        entry.state = SlotState::Ended;
        entry.view->setStatus(std::string("the run cannot start: ") + error.what());
        entry.view->setStatusColour(StatusColour::Red);
        tell([&](StationListener& l) { l.deviceFailed(letter, error.what()); });
        return;
    }
    tell([&](StationListener& l) { l.runStarted(slot, letter); });
}

void StationController::workerEnded(std::uint64_t id, const RunOutcome& outcome, RunEnd end,
                                    std::chrono::system_clock::time_point ended, double seconds) {
    const auto found = workers_.find(id);
    if (found == workers_.end()) {
        return;
    }
    Worker worker = std::move(found->second);
    workers_.erase(found);
    if (worker.thread.joinable()) {
        worker.thread.join();
    }
    DEVICE_ENTRY& entry = slots_[worker.slot];
    if (entry.lease == worker.lease) {
        setLease(entry, nullptr);
        entry.state = SlotState::Ended;
    }
    EndedRun run;
    run.outcome = outcome;
    run.end = end;
    run.failureKey =
        failureKey(end, outcome.finalStatus, outcome.failedStep, *env_.seams.messages.current());
    run.slot = worker.slot;
    run.letter = outcome.drive;
    run.flashId = worker.flashId;
    run.fsmVersion = worker.fsmVersion;
    run.started = worker.started;
    run.ended = ended;
    run.seconds = seconds;
    tell([&](StationListener& l) { l.runEnded(run); });
    updateManualUpgradeSwitch();
}

void StationController::endRunningWorkers() {
    closed_ = true;
    for (auto& [id, worker] : workers_) {
        worker.lease->revoke();
    }
    for (auto& [id, pending] : arrivals_) {
        pending.lease->revoke();
    }
}

void StationController::setLanguage(int language) {
    language_ = language;
    for (int slot = 0; slot < kSlotCount; ++slot) {
        showState(slot);
    }
}

void StationController::showState(int slot) {
    const SharedMessages& messages = env_.seams.messages;
    SlotView& view = *slots_[slot].view;
    const auto show = [&view](const std::string& text, StatusColour colour) {
        view.setStatus(text);
        view.setStatusColour(colour);
    };
    const std::string fsmWrite = messages.text(MessageKey::FSMWrite);
    switch (slots_[slot].state) {
        case SlotState::Free:
            show(messages.text(MessageKey::WaitDeviceMsg), StatusColour::WindowText);
            break;
        case SlotState::Fsm:
            show(fsmWrite, StatusColour::WindowText);
            break;
        case SlotState::FsmFailed:
            show(fsmWrite + messages.text(MessageKey::FailMsg), StatusColour::Red);
            break;
        case SlotState::FsmDone:
            show(fsmWrite + messages.text(MessageKey::SuccessMsg), StatusColour::WindowText);
            break;
        case SlotState::WaitingStart:
            show(messages.text(MessageKey::DevicePluginStr), StatusColour::WindowText);
            break;
        case SlotState::Running:
        case SlotState::Ended:
            break;  // the worker's texts stand
    }
}

// The operator may switch manual upgrade only while every slot waits for a device and no worker
// of a removed device still runs.
void StationController::updateManualUpgradeSwitch() {
    bool allFree = workers_.empty();
    for (const DEVICE_ENTRY& entry : slots_) {
        allFree = allFree && entry.state == SlotState::Free;
    }
    if (manualSwitchEnabled_ != allFree) {
        manualSwitchEnabled_ = allFree;
        env_.seams.station.setManualUpgradeEnabled(allFree);
    }
}

std::shared_ptr<WorkerLease> StationController::makeLease(
    char letter, const std::optional<std::string>& identity, SlotView& view) const {
    SameDiskCheck sameDisk;
    if (diskIdentity_ && identity) {
        sameDisk = [source = diskIdentity_, letter, arrived = *identity] {
            return source(letter) == arrived;
        };
    }
    return std::make_shared<WorkerLease>(transport_, volumes_, view, std::move(sameDisk));
}

bool StationController::lockLetter(char letter) {
    // A lock folder that cannot be used throws (DriveLockError names the file): the program
    // says so rather than work on devices unguarded.
    return locks_ == nullptr || locks_->acquire(letter);
}

void StationController::unlockLetter(char letter) {
    if (locks_ != nullptr) {
        locks_->release(letter);
    }
}

bool StationController::failPictureExists() const {
    std::error_code ignored;
    return std::filesystem::is_regular_file(env_.seams.home / "misc" / kFailPicture, ignored);
}

}  // namespace corvid
