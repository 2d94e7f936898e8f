#pragma once

// The volume label of a FAT volume, read and written in place on its block device or image
// file. mtools 4.0.32 and fatlabel 4.2 cannot write a label in a double-byte code page (mlabel
// cuts a GBK label to its number of characters and refuses one of more than 11 UTF-8 bytes;
// fatlabel refuses every byte above 0x7F), so the station writes the label's bytes itself:
// the label entry of the root directory, and the label field of the boot sector and of its
// FAT32 backup, which fsck.fat compares.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace corvid {

// Boot-sector fields the label needs (byte offsets).
namespace fat_label_boot {
inline constexpr std::size_t kBytesPerSector = 11;
inline constexpr std::size_t kSectorsPerCluster = 13;
inline constexpr std::size_t kReservedSectors = 14;
inline constexpr std::size_t kFatCount = 16;
inline constexpr std::size_t kRootEntryCount = 17;
inline constexpr std::size_t kTotalSectors16 = 19;
inline constexpr std::size_t kFatSize16 = 22;
inline constexpr std::size_t kTotalSectors32 = 32;
inline constexpr std::size_t kFatSize32 = 36;
inline constexpr std::size_t kRootCluster = 44;
inline constexpr std::size_t kBackupBootSector = 50;
inline constexpr std::size_t kExtendedSignature16 = 38;  // 0x29: serial and label follow
inline constexpr std::size_t kLabel16 = 43;
inline constexpr std::size_t kExtendedSignature32 = 66;
inline constexpr std::size_t kLabel32 = 71;
inline constexpr std::size_t kSignature = 510;  // 55 AA
inline constexpr std::uint8_t kExtendedSignature = 0x29;
static_assert(kLabel16 == kExtendedSignature16 + 1 + 4, "signature, serial number, label");
static_assert(kLabel32 == kExtendedSignature32 + 1 + 4, "signature, serial number, label");
}  // namespace fat_label_boot

// Directory entry fields (byte offsets in a 32-byte entry).
namespace fat_label_dir {
inline constexpr std::size_t kEntryBytes = 32;
inline constexpr std::size_t kName = 0;  // 11 bytes: the label itself
inline constexpr std::size_t kAttribute = 11;
inline constexpr std::size_t kWriteTime = 22;
inline constexpr std::size_t kWriteDate = 24;
inline constexpr std::uint8_t kLabelAttribute = 0x08;
inline constexpr std::uint8_t kDirectoryAttribute = 0x10;
inline constexpr std::uint8_t kLongNameAttribute = 0x0F;
inline constexpr std::uint8_t kEnd = 0x00;
inline constexpr std::uint8_t kFreeMark = 0xE5;
inline constexpr std::uint8_t kFreeMarkStandIn = 0x05;  // a label's first byte 0xE5
static_assert(kWriteDate == kWriteTime + 2 && kWriteDate + 2 + 6 == kEntryBytes);
}  // namespace fat_label_dir

inline constexpr std::size_t kFatLabelBytes = 11;

// The label of the root directory (without trailing blanks), empty when there is none. Throws
// std::runtime_error naming the volume when it cannot be read or holds no FAT file system.
std::string readFatLabel(const std::filesystem::path& volume);

// Writes 'label' (at most 11 bytes, stored as they are) into the root directory's label entry,
// making one in a free slot when there is none, and into the boot sector; an empty label removes
// the entry and leaves "NO NAME" in the boot sector. Throws std::runtime_error naming the volume
// (also when the root directory has no free slot left).
void writeFatLabel(const std::filesystem::path& volume, std::string_view label);

}  // namespace corvid
