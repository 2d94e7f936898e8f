// The production record in SQLite: rows written one transaction each and read back whole, the
// schema version kept in the file, and every way the file can be unusable refused by name.
#include "records/sqlite_record_store.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <thread>
#include <tuple>

#include "platform/process_runner.h"
#include "records/run_id.h"
#include "records/run_record_fields.h"
#include "tests/records/records_test_support.h"
#include "tests/support/temp_dir.h"

namespace corvid {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const fs::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
}

// What a caught RecordError said; empty when none was thrown.
template <typename Action>
std::string recordErrorOf(Action&& action) {
    try {
        action();
    } catch (const RecordError& e) {
        return e.what();
    }
    return {};
}

// Permissions bind root only as another user: as root, the store runs as 'nobody' (effective
// user 65534) while this is alive, and the test returns to root afterwards.
class WithoutRootRights {
  public:
    WithoutRootRights() : dropped_(geteuid() == 0) {
        if (dropped_ && seteuid(65534) != 0) {
            throw std::runtime_error("cannot act as user 65534");
        }
    }
    ~WithoutRootRights() {
        if (dropped_ && seteuid(0) != 0) {
            std::abort();  // the rest of the tests would run as the wrong user
        }
    }
    WithoutRootRights(const WithoutRootRights&) = delete;
    WithoutRootRights& operator=(const WithoutRootRights&) = delete;

  private:
    bool dropped_;
};

class RecordStoreTest : public test::TempDirTest {
  protected:
    void SetUp() override {
        home_ = dir_ / "station";
        fs::create_directory(home_);
        file_ = productionRecordFile(home_);
    }
    fs::path home_;
    fs::path file_;
};

TEST_F(RecordStoreTest, RowsReadBackEqualAfterTheFileIsOpenedAgain) {
    EXPECT_EQ(file_, home_ / "log" / "production.db");
    const auto runs = test::sampleRuns();
    {
        SqliteRecordStore store(file_);
        for (const RunRecord& run : runs) {
            store.append(run);
        }
        EXPECT_EQ(store.rows(), runs);  // the same connection sees its own rows
    }
    const SqliteRecordStore reopened(file_, RecordAccess::Read);
    EXPECT_EQ(reopened.rows(), runs);
    // 'since' takes the day itself and the days after, by start time.
    EXPECT_EQ(reopened.rows("2024-05-02"), std::vector<RunRecord>(runs.begin() + 1, runs.end()));
    EXPECT_EQ(reopened.rows("2024-05-04"), std::vector<RunRecord>{});
}

TEST_F(RecordStoreTest, TheFileCarriesItsSchemaVersionInWalMode) {
    SqliteRecordStore(file_).append(test::sampleRuns().front());
    EXPECT_EQ(SqliteRecordStore(file_, RecordAccess::Read).schemaVersion(), kRecordSchemaVersion);
    // Read by SQLite itself, through Python: the version, the journal mode, the columns.
    const std::string seen = test::runPython(
        "import sqlite3, sys\n"
        "c = sqlite3.connect(sys.argv[1])\n"
        "print(c.execute('PRAGMA user_version').fetchone()[0])\n"
        "print(c.execute('PRAGMA journal_mode').fetchone()[0])\n"
        "print(' '.join(r[1] for r in c.execute('PRAGMA table_info(runs)')))\n"
        "print(c.execute('SELECT count(*) FROM runs').fetchone()[0])\n",
        {file_.string()});
    std::string columns = "id";
    for (const char* name : recordColumnNames()) {
        columns += std::string(" ") + name;
    }
    EXPECT_EQ(seen, std::to_string(kRecordSchemaVersion) + "\nwal\n" + columns + "\n1\n");
}

TEST_F(RecordStoreTest, AnEmptyFileIsBroughtUpToTheCurrentSchema) {
    fs::create_directory(home_ / "log");
    writeFile(file_, "");
    const SqliteRecordStore store(file_, RecordAccess::Read);
    EXPECT_EQ(store.schemaVersion(), kRecordSchemaVersion);
    EXPECT_TRUE(store.rows().empty());
}

TEST_F(RecordStoreTest, ANewerSchemaIsRefused) {
    SqliteRecordStore(file_).append(test::sampleRuns().front());
    test::runPython(
        "import sqlite3, sys\n"
        "c = sqlite3.connect(sys.argv[1])\n"
        "c.execute('PRAGMA user_version = ' + sys.argv[2])\n"
        "c.commit()\n",
        {file_.string(), std::to_string(kRecordSchemaVersion + 1)});
    for (const RecordAccess access : {RecordAccess::Write, RecordAccess::Read}) {
        EXPECT_EQ(recordErrorOf([&] { SqliteRecordStore store(file_, access); }),
                  "The production record " + file_.string() + " has schema version " +
                      std::to_string(kRecordSchemaVersion + 1) +
                      ", newer than this program knows (" + std::to_string(kRecordSchemaVersion) +
                      "); use the Corvid version that wrote it or a later one.");
    }
}

TEST_F(RecordStoreTest, AFileThatIsNoDatabaseIsRefusedAndLeftAlone) {
    struct Case {
        const char* what;
        std::string bytes;
        const char* says;
        const char* reportSays;
    };
    const Case cases[] = {
        {"settings text", "[Corvid]\r\nProductionRecord=1\r\n", "is not an SQLite database",
         "is not an SQLite database"},
        {"zeros", std::string(4096, '\0'), "is not an SQLite database",
         "is not an SQLite database"},
        {"a folder", "", "cannot be opened: unable to open database file",
         "is a folder, not a file."},
    };
    fs::create_directory(home_ / "log");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(file_);
        if (std::string(c.what) == "a folder") {
            fs::create_directory(file_);
        } else {
            writeFile(file_, c.bytes);
        }
        for (const RecordAccess access : {RecordAccess::Write, RecordAccess::Read}) {
            const std::string error =
                recordErrorOf([&] { SqliteRecordStore store(file_, access); });
            const char* says = access == RecordAccess::Read ? c.reportSays : c.says;
            EXPECT_NE(error.find("The production record " + file_.string() + " " + says),
                      std::string::npos)
                << error;
        }
        if (!fs::is_directory(file_)) {
            EXPECT_EQ(readFile(file_), c.bytes);
        }
    }
}

TEST_F(RecordStoreTest, TheLogFolderIsMadeButNotAMissingStationFolder) {
    SqliteRecordStore(file_).append(test::sampleRuns().front());
    EXPECT_TRUE(fs::is_regular_file(file_));

    const fs::path elsewhere = productionRecordFile(dir_ / "no-station");
    EXPECT_EQ(recordErrorOf([&] { SqliteRecordStore store(elsewhere); }),
              "The folder " + elsewhere.parent_path().string() +
                  " of the production record cannot be made: No such file or directory.");
    EXPECT_FALSE(fs::exists(dir_ / "no-station"));
}

TEST_F(RecordStoreTest, AReportNeverCreatesTheRecord) {
    const std::string error =
        recordErrorOf([&] { SqliteRecordStore store(file_, RecordAccess::Read); });
    EXPECT_EQ(error, "The production record " + file_.string() + " does not exist.");
    EXPECT_FALSE(fs::exists(file_));
    EXPECT_FALSE(fs::exists(file_.parent_path()));
}

TEST_F(RecordStoreTest, AReadOnlyFolderOrFileIsRefusedByName) {
    const fs::perms readOnly =
        fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
    const fs::perms readWrite =
        readOnly | fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    const fs::perms readOnlyFolder =
        readOnly | fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
    struct Case {
        const char* what;
        std::optional<fs::perms> file;  // none: no record yet
        fs::perms folder;
        const char* says;
    };
    const Case cases[] = {
        {"a new record in a read-only folder", std::nullopt, readOnlyFolder,
         "cannot be made: Permission denied."},
        {"a read-only record in a writable folder", readOnly, fs::perms::all,
         "cannot be written: the file or its folder is read-only."},
        // WAL keeps two files beside the record, so its folder must be writable too.
        {"a read-only record in a read-only folder", readOnly, readOnlyFolder,
         "cannot be opened: it or its folder is read-only (attempt to write a readonly database)."},
        {"a writable record in a read-only folder", readWrite, readOnlyFolder,
         "cannot be opened: it or its folder is read-only (attempt to write a readonly database)."},
    };
    // The user the store runs as must reach the folder.
    fs::permissions(dir_, fs::perms::all);
    fs::permissions(home_, fs::perms::all);
    const fs::path log = file_.parent_path();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(log);
        fs::create_directory(log);
        std::string before;
        if (c.file) {
            SqliteRecordStore(file_).append(test::sampleRuns().front());
            fs::permissions(file_, *c.file);
            before = readFile(file_);
        }
        fs::permissions(log, c.folder);
        std::string error;
        {
            const WithoutRootRights user;
            error = recordErrorOf([&] {
                SqliteRecordStore store(file_);
                store.append(test::sampleRuns().back());
            });
        }
        fs::permissions(log, fs::perms::all);
        EXPECT_EQ(error, "The production record " + file_.string() + " " + c.says);
        EXPECT_EQ(fs::exists(file_), c.file.has_value());
        if (c.file) {
            EXPECT_EQ(readFile(file_), before);
        }
    }
}

// Another program holding the write lock, as the sqlite3 shell or a second station would.
class LockHolder {
  public:
    LockHolder(const fs::path& database, const fs::path& folder, double seconds)
        : said_(folder / "lock-holder.out") {
        child_ = startProcess({.argv = {"python3", "-c",
                                        "import sqlite3, sys, time\n"
                                        "c = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
                                        "c.execute('BEGIN IMMEDIATE')\n"
                                        "print('locked', flush=True)\n"
                                        "time.sleep(float(sys.argv[2]))\n"
                                        "c.execute('COMMIT')\n",
                                        database.string(), std::to_string(seconds)},
                               .outputFile = said_});
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (readFile(said_).find("locked") == std::string::npos) {
            if (std::chrono::steady_clock::now() > until || child_->poll()) {
                ADD_FAILURE() << "the lock holder did not take the lock: " << readFile(said_);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~LockHolder() { child_->kill(); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

    std::optional<int> waitFor(std::chrono::milliseconds limit) { return child_->waitFor(limit); }

  private:
    fs::path said_;
    std::unique_ptr<ChildProcess> child_;
};

TEST_F(RecordStoreTest, AShortLockIsWaitedForAndALongOneNamed) {
    const auto runs = test::sampleRuns();
    SqliteRecordStore store(file_, RecordAccess::Write, std::chrono::milliseconds(300));
    store.append(runs[0]);
    {
        LockHolder holder(file_, dir_, 60);
        EXPECT_EQ(recordErrorOf([&] { store.append(runs[1]); }),
                  "The production record " + file_.string() +
                      " cannot be written: another program held it locked for more than 300 ms "
                      "(database is locked).");
    }
    EXPECT_EQ(store.rows(), std::vector<RunRecord>{runs[0]});  // nothing half written

    SqliteRecordStore patient(file_, RecordAccess::Write, std::chrono::seconds(20));
    LockHolder holder(file_, dir_, 0.5);
    patient.append(runs[1]);
    EXPECT_EQ(holder.waitFor(std::chrono::seconds(10)), 0);
    EXPECT_EQ(patient.rows(), std::vector<RunRecord>(runs.begin(), runs.begin() + 2));
}

// A file written before run ids existed: its rows get run ids of their own, distinct and of the
// one form, and nothing of them waits to be sent anywhere.
TEST_F(RecordStoreTest, AnOlderFileIsGivenRunIdsAndAnEmptyQueue) {
    fs::create_directory(home_ / "log");
    test::runPython(
        "import sqlite3, sys\n"
        "c = sqlite3.connect(sys.argv[1])\n"
        "c.executescript('''CREATE TABLE runs (id INTEGER PRIMARY KEY, start_time TEXT NOT NULL,\n"
        "  end_time TEXT NOT NULL, station TEXT NOT NULL, slot INTEGER NOT NULL,\n"
        "  letter TEXT NOT NULL, port_location TEXT NOT NULL, flash_id TEXT NOT NULL,\n"
        "  flash_name TEXT NOT NULL, chips INTEGER NOT NULL, good_blocks INTEGER NOT NULL,\n"
        "  total_blocks INTEGER NOT NULL, disk_mb INTEGER NOT NULL, disk_feature TEXT NOT NULL,\n"
        "  disk_ratio INTEGER NOT NULL, firmware_file TEXT NOT NULL,\n"
        "  firmware_sha256 TEXT NOT NULL, fsm_version TEXT NOT NULL, scan_level INTEGER NOT NULL,\n"
        "  seconds REAL NOT NULL, passed INTEGER NOT NULL, final_status TEXT NOT NULL,\n"
        "  failed_step TEXT NOT NULL);\n"
        "  CREATE INDEX runs_by_start_time ON runs (start_time);\n"
        "  PRAGMA user_version = 1;''')\n"
        "for slot in range(1, 4):\n"
        "    c.execute(\"INSERT INTO runs VALUES (NULL, '2024-05-01 09:00:00', "
        "'2024-05-01 09:00:42', 'line-1', ?, 'E', '', '', '', 1, 2, 3, 4, 'normal', 0, '', '', "
        "'', 0, 1.5, 1, 'ok', '')\", (slot,))\n"
        "c.commit()\n",
        {file_.string()});

    SqliteRecordStore store(file_);
    EXPECT_EQ(store.schemaVersion(), kRecordSchemaVersion);
    const auto rows = store.rows();
    ASSERT_EQ(rows.size(), 3u);
    std::set<std::string> ids;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_TRUE(isRunId(rows[i].runId)) << rows[i].runId;
        EXPECT_EQ(rows[i].runId[14], '4');
        EXPECT_NE(std::string("89ab").find(rows[i].runId[19]), std::string::npos);
        ids.insert(rows[i].runId);
        EXPECT_EQ(rows[i].slot, static_cast<int>(i) + 1);
        EXPECT_EQ(rows[i].goodBlocks, 2);
        EXPECT_EQ(rows[i].finalStatus, "ok");
    }
    EXPECT_EQ(ids.size(), 3u);
    EXPECT_EQ(store.pendingCount(), 0);
    // New rows follow the old ones.
    store.append(test::sampleRuns().front());
    EXPECT_EQ(store.rows().back(), test::sampleRuns().front());
}

// Makes a record file as version 2 wrote it: local times, no end kind, no failure key. Rows:
// (start time, passed, final status, failed step), slots 1, 2, ...
void writeVersion2File(
    const fs::path& file,
    const std::vector<std::tuple<std::string, int, std::string, std::string>>& rows) {
    std::string values;
    for (const auto& [start, passed, status, step] : rows) {
        values +=
            "('" + start + "', " + std::to_string(passed) + ", '" + status + "', '" + step + "'),";
    }
    values.pop_back();
    test::runPython(
        "import sqlite3, sys\n"
        "c = sqlite3.connect(sys.argv[1])\n"
        "c.executescript('''CREATE TABLE runs (id INTEGER PRIMARY KEY, start_time TEXT NOT NULL,\n"
        "  end_time TEXT NOT NULL, station TEXT NOT NULL, slot INTEGER NOT NULL,\n"
        "  letter TEXT NOT NULL, port_location TEXT NOT NULL, flash_id TEXT NOT NULL,\n"
        "  flash_name TEXT NOT NULL, chips INTEGER NOT NULL, good_blocks INTEGER NOT NULL,\n"
        "  total_blocks INTEGER NOT NULL, disk_mb INTEGER NOT NULL, disk_feature TEXT NOT NULL,\n"
        "  disk_ratio INTEGER NOT NULL, firmware_file TEXT NOT NULL,\n"
        "  firmware_sha256 TEXT NOT NULL, fsm_version TEXT NOT NULL, scan_level INTEGER NOT NULL,\n"
        "  seconds REAL NOT NULL, passed INTEGER NOT NULL, final_status TEXT NOT NULL,\n"
        "  failed_step TEXT NOT NULL, run_id TEXT NOT NULL DEFAULT '');\n"
        "  CREATE UNIQUE INDEX runs_by_run_id ON runs (run_id);\n"
        "  CREATE TABLE pending_runs (id INTEGER PRIMARY KEY REFERENCES runs (id));\n"
        "  PRAGMA user_version = 2;''')\n"
        "for n, (start, passed, status, step) in enumerate([" +
            values +
            "]):\n"
            "    c.execute(\"INSERT INTO runs VALUES (NULL, ?, ?, 'line-1', ?, 'E', '', '', '', "
            "\"\n"
            "              \"1, 2, 3, 4, 'normal', 0, '', '', '', 0, 1.5, ?, ?, ?, ?)\",\n"
            "              (start, start, n + 1, passed, status, step, 'id-%d' % n))\n"
            "c.commit()\n",
        {file.string()});
}

// The zone of this process while it lives ("CST-8": eight hours east of UTC, no summer time,
// known without the zone database).
class InZone {
  public:
    explicit InZone(const char* zone) {
        if (const char* was = std::getenv("TZ")) {
            was_ = was;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~InZone() {
        if (was_) {
            setenv("TZ", was_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    InZone(const InZone&) = delete;
    InZone& operator=(const InZone&) = delete;

  private:
    std::optional<std::string> was_;
};

// Version 2 kept local times and one text per failure: the station's own file is brought to
// UTC in this machine's zone, and each row gets an end kind and a failure key (its step, else
// its text). A report reads such a file without writing it.
TEST_F(RecordStoreTest, AVersion2FileGetsUtcTimesEndKindsAndFailureKeys) {
    const InZone shanghai("CST-8");
    fs::create_directory(home_ / "log");
    writeVersion2File(file_, {{"2024-05-01 07:30:00", 1, "successful", ""},
                              {"2024-05-01 09:00:00", 0, "Bad block Fail", "Blanking Check"},
                              {"2024-05-02 00:10:00", 0, "Format fail", ""}});
    const std::string before = readFile(file_);
    struct Expected {
        const char* start;
        RunEnd end;
        const char* key;
    };
    const Expected expected[] = {{"2024-04-30 23:30:00Z", RunEnd::Passed, ""},
                                 {"2024-05-01 01:00:00Z", RunEnd::Failed, "Blanking Check"},
                                 {"2024-05-01 16:10:00Z", RunEnd::Failed, "Format fail"}};
    const auto check = [&](const std::vector<RunRecord>& rows) {
        ASSERT_EQ(rows.size(), std::size(expected));
        for (std::size_t i = 0; i < rows.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(rows[i].startTime, expected[i].start);
            EXPECT_EQ(rows[i].endTime, expected[i].start);
            EXPECT_EQ(rows[i].end, expected[i].end);
            EXPECT_EQ(rows[i].failureKey, expected[i].key);
        }
    };
    {
        SCOPED_TRACE("a report");
        const SqliteRecordStore report(file_, RecordAccess::Read);
        check(report.rows());
    }
    EXPECT_EQ(readFile(file_), before);
    {
        SCOPED_TRACE("the station");
        SqliteRecordStore station(file_);
        EXPECT_EQ(station.schemaVersion(), kRecordSchemaVersion);
        check(station.rows());
    }
    SCOPED_TRACE("after the station");
    check(SqliteRecordStore(file_, RecordAccess::Read).rows());
}

// A report reads the record of a folder it may not write (another user's station, a copy on a
// read-only medium) and leaves the file as it was.
TEST_F(RecordStoreTest, AReportReadsARecordInAReadOnlyFolder) {
    const auto runs = test::sampleRuns();
    SqliteRecordStore(file_).appendAll(runs);
    const fs::path log = file_.parent_path();
    fs::permissions(dir_, fs::perms::all);
    fs::permissions(home_, fs::perms::all);
    const fs::perms readOnly =
        fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
    fs::permissions(file_, readOnly);
    fs::permissions(
        log, readOnly | fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec);
    const std::string before = readFile(file_);
    std::vector<RunRecord> read;
    std::string error;
    {
        const WithoutRootRights user;
        error = recordErrorOf([&] { read = SqliteRecordStore(file_, RecordAccess::Read).rows(); });
    }
    fs::permissions(log, fs::perms::all);
    EXPECT_EQ(error, "");
    EXPECT_EQ(read, runs);
    EXPECT_EQ(readFile(file_), before);
    EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(log), {}), std::vector<fs::path>{file_});
}

// Rows kept for a shared database wait in order until they are marked sent, also across a
// reopening of the file; rows kept only here never wait.
TEST_F(RecordStoreTest, WaitingRowsLeaveTheQueueOnlyWhenMarkedSent) {
    const auto runs = test::sampleRuns();
    {
        SqliteRecordStore store(file_);
        store.appendPending(runs[0]);
        store.append(runs[1]);
        store.appendPending(runs[2]);
        const auto first = store.pendingRows(1);
        ASSERT_EQ(first.size(), 1u);
        EXPECT_EQ(first[0].record, runs[0]);
        const std::int64_t sent[] = {first[0].id};
        store.markSent(sent);
        EXPECT_EQ(store.pendingCount(), 1);
    }
    SqliteRecordStore reopened(file_);
    const auto waiting = reopened.pendingRows(10);
    ASSERT_EQ(waiting.size(), 1u);
    EXPECT_EQ(waiting[0].record, runs[2]);
    const std::int64_t sent[] = {waiting[0].id};
    reopened.markSent(sent);
    EXPECT_EQ(reopened.pendingCount(), 0);
    EXPECT_EQ(reopened.rows(), runs);  // sending takes nothing from the record itself
}

// A run id names one row: a row without one is given one, a second row with the same is refused
// by name and leaves the record as it was.
TEST_F(RecordStoreTest, ARunIdNamesOneRow) {
    SqliteRecordStore store(file_);
    RunRecord unnamed = test::sampleRuns().front();
    unnamed.runId.clear();
    store.append(unnamed);
    store.append(unnamed);
    const auto rows = store.rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_TRUE(isRunId(rows[0].runId));
    EXPECT_TRUE(isRunId(rows[1].runId));
    EXPECT_NE(rows[0].runId, rows[1].runId);

    RunRecord again = test::sampleRuns()[1];
    again.runId = rows[0].runId;
    const std::string error = recordErrorOf([&] { store.appendPending(again); });
    EXPECT_NE(error.find("The production record " + file_.string() +
                         " cannot be written: UNIQUE constraint failed: runs.run_id"),
              std::string::npos)
        << error;
    EXPECT_EQ(store.rows(), rows);
    EXPECT_EQ(store.pendingCount(), 0);
}

}  // namespace
}  // namespace corvid
