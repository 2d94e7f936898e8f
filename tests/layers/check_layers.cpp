// Reads every #include "folder/..." of the source folders and fails, naming the file and line,
// when a folder includes one that comes after it in the layer list (a folder uses only the
// folders below it).
//
//   check_layers ROOT LAYER...    the layers from the bottom up

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <regex>
#include <string>
#include <vector>

#include "source_files.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: check_layers ROOT LAYER...\n";
        return 2;
    }
    const fs::path root = argv[1];
    const std::vector<std::string> layers(argv + 2, argv + argc);
    const auto rank = [&](const std::string& folder) {
        return std::find(layers.begin(), layers.end(), folder) - layers.begin();
    };
    const std::regex include(R"(^\s*#\s*include\s*"([A-Za-z0-9_]+)/)");

    int faults = 0;
    std::size_t files = 0;
    for (const std::string& folder : layers) {
        for (const fs::path& source : corvid::sources::sourceFiles(root, folder)) {
            ++files;
            corvid::sources::forEachLine(source, [&](int number, const std::string& line) {
                std::smatch match;
                if (!std::regex_search(line, match, include)) {
                    return;
                }
                const std::string used = match[1];
                const auto usedRank = rank(used);
                if (usedRank < static_cast<long>(layers.size()) && usedRank > rank(folder)) {
                    std::cerr << fs::relative(source, root).generic_string() << ":" << number
                              << ": " << folder << "/ includes " << used
                              << "/, which is above it in the layers\n";
                    ++faults;
                }
            });
        }
    }
    if (faults > 0) {
        std::cerr << faults << " include(s) run upward\n";
        return 1;
    }
    std::cout << files << " files, every include runs downward\n";
    return 0;
}
