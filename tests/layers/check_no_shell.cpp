// Reads every source file of the station's folders and fails, naming file and line, where a
// child process would be started through a shell: std::system, popen, or "/bin/sh" -c. The
// station starts its tools by argument vector only, so no name from a device, an image or a
// settings file can become a shell command.
//
//   check_no_shell ROOT FOLDER...

#include <filesystem>
#include <iostream>
#include <regex>
#include <string>

#include "source_files.h"

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
        for (const fs::path& path : corvid::sources::sourceFiles(root, argv[i])) {
            ++files;
            corvid::sources::forEachLine(path, [&](int number, const std::string& line) {
                if (std::regex_search(line, shell)) {
                    std::cerr << fs::relative(path, root).generic_string() << ":" << number
                              << ": a child process through a shell: " << line << "\n";
                    ++faults;
                }
            });
        }
    }
    std::cout << files << " source files read, " << faults << " shell call(s)\n";
    return faults == 0 ? 0 : 1;
}
