#pragma once

// The pass-through service of the device simulator (corvid-devsim): drive letter X is the
// simulated device listening on DIR/X.sock of the simulator directory. Each handle is a
// connection of its own.
//
// A call never waits past its request's timeout (scaled by timeoutScale, so that tests of a
// silent device need not wait 12 s). A device that is absent gives the invalid handle; one
// that goes away or falls silent during a command fails that call, and every later call on the
// handle fails too, as with a pulled-out disk.

#include <filesystem>
#include <mutex>
#include <unordered_map>

#include "transport/transport.h"

namespace corvid {

struct SimTransportOptions {
    std::filesystem::path simDir;
    double timeoutScale = 1.0;  // the command's timeout is multiplied by this
};

class SimTransport : public Transport {
  public:
    explicit SimTransport(SimTransportOptions options);
    ~SimTransport() override;

    DeviceHandle open(char driveLetter) override;
    void close(DeviceHandle handle) override;
    bool sendBuffered(DeviceHandle handle, const ScsiRequest& request) override;
    bool sendDirect(DeviceHandle handle, const ScsiRequest& request) override;
    void abandon(DeviceHandle handle) override;

    const std::filesystem::path& simDir() const { return options_.simDir; }

  private:
    bool exchange(DeviceHandle handle, const ScsiRequest& request, std::uint32_t capacity);
    // The connection of a handle, -1 when the handle is unknown or its device went away.
    int connectionOf(DeviceHandle handle);
    void markBroken(DeviceHandle handle);

    SimTransportOptions options_;
    std::mutex mutex_;
    std::unordered_map<DeviceHandle, int> connections_;
    DeviceHandle nextHandle_ = 1;
};

}  // namespace corvid
