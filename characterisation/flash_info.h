#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace corvid {

// The flash description of one device. One per worker; the members are named after the CFG
// fields they come from.
struct FLASH_INFO {
    std::uint32_t iFlashId = 0;  // flash ID bytes 1..4, byte 1 most significant
    std::uint32_t iMaker = 0;    // flash ID byte 0 in the low byte
    std::int32_t iChips = 0;     // SUB_SCSI_OP_GET_FLASH_COUNT
    std::int32_t iBlocksPerChip = 0;
    std::int32_t iPageSize = 0;      // bytes
    std::int32_t iSectorSize = 512;  // 512 or 1024
    std::int32_t iPagesPerBlock = 0;
    std::int32_t iBlockSize = 0;  // iPageSize * iPagesPerBlock, set by the run after the parse
    std::int32_t iTypeEcc = 0;    // ECC value of the flash type
    std::int32_t iPermitEcc = 0;  // ECC level the blanking check permits
    std::string sFlashName;       // display name
    std::int32_t iBadBlocks = 0;  // counted by the CFG write
};

// The five flash ID bytes as the flash gives them: maker, device code, three more.
using FlashIdBytes = std::array<std::uint8_t, 5>;
FlashIdBytes flashIdBytes(const FLASH_INFO& info);

// The controller's 512-byte configuration block. Multi-byte numbers are big-endian.
namespace cfg {
inline constexpr std::size_t kSize = 512;

inline constexpr std::size_t kSignature = 0;  // "5V16" x 16 when created; "5VX6" accepted too
inline constexpr std::size_t kSignatureLength = 64;
inline constexpr std::size_t kSectorFlags =
    64;  // 16 bytes, 0xA0 when created; bit 0: 1024-byte sectors
inline constexpr std::size_t kSectorFlagsLength = 16;
inline constexpr std::size_t kChecksum = 80;  // 2 bytes: 16-bit sum of bytes 82..254
inline constexpr std::size_t kChips = 82;
inline constexpr std::size_t kLog2SectorSize = 83;
inline constexpr std::size_t kLog2PageSize = 84;
inline constexpr std::size_t kLog2BlockSize = 85;
inline constexpr std::size_t kLog2ChipSize = 86;
inline constexpr std::size_t kLog2PagesPerBlock = 87;
inline constexpr std::size_t kBlocksPerChipMinus1 = 88;  // 2 bytes
inline constexpr std::size_t kLog2BlocksPerChip = 90;
inline constexpr std::size_t kPagesPerChipMinus1 = 91;  // 4 bytes
inline constexpr std::size_t kLargePage = 95;           // 1 when the page holds 8192 bytes or more
inline constexpr std::size_t kFlashType = 96;           // index into the ECC table
inline constexpr std::size_t kFixed97 = 97;
inline constexpr std::size_t kFixed98 = 98;
inline constexpr std::size_t kPageBlockCode = 99;
inline constexpr std::size_t kPageGroupsMinus1 = 100;
inline constexpr std::size_t kSectorsPerPage = 101;
inline constexpr std::size_t kFixedTable1 = 102;  // 7 bytes
inline constexpr std::size_t kFixedTable2 = 109;  // 7 bytes
inline constexpr std::size_t kFixedTableLength = 7;
inline constexpr std::size_t kCellCode = 116;
inline constexpr std::size_t kFixed117 = 117;
inline constexpr std::size_t kFirstUsableBlocks = 118;  // four 16-bit block numbers
inline constexpr std::size_t kFirstUsableBlockCount = 4;
inline constexpr std::size_t kFixed126 = 126;
inline constexpr std::size_t kFlashId = 127;  // 5 bytes: ID0 (maker) .. ID4
inline constexpr std::size_t kPageMapPresent = 132;
inline constexpr std::size_t kSysAreaUnits = 133;
inline constexpr std::size_t kSplitRatio = 134;
inline constexpr std::size_t kLayoutText = 135;  // "0000"
inline constexpr std::size_t kLayoutTextLength = 4;
inline constexpr std::size_t kLayoutZero = 139;  // 5 zero bytes
inline constexpr std::size_t kLayoutZeroLength = 5;
inline constexpr std::size_t kChecksumFirst = 82;
inline constexpr std::size_t kChecksumLast = 254;
inline constexpr std::size_t kPageMapBits = 256;  // bit set = page not used
inline constexpr std::size_t kPageMapBitsLength = 128;
inline constexpr std::size_t kFlashName = 480;  // zero-terminated, in description files
inline constexpr std::size_t kFlashNameLength = 32;

// A description file shorter than this names no flash and cannot be parsed.
inline constexpr std::size_t kMinimumFileSize = 128;

static_assert(kChecksum + 2 == kChips);
static_assert(kBlocksPerChipMinus1 + 2 == kLog2BlocksPerChip);
static_assert(kPagesPerChipMinus1 + 4 == kLargePage);
static_assert(kFixedTable1 + kFixedTableLength == kFixedTable2);
static_assert(kFixedTable2 + kFixedTableLength == kCellCode);
static_assert(kFirstUsableBlocks + 2 * kFirstUsableBlockCount == kFixed126);
static_assert(kFlashId + 5 == kPageMapPresent);
static_assert(kLayoutText + kLayoutTextLength == kLayoutZero);
static_assert(kPageMapBits + kPageMapBitsLength <= kFlashName);
static_assert(kFlashName + kFlashNameLength == kSize);

// The 16-bit sum of bytes 82..254, each unsigned.
std::uint16_t checksum(std::span<const std::uint8_t> cfg);
// Stores the checksum at kChecksum, high byte first.
void storeChecksum(std::span<std::uint8_t> cfg);
// True when the block begins with "5VX6" or "5V16".
bool hasSignature(std::span<const std::uint8_t> cfg);
// A CFG the device already holds: one of those, or one the station wrote without firmware upgrade,
// which marks byte 1 of the signature with an X ("5X16", "5XX6").
bool hasStoredSignature(std::span<const std::uint8_t> cfg);
}  // namespace cfg

// The worker's CFG work area: 8192 bytes whose first 512 are the CFG, then the block bitmap.
struct CfgWorkArea {
    static constexpr std::size_t kCfgAreaSize = 8192;
    static constexpr std::size_t kBitmapAreaSize = 8192;
    std::array<std::uint8_t, kCfgAreaSize> cfg{};
    std::array<std::uint8_t, kBitmapAreaSize> bitmap{};
    void clear() {
        cfg.fill(0);
        bitmap.fill(0);
    }
};
static_assert(sizeof(CfgWorkArea) == CfgWorkArea::kCfgAreaSize + CfgWorkArea::kBitmapAreaSize);

// One byte per block or page, 0xFF usable. Bitmaps carry item i as bit 7 - (i mod 8) of byte i / 8.
inline constexpr std::uint8_t kUsable = 0xFF;
inline constexpr std::uint8_t kUnusable = 0x00;
inline bool bitmapBit(std::span<const std::uint8_t> bits, std::size_t i) {
    return (bits[i / 8] & (0x80u >> (i % 8))) != 0;
}
inline void setBitmapBit(std::span<std::uint8_t> bits, std::size_t i, bool value) {
    const auto mask = static_cast<std::uint8_t>(0x80u >> (i % 8));
    bits[i / 8] = value ? static_cast<std::uint8_t>(bits[i / 8] | mask)
                        : static_cast<std::uint8_t>(bits[i / 8] & ~mask);
}

// The limits that the work areas and the CFG's 16-bit block numbers put on a flash.
inline constexpr std::int32_t kMaxBlocks = 65536;
inline constexpr std::int32_t kMaxPageSize = 8192;
inline constexpr std::int32_t kMaxPagesPerBlock = 8192;  // PageMap holds one byte per page

// The ECC table, indexed by the flash type 0..7.
inline constexpr std::array<std::int32_t, 8> kEccTable{6, 10, 12, 13, 14, 16, 17, 24};

}  // namespace corvid
