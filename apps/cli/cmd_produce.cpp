// corvid-cli produce LETTER: what the station does for one device, without a window. The device's
// arrival (needs-reset test, inquiry, FSM download, flash ID), then one worker with the station
// folder's settings; every change the slot would show is printed as it happens.

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "apps/cli/commands.h"
#include "apps/cli/device_options.h"
#include "apps/cli/line_prompt.h"
#include "apps/cli/record_database.h"
#include "apps/cli/station_home.h"
#include "apps/cli/station_session.h"
#include "apps/cli/terminal_colour.h"
#include "platform/terminal.h"

namespace corvid::cli {

namespace {

constexpr int kMaxResets = 3;
// A device that was reset leaves and comes back; this is how long we wait for it.
constexpr auto kReturnLimit = std::chrono::seconds(10);

// The slot printed on a terminal: a live line with the progress bar and the coloured status,
// and a line of its own for every detail text and picture. On anything else (a pipe, a file),
// every status with its colour and every progress position as lines of their own.
class TerminalSlot : public SlotView {
  public:
    TerminalSlot(char letter, bool terminal)
        : letter_(letter), terminal_(terminal), colour_(terminal && standardOutputWantsColour()) {}

    void setStatus(const std::string& text) override {
        std::lock_guard lock(mutex_);
        flushStatus();
        status_ = text;
        pending_ = true;
        drawLive();
    }
    void setStatusColour(StatusColour colour) override {
        std::lock_guard lock(mutex_);
        statusColour_ = colour;
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
    const char* colourWord() const {
        switch (statusColour_) {
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
        // The line fits the terminal as it is now: a line that wraps would leave a copy of
        // itself at each update. The bar shrinks first, then the status is cut.
        const int columns = std::max(standardOutputColumns() - 1, 8);
        char count[32];
        std::snprintf(count, sizeof(count), " %3d/%d  ", progress_, maximum_);
        const int fixed = 4 + static_cast<int>(std::strlen(count));  // "E [" and "]"
        const int width = std::clamp(columns - fixed - 12, 0, 24);
        const int filled = maximum_ > 0 ? std::clamp(progress_ * width / maximum_, 0, width) : 0;
        const std::string bar = std::string(filled, '#') + std::string(width - filled, '.');
        const int room = std::max(columns - fixed - width, 0);
        std::string status = fitted(status_, room);
        status.erase(status.find_last_not_of(' ') + 1);
        const bool coloured = colour_ && *statusColourCode(statusColour_) != '\0';
        std::printf("\r\033[K%c [%s]%s%s%s%s", letter_, bar.c_str(), count,
                    coloured ? statusColourCode(statusColour_) : "", status.c_str(),
                    coloured ? kColourReset : "");
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
    const bool colour_;  // colours are sent
    mutable std::mutex mutex_;
    std::string status_;
    StatusColour statusColour_ = StatusColour::WindowText;
    bool pending_ = false;
    bool liveShown_ = false;
    int progress_ = 0;
    int maximum_ = 100;
};

// Follows the one device through the controller: its resets, its FSM, its run, its removal.
class ProduceWatch : public StationListener {
  public:
    explicit ProduceWatch(char letter) : letter_(letter) {}

    void deviceSkipped(char, ArrivalSkip why) override {
        switch (why) {
            case ArrivalSkip::ResetSent:
                std::printf(
                    "%c  the device asks to be reset (it answers the chip name 5V16): "
                    "reset sent\n",
                    letter_);
                ++resets_;
                resetAt_ = std::chrono::steady_clock::now();
                break;
            case ArrivalSkip::NotOurs:
                std::fprintf(stderr,
                             "corvid-cli produce: the device at drive %c is not one of the "
                             "station's devices (its inquiry data do not match); nothing was "
                             "done.\n",
                             letter_);
                notOurs_ = true;
                finish(false);
                break;
            default:
                break;  // the device announced again during its own run
        }
    }
    void slotClaimed(int, char) override {
        if (resets_ > 0) {
            std::printf("%c  the device is back\n", letter_);
        }
        resetAt_.reset();
    }
    void fsmFailed(int, char) override { fsmFailed_ = true; }
    void runEnded(const EndedRun& run) override { finish(run.outcome.passed); }
    void slotFreed(int, char) override { std::printf("%c  the device was removed\n", letter_); }

    // A device that was reset must come back within kReturnLimit, and not ask again and again.
    bool resetOverdue() const {
        return resets_ >= kMaxResets ||
               (resetAt_ && std::chrono::steady_clock::now() - *resetAt_ > kReturnLimit);
    }
    bool finished() const { return finished_ || fsmFailed_; }
    bool fsmFailed() const { return fsmFailed_; }
    bool notOurs() const { return notOurs_; }
    bool passed() const { return passed_; }

  private:
    void finish(bool passed) {
        finished_ = true;
        passed_ = passed;
    }

    const char letter_;
    int resets_ = 0;
    std::optional<std::chrono::steady_clock::time_point> resetAt_;
    bool fsmFailed_ = false;
    bool notOurs_ = false;
    bool finished_ = false;
    bool passed_ = false;
};

struct ProduceOptions {
    std::string letter;
    StationSessionOptions session;
};

int runProduce(const ProduceOptions& options) {
    const char letter = driveLetterArgument(options.letter);
    StationSession session(options.session);
    if (const auto refusal = driveRefusal(session.devices(), letter)) {
        // No disk of the station at the letter: the operator's input, as --help says.
        std::fprintf(stderr, "corvid-cli produce: %s; nothing was sent to it.\n", refusal->c_str());
        return kExitBadInput;
    }
    // Held from the first command to the end: a second program on the same device would have
    // each see the other's commands as the device's faults.
    if (!session.assembly().locks().acquire(letter)) {
        std::fprintf(stderr,
                     "corvid-cli produce: drive %c is busy: another station program works on it "
                     "(its lock in %s is held); nothing was done.\n",
                     letter, session.assembly().locks().folder().string().c_str());
        return kExitBadInput;
    }
    if (!deviceAnswers(session.assembly().transport(), letter)) {
        std::fprintf(stderr, "corvid-cli produce: no device answers at drive %c. %s\n", letter,
                     noDeviceReason(session.devices(), letter).c_str());
        return kExitBadInput;
    }

    // Every ended run is a row of the record, as on the station.
    const auto complain = [](const std::string& why) {
        std::fprintf(stderr, "corvid-cli produce: %s\n", why.c_str());
    };
    try {
        session.assembly().keepRecord(
            usableRecordDatabase("", session.station().settings, complain), complain);
    } catch (const RecordError& error) {
        complain(error.what());
        return kExitBadInput;
    }

    TerminalSlot slot(letter, standardOutputIsTerminal());
    std::array<UnseenSlot, kSlotCount - 1> unseen;
    std::array<SlotView*, kSlotCount> slots{&slot};
    for (int i = 1; i < kSlotCount; ++i) {
        slots[i] = &unseen[i - 1];
    }
    UnseenStation view;
    LinePrompt prompt(std::string(1, letter) + "  ");
    ProduceWatch watch(letter);
    StationController& controller = session.start({slots, &view, &prompt}, "produce");
    controller.addListener(watch);
    const StationSession::StopGuard stopFirst(session);
    try {
        // A device that was reset comes back through the bus; a removal reaches the run.
        session.listen(driveLetterBit(letter));
    } catch (const std::exception& error) {
        std::printf("note: %s; the device's removal is not watched\n", error.what());
    }

    controller.handle({DeviceEventKind::Arrival, driveLetterBit(letter)});
    while (!watch.finished()) {
        if (watch.resetOverdue()) {
            std::fprintf(stderr,
                         "corvid-cli produce: the device at drive %c did not come back "
                         "ready after its reset.\n",
                         letter);
            return kExitFailed;
        }
        controller.runPending(std::chrono::milliseconds(100));
    }
    slot.finish();
    StationRecord& record = *session.assembly().record();
    record.finish();
    if (const std::int64_t unrecorded = record.unrecordedRuns(); unrecorded > 0) {
        complain("the run was not recorded");
        return kExitFailed;
    }
    if (watch.notOurs()) {
        return kExitBadInput;  // not the station's device: nothing was asked of it
    }
    if (watch.fsmFailed()) {
        std::printf("%c: fail (%s)\n", letter, slot.status().c_str());
        return kExitFailed;
    }
    std::printf("%c: %s\n", letter, watch.passed() ? "pass" : "fail");
    return watch.passed() ? kExitOk : kExitFailed;
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
    addStationSessionOptions(*command, options->session);
    command->callback([&exitStatus, options] {
        exitStatus = runStationCommand("produce", [&] { return runProduce(*options); });
    });
}

}  // namespace corvid::cli
