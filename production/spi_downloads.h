#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace corvid {

class WorkerState;

// The 2048-byte header that goes out before every file of the serial-flash file list.
struct SpiFileHeader {
    std::array<char, 4> magic;                  // "5V06"
    std::uint8_t fileType;                      // kind of file OR ((list index + 3) AND 0x3F)
    std::array<std::uint8_t, 4> sizeBigEndian;  // file size, most significant byte first
    std::array<std::uint8_t, 2039> zero;
};
static_assert(sizeof(SpiFileHeader) == 2048);

inline constexpr std::uint8_t kSpiTypeWma = 0xC0;
inline constexpr std::uint8_t kSpiTypeMp3 = 0x80;

// The type byte of list entry 'index', from the file's extension (any case); nothing for a file
// the serial flash does not take.
std::optional<std::uint8_t> spiFileType(const std::filesystem::path& file, std::size_t index);

SpiFileHeader makeSpiFileHeader(std::uint8_t fileType, std::uint32_t fileSize);

// Writes every usable entry of SpiFileList, each behind its header, as one file download.
// Entries whose file is missing or of another kind are skipped. Sets its own status texts;
// false at the first failure.
bool bWriteSpiFiles(WorkerState& w);

// Bytes of serial flash read back for a firmware file of 'firmwareSize' bytes: the size rounded
// up to 64 KiB, plus 128 KiB.
std::uint64_t spiImageSize(std::uint64_t firmwareSize);

// Reads the serial flash back into 'output', over the span that the firmware file decides.
// Sets a status text of its own on failure.
bool bSaveSpiImage(WorkerState& w, const std::filesystem::path& output);

}  // namespace corvid
