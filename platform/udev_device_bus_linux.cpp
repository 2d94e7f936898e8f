#include "platform/udev_device_bus_linux.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <stdexcept>
#include <utility>

#include "platform/udev_handles_linux.h"

namespace corvid {

namespace {

constexpr int kLetterCount = 26;
// Messages the monitor may drop in a row (filtered out, or torn) before a drain stops.
constexpr int kMaxEmptyReceives = 64;

// Which disk holds a letter: its device path (with the USB port path in it) and its identity
// (diskIdentityOfSysfsFolder), which stays through the medium changes of a stick starting its
// disk and through udev's late change events, whose properties (serial, bus) may be degraded
// under load, and which no later disk of the same path shares.
struct HeldDisk {
    std::string devpath;
    std::string identity;

    bool operator==(const HeldDisk&) const = default;
};

using LetterDisks = std::array<std::optional<HeldDisk>, kLetterCount>;

int letterIndex(char letter) {
    return letter - 'A';
}

// The system's disks, read once for the devices looked at together.
class SystemDisksOnce {
  public:
    SystemDisksOnce(udev* context, const SystemMountFiles& files)
        : context_(context), files_(files) {}

    // Nothing when the mount files cannot be read; error() then says why.
    const SystemDisks* get() {
        if (!read_) {
            read_ = true;
            try {
                disks_ = SystemDisks::read(context_, files_);
            } catch (const std::runtime_error& e) {
                error_ = e.what();
            }
        }
        return disks_ ? &*disks_ : nullptr;
    }
    const std::string& error() const { return error_; }

  private:
    udev* context_;
    const SystemMountFiles& files_;
    bool read_ = false;
    std::optional<SystemDisks> disks_;
    std::string error_;
};

}  // namespace

struct UdevDeviceBus::State {
    UdevDeviceBusOptions options;
    udevh::Context context;  // the waiting thread's; presentLetters() makes its own
    udevh::Monitor monitor;
    int wakeFd = -1;
    LetterDisks held{};  // the disks of the letters after the events queued so far
    std::deque<DeviceEvent> pending;
    std::mutex noteMutex;
    std::set<std::string> noted;

    ~State() {
        if (wakeFd >= 0) {
            ::close(wakeFd);
        }
    }

    // Passes a note on once per key.
    void note(const std::string& key, const std::string& text) {
        {
            std::lock_guard lock(noteMutex);
            if (!noted.insert(key).second) {
                return;
            }
        }
        options.note(text);
    }

    // The letter and identity of a whole disk the station may take now; nothing for any other.
    std::optional<std::pair<char, HeldDisk>> offer(udev_device* disk, SystemDisksOnce& system) {
        const std::string devpath = udevh::text(udev_device_get_devpath(disk));
        // Loop, RAM, zram, device-mapper and md devices: never a plugged disk, not worth a note.
        if (devpath.starts_with("/devices/virtual/")) {
            return std::nullopt;
        }
        const std::string name = udevh::text(udev_device_get_sysname(disk));
        const auto letter = driveLetterOfDiskName(name);
        if (!letter) {
            note("name " + name, "The disk " + name +
                                     " has no drive letter (only sda to sdz have one); the "
                                     "station leaves it alone.");
            return std::nullopt;
        }
        // No test of the size: a stick shows no medium (size 0) until the station has given it
        // its firmware, and again while its controller rewrites its flash. Its inquiry decides.
        const auto identity = diskIdentityOfSysfsFolder(udevh::text(udev_device_get_syspath(disk)));
        if (!identity) {
            return std::nullopt;  // gone already
        }
        const SystemDisks* disks = system.get();
        if (disks == nullptr) {
            note("mounts", "The device bus offers no disk: " + system.error() + ".");
            return std::nullopt;
        }
        if (const auto refusal = productionDiskRefusal(disk, *disks)) {
            // A disk on another bus is simply not the station's; a USB disk left alone is news.
            if (attachedByUsb(disk)) {
                note("refusal " + name + " " + *refusal,
                     "The USB disk " + name + " " + *refusal + "; the station leaves it alone.");
            }
            return std::nullopt;
        }
        return std::pair{*letter, HeldDisk{devpath, *identity}};
    }

    LetterDisks offeredNow(udev* enumerating) {
        LetterDisks offered{};
        SystemDisksOnce system(enumerating, options.systemFiles);
        udevh::forEachDevice(enumerating, "block", [&](udev_device* device) {
            if (udevh::text(udev_device_get_devtype(device)) != "disk") {
                return;
            }
            if (auto disk = offer(device, system)) {
                offered[letterIndex(disk->first)] = std::move(disk->second);
            }
        });
        return offered;
    }

    void queue(DeviceEventKind kind, std::uint32_t letters) {
        if (letters == 0) {
            return;
        }
        // Letters that come (or go) one right after the other make one event, as one
        // notification of the operating system names several letters.
        if (!pending.empty() && pending.back().kind == kind &&
            (pending.back().letters & letters) == 0) {
            pending.back().letters |= letters;
        } else {
            pending.push_back({kind, letters});
        }
    }

    // One event of udev for a block device.
    void handle(udev_device* device) {
        const std::string action = udevh::text(udev_device_get_action(device));
        const std::string devpath = udevh::text(udev_device_get_devpath(device));
        const auto letter = driveLetterOfDiskName(udevh::text(udev_device_get_sysname(device)));
        if (action == "remove") {
            // Only the disk the letter arrived with takes it away; a partition's path, or that of
            // an earlier disk of the same name, is another.
            if (letter && held[letterIndex(*letter)] &&
                held[letterIndex(*letter)]->devpath == devpath) {
                held[letterIndex(*letter)].reset();
                queue(DeviceEventKind::Removal, driveLetterBit(*letter));
            }
            return;
        }
        if ((action != "add" && action != "change") ||
            udevh::text(udev_device_get_devtype(device)) != "disk") {
            return;  // a partition: its disk's events carry the letter
        }
        SystemDisksOnce system(context.get(), options.systemFiles);
        auto offered = offer(device, system);
        if (!letter) {
            return;
        }
        std::optional<HeldDisk>& slot = held[letterIndex(*letter)];
        if (offered) {
            // The same disk announced again (a repeated add, a medium change while it runs, a
            // late change event with degraded properties) is no new arrival.
            if (slot && *slot == offered->second) {
                return;
            }
            if (slot) {
                // The letter's earlier disk went without a removal udev told us of.
                queue(DeviceEventKind::Removal, driveLetterBit(*letter));
            }
            slot = std::move(offered->second);
            queue(DeviceEventKind::Arrival, driveLetterBit(*letter));
        } else if (slot && slot->devpath == devpath) {
            // It now holds a system mount.
            slot.reset();
            queue(DeviceEventKind::Removal, driveLetterBit(*letter));
        }
    }

    // After lost events: what is there now against what was reported tells.
    void resync() {
        const LetterDisks now = offeredNow(context.get());
        std::uint32_t gone = 0;
        std::uint32_t came = 0;
        for (char letter = 'A'; letter <= 'Z'; ++letter) {
            const auto& before = held[letterIndex(letter)];
            const auto& after = now[letterIndex(letter)];
            if (before.has_value() != after.has_value() || (before && *before != *after)) {
                gone |= before ? driveLetterBit(letter) : 0;
                came |= after ? driveLetterBit(letter) : 0;
            }
        }
        held = now;
        queue(DeviceEventKind::Removal, gone);
        queue(DeviceEventKind::Arrival, came);
    }

    // Reads what the monitor has now, without waiting, and queues the events.
    void drain() {
        const int fd = udev_monitor_get_fd(monitor.get());
        for (int empty = 0; empty < kMaxEmptyReceives;) {
            pollfd ready{fd, POLLIN, 0};
            if (::poll(&ready, 1, 0) <= 0) {
                return;
            }
            errno = 0;
            const udevh::Device device(udev_monitor_receive_device(monitor.get()));
            if (device) {
                handle(device.get());
                continue;
            }
            if (errno == ENOBUFS) {
                resync();  // the socket overflowed: events were lost
            }
            ++empty;
        }
    }

    std::optional<DeviceEvent> popPending() {
        if (pending.empty()) {
            return std::nullopt;
        }
        const DeviceEvent event = pending.front();
        pending.pop_front();
        return event;
    }
};

UdevDeviceBus::UdevDeviceBus(UdevDeviceBusOptions options) : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.options = std::move(options);
    if (!s.options.note) {
        s.options.note = [](const std::string& text) {
            std::fprintf(stderr, "%s\n", text.c_str());
        };
    }
    s.context.reset(udev_new());
    if (!s.context) {
        throw std::runtime_error("udev cannot be used: " + std::string(std::strerror(errno)) + ".");
    }
    // The "udev" source: events whose rules have run, so the disk's node and properties are
    // there when the station opens it.
    s.monitor.reset(udev_monitor_new_from_netlink(s.context.get(), "udev"));
    if (!s.monitor ||
        udev_monitor_filter_add_match_subsystem_devtype(s.monitor.get(), "block", "disk") < 0 ||
        udev_monitor_enable_receiving(s.monitor.get()) < 0) {
        throw std::runtime_error("udev's device events cannot be listened to: " +
                                 std::string(std::strerror(errno)) + ".");
    }
    s.wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (s.wakeFd < 0) {
        throw std::runtime_error("The device bus cannot make its wake-up descriptor: " +
                                 std::string(std::strerror(errno)) + ".");
    }
    // The disks already there are presentLetters()' to report; an add that udev repeats for one
    // of them makes no arrival.
    s.held = s.offeredNow(s.context.get());
}

UdevDeviceBus::~UdevDeviceBus() = default;

std::uint32_t UdevDeviceBus::presentLetters() {
    const udevh::Context context(udev_new());
    if (!context) {
        return 0;
    }
    std::uint32_t mask = 0;
    const LetterDisks offered = state_->offeredNow(context.get());
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        mask |= offered[letterIndex(letter)] ? driveLetterBit(letter) : 0;
    }
    return mask;
}

void UdevDeviceBus::wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(state_->wakeFd, &one, sizeof(one));
}

std::optional<DeviceEvent> UdevDeviceBus::waitEvent(std::chrono::milliseconds timeout) {
    State& s = *state_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        s.drain();
        if (auto event = s.popPending()) {
            return event;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        pollfd fds[2] = {{udev_monitor_get_fd(s.monitor.get()), POLLIN, 0}, {s.wakeFd, POLLIN, 0}};
        const int ready = ::poll(fds, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) {
            return std::nullopt;
        }
        if (ready > 0 && fds[1].revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const auto got = ::read(s.wakeFd, &count, sizeof(count));
            s.drain();
            return s.popPending();
        }
    }
}

}  // namespace corvid
