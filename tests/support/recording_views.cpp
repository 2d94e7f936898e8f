#include "tests/support/recording_views.h"

#include <utility>

namespace corvid::test {

void RecordingSlotView::record(Event event) {
    events_.push_back(std::move(event));
}

void RecordingSlotView::setStatus(const std::string& text) {
    std::lock_guard lock(mutex_);
    status_ = text;
    record({Kind::Status, text, 0});
}

void RecordingSlotView::setStatusColour(StatusColour colour) {
    std::lock_guard lock(mutex_);
    colour_ = colour;
    record({Kind::Colour, {}, static_cast<int>(colour)});
}

void RecordingSlotView::setDetailP(const std::string& text) {
    std::lock_guard lock(mutex_);
    detailP_ = text;
    record({Kind::DetailP, text, 0});
}

void RecordingSlotView::setDetailF(const std::string& text) {
    std::lock_guard lock(mutex_);
    detailF_ = text;
    record({Kind::DetailF, text, 0});
}

void RecordingSlotView::setProgress(int position) {
    std::lock_guard lock(mutex_);
    progress_ = position;
    record({Kind::Progress, {}, position});
}

void RecordingSlotView::setPicture(SlotPicture picture) {
    std::lock_guard lock(mutex_);
    picture_ = picture;
    record({Kind::Picture, {}, static_cast<int>(picture)});
}

void RecordingSlotView::setGaugeVisible(bool visible) {
    std::lock_guard lock(mutex_);
    gaugeVisible_ = visible;
    record({Kind::Gauge, {}, visible ? 1 : 0});
}

void RecordingSlotView::setProgressMaximum(int maximum) {
    std::lock_guard lock(mutex_);
    maximum_ = maximum;
    record({Kind::Maximum, {}, maximum});
}

void RecordingSlotView::clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
    status_.clear();
    colour_ = StatusColour::WindowText;
    detailP_.clear();
    detailF_.clear();
    picture_ = SlotPicture::None;
    gaugeVisible_ = false;
    progress_ = 0;
    maximum_ = 0;
}

std::vector<RecordingSlotView::Event> RecordingSlotView::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

std::vector<RecordingSlotView::Event> RecordingSlotView::eventsOf(Kind kind) const {
    std::lock_guard lock(mutex_);
    std::vector<Event> matching;
    for (const auto& event : events_) {
        if (event.kind == kind) {
            matching.push_back(event);
        }
    }
    return matching;
}

std::vector<std::string> RecordingSlotView::statuses() const {
    std::vector<std::string> texts;
    for (const auto& event : eventsOf(Kind::Status)) {
        texts.push_back(event.text);
    }
    return texts;
}

std::vector<StatusColour> RecordingSlotView::colours() const {
    std::vector<StatusColour> colours;
    for (const auto& event : eventsOf(Kind::Colour)) {
        colours.push_back(static_cast<StatusColour>(event.value));
    }
    return colours;
}

std::vector<int> RecordingSlotView::progress() const {
    std::vector<int> positions;
    for (const auto& event : eventsOf(Kind::Progress)) {
        positions.push_back(event.value);
    }
    return positions;
}

std::string RecordingSlotView::status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

StatusColour RecordingSlotView::colour() const {
    std::lock_guard lock(mutex_);
    return colour_;
}

std::string RecordingSlotView::detailP() const {
    std::lock_guard lock(mutex_);
    return detailP_;
}

std::string RecordingSlotView::detailF() const {
    std::lock_guard lock(mutex_);
    return detailF_;
}

SlotPicture RecordingSlotView::picture() const {
    std::lock_guard lock(mutex_);
    return picture_;
}

bool RecordingSlotView::gaugeVisible() const {
    std::lock_guard lock(mutex_);
    return gaugeVisible_;
}

int RecordingSlotView::lastProgress() const {
    std::lock_guard lock(mutex_);
    return progress_;
}

int RecordingSlotView::maximum() const {
    std::lock_guard lock(mutex_);
    return maximum_;
}

void RecordingStationView::showCounters(int total, int success, int fail) {
    std::lock_guard lock(mutex_);
    counters_ = {total, success, fail};
}

void RecordingStationView::setSettingGroupsEnabled(bool enabled) {
    std::lock_guard lock(mutex_);
    groupChanges_.push_back(enabled);
}

void RecordingStationView::setSystemAreaLabel(const std::string& text) {
    std::lock_guard lock(mutex_);
    systemAreaLabel_ = text;
}

void RecordingStationView::setManualUpgradeEnabled(bool enabled) {
    std::lock_guard lock(mutex_);
    manualSwitchChanges_.push_back(enabled);
}

std::vector<bool> RecordingStationView::manualSwitchChanges() const {
    std::lock_guard lock(mutex_);
    return manualSwitchChanges_;
}

RecordingStationView::Counters RecordingStationView::lastCounters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

std::vector<bool> RecordingStationView::groupChanges() const {
    std::lock_guard lock(mutex_);
    return groupChanges_;
}

PromptAnswer RecordingPrompt::show(const std::string& text, const std::string& caption,
                                   PromptIcon icon, PromptButtons /*buttons*/) {
    std::lock_guard lock(mutex_);
    shown_.push_back({text, caption, icon});
    return PromptAnswer::Ok;
}

std::vector<RecordingPrompt::Shown> RecordingPrompt::shown() const {
    std::lock_guard lock(mutex_);
    return shown_;
}

std::string RecordingStationView::systemAreaLabel() const {
    std::lock_guard lock(mutex_);
    return systemAreaLabel_;
}

void RecordingPrompt::clear() {
    std::lock_guard lock(mutex_);
    shown_.clear();
}

}  // namespace corvid::test
