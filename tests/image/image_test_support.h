#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace corvid::test {

// The output and exit code of a command-line tool.
struct ToolRun {
    int exitCode = -1;
    std::string output;  // standard output and standard error together
};

// Runs a program with its arguments (each quoted for the shell that std::system uses) and
// collects its output through a file in 'scratch'. The FAT tools run with
// MTOOLS_SKIP_CHECK=1 and a UTF-8 locale, set for the test process and inherited.
ToolRun runTool(const std::vector<std::string>& argv, const std::filesystem::path& scratch);

void writeFile(const std::filesystem::path& path, const std::string& bytes);
std::string readFile(const std::filesystem::path& path);

// 'size' bytes of a fixed pseudo-random pattern, different for each seed.
std::string patternBytes(std::size_t size, unsigned seed);

// The lines of a text without their line ends.
std::vector<std::string> linesOf(const std::string& text);

// fsck.fat -n on a volume file: the lines it prints beyond its banner, its "Leaving filesystem
// unchanged." and its summary, with the notices of the volume label entry taken out (and for a
// volume without label, those of the boot sector's empty label field). Empty when fsck.fat found
// nothing else; 'exitCode' gets its exit code.
std::vector<std::string> fsckFaultsBeyondLabel(const std::filesystem::path& volume,
                                               const std::string& label,
                                               const std::filesystem::path& scratch, int& exitCode);

}  // namespace corvid::test
