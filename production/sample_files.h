#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace corvid {

// The sample data files of a new station folder. Their contents mean something only to the
// device; the station carries their bytes. Every byte is made here. Each writer throws
// std::runtime_error naming the file when it cannot be written.

// The FSM version text that a new station shows in its caption.
inline constexpr std::string_view kSampleFsmVersion = "FSM Ver.1.0 Corvid";

// misc/FSM.bin: the version text, zero-terminated, at offset 8192.
void writeSampleFsm(const std::filesystem::path& path);

// The firmware file: the chip name "5V16" at its start and 0x55 0xAA with the capacity multiplier
// index at offset 38909.
void writeSampleFirmware(const std::filesystem::path& path, std::uint8_t capMultiplierIndex);

void writeSamplePreferDat(const std::filesystem::path& path);
void writeSamplePassImage(const std::filesystem::path& path);

// The answers fed to the format command on its standard input.
void writeFormatResponses(const std::filesystem::path& path);

}  // namespace corvid
