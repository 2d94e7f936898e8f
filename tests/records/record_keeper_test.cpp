// The station's record file written off the controller's thread: rows held in memory (bounded,
// counted) while another program holds the file locked or it cannot be made, written in order
// when it can; a file that is no database set aside under a new name, never deleted.
#include "records/record_keeper.h"

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <thread>

#include "records/run_id.h"
#include "records/sqlite_record_store.h"
#include "tests/records/records_test_support.h"
#include "tests/support/temp_dir.h"

namespace corvid {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

RunRecord runNumbered(int number) {
    RunRecord record = test::sampleRuns().front();
    record.slot = number;
    record.runId = newRunId();
    return record;
}

class RecordKeeperTest : public test::TempDirTest {
  protected:
    std::unique_ptr<RecordKeeper> keeper(std::size_t limit = kHeldRowsLimit) {
        return std::make_unique<RecordKeeper>(
            file_,
            [this] {
                return std::make_unique<SqliteRecordStore>(file_, RecordAccess::Write, 200ms);
            },
            limit, 50ms);
    }

    // Waits until the keeper has written 'rows' (true), or 10 s passed.
    static bool written(const RecordKeeper& keeper, std::int64_t rows) {
        for (int i = 0; i < 1000; ++i) {
            if (keeper.counts().written == rows) {
                return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    static std::string allOf(const std::vector<std::string>& notices) {
        std::string all;
        for (const std::string& notice : notices) {
            all += notice + "\n";
        }
        return all;
    }

    fs::path file_ = dir_ / "log" / "production.db";
};

// Another program holds the write lock for longer than the busy timeout: append() returns at
// once, the rows wait in memory, and when the lock goes they are written, in order, once.
TEST_F(RecordKeeperTest, RowsWaitInMemoryWhileAnotherProgramHoldsTheFileLocked) {
    auto kept = keeper();
    std::vector<RunRecord> runs = {runNumbered(1)};
    kept->append(runs.back());
    ASSERT_TRUE(written(*kept, 1));

    const fs::path locked = dir_ / "locked";
    auto holder = std::async(std::launch::async, [&] {
        return test::runPython(
            "import sqlite3, sys, time, pathlib\n"
            "db = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
            "db.execute('BEGIN IMMEDIATE')\n"
            "pathlib.Path(sys.argv[2]).touch()\n"
            "time.sleep(1.5)\n"
            "db.execute('COMMIT')\n",
            {file_.string(), locked.string()});
    });
    while (!fs::exists(locked)) {
        std::this_thread::sleep_for(10ms);
    }
    const auto start = std::chrono::steady_clock::now();
    for (int i = 2; i <= 4; ++i) {
        runs.push_back(runNumbered(i));
        kept->append(runs.back());
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms) << "the caller never waits";
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(kept->counts().held, 3);
    holder.get();
    ASSERT_TRUE(written(*kept, 4));
    kept->finish();

    const std::vector<std::string> notices = kept->takeNotices();
    ASSERT_EQ(notices.size(), 2u) << allOf(notices);
    EXPECT_NE(notices[0].find("another program held it locked"), std::string::npos) << notices[0];
    EXPECT_NE(notices[0].find(" Rows are held in memory ("), std::string::npos) << notices[0];
    EXPECT_EQ(notices[1], "The production record " + file_.string() +
                              " can be written again; 3 rows that were held were written.");
    EXPECT_EQ(kept->counts().held, 0);
    EXPECT_EQ(SqliteRecordStore(file_).rows(), runs);
}

// A record file that is no database is kept under a new name, bytes unchanged, and a new record
// takes the rows; the operator is told where the old one went.
TEST_F(RecordKeeperTest, AFileThatIsNoDatabaseIsSetAsideAndANewOneStarted) {
    fs::create_directories(file_.parent_path());
    const std::string garbage(5000, 'x');
    std::ofstream(file_, std::ios::binary) << garbage;
    auto kept = keeper();
    const RunRecord run = runNumbered(1);
    kept->append(run);
    ASSERT_TRUE(written(*kept, 1));
    kept->finish();

    const fs::path aside = dir_ / "log" / "production.set-aside-1.db";
    std::ifstream in(aside, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), garbage);
    EXPECT_EQ(SqliteRecordStore(file_).rows(), std::vector{run});
    const std::vector<std::string> notices = kept->takeNotices();
    ASSERT_EQ(notices.size(), 1u) << allOf(notices);
    EXPECT_NE(notices[0].find("is not an SQLite database"), std::string::npos) << notices[0];
    EXPECT_NE(notices[0].find(" It is kept as " + aside.string() +
                              " and a new production record is started."),
              std::string::npos)
        << notices[0];
}

// A record that cannot be made holds the rows, at most the limit (the rest are counted as
// dropped), and writes them as soon as it can be made; what is still held at the end is counted.
TEST_F(RecordKeeperTest, RowsAreHeldUpToTheLimitUntilTheFileCanBeMade) {
    std::ofstream(dir_ / "log") << "a file where the folder log/ belongs";
    auto kept = keeper(2);
    std::vector<RunRecord> runs;
    for (int i = 1; i <= 3; ++i) {
        runs.push_back(runNumbered(i));
        kept->append(runs.back());
    }
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(kept->counts().held, 2);
    EXPECT_EQ(kept->counts().lost, 1);
    const std::vector<std::string> notices = kept->takeNotices();
    ASSERT_EQ(notices.size(), 2u) << allOf(notices);
    EXPECT_NE(notices[0].find("cannot be made"), std::string::npos) << notices[0];
    EXPECT_EQ(notices[1],
              "2 rows of the production record wait in memory already; further runs "
              "are not recorded until " +
                  file_.string() + " can be written.");

    fs::remove(dir_ / "log");
    ASSERT_TRUE(written(*kept, 2));
    kept->finish();
    EXPECT_EQ(SqliteRecordStore(file_).rows(), (std::vector{runs[0], runs[1]}));
    EXPECT_EQ(kept->counts().lost, 1);
}

// At the end, rows the file still does not take are counted as held: the program says how many
// runs were not recorded.
TEST_F(RecordKeeperTest, RowsStillHeldAtTheEndAreCounted) {
    std::ofstream(dir_ / "log") << "a file where the folder log/ belongs";
    auto kept = keeper();
    kept->append(runNumbered(1));
    kept->append(runNumbered(2));
    kept->finish();
    EXPECT_EQ(kept->counts().held, 2);
    EXPECT_EQ(kept->counts().written, 0);
}

}  // namespace
}  // namespace corvid
