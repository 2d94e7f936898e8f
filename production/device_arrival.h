#pragma once

#include <cstdint>
#include <filesystem>

#include "production/run_clock.h"
#include "station/messages.h"
#include "station/slot_view.h"
#include "transport/transport.h"

namespace corvid {

enum class ArrivalOutcome {
    ResetSent,  // the device asked to be reset; it leaves and arrives anew
    NotOurs,    // the inquiry does not name one of the station's devices
    FsmFailed,  // the slot shows the FSM failure; no worker may start
    Ready,      // FSM downloaded, flash ID shown: a worker may start
};

// What the station does with a device that has just arrived, before a worker owns it: the
// needs-reset test (a device asking for it is reset after 200 ms and left to come back), the
// inquiry, the FSM download shown in the slot, and the flash ID in detail text F. Claiming a slot
// is the caller's. 'failPicture' tells whether misc/fail.bmp exists; 'clock' is the station's.
ArrivalOutcome prepareArrivedDevice(Transport& transport, char driveLetter, SlotView& slot,
                                    const SharedMessages& messages,
                                    const std::filesystem::path& fsmFile, std::uint32_t fsmSize,
                                    bool failPicture, const RunClock& clock);

}  // namespace corvid
