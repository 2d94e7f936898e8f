#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "records/run_record.h"

namespace corvid {

// The figures of `corvid-cli report`, from the rows of the production record.

struct DayYield {
    std::string date;  // "YYYY-MM-DD", the day (in UTC) the runs started
    int total = 0;
    int passed = 0;
    int failed = 0;
    double yieldPercent = 0;
};

struct FlashYield {
    std::string flashId;    // empty for runs that ended before the flash was read
    std::string flashName;  // the first name recorded with the ID
    int total = 0;
    int passed = 0;
    double yieldPercent = 0;
};

struct StationYield {
    std::string station;
    int total = 0;
    int passed = 0;
    double yieldPercent = 0;
    double meanSeconds = 0;  // per device, over every run of the station
};

// The failed runs of one failure key. Removed and stopped runs are not failures of the device
// and are only counted.
struct FailureCount {
    std::string key;   // the failure key, the same in every language
    std::string text;  // the final status text of the first run with the key, as it was shown
    int count = 0;
};

// The failure keys the report lists, most common first.
inline constexpr std::size_t kReportedFailures = 10;
// The stations the report lists as the slowest.
inline constexpr std::size_t kReportedSlowStations = 10;

struct ProductionSummary {
    int runs = 0;
    int passed = 0;
    int removed = 0;                            // ended by the device's removal
    int stopped = 0;                            // ended by the station's end
    std::vector<DayYield> days;                 // oldest first
    std::vector<FlashYield> flashIds;           // by flash ID
    std::vector<StationYield> stations;         // by station name
    std::vector<StationYield> slowestStations;  // by mean seconds, slowest first, at most 10
    std::vector<FailureCount> failures;         // most common first (ties by key), at most 10
    std::optional<double> meanSeconds;          // over every run
    std::optional<double> meanPassedSeconds;    // over the passed runs
};

ProductionSummary summariseRuns(const std::vector<RunRecord>& rows);

// Given the counts (runs, passed, totals and passes of each day, flash ID and station, each
// station's mean seconds, the failures), works out the yields and the slowest stations. Called
// by summariseRuns, and by a store whose server counts the rows itself.
void completeSummary(ProductionSummary& summary);

// The summary as plain text in aligned columns, ending with a newline. The yield per station and
// the slowest stations are shown when the runs come from more than one station.
std::string renderSummary(const ProductionSummary& summary);

// True for a real calendar date written "YYYY-MM-DD".
bool isCalendarDate(std::string_view text);

// One CSV field: quoted when it holds a comma, a quote, CR or LF, its quotes doubled; the text's
// bytes (UTF-8 as stored) otherwise unchanged.
std::string csvField(std::string_view text);

// Every row as CSV (RFC 4180): a UTF-8 byte-order mark (spreadsheets read the file as UTF-8 only
// with it), a header line of the column names, CRLF line ends.
void writeCsv(std::ostream& out, const std::vector<RunRecord>& rows);

// writeCsv into 'file': written to FILE.partial, then renamed over FILE, so a reader never sees
// half a file. Throws RecordError naming 'file' (never the partial one) when it cannot be written.
void writeCsvFile(const std::filesystem::path& file, const std::vector<RunRecord>& rows);

}  // namespace corvid
