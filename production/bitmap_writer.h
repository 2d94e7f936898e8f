#pragma once

#include <filesystem>

namespace corvid {

enum class VerdictPicture { Pass, Fail };

// Draws the slot's pass or fail picture (a green tick or a red cross on white) and writes it as an
// uncompressed 24-bit Windows bitmap. Throws std::runtime_error naming the file when it cannot be
// written.
void writeVerdictBitmap(const std::filesystem::path& path, VerdictPicture picture);

}  // namespace corvid
