// corvid-cli probe: the plug-in checks of one device, printed for a service engineer.

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "apps/cli/commands.h"
#include "apps/cli/device_options.h"
#include "apps/cli/station_home.h"
#include "platform/drive_lock.h"
#include "production/file_downloads.h"
#include "transport/plugin_checks.h"
#include "transport/standard_commands.h"
#include "transport/vendor_commands.h"

namespace corvid::cli {

namespace {

// The station waits this long before it resets a device that asks for it.
constexpr auto kResetPause = std::chrono::milliseconds(200);

struct ProbeOptions {
    std::string letter;
    DeviceOptions device;
    std::string home;
    bool noReset = false;
    bool noFsm = false;
    int waitMs = 5000;
};

void row(const std::string& name, const std::string& value) {
    std::printf("  %-13s %s\n", (name + ":").c_str(), value.c_str());
}

// The printable part of an INQUIRY field, trailing blanks dropped.
std::string inquiryText(const std::array<std::uint8_t, kInquiryLength>& data, std::size_t at,
                        std::size_t width) {
    std::string text;
    for (std::size_t i = at; i < at + width; ++i) {
        text += data[i] >= 0x20 && data[i] < 0x7F ? static_cast<char>(data[i]) : '.';
    }
    return text.substr(0, text.find_last_not_of(' ') + 1);
}

// What each step of a probe works on: a device that answers, under this program's lock.
struct ProbeTarget {
    Transport& transport;
    char letter;
    std::string where;  // the drive as the user reads it
    const ProbeOptions& options;
};

// A step's end: nothing to go on to the next step, else the probe's exit status.
using StepEnd = std::optional<int>;

// 1. Needs-reset test: a device that runs its boot code is reset, as the station would.
StepEnd resetStep(const ProbeTarget& p) {
    if (!needsReset(p.transport, p.letter)) {
        row("needs reset", "no");
        return std::nullopt;
    }
    if (p.options.noReset) {
        row("needs reset", "yes (answers the chip name 5V16); not reset (--no-reset)");
        std::printf("  The device runs its boot code: the station would reset it first.\n");
        return kExitOk;
    }
    std::this_thread::sleep_for(kResetPause);
    resetByLetter(p.transport, p.letter);
    // The device leaves and arrives anew.
    std::this_thread::sleep_for(kResetPause);
    if (!waitForDevice(p.transport, p.letter, std::chrono::milliseconds(p.options.waitMs))) {
        row("needs reset", "yes; reset sent, but the device did not come back within " +
                               std::to_string(p.options.waitMs) + " ms");
        return kExitFailed;
    }
    if (needsReset(p.transport, p.letter)) {
        row("needs reset", "yes; reset sent, and it still answers 5V16");
        return kExitFailed;
    }
    row("needs reset", "yes (answered 5V16); reset sent, the device came back");
    return std::nullopt;
}

// 2. Inquiry test, by the station's rule, with the identification texts beside it.
StepEnd inquiryStep(const ProbeTarget& p) {
    const bool ours = cmd_bInquiry(p.transport, p.letter);
    std::array<std::uint8_t, kInquiryLength> data{};
    bool answered = false;
    {
        const ScopedDevice device(p.transport, p.letter);
        answered = device.isOpen() && inquiry(p.transport, device.handle(), data);
    }
    const std::string texts = answered ? "vendor \"" + inquiryText(data, 8, 8) + "\", product \"" +
                                             inquiryText(data, 16, 16) + "\", revision \"" +
                                             inquiryText(data, 32, 4) + "\""
                                       : "no INQUIRY data";
    row("inquiry",
        std::string(ours ? "passed" : "failed: not a ZQL5Vxx device") + " (" + texts + ")");
    return ours ? StepEnd() : kExitFailed;
}

// 3. FSM download, when the station folder has an FSM.
StepEnd fsmStep(const ProbeTarget& p) {
    if (p.options.noFsm) {
        return std::nullopt;
    }
    const std::filesystem::path fsm = resolveStationHome(p.options.home) / "misc" / "FSM.bin";
    std::error_code error;
    const auto size = std::filesystem::file_size(fsm, error);
    if (error) {
        row("FSM", "not sent (no " + fsm.string() + "; --home DIR names a station folder)");
    } else if (bDownloadFsm(p.transport, p.letter, fsm, static_cast<std::uint32_t>(size))) {
        row("FSM", "sent " + std::to_string(size) + " bytes of " + fsm.string());
    } else {
        row("FSM", "failed to send " + fsm.string());
        return kExitFailed;
    }
    return std::nullopt;
}

// 4. Flash ID, then what the worker asks next: the chip count and the port. The last step.
int flashStep(const ProbeTarget& p) {
    std::uint8_t maker = 0;
    std::uint32_t flashId = 0;
    if (!readFlashIdByLetter(p.transport, p.letter, maker, flashId)) {
        row("flash ID", "cannot be read");
        return kExitFailed;
    }
    const bool serial = maker == kSpiFlashMaker && flashId == kSpiFlashId;
    row("flash ID", formatFlashId(maker, flashId) + (serial ? " (serial flash, no NAND)" : ""));
    const ScopedDevice device(p.transport, p.letter);
    if (!device.isOpen()) {
        std::cerr << "corvid-cli probe: " << p.where << " went away during the probe.\n";
        return kExitFailed;
    }
    row("flash chips", std::to_string(getFlashCount(p.transport, device.handle())));
    row("port", std::to_string(getPort(p.transport, device.handle()) & 0x7F));
    return kExitOk;
}

int runProbe(const ProbeOptions& options) {
    char letter = 0;
    DeviceSetup setup;
    try {
        letter = driveLetterArgument(options.letter);
        setup = deviceSetupOf(options.device);
    } catch (const DeviceOptionError& e) {
        std::cerr << "corvid-cli probe: " << e.what() << "\n";
        return kExitBadInput;
    }
    if (const auto refusal = driveRefusal(setup, letter)) {
        // No disk of the station at the letter: the operator's input, as --help says.
        std::cerr << "corvid-cli probe: " << *refusal << "; nothing was sent to it.\n";
        return kExitBadInput;
    }
    const std::unique_ptr<Transport> transport = makeTransport(setup);
    const std::string where = describeDrive(setup, letter);
    // A probe sends commands and may reset the device: not while another program works on it.
    DriveLocks locks(driveLockFolder(setup));
    if (!locks.acquire(letter)) {
        std::cerr << "corvid-cli probe: drive " << letter
                  << " is busy: another station program works on it; nothing was sent.\n";
        return kExitBadInput;
    }

    if (!deviceAnswers(*transport, letter)) {
        std::cerr << "corvid-cli probe: no device answers at " << where << ". "
                  << noDeviceReason(setup, letter) << "\n";
        return kExitBadInput;
    }
    std::printf("Probe of %s\n", where.c_str());
    const ProbeTarget target{*transport, letter, where, options};
    for (const auto step : {resetStep, inquiryStep, fsmStep}) {
        if (const StepEnd end = step(target)) {
            return *end;
        }
    }
    return flashStep(target);
}

}  // namespace

void addProbeCommand(CLI::App& app, int& exitStatus) {
    const auto options = std::make_shared<ProbeOptions>();
    CLI::App* probe = app.add_subcommand(
        "probe",
        "Run the plug-in checks on one device: needs-reset answer, inquiry, FSM, flash ID, chip "
        "count and port");
    probe->add_option("LETTER", options->letter, "drive letter of the device")->required();
    addDeviceOptions(*probe, options->device);
    addHomeOption(*probe, options->home);
    probe->add_flag("--no-reset", options->noReset,
                    "only report a device that asks to be reset; do not reset it");
    probe->add_flag("--no-fsm", options->noFsm, "do not send the station's FSM");
    probe
        ->add_option("--wait-ms", options->waitMs,
                     "how long to wait for a reset device to come back (default 5000)")
        ->check(CLI::NonNegativeNumber);
    probe->callback([&exitStatus, options] {
        try {
            exitStatus = runProbe(*options);
        } catch (const std::exception& e) {
            std::cerr << "corvid-cli probe: " << e.what() << "\n";
            exitStatus = kExitFailed;
        }
    });
}

}  // namespace corvid::cli
