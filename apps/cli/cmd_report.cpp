// corvid-cli report: what the station has made, from its production record.

#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "apps/cli/commands.h"
#include "apps/cli/station_home.h"
#include "records/postgres_record_store.h"
#include "records/production_report.h"
#include "records/sqlite_record_store.h"

namespace corvid::cli {

namespace {

struct ReportOptions {
    std::string home;
    std::string since;
    std::string csv;
    std::string db;  // a factory's PostgreSQL database instead of the station's file
};

// The report of a factory's shared database: the server counts, only --csv reads every row.
int reportDatabase(const ReportOptions& options, const std::string& period) {
    try {
        checkPostgresUrl(options.db);
    } catch (const RecordError& error) {
        std::cerr << "corvid-cli report: " << error.what() << "\n";
        return kExitBadInput;
    }
    const PostgresRecordStore store(options.db, RecordAccess::Read, kReportServerWaits);
    const ProductionSummary summary = store.summary(options.since);
    if (summary.runs == 0) {
        std::cout << "The record database " << store.shownUrl() << " holds no runs" << period
                  << ".\n";
    } else {
        std::cout << "Production record " << store.shownUrl() << (period.empty() ? "" : ", runs")
                  << period << "\n\n"
                  << renderSummary(summary);
    }
    if (!options.csv.empty()) {
        const std::vector<RunRecord> rows = store.rows(options.since);
        writeCsvFile(options.csv, rows);
        std::cout << "\nWrote " << rows.size() << (rows.size() == 1 ? " row" : " rows") << " to "
                  << options.csv << ".\n";
    }
    return kExitOk;
}

int runReport(const ReportOptions& options) {
    if (!options.since.empty() && !isCalendarDate(options.since)) {
        std::cerr << "corvid-cli report: --since wants a date written YYYY-MM-DD, not \""
                  << options.since << "\".\n";
        return kExitBadInput;
    }
    const std::string period = options.since.empty() ? "" : " started on or after " + options.since;
    if (!options.db.empty()) {
        return reportDatabase(options, period);
    }
    const std::filesystem::path home = resolveStationHome(options.home);
    std::error_code error;
    if (!std::filesystem::is_directory(home, error)) {
        std::cerr << "corvid-cli report: the station folder " << home.string()
                  << " does not exist.\n";
        return kExitBadInput;
    }
    const std::filesystem::path file = productionRecordFile(home);

    std::vector<RunRecord> rows;
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
        "Summarise the production record (log/production.db, or a factory's database with "
        "--db): yield per day and per flash ID (and per station, with the slowest ones, when "
        "several wrote), the most common failures, the mean time per device; --csv exports "
        "every row");
    addHomeOption(*report, options->home);
    report->add_option("--db", options->db,
                       "report on this PostgreSQL database, where many stations send their rows "
                       "(postgresql://USER@HOST:PORT/DATABASE), instead of the station folder's "
                       "record");
    report->add_option("--since", options->since,
                       "only the runs started on this day (YYYY-MM-DD) or later");
    report->add_option("--csv", options->csv,
                       "also write every row to this file as CSV (RFC 4180, UTF-8)");
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
