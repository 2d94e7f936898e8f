// corvid-devsim gadget: one simulated device as a USB stick on this machine's USB device
// controller, for a real kernel's usb-storage to find.

#include <signal.h>
#include <time.h>

#include <atomic>
#include <functional>
#include <iostream>
#include <memory>
#include <thread>

#include "apps/devsim/commands.h"
#include "devsim/device.h"
#include "devsim/gadget.h"
#include "devsim/host.h"

namespace corvid::devsim_cli {

namespace {

namespace fs = std::filesystem;
using namespace corvid::devsim;

struct GadgetOptions {
    std::string dir, udc, name, serial;
    DeviceOptions device;
};

// The same state folder gives the same serial number, so a stick keeps its identity across
// runs and two sticks never share one.
std::string serialOf(const fs::path& stateDir) {
    char text[17];
    std::snprintf(text, sizeof(text), "%016zX", std::hash<std::string>{}(stateDir.string()));
    return text;
}

int runGadget(const GadgetOptions& options) {
    const DeviceSettings settings = plugSettings(options.device.plugWords(), simDirOf(options.dir));
    GadgetSettings gadgetSettings;
    gadgetSettings.name =
        options.name.empty() ? "corvid-" + std::string(1, settings.letter) : options.name;
    gadgetSettings.udc = options.udc;
    gadgetSettings.serial = options.serial.empty() ? serialOf(settings.stateDir) : options.serial;

    const sigset_t stopSignals = blockStopSignals();

    Device device(settings);
    Gadget gadget(device, gadgetSettings, [&](const std::string& line) {
        std::cout << "corvid-devsim gadget " << gadgetSettings.name << ": " << line << std::endl;
    });
    std::atomic<bool> served{false};
    std::thread stopper([&] {
        const timespec tick{0, 100'000'000};
        while (!served) {
            if (sigtimedwait(&stopSignals, nullptr, &tick) > 0) {
                gadget.requestStop();
                return;
            }
        }
    });
    try {
        gadget.serve();
    } catch (...) {
        served = true;
        stopper.join();
        throw;
    }
    served = true;
    stopper.join();
    return kExitOk;
}

}  // namespace

void addGadgetCommand(CLI::App& app, int& exitStatus) {
    auto* command = app.add_subcommand(
        "gadget",
        "serve one simulated device as a USB mass-storage stick on a USB device controller "
        "(Linux with configfs and FunctionFS; needs root)");
    auto options = std::make_shared<GadgetOptions>();
    addDirOption(*command, options->dir);
    options->device.add(*command);
    command->add_option("--udc", options->udc,
                        "USB device controller to bind to, from /sys/class/udc (default: the "
                        "only one)");
    command->add_option("--name", options->name,
                        "name of the gadget in configfs (default corvid-LETTER)");
    command->add_option("--serial", options->serial,
                        "USB serial number (default: made from the state folder)");
    command->callback([&exitStatus, options] { exitStatus = runGadget(*options); });
}

}  // namespace corvid::devsim_cli
