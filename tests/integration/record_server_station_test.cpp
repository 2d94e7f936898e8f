// corvid-cli station sending its production record to a factory's PostgreSQL database (the
// tests' throwaway server): the server stopped in the middle of ten devices and started again,
// a wrong password at the start; no row lost, none stored twice, each outage said once, no
// device failed by it.
#include <gtest/gtest.h>

#include <thread>

#include "tests/integration/sim_fixture.h"
#include "tests/records/record_database.h"

namespace corvid {
namespace {

using namespace std::chrono_literals;
using test::BackgroundProgram;
using test::runBinProgram;

std::size_t countOf(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

std::string testName() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

class RecordServerStationTest : public test::SimulatorTest {
  protected:
    void SetUp() override {
        if (!database_.available()) {
            GTEST_SKIP() << database_.skipReason();
        }
        SimulatorTest::SetUp();
        home_ = dir_ / "station";
        const auto written = runBinProgram("corvid-cli", {"init-home", home_.string()});
        ASSERT_EQ(written.exitCode, 0) << written.output;
    }

    std::unique_ptr<BackgroundProgram> station(int count, std::vector<std::string> extra = {}) {
        std::vector<std::string> arguments = {"station",   "--home",         home_.string(),
                                              "--sim-dir", simDir_.string(), "--pause-scale",
                                              "0",         "--count",        std::to_string(count)};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        auto program = std::make_unique<BackgroundProgram>("corvid-cli", arguments);
        EXPECT_TRUE(program->waitForOutput("station ready")) << program->output();
        return program;
    }

    // Plugs a device on each letter and waits until 'ended' runs have ended in all.
    void produce(BackgroundProgram& program, const std::string& letters, std::size_t ended) {
        for (const char letter : letters) {
            plug(letter, "spi");
        }
        for (int i = 0; i < 600 && countOf(program.output(), "  pass (") < ended; ++i) {
            std::this_thread::sleep_for(50ms);
        }
        ASSERT_EQ(countOf(program.output(), "  pass ("), ended) << program.output();
    }

    // Waits until the server holds 'rows' rows; false after 20 s. (The station made the table
    // when it started.)
    bool serverHolds(int rows) {
        for (int i = 0; i < 200; ++i) {
            if (database_.sql("SELECT count(*) FROM runs") == std::to_string(rows) + "\n") {
                return true;
            }
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }

    // The run ids of the station's own record, through corvid-cli report --csv and Python.
    std::string localRunIds() { return test::recordColumns(home_, dir_ / "local.csv", {"run_id"}); }

    test::TestRecordDatabase database_{testName()};
    std::filesystem::path home_;
};

TEST_F(RecordServerStationTest, TheServerStoppedInTheMiddleOfTenDevicesLosesNoRow) {
    auto program = station(10, {"--record-db", database_.url()});
    produce(*program, "EFG", 3);
    ASSERT_TRUE(serverHolds(3)) << program->output();

    database_.pauseServer();
    produce(*program, "HIJK", 7);
    ASSERT_TRUE(program->waitForOutput("and are sent when it answers; production goes on."))
        << program->output();
    database_.resumeServer();
    for (const char letter : std::string("EFGHIJK")) {
        unplug(letter);
    }
    std::this_thread::sleep_for(1s);  // the station sees the slots freed
    produce(*program, "LMN", 10);
    EXPECT_EQ(program->waitForExit(), 0) << program->output();

    const std::string output = program->output();
    EXPECT_EQ(countOf(output, "and are sent when it answers"), 1u) << output;
    EXPECT_EQ(countOf(output, "answers again; "), 1u) << output;
    EXPECT_NE(output.find("Total 10   Success 10   Fail 0"), std::string::npos) << output;
    EXPECT_NE(output.find("; 10 sent to postgresql://corvid@127.0.0.1:"), std::string::npos)
        << output;
    EXPECT_NE(output.find(", 0 waiting to be sent\n"), std::string::npos) << output;
    EXPECT_EQ(output.find(database_.password()), std::string::npos) << "no password shown";

    EXPECT_EQ(database_.sql("SELECT count(*), count(DISTINCT run_id) FROM runs"), "10|10\n");
    // The same runs as the station's own record, in the same order.
    EXPECT_EQ(database_.sql("SELECT run_id FROM runs ORDER BY id"), localRunIds());
}

// A wrong password is said once and the station produces on; the rows go with the next start,
// pointed at the database by prefer.ini.
TEST_F(RecordServerStationTest, AWrongPasswordIsSaidOnceAndTheRowsGoLater) {
    auto program = station(2, {"--record-db", database_.urlWith("wrong", database_.database())});
    produce(*program, "EF", 2);
    EXPECT_EQ(program->waitForExit(), 0) << program->output();
    std::string output = program->output();
    EXPECT_EQ(countOf(output, "password authentication failed for user \"corvid\"."), 1u) << output;
    EXPECT_NE(output.find("; 0 sent to "), std::string::npos) << output;
    EXPECT_NE(output.find(", 2 waiting to be sent\n"), std::string::npos) << output;

    const auto set = runBinProgram(
        "corvid-cli",
        {"settings", "set", "RecordDatabase=" + database_.url(), "--home", home_.string()});
    ASSERT_EQ(set.exitCode, 0) << set.output;
    unplug('E');
    unplug('F');
    program = station(1);
    produce(*program, "G", 1);
    EXPECT_EQ(program->waitForExit(), 0) << program->output();
    output = program->output();
    EXPECT_NE(output.find("; 3 sent to "), std::string::npos) << output;
    EXPECT_EQ(database_.sql("SELECT run_id FROM runs ORDER BY id"), localRunIds());
    EXPECT_EQ(database_.sql("SELECT count(*) FROM runs"), "3\n");
}

}  // namespace
}  // namespace corvid
