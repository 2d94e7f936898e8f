// corvid-cli report on a station folder whose record was filled through the store.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "records/run_record_fields.h"
#include "records/sqlite_record_store.h"
#include "tests/records/records_test_support.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace corvid {
namespace {

namespace fs = std::filesystem;
using test::runBinProgram;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Python's csv module reads the file; each record comes back as one line of fields, each field
// as the hex of its UTF-8 bytes ('-' when empty), so no byte of a field can hide.
std::vector<std::vector<std::string>> readCsvWithPython(const fs::path& file) {
    const std::string printed = test::runPython(
        "import csv, sys\n"
        "with open(sys.argv[1], newline='', encoding='utf-8-sig') as f:\n"
        "    for row in csv.reader(f, strict=True):\n"
        "        print(' '.join(field.encode('utf-8').hex() or '-' for field in row))\n",
        {file.string()});
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(printed);
    for (std::string line; std::getline(lines, line);) {
        auto& row = rows.emplace_back();
        std::istringstream fields(line);
        for (std::string hex; fields >> hex;) {
            std::string field;
            for (std::size_t i = 0; hex != "-" && i + 1 < hex.size(); i += 2) {
                field += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
            }
            row.push_back(field);
        }
    }
    return rows;
}

class ReportCliTest : public test::TempDirTest {
  protected:
    void SetUp() override {
        home_ = dir_ / "station";
        fs::create_directory(home_);
    }
    test::ProgramRun report(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"report", "--home", home_.string()});
        return runBinProgram("corvid-cli", arguments);
    }
    fs::path home_;
};

TEST_F(ReportCliTest, TheCsvReadsBackInPythonFieldForField) {
    {
        SqliteRecordStore store(productionRecordFile(home_));
        for (const RunRecord& run : test::sampleRuns()) {
            store.append(run);
        }
    }
    const auto csv = dir_ / "runs.csv";
    const auto made = report({"--csv", csv.string()});
    ASSERT_EQ(made.exitCode, 0) << made.output;
    EXPECT_TRUE(contains(made.output, "Wrote 3 rows to " + csv.string() + ".")) << made.output;

    std::vector<std::string> header;
    for (const char* name : recordColumnNames()) {
        header.push_back(name);
    }
    // The rows of sampleRuns(), written out by hand.
    const std::vector<std::vector<std::string>> expected = {
        header,
        {"2024-05-01 09:00:00Z",
         "2024-05-01 09:00:42Z",
         "line-1",
         "1",
         "E",
         "1-2.3",
         "ECDA109544",
         "Samsung 2Gbit SLC",
         "1",
         "2045",
         "2048",
         "248",
         "normal",
         "0",
         "ZQ5V16.BIN",
         std::string(64, 'a'),
         "FSM 2.07",
         "1",
         "42.25",
         "1",
         "successful",
         "",
         "0b7e3c1a-5d2f-4a60-9c1e-2f4b6d8a0e11",
         "passed",
         ""},
        {"2024-05-02 10:15:00Z",
         "2024-05-02 10:15:07Z",
         "line-1",
         "8",
         "Z",
         "",
         "ECDA109544",
         "Samsung, \"2Gbit\" SLC",
         "2",
         "4000",
         "4096",
         "9000000000",
         "hidden",
         "35",
         "ZQ5V16.BIN",
         std::string(64, 'a'),
         "FSM 2.07",
         "1",
         "7.5",
         "0",
         "Write firmware failed\r\nline two",
         "firmware download",
         "6f1d2e3c-4b5a-4978-8a6b-5c4d3e2f1a00",
         "failed",
         "FILEWriteStr"},
        {"2024-05-03 08:00:00Z",
         "2024-05-03 08:00:01Z",
         "线体-2",
         "3",
         "G",
         "",
         "",
         "",
         "0",
         "0",
         "0",
         "0",
         "encrypted",
         "0",
         "",
         "",
         "",
         "0",
         "0.125",
         "0",
         " 失敗",
         "FSM",
         "c0ffee00-1234-4abc-bdef-0123456789ab",
         "stopped",
         "FSM"},
    };
    EXPECT_EQ(readCsvWithPython(csv), expected);
    // A spreadsheet reads the Chinese texts as UTF-8 only after the byte-order mark.
    std::ifstream in(csv, std::ios::binary);
    std::string mark(3, '\0');
    in.read(mark.data(), 3);
    EXPECT_EQ(mark, "\xEF\xBB\xBF");
    EXPECT_FALSE(fs::exists(dir_ / "runs.csv.partial"));
}

TEST_F(ReportCliTest, TheSummaryOfTheRunsSinceADay) {
    {
        SqliteRecordStore store(productionRecordFile(home_));
        for (const RunRecord& run : test::sampleRuns()) {
            store.append(run);
        }
    }
    const auto all = report({});
    ASSERT_EQ(all.exitCode, 0) << all.output;
    EXPECT_TRUE(contains(all.output, "Production record " + productionRecordFile(home_).string() +
                                         "\n\nRuns: 3, passed 1, failed 1, stopped 1, "
                                         "yield 33.3%\nDays and times are UTC.\n"))
        << all.output;
    EXPECT_TRUE(contains(all.output, "  2024-05-03      1       0       1    0.0%\n"))
        << all.output;

    const auto since = report({"--since", "2024-05-02"});
    ASSERT_EQ(since.exitCode, 0) << since.output;
    EXPECT_TRUE(contains(since.output,
                         ", runs started on or after 2024-05-02\n\nRuns: 2, passed "
                         "0, failed 1, stopped 1, yield 0.0%\n"))
        << since.output;
    EXPECT_FALSE(contains(since.output, "2024-05-01")) << since.output;

    const auto none = report({"--since", "2030-01-01"});
    EXPECT_EQ(none.exitCode, 0) << none.output;
    EXPECT_EQ(none.output, "The production record " + productionRecordFile(home_).string() +
                               " holds no runs started on or after 2030-01-01.\n");
}

TEST_F(ReportCliTest, AStationWithoutARecordIsToldSoAndNothingIsCreated) {
    const auto csv = dir_ / "empty.csv";
    const auto run = report({"--csv", csv.string()});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.output, "No production record in " + productionRecordFile(home_).string() +
                              " yet.\n\nWrote 0 rows to " + csv.string() + ".\n");
    EXPECT_FALSE(fs::exists(home_ / "log"));
    EXPECT_EQ(readCsvWithPython(csv).size(), 1u);  // the header alone
}

TEST_F(ReportCliTest, BadUsageAndAnUnusableRecordAreNamed) {
    for (const char* date : {"2024-13-01", "01.05.2024", "today"}) {
        const auto run = report({"--since", date});
        EXPECT_EQ(run.exitCode, 2) << date;
        EXPECT_EQ(run.output, std::string("corvid-cli report: --since wants a date written "
                                          "YYYY-MM-DD, not \"") +
                                  date + "\".\n");
    }

    fs::create_directory(home_ / "log");
    std::ofstream(productionRecordFile(home_)) << "not a database, but long enough to look at";
    const auto run = report({});
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(contains(run.output, "corvid-cli report: The production record " +
                                         productionRecordFile(home_).string() +
                                         " is not an SQLite database"))
        << run.output;

    const auto csv = report({"--csv", (dir_ / "missing" / "r.csv").string()});
    EXPECT_EQ(csv.exitCode, 1) << csv.output;
}

// The PostgreSQL client and what it pulls in are loaded only when a database URL is used: no
// program links it, so every other command starts without it.
TEST(RecordClientLibraryTest, NoProgramLinksThePostgresqlClient) {
    for (const char* program : {"corvid-cli", "corvid-devsim"}) {
        const auto linked = test::runProgram({"ldd", std::string(CORVID_BIN_DIR) + "/" + program});
        EXPECT_EQ(linked.exitCode, 0) << linked.output;
        EXPECT_EQ(linked.output.find("libpq"), std::string::npos) << program << ":\n"
                                                                  << linked.output;
    }
}

}  // namespace
}  // namespace corvid
