#include "tests/support/recording_volume_tools.h"

#include <utility>

namespace corvid::test {

void RecordingVolumeTools::setProbe(char letter, VolumeProbe probe) {
    std::lock_guard lock(mutex_);
    drives_[letter].probe = std::move(probe);
}

void RecordingVolumeTools::setStoredLabel(char letter, std::string label) {
    std::lock_guard lock(mutex_);
    drives_[letter].label = std::move(label);
}

void RecordingVolumeTools::failNext(VolumeCall kind, std::string reason) {
    std::lock_guard lock(mutex_);
    nextFailures_[kind].push_back(std::move(reason));
}

void RecordingVolumeTools::failAlways(VolumeCall kind, std::string reason) {
    std::lock_guard lock(mutex_);
    alwaysFailures_[kind] = std::move(reason);
}

std::vector<RecordedVolumeCall> RecordingVolumeTools::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<VolumeCall> RecordingVolumeTools::kinds() const {
    std::lock_guard lock(mutex_);
    std::vector<VolumeCall> kinds;
    for (const RecordedVolumeCall& call : calls_) {
        kinds.push_back(call.kind);
    }
    return kinds;
}

std::string RecordingVolumeTools::storedLabel(char letter) const {
    std::lock_guard lock(mutex_);
    const auto drive = drives_.find(letter);
    return drive == drives_.end() ? std::string() : drive->second.label;
}

void RecordingVolumeTools::clear() {
    std::lock_guard lock(mutex_);
    calls_.clear();
}

std::optional<std::string> RecordingVolumeTools::record(RecordedVolumeCall call) {
    const VolumeCall kind = call.kind;
    calls_.push_back(std::move(call));
    if (auto next = nextFailures_.find(kind);
        next != nextFailures_.end() && !next->second.empty()) {
        std::string reason = std::move(next->second.front());
        next->second.erase(next->second.begin());
        return reason;
    }
    if (auto always = alwaysFailures_.find(kind); always != alwaysFailures_.end()) {
        return always->second;
    }
    return std::nullopt;
}

VolumeProbe RecordingVolumeTools::probe(char letter) {
    std::lock_guard lock(mutex_);
    if (auto failure = record({.kind = VolumeCall::Probe, .letter = letter})) {
        return {VolumeState::Unreadable, 0, *failure};
    }
    return drives_[letter].probe;
}

VolumeResult RecordingVolumeTools::refresh(char letter) {
    std::lock_guard lock(mutex_);
    if (auto failure = record({.kind = VolumeCall::Refresh, .letter = letter})) {
        return VolumeResult::failure(*failure);
    }
    return VolumeResult::success();
}

VolumeResult RecordingVolumeTools::format(char letter, FileSystemChoice choice, bool quick,
                                          std::chrono::seconds limit) {
    std::lock_guard lock(mutex_);
    if (auto failure = record({.kind = VolumeCall::Format,
                               .letter = letter,
                               .choice = choice,
                               .quick = quick,
                               .limit = limit})) {
        return VolumeResult::failure(*failure);
    }
    Drive& drive = drives_[letter];
    drive.probe = {VolumeState::Fat, kDefaultFreeBytes, {}};
    drive.label.clear();
    return VolumeResult::success();
}

std::string RecordingVolumeTools::label(char letter) {
    std::lock_guard lock(mutex_);
    record({.kind = VolumeCall::Label, .letter = letter});
    return drives_[letter].label;
}

VolumeResult RecordingVolumeTools::setLabel(char letter, const std::string& label,
                                            std::optional<CodePage> codePage) {
    std::lock_guard lock(mutex_);
    if (auto failure = record({.kind = VolumeCall::SetLabel,
                               .letter = letter,
                               .label = label,
                               .codePage = codePage})) {
        return VolumeResult::failure(*failure);
    }
    const VolumeLabelCheck check = checkVolumeLabel(label, codePage);
    if (!check.ok) {
        return VolumeResult::failure(check.reason);
    }
    drives_[letter].label = check.label;
    return VolumeResult::success();
}

VolumeResult RecordingVolumeTools::makeFolder(char letter, const std::string& folder) {
    std::lock_guard lock(mutex_);
    if (auto failure =
            record({.kind = VolumeCall::MakeFolder, .letter = letter, .folder = folder})) {
        return VolumeResult::failure(*failure);
    }
    return VolumeResult::success();
}

VolumeResult RecordingVolumeTools::copyFiles(char letter,
                                             const std::vector<std::filesystem::path>& files,
                                             const std::string& folder) {
    std::lock_guard lock(mutex_);
    if (auto failure = record(
            {.kind = VolumeCall::CopyFiles, .letter = letter, .folder = folder, .files = files})) {
        return VolumeResult::failure(*failure);
    }
    return VolumeResult::success();
}

VolumeResult RecordingVolumeTools::verifyFiles(char letter,
                                               const std::vector<std::filesystem::path>& files,
                                               const std::string& folder) {
    std::lock_guard lock(mutex_);
    if (auto failure = record({.kind = VolumeCall::VerifyFiles,
                               .letter = letter,
                               .folder = folder,
                               .files = files})) {
        return VolumeResult::failure(*failure);
    }
    return VolumeResult::success();
}

VolumeResult RecordingVolumeTools::checkDisk(char letter, std::chrono::seconds limit) {
    std::lock_guard lock(mutex_);
    if (auto failure = record({.kind = VolumeCall::CheckDisk, .letter = letter, .limit = limit})) {
        return VolumeResult::failure(*failure);
    }
    return VolumeResult::success();
}

VolumeResult RecordingVolumeTools::flush(char letter) {
    std::lock_guard lock(mutex_);
    if (auto failure = record({.kind = VolumeCall::Flush, .letter = letter})) {
        return VolumeResult::failure(*failure);
    }
    return VolumeResult::success();
}

}  // namespace corvid::test
