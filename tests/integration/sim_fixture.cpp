#include "tests/integration/sim_fixture.h"

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "simlink/sim_dir.h"

namespace corvid::test {

std::vector<TraceLine> readTrace(const std::filesystem::path& file) {
    std::vector<TraceLine> lines;
    std::ifstream in(file);
    std::string text;
    while (std::getline(in, text)) {
        std::istringstream words(text);
        std::string time, letter, cdb;
        TraceLine line;
        words >> time >> letter >> cdb >> line.direction >> line.length >> line.result >> line.name;
        if (!line.name.empty() && line.name.back() == ':') {
            line.name.pop_back();
        }
        for (std::size_t i = 0; i + 1 < cdb.size(); i += 2) {
            line.cdb.push_back(
                static_cast<std::uint8_t>(std::stoul(cdb.substr(i, 2), nullptr, 16)));
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

Folded foldNames(const std::vector<TraceLine>& lines) {
    Folded folded;
    for (const auto& line : lines) {
        if (!folded.empty() && folded.back().first == line.name) {
            ++folded.back().second;
        } else {
            folded.emplace_back(line.name, 1);
        }
    }
    return folded;
}

std::string foldedText(const Folded& folded) {
    std::string text;
    for (const auto& [name, count] : folded) {
        text += name + " x" + std::to_string(count) + "\n";
    }
    return text;
}

void SimulatorTest::SetUp() {
    TempDirTest::SetUp();
    simDir_ = dir_ / "sim";
    const auto served = runBinProgram(
        "corvid-devsim",
        {"serve", "--dir", simDir_.string(), "--daemon", "--owner", std::to_string(::getpid())});
    ASSERT_EQ(served.exitCode, 0) << served.output;
}

void SimulatorTest::TearDown() {
    runBinProgram("corvid-devsim", {"stop", "--dir", simDir_.string()});
    TempDirTest::TearDown();
}

void SimulatorTest::plug(char letter, const std::string& profile,
                         const std::vector<std::string>& extra) {
    std::vector<std::string> arguments = {
        "plug",      "--dir", simDir_.string(), "--letter", std::string(1, letter),
        "--profile", profile};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    const auto plugged = runBinProgram("corvid-devsim", arguments);
    ASSERT_EQ(plugged.exitCode, 0) << plugged.output;
}

void SimulatorTest::unplug(char letter) {
    const auto unplugged = runBinProgram(
        "corvid-devsim", {"unplug", "--dir", simDir_.string(), std::string(1, letter)});
    ASSERT_EQ(unplugged.exitCode, 0) << unplugged.output;
}

bool SimulatorTest::waitForSocket(char letter, bool present) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        std::error_code error;
        if (std::filesystem::exists(simlink::deviceSocketPath(simDir_, letter), error) == present) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

std::vector<TraceLine> SimulatorTest::trace(char letter) const {
    return readTrace(simlink::defaultTracePath(simDir_, letter));
}

std::string recordColumns(const std::filesystem::path& home, const std::filesystem::path& csv,
                          const std::vector<std::string>& columns) {
    const auto report =
        runBinProgram("corvid-cli", {"report", "--home", home.string(), "--csv", csv.string()});
    EXPECT_EQ(report.exitCode, 0) << report.output;
    std::vector<std::string> argv = {
        "python3", "-c",
        "import csv, sys\n"
        "for row in csv.DictReader(open(sys.argv[1], newline='', encoding='utf-8-sig')):\n"
        "    print(' '.join(row[name] or '-' for name in sys.argv[2:]))\n",
        csv.string()};
    argv.insert(argv.end(), columns.begin(), columns.end());
    const auto read = runProgram(argv);
    EXPECT_EQ(read.exitCode, 0) << read.output;
    return read.output;
}

}  // namespace corvid::test
