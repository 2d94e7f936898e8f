// corvid-cli produce LETTER: what the station does for one device, without a window. The device's
// arrival (needs-reset test, inquiry, FSM download, flash ID), then one worker with the station
// folder's settings; every change the slot would show is printed as it happens.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "apps/cli/commands.h"
#include "apps/cli/device_options.h"
#include "apps/cli/station_home.h"
#include "platform/terminal.h"
#include "production/device_arrival.h"
#include "production/product_thread.h"
#include "production/station_setup.h"
#include "station/operator_prompt.h"

namespace corvid::cli {

namespace {

constexpr int kMaxResets = 3;
// A device that was reset leaves and comes back; this is how long we wait for it.
constexpr auto kReturnLimit = std::chrono::seconds(10);
constexpr auto kLeavePause = std::chrono::milliseconds(100);

// The slot printed on a terminal: a live line with the progress bar and the coloured status,
// and a line of its own for every detail text and picture. On anything else (a pipe, a file),
// every status with its colour and every progress position as lines of their own.
class TerminalSlot : public SlotView {
  public:
    TerminalSlot(char letter, bool terminal) : letter_(letter), terminal_(terminal) {}

    void setStatus(const std::string& text) override {
        std::lock_guard lock(mutex_);
        flushStatus();
        status_ = text;
        pending_ = true;
        drawLive();
    }
    void setStatusColour(StatusColour colour) override {
        std::lock_guard lock(mutex_);
        colour_ = colour;
        drawLive();
    }
    void setDetailP(const std::string& text) override { line("P", text); }
    void setDetailF(const std::string& text) override { line("F", text); }
    void setProgress(int position) override {
        std::lock_guard lock(mutex_);
        if (position == progress_) {
            return;
        }
        progress_ = position;
        if (terminal_) {
            drawLive();
        } else {
            flushStatus();
            std::printf("%c  progress %d/%d\n", letter_, progress_, maximum_);
        }
    }
    void setPicture(SlotPicture picture) override {
        if (picture != SlotPicture::None) {
            line("picture", picture == SlotPicture::Pass ? "success.bmp" : "fail.bmp");
        }
    }
    void setGaugeVisible(bool) override {}
    void setProgressMaximum(int maximum) override {
        std::lock_guard lock(mutex_);
        maximum_ = maximum > 0 ? maximum : 100;
    }

    // Ends the live line; the final status stays on the screen.
    void finish() {
        std::lock_guard lock(mutex_);
        flushStatus();
        if (terminal_ && liveShown_) {
            std::printf("\n");
            liveShown_ = false;
        }
        std::fflush(stdout);
    }

    std::string status() const {
        std::lock_guard lock(mutex_);
        return status_;
    }

  private:
    const char* colourCode() const {
        switch (colour_) {
            case StatusColour::Red:
                return "\033[31m";
            case StatusColour::Blue:
                return "\033[34m";
            default:
                return "";
        }
    }
    const char* colourWord() const {
        switch (colour_) {
            case StatusColour::Red:
                return "  [red]";
            case StatusColour::Blue:
                return "  [blue]";
            default:
                return "";
        }
    }

    // Prints a finished status once its colour is known (the next change shows it is final).
    void flushStatus() {
        if (!pending_ || terminal_) {
            pending_ = false;
            return;
        }
        std::printf("%c  %s%s\n", letter_, status_.c_str(), colourWord());
        pending_ = false;
    }

    void drawLive() {
        if (!terminal_) {
            return;
        }
        constexpr int kWidth = 24;
        const int filled = maximum_ > 0 ? std::clamp(progress_ * kWidth / maximum_, 0, kWidth) : 0;
        const std::string bar = std::string(filled, '#') + std::string(kWidth - filled, '.');
        std::printf("\r\033[K%c [%s] %3d/%d  %s%s\033[0m", letter_, bar.c_str(), progress_,
                    maximum_, colourCode(), status_.c_str());
        std::fflush(stdout);
        liveShown_ = true;
    }

    // Emptied detail texts are not printed: there is nothing to read in them.
    void line(const char* what, const std::string& text) {
        if (text.empty()) {
            return;
        }
        std::lock_guard lock(mutex_);
        flushStatus();
        if (terminal_ && liveShown_) {
            std::printf("\r\033[K");
        }
        std::printf("%c  %s: %s\n", letter_, what, text.c_str());
        drawLive();
    }

    const char letter_;
    const bool terminal_;
    mutable std::mutex mutex_;
    std::string status_;
    StatusColour colour_ = StatusColour::WindowText;
    bool pending_ = false;
    bool liveShown_ = false;
    int progress_ = 0;
    int maximum_ = 100;
};

class TerminalStation : public StationView {
  public:
    void showCounters(int total, int success, int fail) override {
        total_ = total;
        success_ = success;
        fail_ = fail;
    }
    void setSettingGroupsEnabled(bool) override {}
    void setSystemAreaLabel(const std::string& text) override { systemArea_ = text; }
    int total_ = 0, success_ = 0, fail_ = 0;
    std::string systemArea_;
};

// A message box of the worker becomes a line; the run goes on as after OK.
class TerminalPrompt : public OperatorPrompt {
  public:
    explicit TerminalPrompt(char letter) : letter_(letter) {}
    PromptAnswer show(const std::string& text, const std::string& caption, PromptIcon,
                      PromptButtons) override {
        std::printf("%c  %s: %s\n", letter_, caption.c_str(), text.c_str());
        return PromptAnswer::Ok;
    }

  private:
    char letter_;
};

// A reset device leaves first; it gets the time to go before it is looked for again.
bool waitForReturn(Transport& transport, char letter) {
    std::this_thread::sleep_for(kLeavePause);
    return waitForDevice(transport, letter, kReturnLimit);
}

// Plays the station's removal handling for the one slot: when the device goes, the slot lets
// go of its letter, and the worker finds that out as the window's worker would.
class RemovalWatch {
  public:
    RemovalWatch(const DeviceSetup& setup, char letter) : letter_(letter), slotLetter_(letter) {
        try {
            bus_ = makeDeviceBus(setup);
        } catch (const std::exception&) {
            return;  // without a bus the device counts as present to the end
        }
        thread_ = std::thread([this] { watch(); });
    }
    ~RemovalWatch() {
        done_ = true;
        if (bus_) {
            bus_->wake();
        }
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    char slotLetter() const { return slotLetter_.load(); }

  private:
    void watch() {
        while (!done_) {
            const auto event = bus_->waitEvent(std::chrono::milliseconds(200));
            if (event && event->kind == DeviceEventKind::Removal &&
                (event->letters & driveLetterBit(letter_)) != 0) {
                slotLetter_ = 0;
                std::printf("%c  the device was removed\n", letter_);
            }
        }
    }

    const char letter_;
    std::atomic<char> slotLetter_;
    std::atomic<bool> done_{false};
    std::unique_ptr<DeviceBus> bus_;
    std::thread thread_;
};

struct ProduceOptions {
    std::string letter;
    std::string home;
    DeviceOptions device;
    double pauseScale = 1.0;
};

int runProduce(const ProduceOptions& options) {
    const char letter = driveLetterOf(options.letter);
    const DeviceSetup setup = deviceSetupOf(options.device);
    StationSetupOptions stationOptions;
    stationOptions.pauseScale = options.pauseScale;
    stationOptions.portLocations = setup.backend == DeviceBackend::Sim
                                       ? PortLocationOrigin::SingleHub
                                       : PortLocationOrigin::UsbSysfs;
    const std::unique_ptr<StationSetup> station =
        loadStation(resolveStationHome(options.home), stationOptions);
    for (const auto& dropped : station->settingsReport.droppedPreCopy) {
        std::printf("note: the pre-copy entry %s names no readable file; it is left out\n",
                    dropped.c_str());
    }
    const StationFolder& folder = station->folder;

    if (const auto refusal = driveRefusal(setup, letter)) {
        std::fprintf(stderr, "corvid-cli produce: %s; nothing was sent to it.\n", refusal->c_str());
        return kExitFailed;
    }
    std::unique_ptr<Transport> transport = makeTransport(setup);
    if (!deviceAnswers(*transport, letter)) {
        std::fprintf(stderr, "corvid-cli produce: no device answers at drive %c (%s).\n", letter,
                     describeDrive(setup, letter).c_str());
        return kExitFailed;
    }

    TerminalSlot slot(letter, standardOutputIsTerminal());
    std::error_code ignored;
    const bool failPicture = std::filesystem::is_regular_file(folder.misc() / "fail.bmp", ignored);
    const auto fsmSize = static_cast<std::uint32_t>(station->settings.iFsmSize);
    ArrivalOutcome outcome = ArrivalOutcome::ResetSent;
    for (int resets = 0; outcome == ArrivalOutcome::ResetSent; ++resets) {
        outcome = prepareArrivedDevice(*transport, letter, slot, station->messages, folder.fsmBin(),
                                       fsmSize, failPicture, station->clock);
        if (outcome != ArrivalOutcome::ResetSent) {
            break;
        }
        std::printf("%c  the device asks to be reset (it answers the chip name 5V16): reset sent\n",
                    letter);
        if (resets + 1 >= kMaxResets || !waitForReturn(*transport, letter)) {
            std::fprintf(stderr,
                         "corvid-cli produce: the device at drive %c did not come back "
                         "ready after its reset.\n",
                         letter);
            return kExitFailed;
        }
        std::printf("%c  the device is back\n", letter);
    }
    if (outcome == ArrivalOutcome::NotOurs) {
        std::fprintf(stderr,
                     "corvid-cli produce: the device at drive %c is not one of the station's "
                     "devices (its inquiry data do not match); nothing was done.\n",
                     letter);
        return kExitFailed;
    }
    if (outcome == ArrivalOutcome::FsmFailed) {
        slot.finish();
        std::printf("%c: fail (%s)\n", letter, slot.status().c_str());
        return kExitFailed;
    }

    TerminalStation view;
    TerminalPrompt prompt(letter);
    StationCounters counters(view);
    const std::unique_ptr<VolumeTools> volumes = makeVolumeTools(setup);
    const ProductionEnvironment environment = station->environment(
        *transport, *volumes, view, prompt, counters, [letter](const std::string& reason) {
            std::fprintf(stderr, "corvid-cli produce: drive %c: %s\n", letter, reason.c_str());
        });
    {
        RemovalWatch removal(setup, letter);
        auto worker = std::make_unique<ProductThread>(
            letter, slot, 0, station->language.iLanguage,
            [&removal] { return removal.slotLetter(); }, environment);
        ProductThread::start(std::move(worker)).join();
    }
    slot.finish();

    const auto counts = counters.snapshot();
    const bool passed = counts.iSuccess == 1;
    std::printf("%c: %s\n", letter, passed ? "pass" : "fail");
    return passed ? kExitOk : kExitFailed;
}

}  // namespace

void addProduceCommand(CLI::App& app, int& exitStatus) {
    const auto options = std::make_shared<ProduceOptions>();
    CLI::App* command = app.add_subcommand(
        "produce",
        "Produce one device: its arrival checks and FSM download, then the whole production run "
        "with the station folder's settings, printed as its slot would show it");
    command->add_option("LETTER", options->letter, "Drive letter of the device, A to Z")
        ->required();
    addHomeOption(*command, options->home);
    addDeviceOptions(*command, options->device);
    command
        ->add_option("--pause-scale", options->pauseScale,
                     "Scale of the pauses between device steps (1: as the station waits; 0: no "
                     "pauses, for tests and measurements of the device alone)")
        ->check(CLI::Range(0.0, 100.0));
    command->callback([&exitStatus, options] {
        try {
            exitStatus = runProduce(*options);
        } catch (const StationFolderError& e) {
            std::fprintf(stderr,
                         "corvid-cli produce: %s (corvid-cli init-home DIR writes a complete "
                         "one).\n",
                         e.what());
            exitStatus = kExitBadInput;
        } catch (const DeviceOptionError& e) {
            std::fprintf(stderr, "corvid-cli produce: %s\n", e.what());
            exitStatus = kExitBadInput;
        } catch (const SettingsError& e) {
            std::fprintf(stderr, "corvid-cli produce: %s\n", e.what());
            exitStatus = kExitBadInput;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "corvid-cli produce: %s\n", e.what());
            exitStatus = kExitFailed;
        }
    });
}

}  // namespace corvid::cli
