#include "station_control/worker_lease.h"

namespace corvid {

WorkerLease::WorkerLease(Transport& transport, VolumeTools& volumes)
    : transport_(transport, revoked_), volumes_(volumes, revoked_) {}

DeviceHandle WorkerLease::LeasedTransport::open(char driveLetter) {
    return revoked_ ? kInvalidHandle : inner_.open(driveLetter);
}

void WorkerLease::LeasedTransport::close(DeviceHandle handle) {
    inner_.close(handle);
}

bool WorkerLease::LeasedTransport::sendBuffered(DeviceHandle handle, const ScsiRequest& request) {
    return !revoked_ && inner_.sendBuffered(handle, request);
}

bool WorkerLease::LeasedTransport::sendDirect(DeviceHandle handle, const ScsiRequest& request) {
    return !revoked_ && inner_.sendDirect(handle, request);
}

VolumeResult WorkerLease::LeasedVolumes::refused(char letter) const {
    return VolumeResult::failure(std::string("the device of drive ") + letter +
                                 " was removed from its slot; its run may not touch the drive "
                                 "any more");
}

VolumeProbe WorkerLease::LeasedVolumes::probe(char letter) {
    if (revoked_) {
        return VolumeProbe{VolumeState::Unreadable, 0, refused(letter).reason};
    }
    return inner_.probe(letter);
}

VolumeResult WorkerLease::LeasedVolumes::refresh(char letter) {
    return revoked_ ? refused(letter) : inner_.refresh(letter);
}

VolumeResult WorkerLease::LeasedVolumes::format(char letter, FileSystemChoice choice, bool quick,
                                                std::chrono::seconds limit) {
    return revoked_ ? refused(letter) : inner_.format(letter, choice, quick, limit);
}

std::string WorkerLease::LeasedVolumes::label(char letter) {
    return revoked_ ? std::string() : inner_.label(letter);
}

VolumeResult WorkerLease::LeasedVolumes::setLabel(char letter, const std::string& label,
                                                  std::optional<CodePage> codePage) {
    return revoked_ ? refused(letter) : inner_.setLabel(letter, label, codePage);
}

VolumeResult WorkerLease::LeasedVolumes::makeFolder(char letter, const std::string& folder) {
    return revoked_ ? refused(letter) : inner_.makeFolder(letter, folder);
}

VolumeResult WorkerLease::LeasedVolumes::copyFiles(char letter,
                                                   const std::vector<std::filesystem::path>& files,
                                                   const std::string& folder) {
    return revoked_ ? refused(letter) : inner_.copyFiles(letter, files, folder);
}

VolumeResult WorkerLease::LeasedVolumes::verifyFiles(
    char letter, const std::vector<std::filesystem::path>& files, const std::string& folder) {
    return revoked_ ? refused(letter) : inner_.verifyFiles(letter, files, folder);
}

VolumeResult WorkerLease::LeasedVolumes::checkDisk(char letter, std::chrono::seconds limit) {
    return revoked_ ? refused(letter) : inner_.checkDisk(letter, limit);
}

}  // namespace corvid
