#include "tests/image/image_test_support.h"

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

namespace corvid::test {

namespace {

// The FAT tools' environment, once for the whole test program.
struct ToolEnvironment {
    ToolEnvironment() {
#ifndef _WIN32  // mtools and dosfstools are Linux programs; Windows runs none of them
        setenv("MTOOLS_SKIP_CHECK", "1", 1);
        setenv("LC_ALL", "C.UTF-8", 1);
        // dosfstools installs into /usr/sbin, which an ordinary user's PATH leaves out.
        const char* path = std::getenv("PATH");
        setenv("PATH",
               (std::string(path != nullptr ? path : "/usr/bin:/bin") + ":/usr/sbin:/sbin").c_str(),
               1);
#endif
    }
};

}  // namespace

ProgramRun runTool(const std::vector<std::string>& argv) {
    static const ToolEnvironment environment;
    return runProgram(argv);
}

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string patternBytes(std::size_t size, unsigned seed) {
    std::string out(size, '\0');
    unsigned state = seed * 2654435761u + 1;
    for (auto& c : out) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 16);
    }
    return out;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> fsckFaultsBeyondLabel(const std::filesystem::path& volume,
                                               const std::string& label, int& exitCode) {
    const ProgramRun run = runTool({"fsck.fat", "-n", volume.string()});
    exitCode = run.exitCode;
    // The label entry holds a cluster but no size, its name is padded with zero bytes, and the
    // boot sector carries no label of its own: fsck.fat says so, and nothing else is expected.
    // Without a label the boot sector's empty label field is what fsck.fat sees.
    const std::set<std::string> noLabelNotices = {
        "Label '' stored in boot sector is not valid.",
        "  Auto-removing label from boot sector.",
    };
    const std::set<std::string> labelNotices =
        label.empty() ? noLabelNotices
                      : std::set<std::string>{
                            "/" + label,
                            "  File size is 0 bytes, cluster chain length is > 0 bytes.",
                            "  Truncating file to 0 bytes.",
                            "Volume label '" + label + "' stored in root directory is not valid.",
                            "  Auto-removing label.",
                            "There is no label in boot sector, but there is volume label '" +
                                label + "' stored in root directory",
                            "  Auto-copying volume label from root directory to boot sector.",
                        };
    std::vector<std::string> faults;
    for (const std::string& line : linesOf(run.output)) {
        const bool routine = line.empty() || line.rfind("fsck.fat ", 0) == 0 ||
                             line == "Leaving filesystem unchanged." ||
                             line.rfind(volume.string() + ": ", 0) == 0;
        if (!routine && labelNotices.count(line) == 0) {
            faults.push_back(line);
        }
    }
    return faults;
}

}  // namespace corvid::test
