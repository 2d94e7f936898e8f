#include "production/device_arrival.h"

#include "production/file_downloads.h"
#include "transport/plugin_checks.h"
#include "transport/vendor_commands.h"

namespace corvid {

ArrivalOutcome prepareArrivedDevice(Transport& transport, char driveLetter, SlotView& slot,
                                    const SharedMessages& messages,
                                    const std::filesystem::path& fsmFile, std::uint32_t fsmSize,
                                    bool failPicture, const RunClock& clock) {
    if (needsReset(transport, driveLetter)) {
        clock.pause(std::chrono::milliseconds(200));
        resetByLetter(transport, driveLetter);
        return ArrivalOutcome::ResetSent;
    }
    if (!cmd_bInquiry(transport, driveLetter)) {
        return ArrivalOutcome::NotOurs;
    }
    const std::string fsmWrite = messages.text(MessageKey::FSMWrite);
    slot.setGaugeVisible(true);
    slot.setStatus(fsmWrite);
    slot.setStatusColour(StatusColour::WindowText);
    if (!bDownloadFsm(transport, driveLetter, fsmFile, fsmSize)) {
        slot.setStatus(fsmWrite + messages.text(MessageKey::FailMsg));
        slot.setStatusColour(StatusColour::Red);
        if (failPicture) {
            slot.setPicture(SlotPicture::Fail);
        }
        return ArrivalOutcome::FsmFailed;
    }
    slot.setStatus(fsmWrite + messages.text(MessageKey::SuccessMsg));
    slot.setStatusColour(StatusColour::WindowText);
    std::uint8_t maker = 0;
    std::uint32_t flashId = 0;
    if (readFlashIdByLetter(transport, driveLetter, maker, flashId)) {
        slot.setDetailF(formatFlashId(maker, flashId));
    }
    return ArrivalOutcome::Ready;
}

}  // namespace corvid
