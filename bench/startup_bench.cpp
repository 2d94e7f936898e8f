// What a corvid-cli command that touches no device and no database costs as a whole process,
// start to end, against /bin/true: the dynamic loading of every library the program links and
// whatever runs before main are all inside the figure. The commands take turns, 20 rounds after
// one to warm the page cache, and the median of each is printed.
//
//   build/bin/startup_bench
//
// The lines starting "result" (tab-separated) are the figures bench/run-all gathers.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/process_runner.h"

namespace {

namespace fs = std::filesystem;
using namespace corvid;

constexpr int kRounds = 20;
constexpr double kTargetRatio = 2.0;

struct Command {
    std::string title;
    std::vector<std::string> argv;
    std::vector<double> milliseconds;
};

// One whole run of the command, its output discarded; nothing when it fails.
std::optional<double> timedRun(const std::vector<std::string>& argv) {
    ProcessOptions options;
    options.argv = argv;
    const auto start = std::chrono::steady_clock::now();
    try {
        const auto code = startProcess(options)->waitFor(std::chrono::seconds(30));
        if (!code || *code != 0) {
            return std::nullopt;
        }
    } catch (const ProcessStartError& error) {
        std::fprintf(stderr, "startup_bench: %s\n", error.what());
        return std::nullopt;
    }
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main() {
    std::random_device seed;
    const fs::path home = fs::temp_directory_path() / ("startup-bench-" + std::to_string(seed()));
    const std::string cli = std::string(CORVID_BIN_DIR) + "/corvid-cli";
    std::vector<Command> commands{
        {"/bin/true", {"/bin/true"}, {}},
        {"corvid-cli --version", {cli, "--version"}, {}},
        {"corvid-cli --help", {cli, "--help"}, {}},
        {"corvid-cli settings show", {cli, "settings", "--home", home.string(), "show"}, {}},
    };
    int status = 0;
    if (!timedRun({cli, "init-home", home.string()})) {
        std::fprintf(stderr, "startup_bench: corvid-cli init-home %s failed\n", home.c_str());
        status = 1;
    }
    for (int round = 0; status == 0 && round <= kRounds; ++round) {
        for (Command& command : commands) {
            const auto ms = timedRun(command.argv);
            if (!ms) {
                std::fprintf(stderr, "startup_bench: %s failed\n", command.title.c_str());
                status = 1;
                break;
            }
            if (round > 0) {  // round 0 warms the page cache
                command.milliseconds.push_back(*ms);
            }
        }
    }
    std::error_code error;
    fs::remove_all(home, error);
    if (status != 0) {
        return status;
    }
    const double yardstick = median(commands.front().milliseconds);
    std::printf("whole processes, median of %d runs taking turns\n", kRounds);
    for (const Command& command : commands) {
        const double ours = median(command.milliseconds);
        std::printf("%-28s %7.2f ms  %5.2fx /bin/true\n", command.title.c_str(), ours,
                    ours / yardstick);
    }
    for (auto it = commands.begin() + 1; it != commands.end(); ++it) {
        const double ours = median(it->milliseconds);
        std::printf("result\tstart-up: %s\t%.1f ms\t%.1f ms (/bin/true)\t%.2f\t<= %.2f\n",
                    it->title.c_str(), ours, yardstick, ours / yardstick, kTargetRatio);
    }
    return 0;
}
