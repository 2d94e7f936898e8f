#include "apps/cli/station_table.h"

#include "apps/cli/terminal_colour.h"
#include "platform/local_time.h"
#include "platform/terminal.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace corvid::cli {

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr int kBarWidth = 12;
constexpr int kPortWidth = 10;
constexpr int kFlashWidth = 28;
constexpr int kStatusWidth = 30;
constexpr int kMinStatusWidth = 10;
constexpr int kLeadWidth = 10;                 // "Slot Drive"
constexpr int kProgressWidth = kBarWidth + 7;  // "[############] 100%"
constexpr int kPercentWidth = 4;               // "100%"
constexpr int kTimeWidth = 6;
constexpr int kVerdictWidth = 7;

std::string clockText() {
    const std::time_t now = std::time(nullptr);
    const std::tm local = localTime(now);
    char text[16] = {};
    std::strftime(text, sizeof(text), "%H:%M:%S", &local);
    return text;
}

// "12.3s" under a minute, "4:05" from then on.
std::string elapsedText(std::chrono::steady_clock::duration elapsed) {
    const double seconds = std::chrono::duration<double>(elapsed).count();
    char text[32] = {};
    if (seconds < 60) {
        std::snprintf(text, sizeof(text), "%.1fs", seconds);
    } else {
        const auto whole = static_cast<long long>(seconds);
        std::snprintf(text, sizeof(text), "%lld:%02lld", whole / 60, whole % 60);
    }
    return text;
}

}  // namespace

StationTable::Layout StationTable::layoutFor(int columns) {
    // One column short of the width: a line that reaches the last column would make some
    // terminals wrap it.
    const int usable = std::max(1, columns - 1);
    Layout layout;
    layout.width = usable;
    const auto statusLeft = [&] {
        int used =
            kLeadWidth + 1 + (layout.progress ? kProgressWidth : kPercentWidth) + 1 + kVerdictWidth;
        used += layout.port ? kPortWidth + 1 : 0;
        used += layout.flash ? kFlashWidth + 1 : 0;
        used += layout.time ? kTimeWidth + 1 : 0;
        return usable - used - 1;
    };
    // Taken away in this order until the status has its width: the flash ID (its end result,
    // the bad-block count, then stands in the status), the drawn bar (the percentage stays), the
    // port, the time.
    bool* const dropped[] = {&layout.flash, &layout.progress, &layout.port, &layout.time};
    for (bool* column : dropped) {
        if (statusLeft() >= kStatusWidth) {
            break;
        }
        *column = false;
    }
    layout.status = std::max(kMinStatusWidth, statusLeft());
    return layout;
}

// One slot's view: every change goes into the table's row under the table's lock.
class StationTable::Row : public SlotView {
  public:
    Row(StationTable& table, int index) : table_(table), index_(index) {}

    void setStatus(const std::string& text) override {
        update([&](RowState& row) { row.status = text; }, "status: " + text);
    }
    void setStatusColour(StatusColour colour) override {
        std::string what;
        if (colour == StatusColour::Red) {
            what = "colour: red";
        } else if (colour == StatusColour::Blue) {
            what = "colour: blue";
        }
        update([&](RowState& row) { row.colour = colour; }, what);
    }
    void setDetailP(const std::string& text) override {
        update([&](RowState& row) { row.port = text; }, text.empty() ? "" : "P: " + text);
    }
    void setDetailF(const std::string& text) override {
        update([&](RowState& row) { row.flash = text; }, text.empty() ? "" : "F: " + text);
    }
    void setProgress(int position) override {
        std::string what;  // made by the change: a line at every tenth of the bar
        update(
            [&](RowState& row) {
                const int maximum = std::max(1, row.maximum);
                const int before = row.progress * 10 / maximum;
                row.progress = position;
                const int after = position * 10 / maximum;
                if (after != before && position > 0) {
                    what = "progress " + std::to_string(after * 10) + "%";
                }
            },
            what);
    }
    void setPicture(SlotPicture picture) override {
        update([](RowState&) {}, picture == SlotPicture::Pass   ? "picture: success.bmp"
                                 : picture == SlotPicture::Fail ? "picture: fail.bmp"
                                                                : "");
    }
    void setGaugeVisible(bool visible) override {
        update([&](RowState& row) { row.gauge = visible; }, "");
    }
    void setProgressMaximum(int maximum) override {
        update([&](RowState& row) { row.maximum = maximum > 0 ? maximum : 100; }, "");
    }

  private:
    // 'what' is read after 'change' ran, which may write it.
    template <typename Change>
    void update(Change&& change, const std::string& what) {
        std::lock_guard lock(table_.mutex_);
        change(table_.rows_[index_]);
        table_.changed(index_, what);
    }

    StationTable& table_;
    const int index_;
};

StationTable::StationTable(bool terminal)
    : terminal_(terminal), colour_(terminal && standardOutputWantsColour()) {
    for (int i = 0; i < kSlotCount; ++i) {
        views_.push_back(std::make_unique<Row>(*this, i));
    }
}

StationTable::~StationTable() = default;

SlotView& StationTable::slot(int index) {
    return *views_.at(index);
}

std::array<SlotView*, kSlotCount> StationTable::slotViews() {
    std::array<SlotView*, kSlotCount> views{};
    for (int i = 0; i < kSlotCount; ++i) {
        views[i] = views_[i].get();
    }
    return views;
}

void StationTable::changed(int index, const std::string& what) {
    dirty_ = true;
    if (!terminal_ && !what.empty()) {
        const RowState& row = rows_[index];
        std::printf("%s  slot %d %c  %s\n", clockText().c_str(), index + 1,
                    row.letter != 0 ? row.letter : '-', what.c_str());
        std::fflush(stdout);
    }
}

void StationTable::logLine(const std::string& text) {
    if (terminal_) {
        notes_.push_back(text);
        dirty_ = true;
    } else {
        std::printf("%s  %s\n", clockText().c_str(), text.c_str());
        std::fflush(stdout);
    }
}

void StationTable::note(const std::string& line) {
    std::lock_guard lock(mutex_);
    logLine(line);
}

void StationTable::showCounters(int total, int success, int fail) {
    std::lock_guard lock(mutex_);
    total_ = total;
    success_ = success;
    fail_ = fail;
    dirty_ = true;
    if (!terminal_) {
        logLine(countersText());
    }
}

void StationTable::deviceSkipped(char letter, ArrivalSkip why) {
    const std::string drive = std::string("drive ") + letter + ": ";
    switch (why) {
        case ArrivalSkip::Closed:
            note(drive + "not taken, the station is stopping");
            break;
        case ArrivalSkip::ResetSent:
            note(drive + "the device asked to be reset; reset sent, it comes back by itself");
            break;
        case ArrivalSkip::NotOurs:
            note(drive +
                 "not one of the station's devices (its inquiry data do not match); "
                 "left alone");
            break;
        case ArrivalSkip::LockedElsewhere:
            note(drive + "busy: another station program works on this drive; left alone");
            break;
        case ArrivalSkip::Busy:
        case ArrivalSkip::AlreadyHeld:
        case ArrivalSkip::LimitReached:  // the limit box said it
            break;
    }
}

void StationTable::deviceFailed(char letter, const std::string& why) {
    note(std::string("drive ") + letter + ": " + why + "; left alone");
}

void StationTable::slotClaimed(int slot, char letter) {
    std::lock_guard lock(mutex_);
    rows_[slot] = RowState{};
    rows_[slot].letter = letter;
    dirty_ = true;
}

void StationTable::slotFreed(int slot, char) {
    std::lock_guard lock(mutex_);
    const std::string status = rows_[slot].status;
    rows_[slot] = RowState{};
    rows_[slot].status = status;
    dirty_ = true;
}

void StationTable::fsmFailed(int slot, char) {
    std::lock_guard lock(mutex_);
    rows_[slot].verdict = "no FSM";
    dirty_ = true;
}

void StationTable::runStarted(int slot, char) {
    std::lock_guard lock(mutex_);
    rows_[slot].started = std::chrono::steady_clock::now();
    rows_[slot].verdict.clear();
    ++running_;
    dirty_ = true;
}

void StationTable::runEnded(const EndedRun& run) {
    std::lock_guard lock(mutex_);
    --running_;
    ++ended_;
    if (!run.outcome.passed) {
        ++failed_;
    }
    RowState& row = rows_[run.slot];
    // A removed device's slot may hold the next device already; only its own row ends.
    if (row.letter == run.letter && row.started) {
        row.elapsed = std::chrono::steady_clock::now() - *row.started;
        row.started.reset();
        row.verdict = run.outcome.passed ? "pass" : "fail";
    }
    logLine(std::string("slot ") + std::to_string(run.slot + 1) + " " + run.letter + "  " +
            (run.outcome.passed ? "pass" : "fail") + " (" + run.outcome.finalStatus + ")");
}

PromptAnswer StationTable::show(const std::string& text, const std::string& caption, PromptIcon,
                                PromptButtons) {
    note(caption + ": " + text);
    return PromptAnswer::Ok;
}

int StationTable::endedRuns() const {
    std::lock_guard lock(mutex_);
    return ended_;
}

int StationTable::failedRuns() const {
    std::lock_guard lock(mutex_);
    return failed_;
}

std::string StationTable::countersText() const {
    return "Total " + std::to_string(total_) + "   Success " + std::to_string(success_) +
           "   Fail " + std::to_string(fail_) + "   Running " + std::to_string(running_);
}

std::string StationTable::rowText(int index, const Layout& layout, bool colour) const {
    const RowState& row = rows_[index];
    const int maximum = std::max(1, row.maximum);
    const int percent = std::clamp(row.progress * 100 / maximum, 0, 100);
    std::string progress;
    if (row.gauge || row.progress > 0) {
        const int filled = std::clamp(row.progress * kBarWidth / maximum, 0, kBarWidth);
        progress = layout.progress
                       ? "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') +
                             "] " + std::to_string(percent) + "%"
                       : std::to_string(percent) + "%";
    }
    const auto elapsed =
        row.started ? std::chrono::steady_clock::now() - *row.started : row.elapsed;
    const bool timed = row.started || row.elapsed.count() > 0;
    std::string line = fitted(" " + std::to_string(index + 1) + "    " +
                                  (row.letter != 0 ? std::string(1, row.letter) : std::string("-")),
                              kLeadWidth) +
                       " ";
    if (layout.port) {
        line += fitted(row.port, kPortWidth) + " ";
    }
    if (layout.flash) {
        line += fitted(row.flash, kFlashWidth) + " ";
    }
    // Without its own column the flash detail follows the status: at the end it is the run's
    // result with the bad-block count.
    const std::string statusText =
        layout.flash || row.flash.empty() ? row.status : row.status + "  " + row.flash;
    const std::string status = fitted(statusText, layout.status);
    line += colour && *statusColourCode(row.colour) != '\0'
                ? statusColourCode(row.colour) + status + kColourReset
                : status;
    line += " " + fitted(progress, layout.progress ? kProgressWidth : kPercentWidth) + " ";
    if (layout.time) {
        line += fitted(timed ? elapsedText(elapsed) : "", kTimeWidth) + " ";
    }
    return line + fitted(row.verdict, kVerdictWidth);
}

std::string StationTable::headerText(const Layout& layout) {
    std::string header = fitted("Slot Drive", kLeadWidth) + " ";
    if (layout.port) {
        header += fitted("Port", kPortWidth) + " ";
    }
    if (layout.flash) {
        header += fitted("Flash ID", kFlashWidth) + " ";
    }
    header += fitted("Status", layout.status) + " " +
              fitted(layout.progress ? "Progress" : "Done",
                     layout.progress ? kProgressWidth : kPercentWidth) +
              " ";
    if (layout.time) {
        header += fitted("Time", kTimeWidth) + " ";
    }
    return header + fitted("Verdict", kVerdictWidth);
}

void StationTable::drawLocked() {
    const int columns = standardOutputColumns();
    std::string out;
    if (columns != drawnColumns_ && drawnLines_ > 0) {
        // A terminal that changed its width may have wrapped the old table anew: its lines
        // cannot be counted any more, so the screen starts afresh.
        out += "\033[H\033[2J";
    } else if (drawnLines_ > 0) {
        out += "\033[" + std::to_string(drawnLines_) + "F";
    }
    out += "\033[J";
    for (const std::string& line : notes_) {
        out += clockText() + "  " + line + "\n";
    }
    notes_.clear();
    const Layout layout = layoutFor(columns);
    // Every line of the table is cut to the width, so each takes exactly one line on screen and
    // the next drawing goes up by the lines counted here.
    int lines = 0;
    const auto add = [&](const std::string& line, const char* style) {
        const std::string cut = fitted(line, layout.width);
        out += style != nullptr ? style + cut + kColourReset + "\n" : cut + "\n";
        ++lines;
    };
    add(headerText(layout), colour_ ? "\033[1m" : nullptr);
    for (int i = 0; i < kSlotCount; ++i) {
        // The row's cells add up to the width; the status colour's codes take no columns.
        out += rowText(i, layout, colour_) + "\n";
        ++lines;
    }
    add(countersText(), nullptr);
    drawnLines_ = lines;
    drawnColumns_ = columns;
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    dirty_ = false;
    lastDraw_ = std::chrono::steady_clock::now();
}

void StationTable::redraw() {
    std::lock_guard lock(mutex_);
    if (!terminal_) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    const bool timing = std::any_of(rows_.begin(), rows_.end(),
                                    [](const RowState& row) { return row.started.has_value(); });
    // The width is read again at each look: a resized terminal (SIGWINCH) gets a table of its
    // new width at the next drawing.
    const bool resized = standardOutputColumns() != drawnColumns_;
    if ((dirty_ || timing || resized) && now - lastDraw_ >= kRedrawInterval) {
        drawLocked();
    }
}

void StationTable::finish() {
    std::lock_guard lock(mutex_);
    if (terminal_) {
        drawLocked();
        return;
    }
    std::printf("\nSlot Drive %s %s %s Time   Verdict\n", fitted("Port", kPortWidth).c_str(),
                fitted("Flash ID", kFlashWidth).c_str(), fitted("Status", kStatusWidth).c_str());
    for (int i = 0; i < kSlotCount; ++i) {
        const RowState& row = rows_[i];
        std::printf(" %d    %c    %s %s %s %s %s\n", i + 1, row.letter != 0 ? row.letter : '-',
                    fitted(row.port, kPortWidth).c_str(), fitted(row.flash, kFlashWidth).c_str(),
                    fitted(row.status, kStatusWidth).c_str(),
                    fitted(row.elapsed.count() > 0 ? elapsedText(row.elapsed) : "", 6).c_str(),
                    row.verdict.c_str());
    }
    std::printf("%s\n", countersText().c_str());
    std::fflush(stdout);
}

}  // namespace corvid::cli
