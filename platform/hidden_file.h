#pragma once

#include <filesystem>

namespace corvid {

// True for a folder entry the station leaves out of its copies and imports: one whose name starts
// with '.' on Linux, one with the hidden attribute on Windows. The name's own folder listing gave
// the path; the entry need not be looked at again on Linux.
bool isHiddenEntry(const std::filesystem::path& path);

}  // namespace corvid
