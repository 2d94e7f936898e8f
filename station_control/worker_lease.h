#pragma once

#include <atomic>

#include "platform/volume_tools.h"
#include "transport/transport.h"

namespace corvid {

// What one worker may reach of the station's devices, for as long as its device stays in its
// slot. Drive letters are reused: once the device is removed, a new device may arrive on the same
// letter, and none of the old worker's later commands, formats or copies may reach it. After
// revoke() every open, command and volume operation of the worker fails; closing a handle still
// closes it.
class WorkerLease {
  public:
    WorkerLease(Transport& transport, VolumeTools& volumes);
    WorkerLease(const WorkerLease&) = delete;
    WorkerLease& operator=(const WorkerLease&) = delete;

    // Safe from any thread.
    void revoke() { revoked_ = true; }
    bool revoked() const { return revoked_; }

    Transport& transport() { return transport_; }
    VolumeTools& volumes() { return volumes_; }

  private:
    class LeasedTransport : public Transport {
      public:
        LeasedTransport(Transport& inner, const std::atomic<bool>& revoked)
            : inner_(inner), revoked_(revoked) {}
        DeviceHandle open(char driveLetter) override;
        void close(DeviceHandle handle) override;
        bool sendBuffered(DeviceHandle handle, const ScsiRequest& request) override;
        bool sendDirect(DeviceHandle handle, const ScsiRequest& request) override;

      private:
        Transport& inner_;
        const std::atomic<bool>& revoked_;
    };

    class LeasedVolumes : public VolumeTools {
      public:
        LeasedVolumes(VolumeTools& inner, const std::atomic<bool>& revoked)
            : inner_(inner), revoked_(revoked) {}
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

      private:
        VolumeResult refused(char letter) const;

        VolumeTools& inner_;
        const std::atomic<bool>& revoked_;
    };

    std::atomic<bool> revoked_{false};
    LeasedTransport transport_;
    LeasedVolumes volumes_;
};

}  // namespace corvid
