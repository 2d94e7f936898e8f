#pragma once

// The device bus of Linux, on libudev: the whole disks that production_disk_linux.h lets the
// station produce (attached by USB, no system mount or active swap), with a medium or without one:
// a stick shows none until the station has given it its firmware. Disk /dev/sdX is drive letter X;
// a disk of any other name is noted once and left alone.
//
// It listens to the events udev has finished processing (its rules have run, the /dev node and
// its links exist). A letter follows its whole disk, known by its device path (which holds the
// USB port path) and its identity (diskIdentityOfSysfsFolder): events of partitions, and a
// repeated "add" or a medium change of a disk already offered, make no event; the letter goes when
// that disk is removed or comes to hold a system mount.

#include <functional>
#include <memory>
#include <string>

#include "platform/device_bus.h"
#include "platform/production_disk_linux.h"

namespace corvid {

struct UdevDeviceBusOptions {
    SystemMountFiles systemFiles{};
    // Where the bus says why it leaves a disk alone, once per disk and reason. Empty: a line on
    // standard error.
    std::function<void(const std::string& note)> note{};
};

class UdevDeviceBus : public DeviceBus {
  public:
    // Throws std::runtime_error when udev cannot be listened to.
    explicit UdevDeviceBus(UdevDeviceBusOptions options = {});
    ~UdevDeviceBus() override;
    UdevDeviceBus(const UdevDeviceBus&) = delete;
    UdevDeviceBus& operator=(const UdevDeviceBus&) = delete;

    // The letters of the disks offered now, enumerated afresh with the same rules; any thread.
    std::uint32_t presentLetters() override;
    // Reads udev's events on the calling thread.
    std::optional<DeviceEvent> waitEvent(std::chrono::milliseconds timeout) override;
    void wake() override;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace corvid
