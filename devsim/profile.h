#pragma once

// What a simulated device is: its flash, its identity strings and its quirks. Built-in profiles
// have names (nand-2k, spi, foreign ...); others come from INI files, whose keys a profile
// written by profileToIni (corvid-devsim profiles --show NAME) lists with their meaning.

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvid::devsim {

using FlashIdBytes = std::array<std::uint8_t, 5>;

// The ID a device with serial (SPI) flash and no NAND flash answers.
inline constexpr FlashIdBytes kSerialFlashId{0xFF, 0x00, 0xFF, 0x00, 0xFF};

struct NandGeometry {
    std::uint32_t pageSize = 0;  // bytes
    std::uint32_t pagesPerBlock = 0;
    std::uint32_t blocksPerChip = 0;

    bool operator==(const NandGeometry&) const = default;
};

// The geometry a NAND flash ID announces, decoded the way the flash makers define their ID
// bytes (device code table, page and block codes in ID byte 3); nothing for an unknown device
// code.
std::optional<NandGeometry> geometryFromFlashId(const FlashIdBytes& id);

// How the device answers INQUIRY: one of the three identification strings of a ZQL5Vxx
// controller, or an ordinary USB disk of another make.
enum class InquiryVariant { G, V16_1, V16_2, Foreign };

// Page results below 0xFF in chosen blocks and pages: 0xFF minus the corrected bit errors.
struct WeakPages {
    std::uint32_t firstBlock = 0, lastBlock = 0;  // global block numbers, inclusive
    std::uint32_t firstPage = 0, lastPage = 0;    // pages of the block, inclusive
    enum class Parity { Any, Even, Odd } parity = Parity::Any;
    std::uint8_t result = 0xFF;
};

struct ChipBadBlocks {
    std::vector<std::uint32_t> blocks;  // block numbers within the chip
    double ratePercent = 0;             // further blocks, drawn from the profile's seed
};

class ProfileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct DeviceProfile {
    std::string name;
    std::string description;
    FlashIdBytes flashId{};
    std::uint32_t chips = 1;
    NandGeometry geometry;                 // zero for a serial-flash device
    std::vector<ChipBadBlocks> badBlocks;  // one entry per chip
    std::uint32_t seed = 1;
    std::vector<WeakPages> weakPages;
    InquiryVariant inquiry = InquiryVariant::G;
    std::string vendor;   // INQUIRY bytes 8-15 (for the ZQL5Vxx variants after the
    std::string product;  // identification text), 16-31 and 32-35
    std::string revision;
    bool needsReset = false;            // answers the chip name "5V16" until it has been reset
    std::uint32_t serialFlashSize = 0;  // bytes, serial-flash devices
    std::uint8_t port = 1;              // SUB_SCSI_OP_GET_PORT
    std::uint32_t foreignDiskMiB = 0;   // the disk of a foreign device
    // A fault: the disk shown after Start Disk cannot be read or written, neither with READ(10)
    // and WRITE(10) nor by the volume tools, whose volume path leads to no disk image.
    bool unreadableDisk = false;

    bool isSerialFlash() const { return flashId == kSerialFlashId; }
    bool isForeign() const { return inquiry == InquiryVariant::Foreign; }
    std::uint32_t totalBlocks() const { return chips * geometry.blocksPerChip; }

    // One flag per global block: true for a bad block. Chip-local lists plus the seeded rate;
    // the rate spares block 0 of each chip, which flash makers guarantee.
    std::vector<bool> badBlockTable() const;
    // The page result of page 'page' of block 'block' when it reads back what was written.
    std::uint8_t pageResult(std::uint32_t block, std::uint32_t page) const;

    // Throws ProfileError naming the profile when the values do not make a device.
    void validate() const;
};

// Names and one-line descriptions of the built-in profiles.
struct ProfileSummary {
    std::string name;
    std::string description;
};
std::vector<ProfileSummary> builtinProfiles();

// A built-in profile by name, else the INI file at that path. Throws ProfileError with one
// sentence naming the profile or file when neither exists or the file is not a valid profile.
DeviceProfile resolveProfile(const std::string& nameOrPath);
DeviceProfile loadProfileFile(const std::filesystem::path& path);

// The profile written as an INI file that loadProfileFile reads back to the same device; comment
// lines at its top explain every key a profile file may hold.
std::string profileToIni(const DeviceProfile& profile);

// "ID:ECDA109544"
std::string flashIdText(const FlashIdBytes& id);

}  // namespace corvid::devsim
