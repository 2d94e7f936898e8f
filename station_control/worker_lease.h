#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <set>

#include "platform/volume_tools.h"
#include "station/slot_view.h"
#include "transport/transport.h"

namespace corvid {

// Whether the drive still shows the disk that arrived; checked before every open and volume
// operation, so that a disk put on the letter in the meantime is never touched.
using SameDiskCheck = std::function<bool()>;

// What one worker may reach of the station's devices and of its slot's display, for as long as
// its device stays in its slot. Drive letters are reused: once the device is removed, a new
// device may arrive on the same letter, and none of the old worker's later commands, formats or
// copies may reach it. After revoke() every open, command and volume operation of the worker
// fails; closing a handle still closes it. An open or volume operation that finds another disk
// at the letter than the one that arrived revokes the lease itself. After detach() (the device
// was removed) the worker no longer shows anything in the slot, which may hold the next device.
class WorkerLease {
  public:
    // 'sameDisk' empty: the backend cannot tell disks apart, only removal revokes.
    WorkerLease(Transport& transport, VolumeTools& volumes, SlotView& slot,
                SameDiskCheck sameDisk = {});
    WorkerLease(const WorkerLease&) = delete;
    WorkerLease& operator=(const WorkerLease&) = delete;

    // Safe from any thread. A command the worker waits for is abandoned (see
    // Transport::abandon), so the worker ends within moments where the transport allows.
    void revoke();
    bool revoked() const { return revoked_; }
    // Revoked because the device left or another disk took its letter (not the station's end).
    bool removed() const { return detached_ || swapped_; }
    // The device left its slot: revoked, and the slot's display is no longer the worker's.
    // Safe from any thread.
    void detach();

    Transport& transport() { return transport_; }
    VolumeTools& volumes() { return volumes_; }
    SlotView& slot() { return slot_; }

  private:
    // False once revoked; checks the disk at the letter first and revokes when it is another.
    bool usable();

    class LeasedTransport : public Transport {
      public:
        LeasedTransport(Transport& inner, WorkerLease& lease) : inner_(inner), lease_(lease) {}
        DeviceHandle open(char driveLetter) override;
        void close(DeviceHandle handle) override;
        bool sendBuffered(DeviceHandle handle, const ScsiRequest& request) override;
        bool sendDirect(DeviceHandle handle, const ScsiRequest& request) override;
        void abandon(DeviceHandle handle) override;
        std::string lastFailure(DeviceHandle handle) const override;
        // Abandons the command of every handle the worker holds open.
        void abandonAll();

      private:
        Transport& inner_;
        WorkerLease& lease_;
        std::mutex mutex_;
        std::set<DeviceHandle> open_;
    };

    class LeasedVolumes : public VolumeTools {
      public:
        LeasedVolumes(VolumeTools& inner, WorkerLease& lease) : inner_(inner), lease_(lease) {}
        VolumeProbe probe(char letter) override;
        VolumeResult refresh(char letter) override;
        VolumeResult format(char letter, FileSystemChoice choice, bool quick,
                            std::chrono::seconds limit) override;
        std::string label(char letter) override;
        VolumeResult setLabel(char letter, const std::string& label,
                              std::optional<CodePage> codePage) override;
        VolumeResult makeFolder(char letter, const std::string& folder) override;
        VolumeResult copyFiles(char letter, const std::vector<std::filesystem::path>& files,
                               const std::string& folder) override;
        VolumeResult verifyFiles(char letter, const std::vector<std::filesystem::path>& files,
                                 const std::string& folder) override;
        VolumeResult checkDisk(char letter, std::chrono::seconds limit) override;
        VolumeResult flush(char letter) override;

      private:
        VolumeResult refused(char letter) const;

        VolumeTools& inner_;
        WorkerLease& lease_;
    };

    class LeasedSlot : public SlotView {
      public:
        LeasedSlot(SlotView& inner, const std::atomic<bool>& detached)
            : inner_(inner), detached_(detached) {}
        void setStatus(const std::string& text) override;
        void setStatusColour(StatusColour colour) override;
        void setDetailP(const std::string& text) override;
        void setDetailF(const std::string& text) override;
        void setProgress(int position) override;
        void setPicture(SlotPicture picture) override;
        void setGaugeVisible(bool visible) override;
        void setProgressMaximum(int maximum) override;

      private:
        SlotView& inner_;
        const std::atomic<bool>& detached_;
    };

    SameDiskCheck sameDisk_;
    std::atomic<bool> revoked_{false};
    std::atomic<bool> swapped_{false};  // revoked because another disk showed at the letter
    std::atomic<bool> detached_{false};
    LeasedTransport transport_;
    LeasedVolumes volumes_;
    LeasedSlot slot_;
};

}  // namespace corvid
