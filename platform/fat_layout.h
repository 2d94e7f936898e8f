#pragma once

// The on-disk layout of a FAT16/FAT32 volume, for the image engine that builds one and the
// volume tools that rewrite a label in place: byte offsets in the boot sector, the FS
// information sector and a 32-byte directory entry, and the values of the allocation table.

#include <cstddef>
#include <cstdint>

namespace corvid {

// Boot sector fields (byte offsets).
namespace fat_boot {
inline constexpr std::size_t kJump = 0;  // EB xx 90
inline constexpr std::size_t kOemName = 3;
inline constexpr std::size_t kBytesPerSector = 11;
inline constexpr std::size_t kSectorsPerCluster = 13;
inline constexpr std::size_t kReservedSectors = 14;
inline constexpr std::size_t kFatCount = 16;
inline constexpr std::size_t kRootEntryCount = 17;
inline constexpr std::size_t kTotalSectors16 = 19;
inline constexpr std::size_t kMedia = 21;
inline constexpr std::size_t kFatSize16 = 22;
inline constexpr std::size_t kTotalSectors32 = 32;
// FAT16 extended fields.
inline constexpr std::size_t kExtendedSignature16 = 38;  // kExtendedSignature: serial, label follow
inline constexpr std::size_t kLabel16 = 43;
inline constexpr std::size_t kFat16TypeName = 54;
// FAT32 extended fields.
inline constexpr std::size_t kFatSize32 = 36;
inline constexpr std::size_t kRootCluster = 44;
inline constexpr std::size_t kFsInfoSector = 48;
inline constexpr std::size_t kBackupBootSector = 50;
inline constexpr std::size_t kExtendedSignature32 = 66;
inline constexpr std::size_t kLabel32 = 71;
inline constexpr std::size_t kFat32TypeName = 82;
inline constexpr std::size_t kFiller = 90;  // 420 bytes of FF in the station's images
inline constexpr std::size_t kFillerBytes = 420;
inline constexpr std::size_t kPartitionTable = 446;
inline constexpr std::size_t kSignature = 510;  // 55 AA
inline constexpr std::size_t kBootSectorBytes = 512;
inline constexpr std::uint8_t kExtendedSignature = 0x29;
inline constexpr std::size_t kLabelBytes = 11;
// A partition table entry.
inline constexpr std::size_t kPartitionEntryBytes = 16;
inline constexpr std::size_t kPartitionBootFlag = 0;
inline constexpr std::size_t kPartitionStart = 8;
// The FAT32 FS information sector.
inline constexpr std::size_t kFsInfoLeadSignature = 0;
inline constexpr std::size_t kFsInfoStructSignature = 484;
inline constexpr std::size_t kFsInfoFreeCount = 488;
inline constexpr std::size_t kFsInfoNextFree = 492;
inline constexpr std::size_t kFsInfoTrailSignature = 508;

static_assert(kLabel16 == kExtendedSignature16 + 1 + 4, "signature, serial number, label");
static_assert(kLabel32 == kExtendedSignature32 + 1 + 4, "signature, serial number, label");
static_assert(kFat16TypeName == kLabel16 + kLabelBytes && kFat32TypeName == kLabel32 + kLabelBytes);
static_assert(kFiller + kFillerBytes == kSignature, "the filler runs up to the signature");
static_assert(kPartitionTable + 4 * kPartitionEntryBytes == kSignature, "four entries");
static_assert(kSignature + 2 == kBootSectorBytes && kFsInfoTrailSignature + 4 == kBootSectorBytes);
}  // namespace fat_boot

// Directory entry fields (byte offsets in a 32-byte entry).
namespace fat_dir {
inline constexpr std::size_t kEntryBytes = 32;
inline constexpr std::size_t kName = 0;       // 8 bytes; a label's 11 bytes run on
inline constexpr std::size_t kExtension = 8;  // 3 bytes
inline constexpr std::size_t kAttribute = 11;
inline constexpr std::size_t kCreateDate = 16;
inline constexpr std::size_t kAccessDate = 18;
inline constexpr std::size_t kClusterHigh = 20;
inline constexpr std::size_t kWriteTime = 22;
inline constexpr std::size_t kWriteDate = 24;
inline constexpr std::size_t kClusterLow = 26;
inline constexpr std::size_t kFileSize = 28;
// Long-name entries.
inline constexpr std::size_t kOrdinal = 0;
inline constexpr std::size_t kUnits1 = 1;  // 5 units
inline constexpr std::size_t kLongType = 12;
inline constexpr std::size_t kChecksum = 13;
inline constexpr std::size_t kUnits2 = 14;  // 6 units
inline constexpr std::size_t kLongCluster = 26;
inline constexpr std::size_t kUnits3 = 28;  // 2 units
inline constexpr std::size_t kUnitsPerLongEntry = 13;
inline constexpr std::uint8_t kLastLongEntry = 0x40;
inline constexpr std::uint8_t kLongNameAttribute = 0x0F;
inline constexpr std::uint8_t kDirectoryAttribute = 0x10;
inline constexpr std::uint8_t kLabelAttribute = 0x08;
inline constexpr std::uint8_t kEnd = 0x00;
inline constexpr std::uint8_t kFreeMark = 0xE5;
inline constexpr std::uint8_t kFreeMarkStandIn = 0x05;  // a name's first byte 0xE5
inline constexpr std::uint16_t kDate2005 = 0x3221;      // 1 January 2005

static_assert(kExtension == kName + 8 && kAttribute == kExtension + 3);
static_assert(kWriteDate == kWriteTime + 2 && kClusterLow == kWriteDate + 2);
static_assert(kFileSize + 4 == kEntryBytes);
static_assert(kUnits1 + 5 * 2 == kAttribute && kUnits2 + 6 * 2 == kLongCluster &&
              kUnits3 + 2 * 2 == kEntryBytes && 5 + 6 + 2 == kUnitsPerLongEntry);
}  // namespace fat_dir

// Values of the allocation table.
namespace fat_table {
// The cluster counts by which every reader tells the FAT types apart.
inline constexpr std::uint32_t kMinFat16Clusters = 4085;
inline constexpr std::uint32_t kMaxFat16Clusters = 65524;
inline constexpr std::uint32_t kFat16EndMark = 0xFFF8;
inline constexpr std::uint32_t kFat32EndMark = 0x0FFFFFF8;
inline constexpr std::uint32_t kFat32ValueMask = 0x0FFFFFFF;  // the top four bits are reserved
}  // namespace fat_table

}  // namespace corvid
