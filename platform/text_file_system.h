#pragma once

// What the text files ask of the system, each system in its own file (text_file_linux.cpp,
// text_file_win32.cpp, which also hold readFileBytes).

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace corvid::text_file_system {

long processId();

// Writes 'bytes' into the new file 'temp' and makes them durable before it takes the name of
// 'path'; throws writeError naming 'path'.
void writeAndFlush(const std::filesystem::path& temp, const std::filesystem::path& path,
                   std::string_view bytes);

// The error of a write of 'path' (in text_file.cpp).
std::runtime_error writeError(const std::filesystem::path& path, const std::string& why);

}  // namespace corvid::text_file_system
