#pragma once

// The model of one ZQL5Vxx controller with its flash: it answers every command of the
// controller's command set with the status byte and data the station relies on, keeps its
// flash, downloads and disk parts in a state folder, and refuses what a real controller would
// refuse (unknown sub-code, wrong length, an address beyond the flash or the disk).
//
// Not thread-safe: the device that owns it runs one command at a time, as the hardware does.

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "devsim/command_set.h"
#include "devsim/flash_store.h"
#include "devsim/profile.h"

namespace corvid::devsim {

// One command as it arrives from the station.
struct Command {
    std::span<const std::uint8_t> cdb;  // cdbLength bytes
    simlink::WireDirection direction = simlink::WireDirection::In;
    std::uint32_t transferLength = 0;
    std::span<const std::uint8_t> dataOut;  // transferLength bytes for data-out
};

struct Outcome {
    simlink::WireStatus status =
        simlink::WireStatus::Good;   // CheckCondition: refused, the call fails
    std::vector<std::uint8_t> data;  // data-in, at most the transfer length
    std::string note;                // why it was refused or failed, for the trace
    bool leaves = false;             // the device resets: it leaves and comes back
};

// Bytes of the CFG that the controller reads (multi-byte numbers big-endian).
namespace cfg {
inline constexpr std::size_t kSize = 512;
inline constexpr std::size_t kSignature = 0;    // "5VX6" or "5V16"
inline constexpr std::size_t kSectorFlag = 64;  // bit 0: 1024-byte sectors
inline constexpr std::size_t kChecksum = 80;    // 16-bit sum of bytes 82 to 254
inline constexpr std::size_t kChecksumFirst = 82;
inline constexpr std::size_t kChecksumLast = 254;
inline constexpr std::size_t kChips = 82;
inline constexpr std::size_t kLog2PageSize = 84;
inline constexpr std::size_t kLog2BlockSize = 85;
inline constexpr std::size_t kPageMapPresent = 132;
inline constexpr std::size_t kSysAreaUnits = 133;  // units of 4 MiB
inline constexpr std::size_t kSplitRatio = 134;    // second part's share x 256
inline constexpr std::size_t kPageMap = 256;       // 128 bytes, bit set: page not used
inline constexpr std::size_t kPageMapBytes = 128;
inline constexpr std::uint64_t kSysAreaUnit = 4u << 20;
}  // namespace cfg

// The disk the controller shows after SUB_SCSI_OP_START_DISK.
struct DiskLayout {
    std::uint32_t sectorSize = 512;
    std::array<std::uint64_t, 2> sectors{};  // normal part, hidden part
};

class Controller {
  public:
    // Opens (or creates) the device's state folder. Throws std::runtime_error naming the folder
    // when it holds a different device or cannot be used.
    Controller(DeviceProfile profile, std::filesystem::path stateDir);
    ~Controller();

    Outcome execute(const Command& command);

    // Power comes on (plug-in, or the return after a reset): memory contents are lost, the
    // normal disk part is shown, and a device that needs a reset needs it again unless this is
    // the return from one.
    void powerUp(bool afterReset);

    const DeviceProfile& profile() const { return profile_; }
    const std::filesystem::path& stateDir() const { return stateDir_; }
    // The backing file of the disk part shown now, if a disk is shown. A device that does not
    // answer (!answering) or whose disk is unreadable shows a folder, which no tool takes for a
    // disk: the host's tools cannot read it either.
    std::optional<std::filesystem::path> shownVolume(bool answering = true) const;
    // The logical sector size of the disk shown, if a disk is shown.
    std::optional<std::uint32_t> shownSectorSize() const;
    // The sector count of the disk shown, if a disk is shown.
    std::optional<std::uint64_t> shownSectors() const;
    // "normal part, 250 MiB" / "no disk", for listings.
    std::string diskSummary() const;

  private:
    struct Download;
    struct StoredSystem;

    Outcome dispatch(const CommandShape& shape, const Command& command);
    Outcome vendor(const CommandShape& shape, const Command& command);
    Outcome standard(const CommandShape& shape, const Command& command);

    Outcome writeCfg(const Command& command);
    Outcome fsmWriteSetup(std::uint32_t size);
    Outcome fsmWrite(const Command& command);
    Outcome fsmChecksum(std::uint16_t sum);
    Outcome readCfg() const;
    Outcome setSysAreaSize(std::uint8_t size);
    Outcome ramCfgReply() const;
    Outcome setCapMultiplier(std::uint8_t index);
    Outcome switchHiddenDisk();
    Outcome fsmInit() const;
    Outcome sendPageTable(const CommandShape& shape, const Command& command);
    Outcome scanBlock(std::span<const std::uint8_t> cdb, std::uint32_t transferLength);
    Outcome eraseBlock(std::span<const std::uint8_t> cdb);
    Outcome pageCommand(const CommandShape& shape, const Command& command);
    Outcome readBlockMap(std::span<const std::uint8_t> cdb, std::uint32_t transferLength);
    Outcome startDisk();
    Outcome fileWriteSetup(std::uint32_t size);
    Outcome fileWrite(std::span<const std::uint8_t> chunk);
    Outcome fileWriteEnd();
    Outcome fwParityCheck();
    Outcome spiTransfer(const CommandShape& shape, const Command& command);
    Outcome inquiry(std::span<const std::uint8_t> cdb, std::uint32_t transferLength);
    Outcome diskTransfer(const CommandShape& shape, const Command& command);

    std::optional<StoredSystem> findStoredSystem(std::string& why) const;
    std::optional<DiskLayout> layoutFromFlash(std::string& why) const;
    void openDisk(const DiskLayout& layout);
    void closeDisk();
    void flashChanged();
    void saveState();

    DeviceProfile profile_;
    std::filesystem::path stateDir_;
    std::vector<bool> badBlocks_;
    std::unique_ptr<NandArray> nand_;
    std::unique_ptr<ErasedFile> serialFlash_;

    // Kept in the state folder.
    bool diskStarted_ = false;
    std::uint8_t capMultiplier_ = 0;  // index: the capacity is multiplied by 2^index

    // Lost at power-up, as the controller's RAM.
    bool needsReset_ = false;
    struct Fsm {
        bool receiving = false;
        std::uint32_t size = 0;
        std::uint32_t received = 0;
        std::uint16_t sum = 0;
        bool loaded = false;
    } fsm_;
    std::vector<std::uint8_t> ramCfg_;  // the first 512 bytes of the last CFG sent
    bool cfgStreamOpen_ = false;        // the next WRITE_CFG chunk continues the same file
    std::vector<std::uint8_t> pageTable_;
    std::optional<std::uint8_t> sysAreaOverride_;
    std::vector<Download> downloads_;
    std::unique_ptr<Download> pending_;
    int shownPart_ = 0;

    // The disk, while started.
    std::optional<DiskLayout> layout_;
    std::array<std::unique_ptr<DiskPart>, 2> parts_;
};

}  // namespace corvid::devsim
