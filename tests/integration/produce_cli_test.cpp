// corvid-cli init-home and produce as a new user meets them, on devices of corvid-devsim.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>

#include "platform/drive_lock.h"
#include "tests/integration/sim_fixture.h"

namespace corvid {
namespace {

using test::ProgramRun;
using test::runBinProgram;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class ProduceCliTest : public test::SimulatorTest {
  protected:
    void SetUp() override {
        SimulatorTest::SetUp();
        home_ = (dir_ / "station").string();
        const auto written = runBinProgram("corvid-cli", {"init-home", home_});
        ASSERT_EQ(written.exitCode, 0) << written.output;
    }

    ProgramRun produce(const std::string& letter) {
        return runBinProgram("corvid-cli", {"produce", letter, "--home", home_, "--sim-dir",
                                            simDir_.string(), "--pause-scale", "0"});
    }

    std::string home_;
};

TEST_F(ProduceCliTest, NandDeviceWithFirmwareUpgradeIsFinished) {
    plug('E', "nand-2k");
    const auto run = produce("E");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(contains(run.output, "E  FSM Writingsuccessful")) << run.output;
    EXPECT_TRUE(contains(run.output, "E  F: ID:ECDA109544 Samsung 2Gbit SLC")) << run.output;
    EXPECT_TRUE(contains(run.output, "E  P: <1-0-1>")) << run.output;
    EXPECT_TRUE(contains(run.output, "E  Program Write Setup...")) << run.output;
    EXPECT_TRUE(contains(run.output, "E  progress 75/100")) << run.output;
    EXPECT_TRUE(contains(run.output, "E  Check Disk")) << run.output;
    EXPECT_TRUE(contains(run.output, "E  picture: success.bmp")) << run.output;
    EXPECT_TRUE(contains(run.output, "E: pass")) << run.output;
    // The run is a row of the station's record, as a run of the station is.
    EXPECT_EQ(test::recordColumns(home_, dir_ / "runs.csv", {"letter", "passed", "failed_step"}),
              "E 1 -\n");
}

TEST_F(ProduceCliTest, WithoutFirmwareUpgradeANandDevicePasses) {
    const auto set = runBinProgram(
        "corvid-cli", {"settings", "--home", home_, "set", "FwUpgrade=0", "Blanking check=1"});
    ASSERT_EQ(set.exitCode, 0) << set.output;
    plug('G', "nand-2chip");
    const auto run = produce("g:");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(contains(run.output, "G  F: ID:ECDA109544 Samsung 2Gbit SLC x 2")) << run.output;
    EXPECT_TRUE(contains(run.output, "G  Blanking Check 4095/4096 Bad: 3")) << run.output;
    EXPECT_TRUE(contains(run.output, "G  progress 400/400")) << run.output;
    EXPECT_TRUE(contains(run.output, "G  F: 3/4096, 0MB, ")) << run.output;
    EXPECT_TRUE(contains(run.output, "G  successful  [blue]")) << run.output;
    EXPECT_TRUE(contains(run.output, "G: pass")) << run.output;
}

TEST_F(ProduceCliTest, SerialFlashDevicePasses) {
    plug('F', "spi");
    const auto run = produce("F");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(contains(run.output, "F  F: SPI Flash")) << run.output;
    EXPECT_TRUE(contains(run.output, "F  Start Disk")) << run.output;
    EXPECT_TRUE(contains(run.output, "F  picture: success.bmp")) << run.output;
    EXPECT_TRUE(contains(run.output, "F: pass")) << run.output;
}

TEST_F(ProduceCliTest, RefusesWhatItCannotProduce) {
    struct Case {
        std::string letter;
        std::string home;
        int exitCode;
        const char* says;
    };
    plug('H', "foreign");
    const Case cases[] = {
        {"EE", home_, 2, "is not a drive letter"},
        {"Q", home_, 2, "no device answers at drive Q. Nothing is plugged at drive Q"},
        {"H", home_, 2, "is not one of the station's devices"},
        {"E", (dir_ / "nowhere").string(), 2, "has no misc folder"},
    };
    for (const auto& c : cases) {
        const auto run = runBinProgram(
            "corvid-cli", {"produce", c.letter, "--home", c.home, "--sim-dir", simDir_.string()});
        EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
        EXPECT_TRUE(contains(run.output, c.says)) << run.output;
    }
    // No simulator at all: the hint corvid-devsim gives.
    std::filesystem::create_directories(dir_ / "idle");
    const auto idle = runBinProgram("corvid-cli", {"produce", "E", "--home", home_, "--sim-dir",
                                                   (dir_ / "idle").string(), "--backend", "sim"});
    EXPECT_EQ(idle.exitCode, 2) << idle.output;
    EXPECT_TRUE(contains(idle.output, "No simulator serves " + (dir_ / "idle").string() +
                                          " (start one with: corvid-devsim serve --dir"))
        << idle.output;
    for (const char* scale : {"nan", "-1", "101"}) {
        const auto run = runBinProgram("corvid-cli", {"produce", "E", "--home", home_, "--sim-dir",
                                                      simDir_.string(), "--pause-scale", scale});
        EXPECT_EQ(run.exitCode, 2) << scale << ": " << run.output;
    }
}

// A device is worked on by one program at a time: while another holds drive J, produce says so
// and sends the device nothing.
TEST_F(ProduceCliTest, ABusyDriveIsRefusedWithoutACommand) {
    plug('J', "nand-2k");
    DriveLocks other(simDir_);
    ASSERT_TRUE(other.acquire('J'));
    const auto busy = produce("J");
    EXPECT_EQ(busy.exitCode, 2) << busy.output;
    EXPECT_TRUE(contains(busy.output, "drive J is busy: another station program works on it"))
        << busy.output;
    EXPECT_TRUE(trace('J').empty());

    other.release('J');
    const auto freed = produce("J");
    EXPECT_EQ(freed.exitCode, 0) << freed.output;
}

// corvid-devsim as its help offers it: "fault X none", lower-case letters as corvid-cli takes
// them, timing that cannot be negative, and the command names a fault rule takes.
TEST_F(ProduceCliTest, DevsimTakesWhatItsHelpOffers) {
    plug('H', "nand-2k", {"--fail", "READ_CFG"});
    const std::string dir = simDir_.string();
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char* says;
    };
    const std::vector<Case> cases = {
        {{"fault", "--dir", dir, "H", "none"}, 0, "H"},
        {{"fault", "--dir", dir, "h", "--fail", "INQUIRY"}, 0, "INQUIRY"},
        {{"fault", "--dir", dir, "H", "--lie", "3:50"}, 0, "--lie 3:50"},
        {{"fault", "--dir", dir, "H", "--lie", "3:0"}, 2, "\"3:0\""},
        {{"plug", "--dir", dir, "--letter", "k", "--profile", "spi"}, 0, "K"},
        {{"unplug", "--dir", dir, "k"}, 0, ""},
        {{"plug", "--dir", dir, "--letter", "L", "--profile", "spi", "--latency-ms", "-5"},
         2,
         "--latency-ms"},
        {{"fault", "--help"}, 0, "READ_FLASH_ID"},
        {{"--help"}, 0, "Exit status: 0"},
        {{"bogus"}, 2, "\"bogus\" is not a subcommand"},
    };
    for (const Case& c : cases) {
        const auto run = runBinProgram("corvid-devsim", c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.args.front() << ": " << run.output;
        EXPECT_TRUE(contains(run.output, c.says)) << run.output;
    }
}

// A device that answers with random data, lengths and status bits, from every command to one in
// a hundred (those runs get far into the sequence): each run ends in a failure the station names,
// never a crash or a hang (the run's time limit). The same seed gives the same lies, so a case that
// breaks can be repeated.
TEST_F(ProduceCliTest, ARunAgainstALyingDeviceEndsInAFailure) {
    struct Case {
        char letter;
        const char* lie;  // SEED:PERCENT
    };
    const Case cases[] = {
        {'E', "1:100"}, {'F', "2:100"}, {'G', "3:50"}, {'H', "5:20"}, {'I', "9:5"},
        {'J', "10:5"},  {'K', "11:2"},  {'L', "14:2"}, {'M', "15:2"}, {'N', "12:1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("--lie ") + c.lie);
        plug(c.letter, "nand-2k",
             {"--lie", c.lie, "--state", (dir_ / ("lie-" + std::string(1, c.letter))).string()});
        const auto run = runBinProgram("corvid-cli",
                                       {"produce", std::string(1, c.letter), "--home", home_,
                                        "--sim-dir", simDir_.string(), "--pause-scale", "0"},
                                       std::chrono::seconds(20));
        EXPECT_TRUE(run.exitCode == 1 || run.exitCode == 2) << run.exitCode << ": " << run.output;
        const std::string failed = std::string(1, c.letter) + ": fail";
        EXPECT_TRUE(contains(run.output, failed) || contains(run.output, "corvid-cli produce: "))
            << run.output;
        const auto lines = trace(c.letter);
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const test::TraceLine& line) {
            return line.result == "lie";
        })) << test::foldedText(test::foldNames(lines));
    }
}

TEST_F(ProduceCliTest, InitHomeRefusesAFolderInUse) {
    const auto again = runBinProgram("corvid-cli", {"init-home", home_});
    EXPECT_EQ(again.exitCode, 2);
    EXPECT_TRUE(contains(again.output, "is not empty; give --force")) << again.output;
    EXPECT_EQ(runBinProgram("corvid-cli", {"init-home", "--force", home_}).exitCode, 0);
}

// One rule of exit statuses for every command, shown in every command's --help; every error line
// begins with the program's name (CLI11's own too), and a failed image build says one line.
TEST_F(ProduceCliTest, EveryCommandEndsByTheOneRuleOfItsHelp) {
    const std::string missing = (dir_ / "missing").string();
    const std::string sim = simDir_.string();
    std::ofstream(dir_ / "song.txt") << "la la la";
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char* begins;  // the first line of the output
    };
    const std::vector<Case> cases = {
        {{"report", "--home", missing}, 2, "corvid-cli report: the station folder"},
        {{"report", "--home", home_}, 0, "No production record"},
        {{"report", "--bogus"}, 2, "corvid-cli: "},
        {{"bogus"}, 2, "corvid-cli: "},
        {{"image", "build", "--out", missing + "/x.IMG", (dir_ / "song.txt").string()},
         2,
         "corvid-cli image build: the folder"},
        {{"image", "build", "--out", (dir_ / "x.IMG").string(), missing},
         2,
         "corvid-cli image build: "},
        {{"probe", "Q", "--backend", "sim", "--sim-dir", sim, "--home", home_},
         2,
         "corvid-cli probe: "},
        {{"produce", "Q", "--sim-dir", sim, "--home", home_, "--pause-scale", "0"},
         2,
         "corvid-cli produce: "},
        {{"settings", "--home", home_, "set", "NoSuchKey=1"}, 2, "corvid-cli settings: "},
        {{"settings", "--home", missing, "show"}, 2, "corvid-cli settings: "},
    };
    for (const Case& c : cases) {
        std::string words;
        for (const std::string& arg : c.args) {
            words += arg + " ";
        }
        SCOPED_TRACE(words);
        const auto run = runBinProgram("corvid-cli", c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
        EXPECT_EQ(run.output.rfind(c.begins, 0), 0u) << run.output;
        if (c.args[0] == "image") {
            EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
        }
    }
    const auto help = runBinProgram("corvid-cli", {"--help"});
    const std::size_t rule = help.output.find("Exit status");
    ASSERT_NE(rule, std::string::npos) << help.output;
    const std::string text = help.output.substr(rule, help.output.find('\n', rule) - rule);
    for (const char* command :
         {"settings", "init-home", "produce", "station", "probe", "image", "report"}) {
        const auto shown = runBinProgram("corvid-cli", {command, "--help"});
        EXPECT_TRUE(contains(shown.output, text)) << command << ": " << shown.output;
        EXPECT_EQ(shown.output.find("Exit status", shown.output.find("Exit status") + 1),
                  std::string::npos)
            << command << " has a rule of its own";
    }
}

}  // namespace
}  // namespace corvid
