#include "production/device_arrival.h"

#include "transport/plugin_checks.h"

namespace corvid {

ArrivalCheck checkArrivedDevice(Transport& transport, char driveLetter, const RunClock& clock) {
    // Any USB disk arrives here (a user's own stick, a card reader): one whose inquiry names
    // another device gets that standard command and nothing else, no vendor command.
    if (!cmd_bInquiry(transport, driveLetter)) {
        return ArrivalCheck::NotOurs;
    }
    // The station's own devices in their usual order: the chip name, then the reset or the
    // inquiry that decides.
    if (needsReset(transport, driveLetter)) {
        clock.pause(std::chrono::milliseconds(200));
        resetByLetter(transport, driveLetter);
        return ArrivalCheck::ResetSent;
    }
    return cmd_bInquiry(transport, driveLetter) ? ArrivalCheck::Ours : ArrivalCheck::NotOurs;
}

}  // namespace corvid
