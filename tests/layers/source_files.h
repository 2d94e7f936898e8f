#pragma once

// The walk the source checks share: every source file of a folder, and its lines.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace corvid::sources {

// The .h, .hpp and .cpp files below root/folder, in name order; none when the folder is missing.
inline std::vector<std::filesystem::path> sourceFiles(const std::filesystem::path& root,
                                                      const std::string& folder) {
    std::vector<std::filesystem::path> files;
    if (!std::filesystem::is_directory(root / folder)) {
        return files;
    }
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root / folder)) {
        const std::string extension = entry.path().extension().string();
        if (entry.is_regular_file() &&
            (extension == ".h" || extension == ".hpp" || extension == ".cpp")) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Calls visit(number, line) for every line of 'file', numbered from 1.
template <class Visit>
void forEachLine(const std::filesystem::path& file, Visit visit) {
    std::ifstream in(file);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        visit(number, line);
    }
}

}  // namespace corvid::sources
