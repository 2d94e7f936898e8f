#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace corvid::test {

// Runs a program with its arguments through the process runner and returns its output. The FAT
// tools run with MTOOLS_SKIP_CHECK=1 and a UTF-8 locale, set for the test process and inherited.
ProgramRun runTool(const std::vector<std::string>& argv);

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
                                               const std::string& label, int& exitCode);

}  // namespace corvid::test
