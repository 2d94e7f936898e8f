// corvid-cli station as an operator meets it: devices plugged into corvid-devsim while the
// station runs, the log it prints when not on a terminal, its exit status and the production
// record behind corvid-cli report.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <thread>

#include "platform/ini_file.h"
#include "simlink/sim_dir.h"
#include "tests/integration/sim_fixture.h"

namespace corvid {
namespace {

using test::BackgroundProgram;
using test::runBinProgram;

std::size_t countOf(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

class StationCliTest : public test::SimulatorTest {
  protected:
    void SetUp() override {
        SimulatorTest::SetUp();
        home_ = dir_ / "station";
        const auto written = runBinProgram("corvid-cli", {"init-home", home_.string()});
        ASSERT_EQ(written.exitCode, 0) << written.output;
    }

    void set(const std::string& keyValue) {
        const auto run =
            runBinProgram("corvid-cli", {"settings", "set", keyValue, "--home", home_.string()});
        ASSERT_EQ(run.exitCode, 0) << run.output;
    }

    std::unique_ptr<BackgroundProgram> station(int count) {
        auto program = std::make_unique<BackgroundProgram>(
            "corvid-cli", std::vector<std::string>{"station", "--home", home_.string(), "--sim-dir",
                                                   simDir_.string(), "--pause-scale", "0",
                                                   "--count", std::to_string(count)});
        EXPECT_TRUE(program->waitForOutput("station ready")) << program->output();
        return program;
    }

    // The record as Python's csv module reads corvid-cli report --csv: one "letter slot passed
    // failed_step" line per row.
    std::vector<std::string> recordRows() {
        std::vector<std::string> rows;
        std::istringstream lines(test::recordColumns(home_, dir_ / "runs.csv",
                                                     {"letter", "slot", "passed", "failed_step"}));
        for (std::string line; std::getline(lines, line);) {
            rows.push_back(line);
        }
        return rows;
    }

    std::filesystem::path home_;
};

// Nine devices in manual mode: eight wait for "Start Upgrade", the ninth gets the limit line and
// changes nothing; one key starts all eight; every run is one row of the record.
TEST_F(StationCliTest, NineDevicesInManualModeOneStartEightRuns) {
    set("Manual Upgrade=1");
    auto program = station(8);
    const std::string letters = "EFGHIJKL";
    for (char letter : letters) {
        plug(letter, letter == 'F' ? "spi" : "nand-2k", {"--port", std::to_string(letter - 'D')});
    }
    for (char letter : std::string("EFGHIJKL")) {
        ASSERT_TRUE(program->waitForOutput(std::string(" ") + letter + "  status: device plugin"))
            << program->output();
    }
    plug('M', "nand-2k");
    ASSERT_TRUE(program->waitForOutput("Status: Exceed the device limit!")) << program->output();
    EXPECT_EQ(countOf(program->output(), "Total "), 0u);  // no counter changed

    program->type("\n");
    EXPECT_EQ(program->waitForExit(), 0) << program->output();
    const std::string output = program->output();
    EXPECT_EQ(countOf(output, "  pass ("), 8u) << output;
    EXPECT_NE(output.find("Total 8   Success 8   Fail 0   Running 0"), std::string::npos) << output;
    EXPECT_EQ(countOf(output, "slot 9"), 0u);
    EXPECT_TRUE(trace('M').empty() || trace('M').size() <= 3);  // the arrival checks at most

    const auto rows = recordRows();
    ASSERT_EQ(rows.size(), 8u);
    std::map<char, std::string> byLetter;
    for (const auto& row : rows) {
        byLetter[row[0]] = row;
    }
    EXPECT_EQ(byLetter['E'], "E 1 1 -");
    EXPECT_EQ(byLetter['L'], "L 8 1 -");
}

// A device pulled out during its FSM download shows the FSM failure, is freed, and no run
// starts for it; a device pulled out during its run is counted failed, and the next device on
// the same letter takes the slot and gets none of the old run's commands.
TEST_F(StationCliTest, UnpluggedDevicesFreeTheirSlotsForTheNextOnes) {
    auto program = station(2);
    // Pulled in its FSM download: the slot is freed as the removal is seen, whether or not the
    // download's failure was shown first.
    plug('E', "nand-2k", {"--unplug-during", "SUB_SCSI_OP_FSM_WRITE@2"});
    ASSERT_TRUE(program->waitForOutput("slot 1 E  status: Waiting device...")) << program->output();

    plug('E', "nand-2k",
         {"--state", (dir_ / "second").string(), "--unplug-during", "SUB_SCSI_OP_FILE_WRITE@3"});
    ASSERT_TRUE(program->waitForOutput("E  fail (")) << program->output();
    const auto thirdTrace = dir_ / "third.trace";
    plug('E', "nand-2chip", {"--state", (dir_ / "third").string(), "--trace", thirdTrace.string()});
    EXPECT_EQ(program->waitForExit(), 1) << program->output();
    const std::string output = program->output();
    EXPECT_NE(output.find("E  pass ("), std::string::npos) << output;
    EXPECT_NE(output.find("Total 2   Success 1   Fail 1"), std::string::npos) << output;
    // The third device's first command is the station's arrival check, not a left-over of the
    // run that lost its device.
    const auto third = test::readTrace(thirdTrace);
    ASSERT_FALSE(third.empty());
    EXPECT_EQ(third.front().name, "INQUIRY");

    const auto rows = recordRows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].substr(0, 6), "E 1 0 ");
    EXPECT_NE(rows[0], "E 1 0 -");  // the failed step is named
    EXPECT_EQ(rows[1], "E 1 1 -");
}

std::string fileBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A device pulled right after "Start Disk" and an ordinary USB disk put on its letter while the
// controller's thread is held by a slow arrival on another drive: the ended run's format, label
// and copies never reach the new disk, whose bytes stay as they were.
TEST_F(StationCliTest, AForeignDiskSwappedOntoARunsLetterIsNeverTouched) {
    // The foreign disk: FAT16, labelled USERDATA, one file of the user's.
    const auto foreignState = dir_ / "foreign";
    plug('Z', "foreign", {"--state", foreignState.string()});
    const auto volume = simlink::simVolumePath(simDir_, 'Z');
    ASSERT_TRUE(volume);
    const auto precious = dir_ / "PRECIOUS.TXT";
    std::ofstream(precious) << "the user's own data\n";
    ASSERT_EQ(
        test::runProgram({"mkfs.fat", "-F", "16", "-n", "USERDATA", volume->string()}).exitCode, 0);
    ASSERT_EQ(test::runProgram({"mcopy", "-i", volume->string(), precious.string(), "::"}).exitCode,
              0);
    const std::string before = fileBytes(*volume);
    unplug('Z');

    set("Format=1");
    BackgroundProgram program("corvid-cli",
                              {"station", "--home", home_.string(), "--sim-dir", simDir_.string(),
                               "--pause-scale", "1", "--count", "1"});
    ASSERT_TRUE(program.waitForOutput("station ready")) << program.output();
    plug('E', "nand-2k");
    ASSERT_TRUE(program.waitForOutput("E  status: Program Write Setup")) << program.output();
    // A device silent in its FSM download holds the controller's thread for the command's
    // timeout.
    plug('F', "nand-2k", {"--silent", "FSM_WRITE_SETUP"});
    ASSERT_TRUE(program.waitForOutput("E  status: Start Disk")) << program.output();
    unplug('E');
    const auto foreignTrace = dir_ / "foreign.trace";
    plug('E', "foreign", {"--state", foreignState.string(), "--trace", foreignTrace.string()});

    EXPECT_EQ(program.waitForExit(), 1) << program.output();
    EXPECT_NE(program.output().find("E  fail ("), std::string::npos) << program.output();
    EXPECT_TRUE(fileBytes(*volume) == before) << "the foreign disk was written to";
    // Whatever the station sent it, it was its inquiry alone: a disk of another maker gets no
    // vendor command. (Nothing at all when the station had stopped taking devices by then.)
    for (const auto& command : test::readTrace(foreignTrace)) {
        EXPECT_EQ(command.name, "INQUIRY");
    }
    const auto label = test::runProgram({"mlabel", "-s", "-i", volume->string(), "::"});
    EXPECT_NE(label.output.find("USERDATA"), std::string::npos) << label.output;
}

// The FSM file is read when it is sent: missing, the arrival fails; put back, the next device
// gets it. A failing command fails the run and the station's exit status.
TEST_F(StationCliTest, MissingFsmAndFailingCommandAreShownAndCounted) {
    const auto fsm = home_ / "misc" / "FSM.bin";
    const auto kept = dir_ / "FSM.kept";
    std::filesystem::rename(fsm, kept);
    auto program = station(2);
    EXPECT_NE(program->output().find("note: " + fsm.string() +
                                     " is missing: every device will fail at \"FSM Writing\" "
                                     "until it is there"),
              std::string::npos)
        << program->output();
    plug('E', "nand-2k");
    ASSERT_TRUE(program->waitForOutput("slot 1 E  status: FSM Writingfail")) << program->output();
    EXPECT_TRUE(trace('E').size() <= 3) << "nothing of a missing FSM is sent";

    std::filesystem::rename(kept, fsm);
    plug('F', "nand-2k", {"--fail", "SUB_SCSI_OP_START_DISK"});
    plug('G', "spi");
    EXPECT_EQ(program->waitForExit(), 1) << program->output();
    const std::string output = program->output();
    EXPECT_NE(output.find("slot 2 F  fail ("), std::string::npos) << output;
    EXPECT_NE(output.find("slot 3 G  pass ("), std::string::npos) << output;
    const auto rows = recordRows();
    EXPECT_EQ(rows.size(), 2u);
}

// The second Ctrl-C ends a run that waits on a silent device's long command (SPI_FLASH_CHECK may
// take 300 s): the command is abandoned and the station ends within moments.
TEST_F(StationCliTest, TheSecondInterruptEndsARunWaitingOnASilentDevice) {
    auto program = station(5);
    plug('E', "spi", {"--silent", "SPI_FLASH_CHECK"});
    ASSERT_TRUE(program->waitForOutput("E  status: Bad Block Check...")) << program->output();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the command is under way
    const std::string pid = std::to_string(program->id());
    for (const char* said : {"stopping: no more devices are taken", "ending the running runs"}) {
        const auto sent = test::runProgram({"kill", "-INT", pid}, std::chrono::seconds(10));
        ASSERT_EQ(sent.exitCode, 0) << sent.output;
        ASSERT_TRUE(program->waitForOutput(said, std::chrono::seconds(10))) << program->output();
    }
    EXPECT_EQ(program->waitForExit(std::chrono::seconds(20)), 1) << program->output();
    EXPECT_NE(program->output().find("E  fail ("), std::string::npos) << program->output();
}

// ProductionRecord=0 keeps the record shut; the station still runs.
TEST_F(StationCliTest, TheRecordCanBeTurnedOff) {
    set("ProductionRecord=0");
    auto program = station(1);
    plug('E', "spi");
    EXPECT_EQ(program->waitForExit(), 0) << program->output();
    EXPECT_NE(program->output().find("the production record is off"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(home_ / "log" / "production.db"));
}

// A closed terminal or ssh session (SIGHUP) ends the station as SIGTERM does: no more devices,
// the runs end and are recorded, exit 0; a reader of its output that went away (SIGPIPE) does not
// end it. Its scratch folder goes with it.
TEST_F(StationCliTest, HangUpEndsTheStationAsTermDoesAndABrokenPipeDoesNot) {
    auto program = station(5);
    plug('E', "spi");
    ASSERT_TRUE(program->waitForOutput("slot 1 E  pass (")) << program->output();
    const std::string pid = std::to_string(program->id());
    for (const char* signal : {"-PIPE", "-HUP"}) {
        const auto sent = test::runProgram({"kill", signal, pid}, std::chrono::seconds(10));
        ASSERT_EQ(sent.exitCode, 0) << sent.output;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    EXPECT_EQ(program->waitForExit(), 0) << program->output();
    EXPECT_NE(program->output().find("stopping: no more devices are taken"), std::string::npos)
        << program->output();
    EXPECT_EQ(recordRows().size(), 1u);
    for (const auto& entry :
         std::filesystem::directory_iterator(std::filesystem::temp_directory_path())) {
        EXPECT_NE(entry.path().filename().string().rfind("corvid-volume-" + pid + "-", 0), 0u)
            << entry.path();
    }
}

// A record file that cannot be made holds the rows in memory while the station runs: the operator
// is told at once, and a run whose row was never written makes the exit status 1, the last line
// saying how many.
TEST_F(StationCliTest, RunsThatWereNotRecordedFailTheExitStatusAndAreCounted) {
    std::filesystem::remove_all(home_ / "log");
    std::ofstream(home_ / "log") << "a file where the folder log/ belongs";
    auto program = station(1);
    plug('E', "spi");
    EXPECT_EQ(program->waitForExit(), 1) << program->output();
    const std::string output = program->output();
    EXPECT_NE(output.find("slot 1 E  pass ("), std::string::npos) << output;
    EXPECT_NE(output.find(" Rows are held in memory (0 now, at most 10000) and written when it "
                          "can be; production goes on."),
              std::string::npos)
        << output;
    EXPECT_NE(output.find(", 1 held in memory"), std::string::npos) << output;
    const std::string last = "corvid-cli station: 1 ended run(s) were not recorded\n";
    ASSERT_GE(output.size(), last.size());
    EXPECT_EQ(output.substr(output.size() - last.size()), last) << output;
}

// A --record-db that cannot work stops the station before it takes a device: exit 2 and one line
// naming the URL without its password. The same value stored in prefer.ini (by hand: settings set
// refuses it) is said, and the station runs with its local record only.
TEST_F(StationCliTest, ARecordDatabaseThatCannotWorkIsRefusedOrLeftOut) {
    const auto refused = runBinProgram(
        "corvid-cli", {"station", "--home", home_.string(), "--sim-dir", simDir_.string(),
                       "--count", "1", "--record-db", "mysql://corvid:pw@db/record"});
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_EQ(refused.output,
              "corvid-cli station: The record database \"mysql://corvid@db/record\" is not a "
              "PostgreSQL URL (postgresql://USER@HOST:PORT/DATABASE).\n");

    IniFile(home_ / "misc" / "prefer.ini")
        .writeString("Corvid", "RecordDatabase", "postgresql://corvid:pw@db/record?colour=blue");
    auto program = station(1);
    plug('E', "spi");
    EXPECT_EQ(program->waitForExit(), 0) << program->output();
    const std::string output = program->output();
    EXPECT_NE(output.find("corvid-cli station: The record database URL "
                          "postgresql://corvid@db/record?colour=blue is not valid"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("log/production.db only"), std::string::npos) << output;
    EXPECT_EQ(output.find(":pw@"), std::string::npos) << "the password is never shown";
    EXPECT_EQ(recordRows().size(), 1u) << "the run is in the local record";
}

// The record database's password is never printed: settings show masks it in the URL and in
// the keyword form; the URL may come from a file named by --record-db or from CORVID_RECORD_DB,
// so that it need not stand on the command line.
TEST_F(StationCliTest, TheRecordDatabasePasswordIsNeverShownAndMayComeFromAFileOrTheEnvironment) {
    set("RecordDatabase=host=db password=secret dbname=record");
    const auto shown = runBinProgram("corvid-cli", {"settings", "show", "--home", home_.string()});
    EXPECT_EQ(shown.exitCode, 0) << shown.output;
    EXPECT_NE(shown.output.find("host=db password=*** dbname=record"), std::string::npos)
        << shown.output;
    EXPECT_EQ(shown.output.find("secret"), std::string::npos) << shown.output;

    const std::string refused =
        "corvid-cli station: The record database \"mysql://corvid@db/record\" is not a "
        "PostgreSQL URL (postgresql://USER@HOST:PORT/DATABASE).\n";
    const auto urlFile = dir_ / "record-db";
    std::ofstream(urlFile) << "mysql://corvid:secret@db/record\n";
    const std::vector<std::string> station = {std::string(CORVID_BIN_DIR) + "/corvid-cli",
                                              "station",
                                              "--home",
                                              home_.string(),
                                              "--sim-dir",
                                              simDir_.string(),
                                              "--count",
                                              "1"};
    std::vector<std::string> fromFile = station;
    fromFile.insert(fromFile.end(), {"--record-db", urlFile.string()});
    const auto byFile = test::runProgram(fromFile);
    EXPECT_EQ(byFile.exitCode, 2);
    EXPECT_EQ(byFile.output, refused);
    const auto byVariable = test::runProgram(station, std::chrono::seconds(120),
                                             {{"CORVID_RECORD_DB", urlFile.string()}});
    EXPECT_EQ(byVariable.exitCode, 2);
    EXPECT_EQ(byVariable.output, refused);
}

}  // namespace
}  // namespace corvid
