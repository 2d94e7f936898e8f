#pragma once

// The worker's steps from the flash ID to the written CFG, on a worker whose device is the given
// transport: the description file or the CFG built from the ID, the geometry checks, the bad-block
// knowledge (the blanking check, or the CFG and block map the device kept) and the CFG write.
// The device is handed the description or the CFG first, as the station does. The worker_cfg
// target runs them on replies from its input; the seed maker records a simulated device's replies
// with them.
//
// Input: a header (CfgRunHeader), then 512 bytes that are the description file, or with RawCfg the
// CFG itself, then the device's replies (replay_transport.h).

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <span>
#include <string>
#include <utility>

#include "characterisation/blanking_check.h"
#include "characterisation/diagnostic_logs.h"
#include "characterisation/disk_layout.h"
#include "characterisation/flash_database.h"
#include "characterisation/run_clock.h"
#include "characterisation/worker_state.h"
#include "platform/registry_store.h"
#include "station/messages.h"
#include "station/operator_prompt.h"
#include "station/production_settings.h"
#include "station/slot_view.h"
#include "station/station_registry.h"
#include "transport/vendor_commands.h"

namespace corvid::fuzz {

enum CfgRunFlags : std::uint8_t {
    Described = 1,         // the 512 bytes are a description file in flash/
    BlankCheck = 2,        // scan the blocks rather than take what the device kept
    PageScan = 4,          // the special (page) scan
    WriteLogs = 8,         // the diagnostic logs
    FirmwareUpgrade = 16,  // the CFG signature without the X mark
    BlocksOverride = 32,   // the BlocksPerChip service value is set
    RawCfg = 64,           // the 512 bytes are the CFG, not one built from the flash ID
};

#pragma pack(push, 1)
struct CfgRunHeader {
    std::uint8_t flags;       // CfgRunFlags
    std::uint8_t flashId[5];  // maker, then the four ID bytes
    std::uint8_t chips;
    std::uint8_t scanLevel;         // taken modulo the five levels
    std::uint8_t eccLevel;          // taken modulo 8
    std::uint8_t pageModeSel;       // taken modulo 8
    std::uint8_t blocksPerChip[2];  // little-endian, with BlocksOverride
};
static_assert(sizeof(CfgRunHeader) == 12);
#pragma pack(pop)

inline constexpr std::size_t kCfgRunFileSize = 512;

// An operator who cancels every question, a registry in memory, and a clock that never waits
// and seeds every run alike, so an input replays the same way.
class RefusingPrompt : public OperatorPrompt {
  public:
    PromptAnswer show(const std::string&, const std::string&, PromptIcon, PromptButtons) override {
        return PromptAnswer::Cancel;
    }
};
class MemoryRegistry : public RegistryStore {
  public:
    int readInt(const std::string& key, const std::string& name, int fallback) const override {
        const auto found = ints_.find(key + "\\" + name);
        return found == ints_.end() ? fallback : found->second;
    }
    std::string readString(const std::string& key, const std::string& name,
                           const std::string& fallback) const override {
        const auto found = strings_.find(key + "\\" + name);
        return found == strings_.end() ? fallback : found->second;
    }
    void writeInt(const std::string& key, const std::string& name, int value) override {
        ints_[key + "\\" + name] = value;
    }
    void writeString(const std::string& key, const std::string& name,
                     const std::string& value) override {
        strings_[key + "\\" + name] = value;
    }

  private:
    std::map<std::string, int> ints_;
    std::map<std::string, std::string> strings_;
};
class StillClock : public RunClock {
  public:
    void pause(std::chrono::milliseconds) const override {}
    TimeOfDay timeOfDay() const override { return {}; }
    std::uint32_t timeSeed() const override { return 20261211u; }
};

// Runs the steps; 'home' is a station folder with flash/ and log/. The header and file are
// complete (callers check the input's length).
inline void runCfgSteps(Transport& transport, const std::filesystem::path& home,
                        const CfgRunHeader& header, std::span<const std::uint8_t> file) {
    UnseenSlot slot;
    UnseenStation station;
    RefusingPrompt prompt;
    MemoryRegistry registry;
    if ((header.flags & BlocksOverride) != 0) {
        registry.writeInt(kToolRegistryKey, "BlocksPerChip",
                          header.blocksPerChip[0] | header.blocksPerChip[1] << 8);
    }
    const SharedMessages messages;
    StationSettings settings;
    settings.chkBlankCheck = (header.flags & BlankCheck) != 0;
    settings.record.PageMode = (header.flags & PageScan) != 0;
    settings.record.iScanLevel = header.scanLevel % 5;
    settings.record.iEccLevel = header.eccLevel % 8;
    settings.record.PageModeSel = header.pageModeSel % 8;

    const StillClock clock;
    WorkerState w(WorkerSeams{station, prompt, registry, messages, settings, clock, home},
                  transport, slot, 'E', 0, kLanguageEnglish);
    w.hDevice = transport.open('E');
    w.bLogBiTable = (header.flags & WriteLogs) != 0 ? 1 : 0;
    w.FlashInfo.iMaker = header.flashId[0];
    w.FlashInfo.iFlashId = (std::uint32_t{header.flashId[1]} << 24) |
                           (std::uint32_t{header.flashId[2]} << 16) |
                           (std::uint32_t{header.flashId[3]} << 8) | header.flashId[4];
    w.FlashInfo.iChips = header.chips;

    if ((header.flags & Described) != 0) {
        const auto description = w.flashDir() / "described.txt";
        std::filesystem::create_directories(w.flashDir());
        {
            std::ofstream out(description, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(file.data()),
                      static_cast<std::streamsize>(file.size()));
        }
        (void)readEmbeddedName(description);
        // The file fits one chunk of the station's file download.
        if (!writeCfgBlock(w.transport, w.hDevice, file) || !parseFlashFile(w, description)) {
            return;
        }
    } else {
        if ((header.flags & RawCfg) != 0) {
            std::copy(file.begin(), file.end(), w.Cfg.cfg.begin());
        } else if (!createCfg(w)) {
            return;
        }
        if (!checkAndParseCfg(w) ||
            !writeCfgBlock(w.transport, w.hDevice, std::span(w.Cfg.cfg.data(), cfg::kSize))) {
            return;
        }
    }
    w.FlashInfo.iBlockSize = w.FlashInfo.iPageSize * w.FlashInfo.iPagesPerBlock;
    chooseSystemArea(w);
    if (!systemAreaFits(w) || w.totalBlocks() > kMaxBlocks) {
        return;
    }
    w.pBlockMap.assign(static_cast<std::size_t>(w.totalBlocks()), kUnusable);

    if (settings.chkBlankCheck) {
        w.bPageMapValid = settings.record.PageMode ? 1 : 0;
        if (BlankingCheck(w, 5, 105) == 0) {
            return;
        }
    } else if (w.bFixedBlocks != 0) {
        std::fill(w.pBlockMap.begin(), w.pBlockMap.end(), kUsable);
    } else {
        const bool read =
            readCfg(w.transport, w.hDevice, std::span<std::uint8_t, cfg::kSize>(w.StoredCfg));
        (void)takeStoredCfg(w, read);
        std::size_t bad = 0;
        if (!takeStoredBlockMap(w, bad)) {
            return;
        }
    }
    if (w.bLogBiTable != 0) {
        (void)WriteBadBlockLog(w, badBlockLogName(w.iSlot));
    }
    (void)WriteCfg(w, (header.flags & FirmwareUpgrade) != 0);
}

}  // namespace corvid::fuzz
