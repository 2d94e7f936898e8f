#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "characterisation/run_clock.h"
#include "characterisation/worker_state.h"
#include "platform/volume_tools.h"
#include "production/disk_finishing.h"
#include "production/station_counters.h"

namespace corvid {

class PortLocationSource;

// What every worker of a station shares. The references must outlive the workers.
struct ProductionEnvironment {
    WorkerSeams seams;
    StationCounters& counters;
    // Where the port location comes from when misc/ holds no port-location program; may be null.
    const PortLocationSource* portLocations = nullptr;
    // Where the reasons behind a failed disk-finishing step go; may be empty.
    DiagnosticSink diagnostic{};
};

// The device of one worker and the slot that shows its run. In a station the worker's lease hands
// out all three, so a worker whose device went reaches nothing more.
struct WorkerDevice {
    Transport& transport;
    // Format, label, copies and check of the disk the device shows after "Start Disk".
    VolumeTools& volumes;
    SlotView& slot;
};

// What a run came to, handed to the station when its worker ends.
struct RunOutcome {
    char drive = 0;
    int slotIndex = 0;
    bool passed = false;
    bool runBegun = false;     // the run got as far as counting itself as running
    std::string finalStatus;   // the slot's last status text
    std::string failedStep;    // the step the worker failed at; empty on pass
    std::string portLocation;  // detail text P as the run showed it
    std::string flashName;
    int chips = 0;
    std::int64_t goodBlocks = 0;
    std::int64_t totalBlocks = 0;
    int diskSizeMB = 0;
    std::filesystem::path firmwareFile;  // empty without firmware upgrade
};

// The worker of one device: runs the production sequence on it once, from opening the device to
// the pass or fail display, and reports only through its slot's view and the station's view.
class ProductThread {
  public:
    // 'slotLetter' reads the drive letter the slot holds now (its cLetter; 0 when free), so the
    // worker learns at its end whether its device is still there.
    ProductThread(const ProductionEnvironment& environment, WorkerDevice device, char drive,
                  int slotIndex, int language, std::function<char()> slotLetter);
    ~ProductThread();
    ProductThread(const ProductThread&) = delete;
    ProductThread& operator=(const ProductThread&) = delete;

    // The production sequence, once, on the calling thread. Nothing escapes it: a step that
    // throws ends the run failed, with the error in red in the slot, and the run is counted.
    void run();

    // Called last when the run has ended, on the worker's thread; must not throw.
    void setEndHandler(std::function<void(const RunOutcome&)> handler) {
        endHandler_ = std::move(handler);
    }

    // Runs the worker on a thread of its own and destroys it when its run ends. The caller may
    // join the thread or detach it.
    static std::thread start(std::unique_ptr<ProductThread> worker);

    // The device state; read it only once the run has ended.
    const WorkerState& state() const { return state_; }

  private:
    class TrackingSlot;

    void sequence();
    void failOnError(const char* what);
    bool prepare();
    bool startRun();
    bool nandFlash();
    bool badBlockInformation();
    bool badBlockInformationWithoutBlankingCheck();
    // The device keeps a valid CFG of another flash type than its own now: its flash is laid out
    // anew, and what its disk held is gone.
    bool storedLayoutChanged() const;
    bool downloads();
    bool downloadFile(MessageKey setup, MessageKey write, MessageKey end,
                      const std::filesystem::path& file, const int positions[3],
                      const int pausesMs[3]);
    bool stage(MessageKey message, const std::function<bool()>& action, int position, int pauseMs);
    bool finishing();
    // The disk finishing (product_thread_finishing.cpp).
    bool diskFinishing();
    void closeDevice();
    bool reopenDevice();
    bool normalDisk();
    bool formatAndLabel(const std::string& label);
    bool setLabelWhenDifferent(const std::string& label);
    bool copyList(const FileList& list, const std::vector<std::int32_t>& skipped,
                  const std::string& status, const std::string& failure);
    bool secondPart();
    bool secondPartFromImage();
    bool secondPartFromFiles();
    bool checkDisk();
    std::string labelBytes(const std::string& label) const;
    std::optional<CodePage> labelCodePage() const;
    bool refreshDisk();
    void result();
    void end();
    void showVerdictPicture();
    void releaseDevice();
    void resetFreedSlot();
    RunOutcome outcome() const;

    bool fail(const std::string& text);
    // One line for the station's log (standard error), beside what the slot shows.
    void diagnose(const std::string& line) const;
    std::string msg(MessageKey key) const { return state_.message(key); }
    std::string fixed(FixedText row) const { return state_.fixed(row); }
    std::string failMsg() const { return msg(MessageKey::FailMsg); }
    bool pictureFileExists(const char* name) const;

    const ProductionEnvironment env_;  // a copy: the station may hand over a temporary
    VolumeTools& volumes_;
    std::function<char()> slotLetter_;
    std::function<void(const RunOutcome&)> endHandler_;
    std::unique_ptr<TrackingSlot> slot_;
    WorkerState state_;

    int iBlankWeight_ = 0;
    bool spiFlash_ = false;
    bool runBegun_ = false;  // iRunning was raised by this run
    TimeOfDay start_;
    std::filesystem::path flashFile_;  // the flash description sent to the device, if any
    int diskSizeMB_ = 0;               // of the result line; 0 when the run measured no disk
};

}  // namespace corvid
