// Reads every #include "folder/..." of the source folders and fails, naming the file and line,
// when a folder includes one that comes after it in the layer list (a folder uses only the
// folders below it).
//
//   check_layers ROOT LAYER...    the layers from the bottom up

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <string>
#include <vector>

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
        if (!fs::is_directory(root / folder)) {
            continue;
        }
        std::vector<fs::path> sources;
        for (const auto& entry : fs::recursive_directory_iterator(root / folder)) {
            const std::string extension = entry.path().extension().string();
            if (entry.is_regular_file() &&
                (extension == ".h" || extension == ".hpp" || extension == ".cpp")) {
                sources.push_back(entry.path());
            }
        }
        std::sort(sources.begin(), sources.end());
        for (const fs::path& source : sources) {
            ++files;
            std::ifstream in(source);
            std::string line;
            for (int number = 1; std::getline(in, line); ++number) {
                std::smatch match;
                if (!std::regex_search(line, match, include)) {
                    continue;
                }
                const std::string used = match[1];
                const auto usedRank = rank(used);
                if (usedRank < static_cast<long>(layers.size()) && usedRank > rank(folder)) {
                    std::cerr << fs::relative(source, root).generic_string() << ":" << number
                              << ": " << folder << "/ includes " << used
                              << "/, which is above it in the layers\n";
                    ++faults;
                }
            }
        }
    }
    if (faults > 0) {
        std::cerr << faults << " include(s) run upward\n";
        return 1;
    }
    std::cout << files << " files, every include runs downward\n";
    return 0;
}
