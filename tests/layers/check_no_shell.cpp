// Reads every source file of the station's folders and fails, naming file and line, where a
// child process would be started through a shell: std::system, popen, or "/bin/sh" -c. The
// station starts its tools by argument vector only, so no name from a device, an image or a
// settings file can become a shell command.
//
//   check_no_shell ROOT FOLDER...

#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <string>
#include <vector>

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: check_no_shell ROOT FOLDER...\n";
        return 2;
    }
    const fs::path root = argv[1];
    // A call, not a name: "SystemDisks system(...)" declares a variable and is fine.
    const std::regex shell(R"((std)?::system\s*\(|\bpopen\s*\(|"/bin/sh"|"sh"\s*,\s*"-c")");
    int faults = 0;
    std::size_t files = 0;
    for (int i = 2; i < argc; ++i) {
        if (!fs::is_directory(root / argv[i])) {
            continue;
        }
        for (const auto& entry : fs::recursive_directory_iterator(root / argv[i])) {
            const std::string extension = entry.path().extension().string();
            if (!entry.is_regular_file() || (extension != ".h" && extension != ".cpp")) {
                continue;
            }
            ++files;
            std::ifstream in(entry.path());
            std::string line;
            for (int number = 1; std::getline(in, line); ++number) {
                if (std::regex_search(line, shell)) {
                    std::cerr << fs::relative(entry.path(), root).generic_string() << ":" << number
                              << ": a child process through a shell: " << line << "\n";
                    ++faults;
                }
            }
        }
    }
    std::cout << files << " source files read, " << faults << " shell call(s)\n";
    return faults == 0 ? 0 : 1;
}
