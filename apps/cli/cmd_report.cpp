// corvid-cli report: what the station has made, from its production record.

#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "apps/cli/commands.h"
#include "apps/cli/station_home.h"
#include "records/production_report.h"
#include "records/sqlite_record_store.h"

namespace corvid::cli {

namespace {

struct ReportOptions {
    std::string home;
    std::string since;
    std::string csv;
};

int runReport(const ReportOptions& options) {
    if (!options.since.empty() && !isCalendarDate(options.since)) {
        std::cerr << "corvid-cli report: --since wants a date written YYYY-MM-DD, not \""
                  << options.since << "\".\n";
        return kExitBadInput;
    }
    const std::filesystem::path file = productionRecordFile(resolveStationHome(options.home));
    const std::string period = options.since.empty() ? "" : " started on or after " + options.since;

    std::vector<RunRecord> rows;
    std::error_code error;
    if (!std::filesystem::exists(file, error)) {
        // A station that has not ended a run yet: nothing is wrong, and nothing is created.
        std::cout << "No production record in " << file.string() << " yet.\n";
    } else {
        const SqliteRecordStore store(file, RecordAccess::Read);
        rows = store.rows(options.since);
        if (rows.empty()) {
            std::cout << "The production record " << file.string() << " holds no runs" << period
                      << ".\n";
        } else {
            std::cout << "Production record " << file.string() << (period.empty() ? "" : ", runs")
                      << period << "\n\n"
                      << renderSummary(summariseRuns(rows));
        }
    }
    if (!options.csv.empty()) {
        writeCsvFile(options.csv, rows);
        std::cout << "\nWrote " << rows.size() << (rows.size() == 1 ? " row" : " rows") << " to "
                  << options.csv << ".\n";
    }
    return kExitOk;
}

}  // namespace

void addReportCommand(CLI::App& app, int& exitStatus) {
    const auto options = std::make_shared<ReportOptions>();
    CLI::App* report = app.add_subcommand(
        "report",
        "Summarise the production record (log/production.db): yield per day and per flash ID, "
        "the most common failures, the mean time per device; --csv exports every row");
    addHomeOption(*report, options->home);
    report->add_option("--since", options->since,
                       "only the runs started on this day (YYYY-MM-DD) or later");
    report->add_option("--csv", options->csv,
                       "also write every row to this file as CSV (RFC 4180, UTF-8)");
    report->footer(
        "Exit status: 0 the report was made (also when no run is recorded yet), 1 the record "
        "or the CSV file cannot be read or written, 2 bad usage.");
    report->callback([&exitStatus, options] {
        try {
            exitStatus = runReport(*options);
        } catch (const std::exception& e) {
            std::cerr << "corvid-cli report: " << e.what() << "\n";
            exitStatus = kExitFailed;
        }
    });
}

}  // namespace corvid::cli
