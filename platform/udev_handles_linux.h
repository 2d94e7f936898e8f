#pragma once

// Owners of libudev's reference-counted objects, for the Linux files of platform/ only.

#include <libudev.h>

#include <memory>
#include <string>

namespace corvid::udevh {

struct Unref {
    void operator()(udev* p) const { udev_unref(p); }
    void operator()(udev_device* p) const { udev_device_unref(p); }
    void operator()(udev_enumerate* p) const { udev_enumerate_unref(p); }
    void operator()(udev_monitor* p) const { udev_monitor_unref(p); }
};

using Context = std::unique_ptr<udev, Unref>;
using Device = std::unique_ptr<udev_device, Unref>;
using Enumerate = std::unique_ptr<udev_enumerate, Unref>;
using Monitor = std::unique_ptr<udev_monitor, Unref>;

// Calls fn(device) for every device of 'subsystem' known to 'context' now.
template <typename Fn>
void forEachDevice(udev* context, const char* subsystem, Fn&& fn) {
    const Enumerate enumerate(udev_enumerate_new(context));
    if (!enumerate || udev_enumerate_add_match_subsystem(enumerate.get(), subsystem) < 0 ||
        udev_enumerate_scan_devices(enumerate.get()) < 0) {
        return;
    }
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
        const Device device(udev_device_new_from_syspath(context, udev_list_entry_get_name(entry)));
        if (device) {
            fn(device.get());
        }
    }
}

// A text of libudev that may be missing, as a string.
inline std::string text(const char* value) {
    return value != nullptr ? std::string(value) : std::string();
}

}  // namespace corvid::udevh
