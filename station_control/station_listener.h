#pragma once

#include <chrono>
#include <string>

#include "production/product_thread.h"
#include "records/run_record.h"

namespace corvid {

// Why an arrived drive letter did not take a slot.
enum class ArrivalSkip {
    Closed,          // the station takes no more devices (it is stopping)
    Busy,            // a worker runs on the device of this letter: it is left alone
    ResetSent,       // the device asked to be reset; it leaves and arrives anew
    AlreadyHeld,     // a slot holds the letter already
    NotOurs,         // the inquiry does not name one of the station's devices
    LimitReached,    // all eight slots are taken; the operator saw the limit box
    LockedElsewhere  // another station program holds the drive's lock: it got no command
};

// A run that has ended, as the station knows it.
struct EndedRun {
    RunOutcome outcome;
    // Removed or stopped when the run was ended from outside, whatever step it failed at then.
    RunEnd end = RunEnd::Failed;
    std::string failureKey;  // see failureKey()
    int slot = 0;            // 0..7
    char letter = 0;
    std::string flashId;     // the ten hexadecimal digits read at arrival; empty when unread
    std::string fsmVersion;  // of the FSM file sent at arrival
    std::chrono::system_clock::time_point started;
    std::chrono::system_clock::time_point ended;
    double seconds = 0;
};

// What the station controller tells its program beyond the slot views: the command line prints
// it, the production record stores the ended runs. Called on the controller's thread.
class StationListener {
  public:
    virtual ~StationListener() = default;
    virtual void deviceSkipped(char letter, ArrivalSkip why) {
        (void)letter;
        (void)why;
    }
    // Handling the drive's arrival or removal failed ('why' says how); the drive is left alone.
    virtual void deviceFailed(char letter, const std::string& why) {
        (void)letter;
        (void)why;
    }
    virtual void slotClaimed(int slot, char letter) {
        (void)slot;
        (void)letter;
    }
    virtual void fsmFailed(int slot, char letter) {
        (void)slot;
        (void)letter;
    }
    virtual void runStarted(int slot, char letter) {
        (void)slot;
        (void)letter;
    }
    virtual void runEnded(const EndedRun& run) { (void)run; }
    virtual void slotFreed(int slot, char letter) {
        (void)slot;
        (void)letter;
    }
};

}  // namespace corvid
