#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/device_bus.h"
#include "platform/drive_lock.h"
#include "production/device_arrival.h"
#include "production/product_thread.h"
#include "station_control/station_listener.h"
#include "station_control/task_queue.h"
#include "station_control/worker_lease.h"

namespace corvid {

inline constexpr int kSlotCount = 8;
inline constexpr int kNoSlot = kSlotCount;  // "no slot" of the slot look-ups

// Where a claimed slot stands. The controller's own status texts follow from it, so a language
// change shows them anew in the new language; a running or ended slot shows its worker's texts.
enum class SlotState {
    Free,          // "Waiting device..."
    Fsm,           // the FSM is being sent: "FSM Writing"
    FsmFailed,     // "FSM Writing" "fail" in red, until the device is removed
    FsmDone,       // "FSM Writing" "successful", just before a worker starts
    WaitingStart,  // manual upgrade: "device plugin" until "Start Upgrade"
    Running,       // a worker owns the slot's display
    Ended          // the worker has ended; its last display stays until the device is removed
};

// One slot of the station. cLetter is read by the slot's workers while the controller changes it.
struct DEVICE_ENTRY {
    std::atomic<char> cLetter{0};  // the drive letter held; 0: free
    SlotState state = SlotState::Free;
    SlotView* view = nullptr;            // status line, picture, progress bar, detail lines P and F
    std::shared_ptr<WorkerLease> lease;  // of the worker running for this claim
    std::string flashId;                 // read at arrival, ten hexadecimal digits
    std::string fsmVersion;              // of the FSM sent at arrival
    std::optional<std::string> identity;  // of the disk that arrived (see diskIdentity)
};

// What tells the disk now at a drive letter from any other (backends' diskIdentity); nothing when
// no disk is there or the backend cannot tell.
using DiskIdentitySource = std::function<std::optional<std::string>(char driveLetter)>;

struct StationControlSetup {
    // The eight slots' views, slot 1 first; none may be null.
    std::array<SlotView*, kSlotCount> slots{};
    // The station's devices: an arrival's commands go to them straight, each worker's through
    // its lease.
    Transport& transport;
    VolumeTools& volumes;
    // What every worker shares. Its prompt also shows the limit box, its station view the
    // manual-upgrade switch.
    ProductionEnvironment environment;
    // The language index the workers are created with.
    int language = 0;
    // The drive locks of this program: a letter is locked before its device gets a command and
    // held while its slot is claimed. Null: no locks (a station alone on its devices, tests).
    DriveLocks* locks = nullptr;
    // Read at each arrival before the first command; a worker's opens and volume operations are
    // refused once the letter shows another disk. Empty: disks are not told apart.
    DiskIdentitySource diskIdentity;
};

// The eight device slots of a station: device arrival and removal, the FSM download, the manual
// start, a worker per claimed slot, and the ends of the workers. Everything but post() runs on
// one thread, the controller's: the program calls handle() and startUpgrade() there, or posts
// them and calls runPending() in its loop. The commands of an arrival (its checks, then its FSM
// and flash ID) run on a thread of their own, so that a silent device holds neither another
// device's claim nor a removal nor the end of a run; they and the workers report through the
// queue.
class StationController {
  public:
    explicit StationController(StationControlSetup setup);
    // Waits for the workers still running; their ends are handled.
    ~StationController();
    StationController(const StationController&) = delete;
    StationController& operator=(const StationController&) = delete;

    // The listener must outlive the controller.
    void addListener(StationListener& listener) { listeners_.push_back(&listener); }

    // Safe from any thread: the work runs at the next runPending().
    void post(const DeviceEvent& event);
    // Safe from any thread, called by the bus as it sees a removal: the workers of the removed
    // letters reach nothing and show nothing from now on, however long the controller's queue
    // takes to come to the removal.
    void revokeRemoved(std::uint32_t letters);
    void postStartUpgrade();
    TaskQueue& queue() { return queue_; }
    // Runs what was posted, waiting up to 'timeout' for something to run.
    std::size_t runPending(std::chrono::milliseconds timeout) { return queue_.runPending(timeout); }

    // An arrival or removal, its letters from 'A' to 'Z'.
    void handle(const DeviceEvent& event);
    // "Start Upgrade": a worker for every slot waiting for it, slot 1 first.
    void startUpgrade();
    // Takes no more devices; running workers go on.
    void stopTakingDevices() { closed_ = true; }
    // Ends every running worker: none of their later commands reach a device, so each fails
    // at its next step and ends.
    void endRunningWorkers();
    // Shows the controller's own status texts again, in the language the messages hold now;
    // later workers are created with 'language'.
    void setLanguage(int language);

    // Workers running, and devices on their way to one.
    int runningWorkers() const { return static_cast<int>(workers_.size()) + arrivalsUnderWay(); }
    // Devices whose arrival commands are under way.
    int arrivalsUnderWay() const { return static_cast<int>(arrivals_.size()); }
    int iPlugged() const { return iPlugged_; }
    SlotState state(int slot) const { return slots_[slot].state; }
    char letter(int slot) const { return slots_[slot].cLetter.load(); }

    // Slot of 'letter', lowest first; kNoSlot when no slot holds it.
    int slotOfLetter(char letter) const;
    int firstFreeSlot() const;

  private:
    // What the arrival's second thread brings back.
    struct FsmDownload {
        bool sent = false;
        std::string fsmVersion;
        std::string flashIdText;  // detail line F; empty when the flash ID could not be read
    };

    void arrival(char letter);
    void arrivalChecked(std::uint64_t id, ArrivalCheck check);
    void arrivalDownloaded(std::uint64_t id, const FsmDownload& download);
    FsmDownload downloadFsm(Transport& transport, char letter,
                            const std::filesystem::path& fsmFile) const;
    void removal(char letter);
    void startWorker(int slot);
    void workerEnded(std::uint64_t id, const RunOutcome& outcome, RunEnd end,
                     std::chrono::system_clock::time_point ended, double seconds);
    void showState(int slot);
    void updateManualUpgradeSwitch();
    bool failPictureExists() const;

    template <typename Fn>
    void tell(Fn&& fn) {
        for (StationListener* listener : listeners_) {
            fn(*listener);
        }
    }

    struct Worker {
        int slot = 0;
        std::shared_ptr<WorkerLease> lease;
        std::thread thread;
        std::string flashId;
        std::string fsmVersion;
        std::chrono::system_clock::time_point started;
    };

    // A device from its arrival to its worker. Its lease is revoked when it is removed, so that
    // its commands reach nothing more and their results are dropped.
    struct PendingArrival {
        char letter = 0;
        int slot = kNoSlot;    // once the checks said the device is ours
        bool removed = false;  // the device left; its thread's result changes nothing
        std::optional<std::string> identity;
        std::shared_ptr<WorkerLease> lease;
        std::thread thread;
    };

    bool lockLetter(char letter);
    void unlockLetter(char letter);
    void setLease(DEVICE_ENTRY& entry, std::shared_ptr<WorkerLease> lease);
    std::shared_ptr<WorkerLease> makeLease(char letter, const std::optional<std::string>& identity,
                                           SlotView& view) const;
    bool arrivalUnderWay(char letter) const;
    // Joins the arrival's thread; null when it has gone.
    PendingArrival* arrivalDone(std::uint64_t id);
    void endArrival(std::uint64_t id);

    Transport& transport_;
    VolumeTools& volumes_;
    ProductionEnvironment env_;
    int language_;
    DriveLocks* locks_;
    DiskIdentitySource diskIdentity_;
    std::array<DEVICE_ENTRY, kSlotCount> slots_;
    std::mutex leasesMutex_;  // the slots' and arrivals' leases, which the bus thread revokes
    std::map<std::uint64_t, PendingArrival> arrivals_;
    UnseenSlot unseenSlot_;  // the view of an arrival's lease: an arrival's thread shows nothing
    std::vector<StationListener*> listeners_;
    TaskQueue queue_;
    std::map<std::uint64_t, Worker> workers_;
    std::uint64_t nextWorker_ = 1;
    int iPlugged_ = 0;
    bool closed_ = false;
    bool manualSwitchEnabled_ = true;  // as the window starts
};

}  // namespace corvid
