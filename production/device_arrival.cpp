#include "production/device_arrival.h"

#include "transport/plugin_checks.h"

namespace corvid {

ArrivalCheck checkArrivedDevice(Transport& transport, char driveLetter, const RunClock& clock) {
    if (needsReset(transport, driveLetter)) {
        clock.pause(std::chrono::milliseconds(200));
        resetByLetter(transport, driveLetter);
        return ArrivalCheck::ResetSent;
    }
    return cmd_bInquiry(transport, driveLetter) ? ArrivalCheck::Ours : ArrivalCheck::NotOurs;
}

}  // namespace corvid
