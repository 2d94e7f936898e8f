// The production record in a factory's PostgreSQL database, on a throwaway server of the tests'
// own: rows from several stations stored once each, rows waiting through a stopped server, the
// schema made once however many stations start at once, the report across stations, and the one
// line of each mistake in the URL, the password or the database name. psql reads what we wrote.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <set>
#include <sstream>
#include <thread>

#include "records/postgres_record_store.h"
#include "records/production_report.h"
#include "records/record_relay.h"
#include "records/run_id.h"
#include "records/run_record_fields.h"
#include "tests/records/record_database.h"
#include "tests/records/records_test_support.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace corvid {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string testName() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

std::size_t countOf(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

class RecordServerTest : public test::TempDirTest {
  protected:
    void SetUp() override {
        if (!database_.available()) {
            GTEST_SKIP() << database_.skipReason();
        }
    }

    std::unique_ptr<RecordRelay> relayFor(const std::string& station,
                                          std::chrono::milliseconds retry = 100ms) {
        const fs::path file = dir_ / station / "log" / "production.db";
        fs::create_directories(file.parent_path());
        const std::string url = database_.url();
        return std::make_unique<RecordRelay>(
            file, urlWithoutPassword(url),
            [url](std::stop_token) { return std::make_unique<PostgresRecordStore>(url); }, retry);
    }

    static RunRecord runOf(const std::string& station, int slot, double seconds, bool passed) {
        RunRecord record = test::sampleRuns()[passed ? 0 : 1];
        record.station = station;
        record.slot = slot;
        record.seconds = seconds;
        record.runId = newRunId();
        return record;
    }

    // Waits until the relay has no row waiting; false after 20 s.
    static bool drained(const RecordRelay& relay) {
        for (int i = 0; i < 2000; ++i) {
            if (relay.counts().waiting == 0) {
                return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    test::TestRecordDatabase database_{testName()};
};

// Three stations send at once; each row arrives once, whole, in each station's order, and a row
// sent again is stored once.
TEST_F(RecordServerTest, RowsFromThreeStationsArriveOnceEach) {
    const std::vector<std::string> stations = {"line-1", "line-2", "线体-3"};
    std::vector<std::vector<RunRecord>> sent(stations.size());
    std::vector<std::thread> threads;
    for (std::size_t s = 0; s < stations.size(); ++s) {
        for (int i = 1; i <= 8; ++i) {
            sent[s].push_back(runOf(stations[s], i, 0.5 * i, i % 3 != 0));
        }
        threads.emplace_back([&, s] {
            auto relay = relayFor("station-" + std::to_string(s));
            for (const RunRecord& record : sent[s]) {
                relay->append(record);
            }
            EXPECT_TRUE(drained(*relay));
            relay->finish();
            EXPECT_TRUE(relay->takeNotices().empty());
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }

    EXPECT_EQ(database_.sql("SELECT station, count(*), count(DISTINCT run_id) FROM runs "
                            "GROUP BY station ORDER BY station"),
              "line-1|8|8\nline-2|8|8\n线体-3|8|8\n");
    // Whole rows, each station's in the order its runs ended.
    const PostgresRecordStore server(database_.url(), RecordAccess::Read);
    const std::vector<RunRecord> stored = server.rows();
    ASSERT_EQ(stored.size(), 24u);
    for (std::size_t s = 0; s < stations.size(); ++s) {
        std::vector<RunRecord> ofStation;
        std::copy_if(stored.begin(), stored.end(), std::back_inserter(ofStation),
                     [&](const RunRecord& row) { return row.station == stations[s]; });
        EXPECT_EQ(ofStation, sent[s]) << stations[s];
    }

    // Sent again (a mark lost after the server took the rows): nothing changes.
    PostgresRecordStore again(database_.url());
    again.appendAll(sent[1]);
    again.append(sent[2].front());
    EXPECT_EQ(database_.sql("SELECT count(*) FROM runs"), "24\n");
}

// The server stops while rows come: they wait in the station's file, the outage is said once,
// and when it is back every row is there exactly once, in order.
TEST_F(RecordServerTest, RowsWaitWhileTheServerIsStoppedAndArriveOnceWhenItIsBack) {
    auto relay = relayFor("station");
    std::vector<RunRecord> runs;
    for (int i = 1; i <= 3; ++i) {
        runs.push_back(runOf("line-1", i, 1, true));
        relay->append(runs.back());
    }
    ASSERT_TRUE(drained(*relay));

    database_.pauseServer();
    for (int i = 4; i <= 7; ++i) {
        runs.push_back(runOf("line-1", i, 1, i != 5));
        relay->append(runs.back());
        std::this_thread::sleep_for(150ms);  // retries meet a stopped server
    }
    EXPECT_EQ(relay->counts().waiting, 4);
    database_.resumeServer();
    for (int i = 8; i <= 10; ++i) {
        runs.push_back(runOf("line-1", i, 1, true));
        relay->append(runs.back());
    }
    ASSERT_TRUE(drained(*relay));
    relay->finish();

    std::vector<std::string> notices = relay->takeNotices();
    std::string all;
    for (const std::string& notice : notices) {
        all += notice + "\n";
    }
    ASSERT_EQ(notices.size(), 2u) << all;
    EXPECT_NE(notices[0].find("The record database " + urlWithoutPassword(database_.url()) +
                              " cannot be "),
              std::string::npos)
        << notices[0];
    EXPECT_NE(notices[0].find(" and are sent when it answers; production goes on."),
              std::string::npos)
        << notices[0];
    EXPECT_EQ(notices[0].find(database_.password()), std::string::npos);
    EXPECT_NE(notices[1].find(" answers again; "), std::string::npos) << notices[1];

    EXPECT_EQ(PostgresRecordStore(database_.url(), RecordAccess::Read).rows(), runs);
    EXPECT_EQ(database_.sql("SELECT count(*), count(DISTINCT run_id) FROM runs"), "10|10\n");
    EXPECT_EQ(SqliteRecordStore(dir_ / "station" / "log" / "production.db").pendingCount(), 0);
}

// A server whose processes are stopped (SIGSTOP) keeps its connections open and answers nothing:
// every wait for it ends at its deadline, so opening and writing fail in time with a line that
// says so, and the server is woken again whatever the test found.
class SilentServer {
  public:
    explicit SilentServer(const test::TestRecordDatabase& database) : database_(database) {
        database_.silenceServer();
    }
    ~SilentServer() { database_.wakeServer(); }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;

  private:
    const test::TestRecordDatabase& database_;
};

// How long 'call' took with the server silent; it runs on a thread of its own, so a call that
// hangs fails the test once the server is woken instead of holding it.
template <typename Call>
std::chrono::milliseconds timedAgainstSilentServer(const test::TestRecordDatabase& database,
                                                   Call call) {
    std::future<void> done;
    std::chrono::steady_clock::time_point start;
    {
        const SilentServer silent(database);
        start = std::chrono::steady_clock::now();
        done = std::async(std::launch::async, call);
        done.wait_for(15s);
    }
    done.get();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}

TEST_F(RecordServerTest, EveryWaitForASilentServerEndsAtItsDeadline) {
    const ServerWaits waits{1s, 1s};
    PostgresRecordStore open(database_.url(), RecordAccess::Write, waits);
    std::string written;
    std::string opened;
    const auto took = timedAgainstSilentServer(database_, [&] {
        try {
            open.append(runOf("line-1", 1, 1, true));
        } catch (const RecordError& error) {
            written = error.what();
        }
        try {
            PostgresRecordStore(database_.url(), RecordAccess::Write, waits);
        } catch (const RecordError& error) {
            opened = error.what();
        }
    });
    EXPECT_LT(took, 6s);
    const std::string shown = urlWithoutPassword(database_.url());
    EXPECT_EQ(written, "The record database " + shown +
                           " cannot be written: the server did not answer within 1 s.");
    EXPECT_EQ(opened, "The record database " + shown +
                          " cannot be opened: the server did not answer within 1 s.");
    EXPECT_THROW(open.append(runOf("line-1", 2, 1, true)), RecordError)
        << "the connection is dropped";
}

// The server goes silent while rows come: it is said to be away once, and the station's end
// waits a few seconds at most, leaving the rows waiting in its file, counted, for the next start.
TEST_F(RecordServerTest, TheEndOfAStationWhoseServerIsSilentWaitsAFewSecondsAtMost) {
    const fs::path file = dir_ / "station" / "log" / "production.db";
    fs::create_directories(file.parent_path());
    const std::string url = database_.url();
    const auto relayOf = [&] {
        return std::make_unique<RecordRelay>(
            file, urlWithoutPassword(url),
            [url](std::stop_token giveUp) {
                return std::make_unique<PostgresRecordStore>(url, RecordAccess::Write,
                                                             ServerWaits{1s, 1s}, giveUp);
            },
            100ms);
    };
    std::vector<RunRecord> runs = {runOf("line-1", 1, 1, true)};
    auto relay = relayOf();
    relay->append(runs.back());
    ASSERT_TRUE(drained(*relay));

    std::vector<std::string> notices;
    const auto took = timedAgainstSilentServer(database_, [&] {
        for (int i = 2; i <= 4; ++i) {
            runs.push_back(runOf("line-1", i, 1, true));
            relay->append(runs.back());
        }
        std::this_thread::sleep_for(2500ms);  // the statement's deadline passes, retries fail
        const auto end = std::chrono::steady_clock::now();
        relay->finish();
        EXPECT_LT(std::chrono::steady_clock::now() - end, kRelayEndWait + 1s);
        notices = relay->takeNotices();
    });
    EXPECT_LT(took, 8s);
    EXPECT_EQ(relay->counts().waiting, 3);
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_NE(notices[0].find("the server did not answer within 1 s. Rows wait in "),
              std::string::npos)
        << notices[0];
    EXPECT_EQ(notices[1], "3 rows wait in " + file.string() + " for " + urlWithoutPassword(url) +
                              "; the next start on this folder sends them.");

    relay = relayOf();
    ASSERT_TRUE(drained(*relay));
    relay->finish();
    EXPECT_EQ(PostgresRecordStore(url, RecordAccess::Read).rows(), runs);
}

// A new database gets its tables once, though eight stations start on it at the same moment:
// the schema version of the SQLite file, the same columns, run_id unique.
TEST_F(RecordServerTest, TheSchemaIsMadeOnceWhenManyStationsStartAtOnce) {
    EXPECT_EQ(PostgresRecordStore(database_.url(), RecordAccess::Read).schemaVersion(), 0);
    EXPECT_EQ(database_.sql("SELECT to_regclass('runs') IS NULL"), "t\n") << "a report makes none";

    std::vector<std::thread> threads;
    std::atomic<int> failures = 0;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&, i] {
            try {
                PostgresRecordStore store(database_.url());
                store.append(runOf("line-" + std::to_string(i), 1, 1, true));
            } catch (const RecordError& error) {
                ++failures;
                ADD_FAILURE() << error.what();
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(database_.sql("SELECT version FROM record_schema"),
              std::to_string(kRecordSchemaVersion) + "\n");
    std::string columns = "id";
    for (const char* name : recordColumnNames()) {
        columns += std::string("|") + name;
    }
    EXPECT_EQ(database_.sql("SELECT string_agg(column_name, '|' ORDER BY ordinal_position) FROM "
                            "information_schema.columns WHERE table_name = 'runs'"),
              columns + "\n");
    EXPECT_EQ(database_.sql("SELECT count(*) FROM pg_indexes WHERE tablename = 'runs' AND "
                            "indexdef LIKE 'CREATE UNIQUE INDEX%(run_id)'"),
              "1\n");
    EXPECT_EQ(database_.sql("SELECT count(*) FROM runs"), "8\n");

    // A database of a newer Corvid is refused by name.
    database_.sql("UPDATE record_schema SET version = " + std::to_string(kRecordSchemaVersion + 1));
    for (const RecordAccess access : {RecordAccess::Write, RecordAccess::Read}) {
        std::string said;
        try {
            PostgresRecordStore store(database_.url(), access);
        } catch (const RecordError& error) {
            said = error.what();
        }
        EXPECT_EQ(said, "The record database " + urlWithoutPassword(database_.url()) +
                            " has schema version " + std::to_string(kRecordSchemaVersion + 1) +
                            ", newer than this program knows (" +
                            std::to_string(kRecordSchemaVersion) +
                            "); use the Corvid version that wrote it or a later one.");
    }
}

// Rows of version 2 (local times, no end kind, no failure key) are brought to version 3 by the
// first station that connects: UTC in the server's zone, "passed" or "failed", and the step (else
// the text) as the failure key.
TEST_F(RecordServerTest, Version2RowsGetUtcTimesEndKindsAndFailureKeys) {
    database_.sql(
        "CREATE TABLE record_schema (version integer NOT NULL);"
        "INSERT INTO record_schema VALUES (2);"
        "CREATE TABLE runs (id bigserial PRIMARY KEY, start_time text NOT NULL,"
        " end_time text NOT NULL, station text NOT NULL, slot integer NOT NULL,"
        " letter text NOT NULL, port_location text NOT NULL, flash_id text NOT NULL,"
        " flash_name text NOT NULL, chips integer NOT NULL, good_blocks bigint NOT NULL,"
        " total_blocks bigint NOT NULL, disk_mb bigint NOT NULL, disk_feature text NOT NULL,"
        " disk_ratio integer NOT NULL, firmware_file text NOT NULL,"
        " firmware_sha256 text NOT NULL, fsm_version text NOT NULL, scan_level integer NOT NULL,"
        " seconds double precision NOT NULL, passed boolean NOT NULL,"
        " final_status text NOT NULL, failed_step text NOT NULL, run_id text NOT NULL UNIQUE);"
        "INSERT INTO runs (start_time, end_time, station, slot, letter, port_location, flash_id,"
        " flash_name, chips, good_blocks, total_blocks, disk_mb, disk_feature, disk_ratio,"
        " firmware_file, firmware_sha256, fsm_version, scan_level, seconds, passed,"
        " final_status, failed_step, run_id) VALUES"
        " ('2024-05-01 07:30:00', '2024-05-01 07:31:00', 'line-1', 1, 'E', '', '', '', 1, 2, 3,"
        "  4, 'normal', 0, '', '', '', 0, 60, true, 'successful', '', 'a'),"
        " ('2024-05-01 09:00:00', '2024-05-01 09:00:30', 'line-1', 2, 'F', '', '', '', 1, 2, 3,"
        "  4, 'normal', 0, '', '', '', 0, 30, false, 'Bad block Fail', 'Blanking Check', 'b'),"
        " ('2024-05-02 00:10:00', '2024-05-02 00:10:05', 'line-2', 1, 'E', '', '', '', 1, 2, 3,"
        "  4, 'normal', 0, '', '', '', 0, 5, false, 'Format fail', '', 'c');"
        "ALTER DATABASE " +
        database_.database() + " SET timezone TO 'Asia/Shanghai';");
    PostgresRecordStore store(database_.url());
    EXPECT_EQ(store.schemaVersion(), kRecordSchemaVersion);
    EXPECT_EQ(database_.sql("SELECT start_time, end_time, end_kind, failure_key FROM runs "
                            "ORDER BY id"),
              "2024-04-30 23:30:00Z|2024-04-30 23:31:00Z|passed|\n"
              "2024-05-01 01:00:00Z|2024-05-01 01:00:30Z|failed|Blanking Check\n"
              "2024-05-01 16:10:00Z|2024-05-01 16:10:05Z|failed|Format fail\n");
    // New rows go beside them with their end and key.
    store.append(test::sampleRuns()[2]);
    EXPECT_EQ(database_.sql("SELECT end_kind, failure_key FROM runs WHERE run_id = '" +
                            test::sampleRuns()[2].runId + "'"),
              "stopped|FSM\n");
}

// The server's own counts give what the rows give when counted here, texts and all.
TEST_F(RecordServerTest, TheServersCountsAreThoseOfItsRows) {
    {
        PostgresRecordStore store(database_.url());
        store.appendAll(test::sampleRuns());
        const double seconds[] = {3.5, 12.25, 0.75, 8.0, 30.5};
        for (int i = 0; i < 5; ++i) {
            RunRecord record = runOf(i % 2 == 0 ? "line-2" : "line-3", i + 1, seconds[i], i != 1);
            record.startTime = "2024-05-0" + std::to_string(1 + i % 3) + " 11:00:00";
            record.flashId = i < 2 ? "98DA901576" : "ECDA109544";
            record.flashName = i == 0 ? "" : "Toshiba 2Gbit SLC";
            record.finalStatus = i == 1 ? "Format fail" : "successful";
            store.append(record);
        }
    }
    const PostgresRecordStore server(database_.url(), RecordAccess::Read);
    for (const std::string since : {"", "2024-05-02"}) {
        SCOPED_TRACE(since);
        const std::vector<RunRecord> rows = server.rows(since);
        EXPECT_EQ(renderSummary(server.summary(since)), renderSummary(summariseRuns(rows)));
        const ProductionSummary summary = server.summary(since);
        EXPECT_EQ(summary.runs, static_cast<int>(rows.size()));
        EXPECT_GT(summary.stations.size(), 1u);
    }
    EXPECT_EQ(renderSummary(server.summary("2024-06-01")), "Runs: 0\n");
}

// corvid-cli report --db: the figures across stations, the CSV of every row, and one clear line
// for each mistake (the password never shown).
TEST_F(RecordServerTest, TheReportAcrossStationsAndTheOneLineOfEachMistake) {
    test::ProgramRun empty = test::runBinProgram("corvid-cli", {"report", "--db", database_.url()});
    EXPECT_EQ(empty.exitCode, 0) << empty.output;
    EXPECT_EQ(empty.output,
              "The record database " + urlWithoutPassword(database_.url()) + " holds no runs.\n");
    {
        PostgresRecordStore store(database_.url());
        store.append(runOf("line-1", 1, 40, true));
        store.append(runOf("line-1", 2, 44, false));
        store.append(runOf("line-2", 1, 20, true));
    }
    const fs::path csv = dir_ / "factory.csv";
    const test::ProgramRun report = test::runBinProgram(
        "corvid-cli", {"report", "--db", database_.url(), "--csv", csv.string()});
    ASSERT_EQ(report.exitCode, 0) << report.output;
    const std::string& text = report.output;
    EXPECT_NE(text.find("Production record " + urlWithoutPassword(database_.url()) +
                        "\n\nRuns: 3, passed 2, failed 1, yield 66.7%\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Slowest stations\n"
                        "  station  mean per device  runs\n"
                        "  line-1            42.0 s     2\n"
                        "  line-2            20.0 s     1\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Wrote 3 rows to " + csv.string() + "."), std::string::npos) << text;
    EXPECT_EQ(text.find(database_.password()), std::string::npos);
    const std::string readBack = test::runPython(
        "import csv, sys\n"
        "rows = list(csv.DictReader(open(sys.argv[1], newline='', encoding='utf-8-sig')))\n"
        "print(len(rows), len({r['run_id'] for r in rows}), sorted({r['station'] for r in "
        "rows}))\n",
        {csv.string()});
    EXPECT_EQ(readBack, "3 3 ['line-1', 'line-2']\n");

    struct Case {
        const char* what;
        std::string url;
        int exitCode;
        std::string line;
    };
    const std::string shownMissing =
        urlWithoutPassword(database_.urlWith(database_.password(), "no_such_record"));
    const Case cases[] = {
        {"wrong password", database_.urlWith("not-the-password", database_.database()), 1,
         "corvid-cli report: The record database " + urlWithoutPassword(database_.url()) +
             " cannot be opened: password authentication failed for user \"corvid\".\n"},
        {"missing database", database_.urlWith(database_.password(), "no_such_record"), 1,
         "corvid-cli report: The record database " + shownMissing +
             " cannot be opened: database \"no_such_record\" does not exist.\n"},
        {"bad URL", database_.url() + "?colour=blue", 2,
         "corvid-cli report: The record database URL " + urlWithoutPassword(database_.url()) +
             "?colour=blue is not valid: invalid URI query parameter: \"colour\".\n"},
        {"no server", "postgresql://corvid@127.0.0.1:1/record", 1,
         "corvid-cli report: The record database postgresql://corvid@127.0.0.1:1/record cannot be "
         "opened: Connection refused; Is the server running on that host and accepting TCP/IP "
         "connections?\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const test::ProgramRun run = test::runBinProgram("corvid-cli", {"report", "--db", c.url});
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_EQ(run.output, c.line);
        EXPECT_EQ(countOf(run.output, "\n"), 1u);
    }
}

}  // namespace
}  // namespace corvid
