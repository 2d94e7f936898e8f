#include "characterisation/worker_state.h"

#include <utility>

#include "characterisation/page_table.h"

namespace corvid {

WorkerState::WorkerState(WorkerSeams workerSeams, Transport& deviceTransport, SlotView& slotView,
                         char drive, int slotIndex, int language)
    : seams(std::move(workerSeams)),
      transport(deviceTransport),
      slot(slotView),
      sDrive(drive),
      iSlot(slotIndex),
      iLanguage(language) {
    PageMap.fill(kUsable);
}

WorkerState::~WorkerState() = default;

void WorkerState::setProgress(int position) {
    iProgress = position;
    slot.setProgress(position);
}

void WorkerState::setStatus(const std::string& text) {
    status_ = text;
    slot.setStatus(text);
}

void WorkerState::setStatusColour(StatusColour colour) {
    slot.setStatusColour(colour);
}

void WorkerState::stepSucceeded(int position) {
    setProgress(position);
    bPass = 1;
}

void WorkerState::stepFailed(const std::string& text) {
    runFailed();
    setStatus(text);
    setStatusColour(StatusColour::Red);
}

void WorkerState::runFailed(const std::string& step) {
    bPass = 0;
    if (failedStep.empty()) {
        failedStep = !step.empty() ? step : !status_.empty() ? status_ : "start";
    }
}

void WorkerState::pause(std::chrono::milliseconds duration) const {
    seams.clock.pause(duration);
}

void WorkerState::seedRandomFromTime() {
    random.seed(seams.clock.timeSeed());
}

std::string WorkerState::fixed(FixedText row) const {
    return std::string(fixedText(row, iLanguage));
}

std::string WorkerState::pageModeName(int mode) const {
    return std::string(optionName(OptionTable::PageModes, mode, iLanguage));
}

std::int64_t WorkerState::totalBlocks() const {
    const std::int64_t n = static_cast<std::int64_t>(FlashInfo.iChips) *
                           static_cast<std::int64_t>(FlashInfo.iBlocksPerChip);
    return n < 0 ? 0 : n;
}

}  // namespace corvid
