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

// The label of the root directory (without trailing blanks), empty when there is none. Throws
// std::runtime_error naming the volume when it cannot be read or holds no FAT file system.
std::string readFatLabel(const std::filesystem::path& volume);

// Writes 'label' (at most 11 bytes, stored as they are) into the root directory's label entry,
// making one in a free slot when there is none, and into the boot sector; an empty label removes
// the entry and leaves "NO NAME" in the boot sector. Throws std::runtime_error naming the volume
// (also when the root directory has no free slot left).
void writeFatLabel(const std::filesystem::path& volume, std::string_view label);

}  // namespace corvid
