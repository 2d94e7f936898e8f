#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace corvid {

// SHA-256 digests as the production record keeps them: 64 lower-case hex digits.

std::string sha256OfBytes(std::span<const std::uint8_t> bytes);

// Reads the file in pieces, so a large firmware file is never held whole. Throws RecordError
// naming the file when it cannot be read.
std::string sha256OfFile(const std::filesystem::path& file);

}  // namespace corvid
