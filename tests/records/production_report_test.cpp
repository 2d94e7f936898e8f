// The report's figures from a small table of runs, its text, and the CSV export.
#include "records/production_report.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "records/run_record_store.h"
#include "tests/records/records_test_support.h"
#include "tests/support/temp_dir.h"

namespace corvid {
namespace {

RunRecord run(const char* start, const char* flashId, const char* flashName, bool passed,
              double seconds, const char* status) {
    RunRecord record;
    record.startTime = start;
    record.flashId = flashId;
    record.flashName = flashName;
    record.passed = passed;
    record.seconds = seconds;
    record.finalStatus = status;
    record.end = passed ? RunEnd::Passed : RunEnd::Failed;
    record.failureKey = passed ? "" : status;
    return record;
}

// Three days, two flash IDs and a run that ended before its flash was read; two failure texts
// tie on count.
const std::vector<RunRecord> kRuns = {
    run("2024-05-01 09:00:00", "ECDA109544", "Samsung 2Gbit SLC", true, 40, "successful"),
    run("2024-05-01 09:05:00", "ECDA109544", "Samsung 2Gbit SLC", false, 10,
        "Write firmware failed"),
    run("2024-05-01 23:59:59", "98DA901576", "Toshiba 2Gbit SLC", true, 50, "successful"),
    run("2024-05-02 00:00:00", "98DA901576", "", false, 5, "Format failed"),
    run("2024-05-02 08:00:00", "", "", false, 2, "Write firmware failed"),
    run("2024-05-02 08:30:00", "ECDA109544", "", true, 60, "successful"),
    run("2024-05-03 12:00:00", "98DA901576", "Toshiba", false, 3, "Format failed"),
    run("2024-05-03 12:10:00", "ECDA109544", "Samsung 2Gbit SLC", false, 6, "Check Disk failed"),
};

TEST(ProductionReportTest, FiguresPerDayPerFlashIdAndFailure) {
    const ProductionSummary summary = summariseRuns(kRuns);
    EXPECT_EQ(summary.runs, 8);
    EXPECT_EQ(summary.passed, 3);

    struct Day {
        const char* date;
        int total, passed, failed;
        double yield;
    };
    const Day days[] = {{"2024-05-01", 3, 2, 1, 200.0 / 3},
                        {"2024-05-02", 3, 1, 2, 100.0 / 3},
                        {"2024-05-03", 2, 0, 2, 0.0}};
    ASSERT_EQ(summary.days.size(), std::size(days));
    for (std::size_t i = 0; i < std::size(days); ++i) {
        SCOPED_TRACE(days[i].date);
        EXPECT_EQ(summary.days[i].date, days[i].date);
        EXPECT_EQ(summary.days[i].total, days[i].total);
        EXPECT_EQ(summary.days[i].passed, days[i].passed);
        EXPECT_EQ(summary.days[i].failed, days[i].failed);
        EXPECT_DOUBLE_EQ(summary.days[i].yieldPercent, days[i].yield);
    }

    struct Flash {
        const char* id;
        const char* name;  // the first name recorded with the ID
        int total, passed;
        double yield;
    };
    const Flash flashes[] = {{"", "", 1, 0, 0.0},
                             {"98DA901576", "Toshiba 2Gbit SLC", 3, 1, 100.0 / 3},
                             {"ECDA109544", "Samsung 2Gbit SLC", 4, 2, 50.0}};
    ASSERT_EQ(summary.flashIds.size(), std::size(flashes));
    for (std::size_t i = 0; i < std::size(flashes); ++i) {
        SCOPED_TRACE(flashes[i].id);
        EXPECT_EQ(summary.flashIds[i].flashId, flashes[i].id);
        EXPECT_EQ(summary.flashIds[i].flashName, flashes[i].name);
        EXPECT_EQ(summary.flashIds[i].total, flashes[i].total);
        EXPECT_EQ(summary.flashIds[i].passed, flashes[i].passed);
        EXPECT_DOUBLE_EQ(summary.flashIds[i].yieldPercent, flashes[i].yield);
    }

    // Passed runs are no failures; equal counts in text order.
    ASSERT_EQ(summary.failures.size(), 3u);
    EXPECT_EQ(summary.failures[0].text, "Format failed");
    EXPECT_EQ(summary.failures[0].count, 2);
    EXPECT_EQ(summary.failures[1].text, "Write firmware failed");
    EXPECT_EQ(summary.failures[1].count, 2);
    EXPECT_EQ(summary.failures[2].text, "Check Disk failed");
    EXPECT_EQ(summary.failures[2].count, 1);

    EXPECT_DOUBLE_EQ(summary.meanSeconds.value(), 176.0 / 8);
    EXPECT_DOUBLE_EQ(summary.meanPassedSeconds.value(), 150.0 / 3);
}

TEST(ProductionReportTest, OnlyTheTenMostCommonFailuresAreListed) {
    // Failure i happens i times, for i = 1..12.
    std::vector<RunRecord> runs;
    for (int i = 1; i <= 12; ++i) {
        for (int k = 0; k < i; ++k) {
            runs.push_back(run("2024-05-01 10:00:00", "", "", false, 1,
                               ("failure " + std::to_string(i)).c_str()));
        }
    }
    const ProductionSummary summary = summariseRuns(runs);
    ASSERT_EQ(summary.failures.size(), kReportedFailures);
    for (std::size_t i = 0; i < kReportedFailures; ++i) {
        const int expected = 12 - static_cast<int>(i);
        EXPECT_EQ(summary.failures[i].text, "failure " + std::to_string(expected));
        EXPECT_EQ(summary.failures[i].count, expected);
    }
    EXPECT_FALSE(summary.meanPassedSeconds.has_value());
}

TEST(ProductionReportTest, TheTextLinesUpItsColumns) {
    std::vector<RunRecord> runs = kRuns;
    runs.push_back(run("2024-05-03 13:00:00", "ADF1801D00", "三星 1Gbit", true, 20, "successful"));
    EXPECT_EQ(renderSummary(summariseRuns(runs)),
              "Runs: 9, passed 4, failed 5, yield 44.4%\n"
              "Days and times are UTC.\n"
              "\n"
              "Yield per day (UTC)\n"
              "  date        total  passed  failed  yield\n"
              "  2024-05-01      3       2       1  66.7%\n"
              "  2024-05-02      3       1       2  33.3%\n"
              "  2024-05-03      3       1       2  33.3%\n"
              "\n"
              "Yield per flash ID\n"
              "  flash ID    flash name         total  passed   yield\n"
              "  (not read)                         1       0    0.0%\n"
              "  98DA901576  Toshiba 2Gbit SLC      3       1   33.3%\n"
              "  ADF1801D00  三星 1Gbit             1       1  100.0%\n"
              "  ECDA109544  Samsung 2Gbit SLC      4       2   50.0%\n"
              "\n"
              "Most common failures\n"
              "  runs  failure                as shown\n"
              "     2  Format failed          Format failed\n"
              "     2  Write firmware failed  Write firmware failed\n"
              "     1  Check Disk failed      Check Disk failed\n"
              "\n"
              "Mean time per device: 21.8 s over 9 runs, 42.5 s over 4 passed runs\n");
    // A status text with line breaks stays on its line of the table.
    const std::string broken = renderSummary(summariseRuns(
        {run("2024-05-01 09:00:00", "", "", false, 1, "Write firmware failed\r\n\tline two\n")}));
    EXPECT_NE(broken.find("  Write firmware failed line two \n"), std::string::npos) << broken;
    EXPECT_EQ(renderSummary(summariseRuns({kRuns[0]})),
              "Runs: 1, passed 1, failed 0, yield 100.0%\n"
              "Days and times are UTC.\n"
              "\n"
              "Yield per day (UTC)\n"
              "  date        total  passed  failed   yield\n"
              "  2024-05-01      1       1       0  100.0%\n"
              "\n"
              "Yield per flash ID\n"
              "  flash ID    flash name         total  passed   yield\n"
              "  ECDA109544  Samsung 2Gbit SLC      1       1  100.0%\n"
              "\n"
              "Most common failures\n"
              "  none\n"
              "\n"
              "Mean time per device: 40.0 s over 1 run, 40.0 s over 1 passed run\n");
}

// One failure shown in English and in Chinese is one line, under its key; runs ended by a pull
// or by the station's end are no failures of the device and are only counted.
TEST(ProductionReportTest, FailuresAreGroupedByKeyAndRemovedOrStoppedRunsLeftOut) {
    struct Row {
        RunEnd end;
        const char* key;
        const char* shown;
    };
    const Row table[] = {
        {RunEnd::Failed, "BadBlockStr", "Bad block Fail"},
        {RunEnd::Failed, "BadBlockStr", "坏块 失败"},
        {RunEnd::Failed, "BadBlockStr", "壞塊 失敗"},
        {RunEnd::Failed, "Start Disk", "Start Disk Fail"},
        {RunEnd::Removed, "Blank Check", "Blanking Check Fail"},
        {RunEnd::Stopped, "Blank Check", "Blanking Check Fail"},
        {RunEnd::Stopped, "Blank Check", "Blanking Check Fail"},
        {RunEnd::Passed, "", "successful"},
    };
    std::vector<RunRecord> runs;
    for (const Row& row : table) {
        RunRecord record =
            run("2024-05-01 09:00:00Z", "", "", row.end == RunEnd::Passed, 1, row.shown);
        record.end = row.end;
        record.failureKey = row.key;
        runs.push_back(record);
    }
    const ProductionSummary summary = summariseRuns(runs);
    EXPECT_EQ(summary.removed, 1);
    EXPECT_EQ(summary.stopped, 2);
    ASSERT_EQ(summary.failures.size(), 2u);
    EXPECT_EQ(summary.failures[0].key, "BadBlockStr");
    EXPECT_EQ(summary.failures[0].text, "Bad block Fail");
    EXPECT_EQ(summary.failures[0].count, 3);
    EXPECT_EQ(summary.failures[1].key, "Start Disk");
    EXPECT_EQ(summary.failures[1].count, 1);
    const std::string text = renderSummary(summary);
    EXPECT_NE(text.find("Runs: 8, passed 1, failed 4, removed 1, stopped 2, yield 12.5%\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Most common failures\n"
                        "  runs  failure      as shown\n"
                        "     3  BadBlockStr  Bad block Fail\n"
                        "     1  Start Disk   Start Disk Fail\n"
                        "Not counted as failures: 1 removed, 2 stopped.\n"),
              std::string::npos)
        << text;
}

// Runs of several stations: the yield of each station, and the stations by mean time per
// device, slowest first; both tables appear only when more than one station wrote.
TEST(ProductionReportTest, AcrossStationsTheYieldOfEachAndTheSlowest) {
    struct Row {
        const char* station;
        bool passed;
        double seconds;
    };
    const Row table[] = {{"line-2", true, 30}, {"line-1", true, 10},  {"line-1", false, 20},
                         {"line-3", false, 5}, {"line-2", false, 50}, {"line-3", true, 7},
                         {"line-3", true, 9}};
    std::vector<RunRecord> runs;
    for (const Row& row : table) {
        RunRecord record = run("2024-05-01 09:00:00", "ECDA109544", "Samsung 2Gbit SLC", row.passed,
                               row.seconds, row.passed ? "successful" : "Format failed");
        record.station = row.station;
        runs.push_back(record);
    }
    const ProductionSummary summary = summariseRuns(runs);
    struct Station {
        const char* name;
        int total, passed;
        double yield, mean;
    };
    const Station stations[] = {{"line-1", 2, 1, 50.0, 15.0},
                                {"line-2", 2, 1, 50.0, 40.0},
                                {"line-3", 3, 2, 200.0 / 3, 7.0}};
    ASSERT_EQ(summary.stations.size(), std::size(stations));
    for (std::size_t i = 0; i < std::size(stations); ++i) {
        SCOPED_TRACE(stations[i].name);
        EXPECT_EQ(summary.stations[i].station, stations[i].name);
        EXPECT_EQ(summary.stations[i].total, stations[i].total);
        EXPECT_EQ(summary.stations[i].passed, stations[i].passed);
        EXPECT_DOUBLE_EQ(summary.stations[i].yieldPercent, stations[i].yield);
        EXPECT_DOUBLE_EQ(summary.stations[i].meanSeconds, stations[i].mean);
    }
    std::vector<std::string> slowest;
    for (const StationYield& station : summary.slowestStations) {
        slowest.push_back(station.station);
    }
    EXPECT_EQ(slowest, (std::vector<std::string>{"line-2", "line-1", "line-3"}));

    const std::string text = renderSummary(summary);
    EXPECT_NE(text.find("Yield per station\n"
                        "  station  total  passed  failed  yield\n"
                        "  line-1       2       1       1  50.0%\n"
                        "  line-2       2       1       1  50.0%\n"
                        "  line-3       3       2       1  66.7%\n"
                        "\n"
                        "Slowest stations\n"
                        "  station  mean per device  runs\n"
                        "  line-2            40.0 s     2\n"
                        "  line-1            15.0 s     2\n"
                        "  line-3             7.0 s     3\n"
                        "\n"
                        "Most common failures\n"),
              std::string::npos)
        << text;

    // Only the ten slowest are listed.
    std::vector<RunRecord> many;
    for (int i = 1; i <= 12; ++i) {
        RunRecord record = run("2024-05-01 09:00:00", "", "", true, i, "successful");
        record.station = "station-" + std::to_string(100 + i);
        many.push_back(record);
    }
    const ProductionSummary wide = summariseRuns(many);
    EXPECT_EQ(wide.stations.size(), 12u);
    ASSERT_EQ(wide.slowestStations.size(), kReportedSlowStations);
    EXPECT_EQ(wide.slowestStations.front().station, "station-112");
    EXPECT_EQ(wide.slowestStations.back().station, "station-103");
}

TEST(ProductionReportTest, OnlyRealDatesInTheirOneFormAreDates) {
    for (const char* date : {"2024-05-01", "2024-02-29", "1999-12-31"}) {
        EXPECT_TRUE(isCalendarDate(date)) << date;
    }
    for (const char* text : {"2023-02-29", "2024-13-01", "2024-00-10", "2024-04-31", "2024-5-1",
                             "20240501", "2024-05-01 ", "2024/05/01", "yesterday", "", "2024-05-3x",
                             "+024-05-01", "-024-05-01", "2024-05--1"}) {
        EXPECT_FALSE(isCalendarDate(text)) << text;
    }
}

TEST(ProductionReportTest, CsvFieldsAreQuotedOnlyWhenTheyMustBe) {
    const struct {
        std::string text;
        std::string field;
    } cases[] = {
        {"plain", "plain"},
        {"", ""},
        {" leading and trailing ", " leading and trailing "},
        {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"\"", "\"\"\"\""},
        {"line\nbreak", "\"line\nbreak\""},
        {"carriage\rreturn", "\"carriage\rreturn\""},
        {"crlf\r\n", "\"crlf\r\n\""},
        {"失敗", "失敗"},
        {"semi;colon\ttab", "semi;colon\ttab"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(csvField(c.text), c.field) << c.text;
    }
}

TEST(ProductionReportTest, CsvHasAByteOrderMarkAHeaderCrlfLinesAndEveryMember) {
    std::ostringstream out;
    writeCsv(out, {test::sampleRuns()[1]});
    EXPECT_EQ(out.str(),
              "\xEF\xBB\xBFstart_time,end_time,station,slot,letter,port_location,flash_id,flash_"
              "name,chips,"
              "good_blocks,total_blocks,disk_mb,disk_feature,disk_ratio,firmware_file,"
              "firmware_sha256,fsm_version,scan_level,seconds,passed,final_status,failed_step,"
              "run_id,end_kind,failure_key\r\n"
              "2024-05-02 10:15:00Z,2024-05-02 10:15:07Z,line-1,8,Z,,ECDA109544,"
              "\"Samsung, \"\"2Gbit\"\" SLC\",2,4000,4096,9000000000,hidden,35,ZQ5V16.BIN," +
                  std::string(64, 'a') +
                  ",FSM 2.07,1,7.5,0,\"Write firmware failed\r\nline two\",firmware download,"
                  "6f1d2e3c-4b5a-4978-8a6b-5c4d3e2f1a00,failed,FILEWriteStr\r\n");
}

class CsvFileTest : public test::TempDirTest {};

TEST_F(CsvFileTest, TheFileAppearsWholeOrNotAtAll) {
    const auto file = dir_ / "runs.csv";
    std::ofstream(file) << "old contents";
    writeCsvFile(file, test::sampleRuns());
    std::ostringstream expected;
    writeCsv(expected, test::sampleRuns());
    std::ifstream in(file, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), expected.str());
    EXPECT_FALSE(std::filesystem::exists(dir_ / "runs.csv.partial"));

    const auto nowhere = dir_ / "missing" / "runs.csv";
    try {
        writeCsvFile(nowhere, test::sampleRuns());
        ADD_FAILURE() << "no error";
    } catch (const RecordError& e) {
        // The user's file, never the partial one beside it.
        EXPECT_STREQ(e.what(), ("The CSV file " + nowhere.string() +
                                " cannot be written: No such file or directory.")
                                   .c_str());
    }
}

}  // namespace
}  // namespace corvid
