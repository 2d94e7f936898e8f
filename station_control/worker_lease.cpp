#include "station_control/worker_lease.h"

namespace corvid {

WorkerLease::WorkerLease(Transport& transport, VolumeTools& volumes, SlotView& slot,
                         SameDiskCheck sameDisk)
    : sameDisk_(std::move(sameDisk)),
      transport_(transport, *this),
      volumes_(volumes, *this),
      slot_(slot, detached_) {}

void WorkerLease::revoke() {
    revoked_ = true;
    transport_.abandonAll();
}

void WorkerLease::detach() {
    detached_ = true;
    revoke();
}

bool WorkerLease::usable() {
    if (revoked_) {
        return false;
    }
    if (sameDisk_ && !sameDisk_()) {
        swapped_ = true;
        revoked_ = true;
        return false;
    }
    return true;
}

// Checked again once open: a disk put on the letter between the check and the open is not kept.
DeviceHandle WorkerLease::LeasedTransport::open(char driveLetter) {
    if (!lease_.usable()) {
        return kInvalidHandle;
    }
    const DeviceHandle handle = inner_.open(driveLetter);
    if (handle == kInvalidHandle) {
        return kInvalidHandle;
    }
    {
        std::lock_guard lock(mutex_);
        open_.insert(handle);
    }
    // A revoke between the open and the insert found nothing to abandon: checked again here.
    if (!lease_.usable()) {
        close(handle);
        return kInvalidHandle;
    }
    return handle;
}

void WorkerLease::LeasedTransport::close(DeviceHandle handle) {
    {
        std::lock_guard lock(mutex_);
        open_.erase(handle);
    }
    inner_.close(handle);
}

std::string WorkerLease::LeasedTransport::lastFailure(DeviceHandle handle) const {
    return inner_.lastFailure(handle);
}

void WorkerLease::LeasedTransport::abandon(DeviceHandle handle) {
    inner_.abandon(handle);
}

void WorkerLease::LeasedTransport::abandonAll() {
    std::lock_guard lock(mutex_);
    for (const DeviceHandle handle : open_) {
        inner_.abandon(handle);
    }
}

// A handle once opened stays on its own disk: another disk on the letter is not reached by it.
bool WorkerLease::LeasedTransport::sendBuffered(DeviceHandle handle, const ScsiRequest& request) {
    return !lease_.revoked() && inner_.sendBuffered(handle, request);
}

bool WorkerLease::LeasedTransport::sendDirect(DeviceHandle handle, const ScsiRequest& request) {
    return !lease_.revoked() && inner_.sendDirect(handle, request);
}

VolumeResult WorkerLease::LeasedVolumes::refused(char letter) const {
    const std::string drive = std::string("drive ") + letter;
    if (lease_.swapped_) {
        return VolumeResult::failure(drive +
                                     " shows another disk than the device that arrived; its run "
                                     "may not touch it");
    }
    return VolumeResult::failure("the device of " + drive +
                                 " was removed from its slot; its run may not touch the drive "
                                 "any more");
}

VolumeProbe WorkerLease::LeasedVolumes::probe(char letter) {
    if (!lease_.usable()) {
        return VolumeProbe{VolumeState::Unreadable, 0, refused(letter).reason};
    }
    return inner_.probe(letter);
}

VolumeResult WorkerLease::LeasedVolumes::refresh(char letter) {
    return lease_.usable() ? inner_.refresh(letter) : refused(letter);
}

VolumeResult WorkerLease::LeasedVolumes::format(char letter, FileSystemChoice choice, bool quick,
                                                std::chrono::seconds limit) {
    return lease_.usable() ? inner_.format(letter, choice, quick, limit) : refused(letter);
}

std::string WorkerLease::LeasedVolumes::label(char letter) {
    return lease_.usable() ? inner_.label(letter) : std::string();
}

VolumeResult WorkerLease::LeasedVolumes::setLabel(char letter, const std::string& label,
                                                  std::optional<CodePage> codePage) {
    return lease_.usable() ? inner_.setLabel(letter, label, codePage) : refused(letter);
}

VolumeResult WorkerLease::LeasedVolumes::makeFolder(char letter, const std::string& folder) {
    return lease_.usable() ? inner_.makeFolder(letter, folder) : refused(letter);
}

VolumeResult WorkerLease::LeasedVolumes::copyFiles(char letter,
                                                   const std::vector<std::filesystem::path>& files,
                                                   const std::string& folder) {
    return lease_.usable() ? inner_.copyFiles(letter, files, folder) : refused(letter);
}

VolumeResult WorkerLease::LeasedVolumes::verifyFiles(
    char letter, const std::vector<std::filesystem::path>& files, const std::string& folder) {
    return lease_.usable() ? inner_.verifyFiles(letter, files, folder) : refused(letter);
}

VolumeResult WorkerLease::LeasedVolumes::checkDisk(char letter, std::chrono::seconds limit) {
    return lease_.usable() ? inner_.checkDisk(letter, limit) : refused(letter);
}

VolumeResult WorkerLease::LeasedVolumes::flush(char letter) {
    return lease_.usable() ? inner_.flush(letter) : refused(letter);
}

void WorkerLease::LeasedSlot::setStatus(const std::string& text) {
    if (!detached_) {
        inner_.setStatus(text);
    }
}

void WorkerLease::LeasedSlot::setStatusColour(StatusColour colour) {
    if (!detached_) {
        inner_.setStatusColour(colour);
    }
}

void WorkerLease::LeasedSlot::setDetailP(const std::string& text) {
    if (!detached_) {
        inner_.setDetailP(text);
    }
}

void WorkerLease::LeasedSlot::setDetailF(const std::string& text) {
    if (!detached_) {
        inner_.setDetailF(text);
    }
}

void WorkerLease::LeasedSlot::setProgress(int position) {
    if (!detached_) {
        inner_.setProgress(position);
    }
}

void WorkerLease::LeasedSlot::setPicture(SlotPicture picture) {
    if (!detached_) {
        inner_.setPicture(picture);
    }
}

void WorkerLease::LeasedSlot::setGaugeVisible(bool visible) {
    if (!detached_) {
        inner_.setGaugeVisible(visible);
    }
}

void WorkerLease::LeasedSlot::setProgressMaximum(int maximum) {
    if (!detached_) {
        inner_.setProgressMaximum(maximum);
    }
}

}  // namespace corvid
