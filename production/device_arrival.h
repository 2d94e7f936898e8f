#pragma once

#include "characterisation/run_clock.h"
#include "transport/transport.h"

namespace corvid {

enum class ArrivalCheck {
    ResetSent,  // the device asked to be reset; it leaves and arrives anew
    NotOurs,    // the inquiry does not name one of the station's devices
    Ours,       // one of the station's devices, ready for its FSM
};

// The first look at a device that has just arrived: a device whose inquiry names another device
// is not ours and gets nothing more; otherwise a device answering the chip name "5V16" is reset
// after 200 ms of 'clock' and left to come back, and for any other the inquiry tells whether it
// is one of the station's devices.
ArrivalCheck checkArrivedDevice(Transport& transport, char driveLetter, const RunClock& clock);

}  // namespace corvid
