#include "production/product_thread.h"

#include <algorithm>
#include <mutex>
#include <span>
#include <system_error>

#include "characterisation/blanking_check.h"
#include "characterisation/diagnostic_logs.h"
#include "characterisation/disk_layout.h"
#include "characterisation/flash_database.h"
#include "production/disk_size.h"
#include "production/file_downloads.h"
#include "production/port_location.h"
#include "production/spi_downloads.h"
#include "production/tool_values.h"
#include "station/station_folder.h"
#include "transport/vendor_commands.h"

namespace corvid {

namespace {

using std::chrono::milliseconds;

constexpr int kBlankWeight = 300;  // progress share of the blanking check
constexpr int kProgressSpan = 100;

constexpr char kPassImage[] = "PASS.IMG";
constexpr char kSuccessPicture[] = "success.bmp";
constexpr char kFailPicture[] = "fail.bmp";
constexpr char kSpiImageFile[] = "NorImage.bin";
// The red status of a run that a step's error stopped, followed by the error's own text.
constexpr char kRunStopped[] = "Run stopped: ";
constexpr char kUnknownError[] = "an error of unknown kind";

bool validIndex(std::int32_t index, std::size_t size) {
    return index >= 0 && static_cast<std::size_t>(index) < size;
}

// Runs one part of a run's end. The end must count the run and close its device whatever the
// views do; a view that throws there has no place left to show its error.
template <typename Part>
void endPart(Part&& part) noexcept {
    try {
        part();
    } catch (...) {
    }
}

}  // namespace

// Passes every change on to the slot's view and remembers what the end of the run needs to know
// and report: the status colour, the last status, the port location.
class ProductThread::TrackingSlot : public SlotView {
  public:
    explicit TrackingSlot(SlotView& view) : view_(view) {}
    void setStatus(const std::string& text) override {
        {
            std::lock_guard lock(mutex_);
            status_ = text;
        }
        view_.setStatus(text);
    }
    void setStatusColour(StatusColour colour) override {
        {
            std::lock_guard lock(mutex_);
            colour_ = colour;
        }
        view_.setStatusColour(colour);
    }
    void setDetailP(const std::string& text) override {
        {
            std::lock_guard lock(mutex_);
            detailP_ = text;
        }
        view_.setDetailP(text);
    }
    void setDetailF(const std::string& text) override { view_.setDetailF(text); }
    void setProgress(int position) override { view_.setProgress(position); }
    void setPicture(SlotPicture picture) override { view_.setPicture(picture); }
    void setGaugeVisible(bool visible) override { view_.setGaugeVisible(visible); }
    void setProgressMaximum(int maximum) override { view_.setProgressMaximum(maximum); }
    StatusColour colour() const {
        std::lock_guard lock(mutex_);
        return colour_;
    }
    std::string status() const {
        std::lock_guard lock(mutex_);
        return status_;
    }
    std::string detailP() const {
        std::lock_guard lock(mutex_);
        return detailP_;
    }

  private:
    SlotView& view_;
    mutable std::mutex mutex_;
    StatusColour colour_ = StatusColour::WindowText;
    std::string status_;
    std::string detailP_;
};

ProductThread::ProductThread(const ProductionEnvironment& environment, WorkerDevice device,
                             char drive, int slotIndex, int language,
                             std::function<char()> slotLetter)
    : env_(environment),
      volumes_(device.volumes),
      slotLetter_(std::move(slotLetter)),
      slot_(std::make_unique<TrackingSlot>(device.slot)),
      state_(environment.seams, device.transport, *slot_, drive, slotIndex, language) {}

ProductThread::~ProductThread() = default;

std::thread ProductThread::start(std::unique_ptr<ProductThread> worker) {
    return std::thread([owned = std::move(worker)]() mutable {
        owned->run();
        owned.reset();
    });
}

void ProductThread::run() {
    // The boundary of the worker's thread: an error of a step ends this run, not the station.
    try {
        sequence();
    } catch (const std::exception& error) {
        failOnError(error.what());
    } catch (...) {
        failOnError(nullptr);
    }
    end();
}

void ProductThread::sequence() {
    if (prepare() && startRun()) {
        const bool reachedResult = (spiFlash_ || nandFlash()) && downloads() && finishing();
        if (reachedResult) {
            result();
        }
    }
}

void ProductThread::failOnError(const char* what) {
    const std::string error = what != nullptr && *what != '\0' ? what : kUnknownError;
    try {
        fail(kRunStopped + error);
    } catch (...) {
        state_.runFailed();  // the slot could not show it; the verdict stands all the same
    }
}

void ProductThread::diagnose(const std::string& line) const {
    if (env_.diagnostic) {
        env_.diagnostic(line);
    }
}

bool ProductThread::fail(const std::string& text) {
    state_.stepFailed(text);
    // The slot shows the station's text; the log line also keeps what the device or the system
    // said of the command that failed, when the step failed on one.
    if (const std::string said = state_.transport.lastFailure(state_.hDevice); !said.empty()) {
        diagnose(text + " (" + said + ")");
    }
    return false;
}

bool ProductThread::pictureFileExists(const char* name) const {
    std::error_code error;
    return std::filesystem::is_regular_file(env_.seams.home / "misc" / name, error);
}

// Preparation: firmware picks, progress scale, start time, the device opened.
bool ProductThread::prepare() {
    WorkerState& w = state_;
    const StationSettings& settings = env_.seams.settings;
    slot_->setPicture(SlotPicture::None);
    w.sPassPath = env_.seams.home / "misc" / kPassImage;
    w.bLogBiTable = ReadToolValue(env_.seams.registry, "LogBiTable", 0) != 0 ? 1 : 0;
    iBlankWeight_ = settings.chkBlankCheck ? kBlankWeight : 0;

    if (settings.chkFwUpgrade) {
        const StationFolder folder(env_.seams.home);
        const auto& list = settings.preCopyList;
        const std::string cannotFind = fixed(FixedText::CannotFind);
        if (!validIndex(settings.iProgramIndex, list.size())) {
            return fail(cannotFind + "program.bin");
        }
        if (!validIndex(settings.iPreferIndex, list.size())) {
            return fail(cannotFind + "prefer.dat");
        }
        if (settings.chkISOupgrade) {
            if (!validIndex(settings.iIsoIndex, list.size())) {
                return fail(cannotFind + "Image.ISO");
            }
            w.sIsoPath = folder.resolve(list[settings.iIsoIndex]);
        }
        w.sProgramPath = folder.resolve(list[settings.iProgramIndex]);
        w.sPreferPath = folder.resolve(list[settings.iPreferIndex]);
    }

    slot_->setProgressMaximum(iBlankWeight_ + kProgressSpan);
    w.setProgress(0);
    start_ = env_.seams.clock.timeOfDay();
    w.hDevice = state_.transport.open(w.sDrive);
    if (w.hDevice == kInvalidHandle) {
        return fail("FileHandle " + failMsg());
    }
    return true;
}

// Start: port location, the run counted as running, flash count and ID.
bool ProductThread::startRun() {
    WorkerState& w = state_;
    w.Cfg.clear();
    slot_->setDetailP("");
    QueryPortLocation(w, env_.portLocations);
    env_.counters.beginRun();
    runBegun_ = true;
    slot_->setGaugeVisible(true);
    w.setProgress(2);
    slot_->setPicture(SlotPicture::None);
    w.setStatus(msg(MessageKey::FILEWriteStr) + "...");
    w.setStatusColour(StatusColour::WindowText);

    w.FlashInfo.iChips = getFlashCount(w.transport, w.hDevice);
    std::uint8_t maker = 0;
    std::uint32_t flashId = 0;
    const bool idRead = readFlashId(w.transport, w.hDevice, maker, flashId);
    w.FlashInfo.iMaker = maker;
    w.FlashInfo.iFlashId = flashId;
    if (!idRead) {
        return fail(msg(MessageKey::FlashCheckStr) + " " + failMsg());
    }
    spiFlash_ = maker == kSpiFlashMaker && flashId == kSpiFlashId;
    if (!spiFlash_) {
        return true;
    }
    slot_->setDetailF("SPI Flash");
    w.setStatus(msg(MessageKey::BadBlockStr) + "...");
    w.setStatusColour(StatusColour::WindowText);
    if (!spiFlashCheck(w.transport, w.hDevice)) {
        return fail(msg(MessageKey::BadBlockStr) + " " + failMsg());
    }
    w.stepSucceeded(10);
    return true;
}

// NAND flash: description or created CFG, system area, bad-block information, CFG write, FSM init.
bool ProductThread::nandFlash() {
    WorkerState& w = state_;
    const std::string fileName = lookUpFlashFile(w);
    const bool described = fileName != kNoFlashFile;
    std::error_code unread;
    if (!described && (std::filesystem::directory_iterator(w.flashDir(), unread), unread)) {
        diagnose("The flash descriptions in " + w.flashDir().string() + " cannot be read (" +
                 unread.message() + "); the CFG is made from the flash ID and the name is " +
                 kDefaultFlashName + ".");
    }
    if (described) {
        flashFile_ = w.flashDir() / fileName;
        const std::string embedded = readEmbeddedName(flashFile_);
        if (embedded != kDefaultFlashName) {
            w.FlashInfo.sFlashName = embedded;
        }
    }
    slot_->setDetailF(
        formatFlashId(static_cast<std::uint8_t>(w.FlashInfo.iMaker), w.FlashInfo.iFlashId) + " " +
        w.FlashInfo.sFlashName);

    if (described) {
        if (!bSendFileChunks(w.transport, w.hDevice, flashFile_, SUB_SCSI_OP_WRITE_CFG)) {
            return fail(msg(MessageKey::FILEWriteStr) + " " + failMsg());
        }
        w.stepSucceeded(5);
        if (!parseFlashFile(w, flashFile_)) {
            return fail(fixed(FixedText::ParseCfg) + failMsg());
        }
    } else {
        if (!createCfg(w)) {
            return fail(fixed(FixedText::CreateConfig) + failMsg());
        }
        if (!checkAndParseCfg(w)) {
            return fail(fixed(FixedText::ParseCfg) + failMsg());
        }
        if (!writeCfgBlock(w.transport, w.hDevice, std::span(w.Cfg.cfg.data(), cfg::kSize))) {
            return fail(msg(MessageKey::FILEWriteStr) + " " + failMsg());
        }
        w.setProgress(5);
    }

    w.pause(milliseconds(100));
    w.FlashInfo.iBlockSize = w.FlashInfo.iPageSize * w.FlashInfo.iPagesPerBlock;
    chooseSystemArea(w);
    if (!systemAreaFits(w)) {
        return false;  // before the blanking check, which would only be lost time
    }
    w.pause(milliseconds(100));

    // The block bitmap area and the CFG's 16-bit block numbers hold at most this many blocks; a
    // device that claims more chips than that cannot be described.
    if (w.totalBlocks() > kMaxBlocks) {
        return fail(fixed(FixedText::ParseCfg) + failMsg());
    }
    w.pBlockMap.assign(static_cast<std::size_t>(w.totalBlocks()), kUnusable);

    if (!badBlockInformation()) {
        return false;
    }

    w.pause(milliseconds(100));
    if (w.bLogBiTable) {
        WriteBadBlockLog(w, badBlockLogName(w.iSlot));
    }
    w.setStatusColour(StatusColour::WindowText);
    w.setStatus(fixed(FixedText::WriteCfg));
    if (!WriteCfg(w, env_.seams.settings.chkFwUpgrade)) {
        w.runFailed();
        return false;
    }
    w.setStatus(fixed(FixedText::FsmInit));
    if (!fsmInit(w.transport, w.hDevice)) {
        return fail(fixed(FixedText::FsmInit) + failMsg());
    }
    return true;
}

bool ProductThread::badBlockInformation() {
    WorkerState& w = state_;
    if (env_.seams.settings.chkBlankCheck) {
        w.bPageMapValid = env_.seams.settings.record.PageMode ? 1 : 0;
        if (!BlankingCheck(w, 5, iBlankWeight_ + 5)) {
            w.runFailed();  // the check has set its own text
            return false;
        }
        w.setStatusColour(StatusColour::WindowText);
        w.stepSucceeded(iBlankWeight_ + 5);
        return true;
    }
    if (!badBlockInformationWithoutBlankingCheck()) {
        return false;
    }
    w.setProgress(iBlankWeight_ + 10);
    return true;
}

// The device keeps the bad-block knowledge of an earlier production: its stored CFG and block map.
bool ProductThread::storedLayoutChanged() const {
    return state_.bStoredCfgValid != 0 && state_.iStoredFlashType != state_.iFlashType;
}

bool ProductThread::badBlockInformationWithoutBlankingCheck() {
    WorkerState& w = state_;
    const std::string badBlockStatus = msg(MessageKey::BadBlockStr) + "...";
    w.setStatus(badBlockStatus);
    if (w.bFixedBlocks) {
        std::fill(w.pBlockMap.begin(), w.pBlockMap.end(), kUsable);
        w.setStatus(badBlockStatus);
        w.setStatusColour(StatusColour::WindowText);
        return true;
    }

    const bool cfgRead =
        readCfg(w.transport, w.hDevice, std::span<std::uint8_t, cfg::kSize>(w.StoredCfg));
    const bool valid = takeStoredCfg(w, cfgRead);
    const bool layoutChanged = storedLayoutChanged();

    if (layoutChanged) {
        if (!writeCfgBlock(w.transport, w.hDevice, std::span<const std::uint8_t>(w.StoredCfg))) {
            return fail(msg(MessageKey::FILEWriteStr) + " " + failMsg());
        }
        w.stepSucceeded(5);
    }

    std::size_t bad = 0;
    if (!takeStoredBlockMap(w, bad)) {
        return fail(msg(MessageKey::BadBlockStr) + failMsg());
    }
    const std::size_t total = w.pBlockMap.size();
    // A device without blocks has no rate; the CFG write finds it has no good block.
    const unsigned badRate = total == 0 ? 0u : static_cast<unsigned>(bad * 100 / total);

    if (layoutChanged) {
        if (flashFile_.empty() ||
            !bSendFileChunks(w.transport, w.hDevice, flashFile_, SUB_SCSI_OP_WRITE_CFG)) {
            return fail(msg(MessageKey::FILEWriteStr) + " " + failMsg());
        }
        w.stepSucceeded(5);
    }

    w.pause(milliseconds(100));
    if (!valid && static_cast<unsigned>(env_.seams.settings.record.iBadThreshold) < badRate) {
        return fail(msg(MessageKey::BadBlockWarningStr));
    }
    w.setStatus(badBlockStatus);
    w.setStatusColour(StatusColour::WindowText);
    return true;
}

bool ProductThread::stage(MessageKey message, const std::function<bool()>& action, int position,
                          int pauseMs) {
    WorkerState& w = state_;
    w.setStatus(msg(message) + "...");
    w.setStatusColour(StatusColour::WindowText);
    if (!action()) {
        return fail(msg(message) + " " + failMsg());
    }
    w.stepSucceeded(position);
    w.pause(milliseconds(pauseMs));
    return true;
}

bool ProductThread::downloadFile(MessageKey setup, MessageKey write, MessageKey end,
                                 const std::filesystem::path& file, const int positions[3],
                                 const int pausesMs[3]) {
    WorkerState& w = state_;
    return stage(
               setup, [&] { return bFileWriteSetup(w.transport, w.hDevice, file); }, positions[0],
               pausesMs[0]) &&
           stage(
               write,
               [&] {
                   return bSendFileChunks(w.transport, w.hDevice, file, SUB_SCSI_OP_FILE_WRITE);
               },
               positions[1], pausesMs[1]) &&
           stage(
               end, [&] { return bFileWriteEnd(w.transport, w.hDevice); }, positions[2],
               pausesMs[2]);
}

// Firmware, prefer.dat, SPI files, CD-ROM image, PASS image, parity check, multiplier, start disk.
bool ProductThread::downloads() {
    WorkerState& w = state_;
    const StationSettings& settings = env_.seams.settings;
    const int W = iBlankWeight_;
    if (!settings.chkFwUpgrade) {
        w.setProgress(W + kProgressSpan);
        w.bPass = 1;
        return true;
    }
    w.pause(milliseconds(100));

    const int programPositions[3] = {W + 16, W + 20, W + 20};
    const int programPauses[3] = {200, 100, 100};
    if (!downloadFile(MessageKey::ProgramWriteSetupStr, MessageKey::ProgramWriteStr,
                      MessageKey::ProgramWriteEndStr, w.sProgramPath, programPositions,
                      programPauses)) {
        return false;
    }
    // The positions for an enabled "ISO upgrade" box; the station never disables that box on its
    // own, only its whole group while devices run.
    const int preferPositions[3] = {W + 25, W + 30, W + 35};
    const int preferPauses[3] = {200, 200, 100};
    if (!downloadFile(MessageKey::PreferWriteSetupStr, MessageKey::PreferWriteStr,
                      MessageKey::PreferWriteEndStr, w.sPreferPath, preferPositions,
                      preferPauses)) {
        return false;
    }
    if (spiFlash_ && !settings.record.SpiFileList.empty() && !bWriteSpiFiles(w)) {
        return fail(fixed(FixedText::SpiHiddenFilesWrite) + failMsg());
    }
    if (settings.chkISOupgrade) {
        const int isoPositions[3] = {W + 40, W + 45, W + 50};
        const int isoPauses[3] = {100, 200, 200};
        if (!downloadFile(MessageKey::ISOWriteSetupStr, MessageKey::ISOWriteStr,
                          MessageKey::ISOWriteEndStr, w.sIsoPath, isoPositions, isoPauses)) {
            return false;
        }
    }
    if (settings.record.eDeviceFeature == DeviceFeature::Encrypted) {
        const int passPositions[3] = {W + 55, W + 65, W + 70};
        const int passPauses[3] = {100, 200, 200};
        if (!downloadFile(MessageKey::PassWriteSetupStr, MessageKey::PassWriteStr,
                          MessageKey::PassWriteEndStr, w.sPassPath, passPositions, passPauses)) {
            return false;
        }
    }
    if (settings.chkParityCheck) {
        w.setStatus(msg(MessageKey::FwParityCheckStr) + "...");
        w.setStatusColour(StatusColour::WindowText);
        if (!bFwParityCheck(w.transport, w.hDevice)) {
            return fail(msg(MessageKey::FwParityCheckStr) + " " + failMsg());
        }
        w.stepSucceeded(W + 72);
    }
    sendCapMultiplier(w);  // its result does not decide the run

    w.setStatus(fixed(FixedText::StartDisk));
    w.setStatusColour(StatusColour::WindowText);
    if (!startDisk(w.transport, w.hDevice)) {
        return fail(fixed(FixedText::StartDisk) + failMsg());
    }
    w.stepSucceeded(W + 75);
    return true;
}

bool ProductThread::finishing() {
    WorkerState& w = state_;
    if (!env_.seams.settings.chkFwUpgrade) {
        return true;  // no download, no disk finishing
    }
    if (!spiFlash_) {
        return diskFinishing();
    }
    if (w.iSlot == 0 && env_.seams.settings.record.SaveSpiImage) {
        w.setStatus(fixed(FixedText::SaveFlashImage));
        if (!bSaveSpiImage(w, env_.seams.home / kSpiImageFile)) {
            return fail(fixed(FixedText::SaveFlashImage) + failMsg());
        }
    }
    w.bPass = 1;
    return true;
}

void ProductThread::result() {
    WorkerState& w = state_;
    w.pause(milliseconds(100));
    w.setProgress(iBlankWeight_ + kProgressSpan);
    const int elapsed = elapsedSeconds(start_, env_.seams.clock.timeOfDay());
    const std::string sec = fixed(FixedText::Sec);
    // "%d/%d, %dMB, %d%s" with the blanking check, "%dMB, %d%s" without.
    std::string line = std::to_string(diskSizeMB_) + "MB, " + std::to_string(elapsed) + sec;
    if (env_.seams.settings.chkBlankCheck) {
        line = std::to_string(w.FlashInfo.iBadBlocks) + "/" + std::to_string(w.totalBlocks()) +
               ", " + line;
    }
    slot_->setDetailF(line);
    std::string success = msg(MessageKey::SuccessMsg);
    if (w.bDegraded) {
        success += "(" + fixed(FixedText::Degrade) + ")";
    }
    w.setStatus(success);
    w.setStatusColour(StatusColour::Blue);
    if (slotLetter_() != 0 && pictureFileExists(kSuccessPicture)) {
        slot_->setPicture(SlotPicture::Pass);
    }
}

void ProductThread::end() {
    // Taken before the end's own changes, which may put "Waiting device..." over the last status.
    RunOutcome ended;
    endPart([this, &ended] { ended = outcome(); });
    endPart([this] { showVerdictPicture(); });
    endPart([this] { env_.counters.countResult(runBegun_, state_.bPass == 1); });
    endPart([this] { releaseDevice(); });
    endPart([this] { resetFreedSlot(); });
    if (endHandler_) {
        endPart([this, &ended] { endHandler_(ended); });
    }
}

RunOutcome ProductThread::outcome() const {
    const WorkerState& w = state_;
    RunOutcome outcome;
    outcome.drive = w.sDrive;
    outcome.slotIndex = w.iSlot;
    outcome.passed = w.bPass == 1;
    outcome.runBegun = runBegun_;
    outcome.finalStatus = slot_->status();
    if (!outcome.passed) {
        outcome.failedStep = w.failedStep;
    }
    outcome.portLocation = slot_->detailP();
    outcome.flashName = w.FlashInfo.sFlashName;
    outcome.chips = w.FlashInfo.iChips;
    outcome.totalBlocks = w.totalBlocks();
    outcome.goodBlocks = std::max<std::int64_t>(0, outcome.totalBlocks - w.FlashInfo.iBadBlocks);
    outcome.diskSizeMB = diskSizeMB_;
    outcome.firmwareFile = w.sProgramPath;
    return outcome;
}

void ProductThread::showVerdictPicture() {
    WorkerState& w = state_;
    if (w.bPass != 0) {
        return;
    }
    if (slotLetter_() != 0 && pictureFileExists(kFailPicture)) {
        slot_->setPicture(SlotPicture::Fail);
    }
    if (slotLetter_() != w.sDrive && slot_->colour() == StatusColour::Red) {
        w.setStatusColour(StatusColour::WindowText);
        w.setStatus(msg(MessageKey::WaitDeviceMsg));
    }
}

void ProductThread::releaseDevice() {
    WorkerState& w = state_;
    w.pBlockMap.clear();
    w.pBlockMap.shrink_to_fit();
    if (w.hDevice != kInvalidHandle) {
        const DeviceHandle handle = w.hDevice;
        w.hDevice = kInvalidHandle;
        w.transport.close(handle);
    }
}

// The device went during the run: the worker leaves its slot waiting for the next one.
void ProductThread::resetFreedSlot() {
    WorkerState& w = state_;
    if (slotLetter_() != 0) {
        return;
    }
    w.setStatusColour(StatusColour::WindowText);
    slot_->setGaugeVisible(false);
    w.setProgress(0);
    slot_->setPicture(SlotPicture::None);
    slot_->setDetailP("");
    slot_->setDetailF("");
    w.setStatus(msg(MessageKey::WaitDeviceMsg));
}

}  // namespace corvid
