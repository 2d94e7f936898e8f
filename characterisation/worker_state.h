#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "characterisation/flash_info.h"
#include "characterisation/pseudo_random.h"
#include "characterisation/run_clock.h"
#include "station/messages.h"
#include "station/production_settings.h"
#include "station/slot_view.h"
#include "transport/transport.h"

namespace corvid {

class CMyPage;
class OperatorPrompt;
class RegistryStore;

// What every worker of a station is given besides its device and its slot: the seams it reports
// and asks through, and the station's facts. The references must outlive the workers.
struct WorkerSeams {
    StationView& station;
    OperatorPrompt& prompt;
    RegistryStore& registry;
    const SharedMessages& messages;
    // Read live while the worker runs; the window keeps them still while iRunning > 0.
    const StationSettings& settings;
    // Every pause of the run and its seed "from the current time" come from here.
    const RunClock& clock;
    // The station folder: misc/, flash/ and log/ live here.
    std::filesystem::path home;
};

// The device state of one production worker and the operations every step uses to report. The
// production worker owns one; the characterisation steps read and fill it.
class WorkerState {
  public:
    // 'transport' reaches the worker's device and 'slot' shows its run; in a station both come
    // from the worker's lease.
    WorkerState(WorkerSeams seams, Transport& transport, SlotView& slot, char drive, int slotIndex,
                int language);
    ~WorkerState();
    WorkerState(const WorkerState&) = delete;
    WorkerState& operator=(const WorkerState&) = delete;

    const WorkerSeams seams;
    Transport& transport;
    SlotView& slot;

    // Identity of the run.
    const char sDrive;    // 'A'..'Z'
    const int iSlot;      // 0..7
    const int iLanguage;  // column of the fixed texts
    int bPass = 0;        // verdict so far
    // The step the run failed at, as its status named it when the failure came; empty while
    // nothing failed. Set by runFailed(), never read back from the slot's colours.
    std::string failedStep;
    int iProgress = 0;  // last position handed to the gauge
    DeviceHandle hDevice = kInvalidHandle;

    // Flash description and geometry.
    FLASH_INFO FlashInfo;
    std::uint8_t iFlashType = 0;
    std::uint8_t bFixedBlocks = 0;  // the BlocksPerChip override is in force
    int iSysAreaUnits = 0;          // system area in units of 4 MiB
    std::uint8_t bDegraded = 0;     // the disk gets less than the full capacity
    std::uint8_t bLogBiTable = 0;   // write the diagnostic logs

    // One byte per block of all chips (iChips * iBlocksPerChip), 0xFF usable.
    std::vector<std::uint8_t> pBlockMap;
    // The CFG being built or sent (first 512 bytes) and its block bitmap.
    CfgWorkArea Cfg;
    // One byte per page of a block, 0xFF used; all 0xFF at construction.
    std::array<std::uint8_t, kMaxPagesPerBlock> PageMap;
    std::uint8_t bPageMapValid = 0;  // PageMap holds a selection the CFG must carry

    // The CFG the device already holds, read back when no blanking check runs.
    std::uint8_t bStoredCfgValid = 0;
    std::uint8_t bStoredPageMap = 0;
    std::uint8_t iStoredFlashType = 0;
    std::array<std::uint8_t, cfg::kSize> StoredCfg{};

    // Files the run downloads.
    std::filesystem::path sProgramPath;
    std::filesystem::path sIsoPath;
    std::filesystem::path sPassPath;
    std::filesystem::path sPreferPath;

    // Working members of the blanking check in page mode; released with the worker.
    std::vector<std::uint8_t> pPageResults;  // blocks x pages per block result bytes
    std::unique_ptr<CMyPage> pMyPage;

    // Per-worker generator, 0..32767.
    PseudoRandom random;
    // Page mode of the last line of the mode ECC log; -1 before the first.
    int iLastLogMode = -1;

    // Reporting.
    void setProgress(int position);  // stores iProgress; returns once the gauge shows it
    void setStatus(const std::string& text);
    void setStatusColour(StatusColour colour);
    void stepSucceeded(int position);          // progress, then bPass = 1
    void stepFailed(const std::string& text);  // runFailed(), then the text in red
    // bPass = 0; the first failure of a run names its step: 'step', or when none is given the
    // status shown when the failure came.
    void runFailed(const std::string& step = {});
    void pause(std::chrono::milliseconds duration) const;
    void seedRandomFromTime();

    // Texts in this worker's language.
    std::string message(MessageKey key) const { return seams.messages.text(key); }
    std::string fixed(FixedText row) const;
    std::string pageModeName(int mode) const;

    // Paths in the station folder.
    std::filesystem::path flashDir() const { return seams.home / "flash"; }
    std::filesystem::path logDir() const { return seams.home / "log"; }

    // iChips * iBlocksPerChip, never negative.
    std::int64_t totalBlocks() const;

  private:
    std::string status_;  // the last status this worker showed
};

}  // namespace corvid
