#pragma once

// The slots of `corvid-cli station` on the command line. On a terminal a live table, redrawn by
// the main loop at most ten times a second, with the lines of events above it; anywhere else one
// timestamped line per change.

#include <array>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "station/operator_prompt.h"
#include "station/slot_view.h"
#include "station_control/station_controller.h"
#include "station_control/station_listener.h"

namespace corvid::cli {

class StationTable : public StationView, public StationListener, public OperatorPrompt {
  public:
    explicit StationTable(bool terminal);
    ~StationTable() override;

    SlotView& slot(int index);
    std::array<SlotView*, kSlotCount> slotViews();

    // A line of its own above the table (or in the log).
    void note(const std::string& line);

    // Draws the table when something changed and a tenth of a second has passed since the last
    // drawing. Only on a terminal; call it from one thread.
    void redraw();
    // The table as it ends, drawn once more on a terminal or printed whole in a log.
    void finish();

    // StationView
    void showCounters(int total, int success, int fail) override;
    void setSettingGroupsEnabled(bool) override {}

    // StationListener
    void deviceSkipped(char letter, ArrivalSkip why) override;
    void deviceFailed(char letter, const std::string& why) override;
    void slotClaimed(int slot, char letter) override;
    void fsmFailed(int slot, char letter) override;
    void runStarted(int slot, char letter) override;
    void runEnded(const EndedRun& run) override;
    void slotFreed(int slot, char letter) override;

    // OperatorPrompt: the limit box and a worker's message box become a line; OK is the answer.
    PromptAnswer show(const std::string& text, const std::string& caption, PromptIcon icon,
                      PromptButtons buttons) override;

    int endedRuns() const;
    int failedRuns() const;

  private:
    class Row;
    friend class Row;

    struct RowState {
        char letter = 0;
        std::string port;
        std::string flash;
        std::string status;
        StatusColour colour = StatusColour::WindowText;
        int progress = 0;
        int maximum = 100;
        bool gauge = false;
        std::optional<std::chrono::steady_clock::time_point> started;
        std::chrono::steady_clock::duration elapsed{};
        std::string verdict;  // "pass", "fail" or empty
    };

    // The columns a terminal of some width shows: each row fits in 'width' columns.
    struct Layout {
        int width = 0;
        bool port = true;
        bool flash = true;
        bool progress = true;  // the drawn bar; without it the percentage alone
        bool time = true;
        int status = 0;
    };
    static Layout layoutFor(int columns);
    static std::string headerText(const Layout& layout);

    // Called by the rows with the mutex held: a change of one row.
    void changed(int index, const std::string& what);
    std::string rowText(int index, const Layout& layout, bool colour) const;
    std::string countersText() const;
    void logLine(const std::string& text);
    void drawLocked();

    const bool terminal_;
    const bool colour_;  // colours are sent (a terminal that wants them)
    mutable std::mutex mutex_;
    std::array<RowState, kSlotCount> rows_;
    std::vector<std::unique_ptr<Row>> views_;
    std::vector<std::string> notes_;  // waiting to be printed above the table
    int total_ = 0, success_ = 0, fail_ = 0, running_ = 0;
    int ended_ = 0, failed_ = 0;
    bool dirty_ = true;
    int drawnLines_ = 0;    // lines of the table on screen, counted as drawn
    int drawnColumns_ = 0;  // the terminal's width at that drawing
    std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace corvid::cli
