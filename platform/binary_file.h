#pragma once

// A file of any size read through the C library by its native path (UTF-16 on Windows), for
// readers that open many files and want the least set-up per file. Each system's calls are in
// binary_file_linux.cpp and binary_file_win32.cpp.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>

namespace corvid {

// Opens the file for reading in binary mode; nullptr with errno set when it cannot be opened.
std::FILE* openBinaryFile(const std::filesystem::path::value_type* nativePath);

// Moves to 'offset' from 'origin' (SEEK_SET, SEEK_END), beyond 2 GiB too.
bool seekBinaryFile(std::FILE* file, std::uint64_t offset, int origin);

// The position in the file; nothing when it cannot be told.
std::optional<std::uint64_t> binaryFilePosition(std::FILE* file);

}  // namespace corvid
