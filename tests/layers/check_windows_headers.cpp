// Reads every source file of the station's folders and fails, naming file and line, where a
// Windows header is included outside platform/, backends/ and the files of one system (named
// *_win32.cpp or *_win32.h). The rest of the station builds the same on every system and reaches
// Windows only through the interfaces those files implement.
//
//   check_windows_headers ROOT FOLDER...

#include <filesystem>
#include <iostream>
#include <regex>
#include <string>

#include "source_files.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: check_windows_headers ROOT FOLDER...\n";
        return 2;
    }
    const fs::path root = argv[1];
    const std::regex windowsHeader(
        R"(^\s*#\s*include\s*<((windows|winioctl|winbase|winuser|winreg|dbt|ntddscsi|ntddstor|conio|io|process|shlobj|setupapi)\.h)>)",
        std::regex::icase);
    int faults = 0;
    std::size_t files = 0;
    for (int i = 2; i < argc; ++i) {
        const std::string folder = argv[i];
        if (folder == "platform" || folder == "backends") {
            continue;
        }
        for (const fs::path& path : corvid::sources::sourceFiles(root, folder)) {
            ++files;
            const std::string stem = path.stem().string();
            if (stem.size() > 6 && stem.compare(stem.size() - 6, 6, "_win32") == 0) {
                continue;
            }
            corvid::sources::forEachLine(path, [&](int number, const std::string& line) {
                std::smatch match;
                if (std::regex_search(line, match, windowsHeader)) {
                    std::cerr << fs::relative(path, root).generic_string() << ":" << number << ": "
                              << folder << "/ includes <" << match[1]
                              << ">, which belongs in platform/, backends/ or a *_win32 file\n";
                    ++faults;
                }
            });
        }
    }
    std::cout << files << " source files read, " << faults << " Windows header(s) out of place\n";
    return faults == 0 ? 0 : 1;
}
