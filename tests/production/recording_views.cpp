#include "tests/production/recording_views.h"

namespace corvid::testing {

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

std::vector<RecordingSlotView::Event> RecordingSlotView::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

std::vector<std::string> RecordingSlotView::statuses() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> texts;
    for (const auto& event : events_) {
        if (event.kind == Kind::Status) {
            texts.push_back(event.text);
        }
    }
    return texts;
}

std::vector<int> RecordingSlotView::progress() const {
    std::lock_guard lock(mutex_);
    std::vector<int> positions;
    for (const auto& event : events_) {
        if (event.kind == Kind::Progress) {
            positions.push_back(event.value);
        }
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

}  // namespace corvid::testing
