#pragma once

// One simulated device served as a USB mass-storage stick through the kernel's USB gadget
// framework: a configfs gadget with one FunctionFS function that speaks the bulk-only transport
// (bulk_only.h) for the device model. Runs on any Linux with a USB device controller: dummy_hcd
// in a test machine, or the device port of a small board in front of a real station.

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace corvid::devsim {

class Device;

struct GadgetSettings {
    std::string name;  // the configfs gadget and FunctionFS instance: "corvid-E"
    std::string udc;   // empty: the only device controller there is
    std::string serial;
    std::filesystem::path configfs = "/sys/kernel/config";
};

class Gadget {
  public:
    using Log = std::function<void(const std::string&)>;

    // Makes the gadget in configfs and its function's endpoints. Throws std::runtime_error
    // naming what cannot be made.
    Gadget(Device& device, GadgetSettings settings, Log log);
    ~Gadget();  // unbinds and removes the gadget
    Gadget(const Gadget&) = delete;
    Gadget& operator=(const Gadget&) = delete;

    // Binds to the device controller and serves until requestStop() or until the device is
    // pulled out during a command.
    void serve();
    // Thread- and signal-thread-safe.
    void requestStop();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace corvid::devsim
