#include "records/postgres_record_store.h"

#include <libpq-fe.h>

#include <charconv>
#include <cstdlib>
#include <iterator>
#include <sstream>
#include <type_traits>

#include "records/run_id.h"
#include "records/run_record_fields.h"

namespace corvid {

namespace {

// Any number; the stations that create the tables at once take turns on it.
constexpr long long kSchemaLockKey = 0x436F72766964LL;  // "Corvid"

// kServerMigrations[i] takes the database to version 'to'. As in the SQLite file, an entry never
// changes once shipped; the first creates what the SQLite file reached in two steps.
struct Migration {
    int to;
    const char* sql;
};
constexpr Migration kServerMigrations[] = {
    {2, R"(CREATE TABLE runs (
        id bigserial PRIMARY KEY,
        start_time text NOT NULL,
        end_time text NOT NULL,
        station text NOT NULL,
        slot integer NOT NULL,
        letter text NOT NULL,
        port_location text NOT NULL,
        flash_id text NOT NULL,
        flash_name text NOT NULL,
        chips integer NOT NULL,
        good_blocks bigint NOT NULL,
        total_blocks bigint NOT NULL,
        disk_mb bigint NOT NULL,
        disk_feature text NOT NULL,
        disk_ratio integer NOT NULL,
        firmware_file text NOT NULL,
        firmware_sha256 text NOT NULL,
        fsm_version text NOT NULL,
        scan_level integer NOT NULL,
        seconds double precision NOT NULL,
        passed boolean NOT NULL,
        final_status text NOT NULL,
        failed_step text NOT NULL,
        run_id text NOT NULL UNIQUE);
     CREATE INDEX runs_by_start_time ON runs (start_time);
     CREATE INDEX runs_by_station ON runs (station);)"},
};
static_assert(std::size(kServerMigrations) > 0 &&
                  std::end(kServerMigrations)[-1].to == kRecordSchemaVersion,
              "the server's schema must reach the version the SQLite file has");

struct ClearResult {
    void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ClearResult>;

// libpq's or the server's message on one line: "connection to server at ... failed: " and the
// severity are left out (the URL says where), the lines joined.
std::string reasonOf(const char* message) {
    std::string reason;
    std::istringstream lines(message == nullptr ? "" : message);
    for (std::string line; std::getline(lines, line);) {
        const auto first = line.find_first_not_of(" \t");
        if (first == std::string::npos) {
            continue;
        }
        line.erase(0, first);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) {
            line.pop_back();
        }
        if (line.rfind("connection to server", 0) == 0) {
            if (const auto failed = line.find(" failed: "); failed != std::string::npos) {
                line.erase(0, failed + 9);
            }
        }
        for (const char* severity : {"FATAL:", "ERROR:"}) {
            if (line.rfind(severity, 0) == 0) {
                line.erase(0, std::string_view(severity).size());
                line.erase(0, line.find_first_not_of(' '));
            }
        }
        if (line.find("no password supplied") != std::string::npos) {
            line += " (give it in the URL, in PGPASSWORD or in the password file ~/.pgpass)";
        }
        if (!line.empty()) {
            reason += (reason.empty() ? "" : "; ") + line;
        }
    }
    if (reason.empty()) {
        reason = "no reason given";
    }
    if (const char last = reason.back(); last != '.' && last != '?' && last != '!') {
        reason += '.';
    }
    return reason;
}

std::string paramText(const std::string& value) {
    return value;
}
std::string paramText(char value) {
    return value == 0 ? std::string() : std::string(1, value);
}
std::string paramText(bool value) {
    return value ? "t" : "f";
}
std::string paramText(int value) {
    return std::to_string(value);
}
std::string paramText(std::int64_t value) {
    return std::to_string(value);
}
std::string paramText(double value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);  // shortest exact form
    return std::string(text, result.ptr);
}

void readText(const char* text, std::string& value) {
    value = text;
}
void readText(const char* text, char& value) {
    value = text[0];
}
void readText(const char* text, bool& value) {
    value = text[0] == 't';
}
void readText(const char* text, int& value) {
    std::from_chars(text, text + std::char_traits<char>::length(text), value);
}
void readText(const char* text, std::int64_t& value) {
    std::from_chars(text, text + std::char_traits<char>::length(text), value);
}
void readText(const char* text, double& value) {
    std::from_chars(text, text + std::char_traits<char>::length(text), value);
}

int intAt(const PGresult* result, int row, int column) {
    int value = 0;
    readText(PQgetvalue(result, row, column), value);
    return value;
}
double doubleAt(const PGresult* result, int row, int column) {
    double value = 0;
    readText(PQgetvalue(result, row, column), value);
    return value;
}

std::string insertSql() {
    return "INSERT INTO runs (" + recordColumnList() + ") VALUES (" + recordPlaceholders('$') +
           ") ON CONFLICT (run_id) DO NOTHING";
}

constexpr const char* kInsertStatement = "corvid_insert_run";

}  // namespace

void checkPostgresUrl(std::string_view url) {
    const std::string shown = urlWithoutPassword(url);
    if (!isPostgresUrl(url)) {
        throw RecordError("The record database \"" + shown +
                          "\" is not a PostgreSQL URL (postgresql://USER@HOST:PORT/DATABASE).");
    }
    char* message = nullptr;
    PQconninfoOption* options = PQconninfoParse(std::string(url).c_str(), &message);
    if (options == nullptr) {
        std::string reason = reasonOf(message);
        PQfreemem(message);
        // libpq may quote the URL, password and all.
        for (auto at = reason.find(url); at != std::string::npos; at = reason.find(url, at)) {
            reason.replace(at, url.size(), shown);
            at += shown.size();
        }
        throw RecordError("The record database URL " + shown + " is not valid: " + reason);
    }
    PQconninfoFree(options);
}

void PostgresRecordStore::CloseConnection::operator()(pg_conn* connection) const {
    PQfinish(connection);
}

PostgresRecordStore::PostgresRecordStore(std::string url, RecordAccess access)
    : shownUrl_(urlWithoutPassword(url)) {
    checkPostgresUrl(url);
    // Keywords before "dbname" are defaults the URL may override.
    const std::string timeout = std::to_string(kServerConnectTimeout.count());
    const char* keywords[] = {"connect_timeout", "tcp_user_timeout", "application_name",
                              "client_encoding", "dbname",           nullptr};
    const char* values[] = {timeout.c_str(), "10000", "corvid", "UTF8", url.c_str(), nullptr};
    connection_.reset(PQconnectdbParams(keywords, values, 1));
    if (connection_ == nullptr) {
        throw RecordError("The record database " + shownUrl_ +
                          " cannot be opened: libpq has no memory left.");
    }
    if (PQstatus(connection_.get()) != CONNECTION_OK) {
        throw RecordError("The record database " + shownUrl_ +
                          " cannot be opened: " + reasonOf(PQerrorMessage(connection_.get())));
    }
    // Quiet: CREATE TABLE IF NOT EXISTS would otherwise print a notice on standard error.
    PQsetNoticeProcessor(
        connection_.get(), [](void*, const char*) {}, nullptr);
    if (access == RecordAccess::Write) {
        bringSchemaUpToDate();
        hasTables_ = true;
        return;
    }
    const int version = readSchemaVersion();
    if (version > kRecordSchemaVersion) {
        throw RecordError("The record database " + shownUrl_ + " has schema version " +
                          std::to_string(version) + ", newer than this program knows (" +
                          std::to_string(kRecordSchemaVersion) +
                          "); use the Corvid version that wrote it or a later one.");
    }
    hasTables_ = version > 0;
}

PostgresRecordStore::~PostgresRecordStore() = default;

namespace {

// Runs 'sql' and returns its result; throws RecordError naming the URL, what was being done and
// the server's reason when it fails.
Result execute(pg_conn* connection, const std::string& shownUrl, const std::string& sql,
               const char* action, const std::vector<std::string>& parameters = {}) {
    std::vector<const char*> values;
    for (const std::string& parameter : parameters) {
        values.push_back(parameter.c_str());
    }
    // Without parameters, PQexec: a migration is several statements.
    Result result(parameters.empty()
                      ? PQexec(connection, sql.c_str())
                      : PQexecParams(connection, sql.c_str(), static_cast<int>(values.size()),
                                     nullptr, values.data(), nullptr, nullptr, 0));
    const ExecStatusType status = PQresultStatus(result.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        throw RecordError("The record database " + shownUrl + " cannot be " + action + ": " +
                          reasonOf(PQerrorMessage(connection)));
    }
    return result;
}

// Ends an open transaction after a failure; the connection may be gone, which is fine.
void rollBack(pg_conn* connection) {
    Result(PQexec(connection, "ROLLBACK"));
}

}  // namespace

int PostgresRecordStore::readSchemaVersion() const {
    const Result exists = execute(connection_.get(), shownUrl_,
                                  "SELECT to_regclass('record_schema') IS NOT NULL", "read");
    if (std::string_view(PQgetvalue(exists.get(), 0, 0)) != "t") {
        return 0;
    }
    const Result version =
        execute(connection_.get(), shownUrl_, "SELECT max(version) FROM record_schema", "read");
    return PQgetisnull(version.get(), 0, 0) ? 0 : intAt(version.get(), 0, 0);
}

int PostgresRecordStore::schemaVersion() const {
    return readSchemaVersion();
}

void PostgresRecordStore::bringSchemaUpToDate() {
    pg_conn* connection = connection_.get();
    execute(connection, shownUrl_, "BEGIN", "brought up to date");
    try {
        execute(connection, shownUrl_,
                "SELECT pg_advisory_xact_lock(" + std::to_string(kSchemaLockKey) + ")",
                "brought up to date");
        execute(connection, shownUrl_,
                "CREATE TABLE IF NOT EXISTS record_schema (version integer NOT NULL)",
                "brought up to date");
        const int version = readSchemaVersion();
        if (version > kRecordSchemaVersion) {
            throw RecordError("The record database " + shownUrl_ + " has schema version " +
                              std::to_string(version) + ", newer than this program knows (" +
                              std::to_string(kRecordSchemaVersion) +
                              "); use the Corvid version that wrote it or a later one.");
        }
        if (version < kRecordSchemaVersion) {
            for (const Migration& migration : kServerMigrations) {
                if (migration.to > version) {
                    execute(connection, shownUrl_, migration.sql, "brought up to date");
                }
            }
            execute(connection, shownUrl_, "DELETE FROM record_schema", "brought up to date");
            execute(connection, shownUrl_,
                    "INSERT INTO record_schema (version) VALUES (" +
                        std::to_string(kRecordSchemaVersion) + ")",
                    "brought up to date");
        }
        execute(connection, shownUrl_, "COMMIT", "brought up to date");
    } catch (const RecordError&) {
        rollBack(connection);
        throw;
    }
}

void PostgresRecordStore::insertRow(const RunRecord& record) {
    pg_conn* connection = connection_.get();
    if (!prepared_) {
        const Result prepared(
            PQprepare(connection, kInsertStatement, insertSql().c_str(), 0, nullptr));
        if (PQresultStatus(prepared.get()) != PGRES_COMMAND_OK) {
            throw RecordError("The record database " + shownUrl_ +
                              " cannot be written: " + reasonOf(PQerrorMessage(connection)));
        }
        prepared_ = true;
    }
    std::vector<std::string> texts;
    forEachRecordField(record,
                       [&](const char*, const auto& value) { texts.push_back(paramText(value)); });
    if (record.runId.empty()) {
        texts.back() = newRunId();  // run_id is the last column
    }
    std::vector<const char*> values;
    for (const std::string& text : texts) {
        values.push_back(text.c_str());
    }
    const Result result(PQexecPrepared(connection, kInsertStatement,
                                       static_cast<int>(values.size()), values.data(), nullptr,
                                       nullptr, 0));
    if (PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
        throw RecordError("The record database " + shownUrl_ +
                          " cannot be written: " + reasonOf(PQerrorMessage(connection)));
    }
}

void PostgresRecordStore::append(const RunRecord& record) {
    insertRow(record);  // one statement outside BEGIN is a transaction of its own
}

void PostgresRecordStore::appendAll(std::span<const RunRecord> records) {
    if (records.empty()) {
        return;
    }
    pg_conn* connection = connection_.get();
    execute(connection, shownUrl_, "BEGIN", "written");
    try {
        for (const RunRecord& record : records) {
            insertRow(record);
        }
        execute(connection, shownUrl_, "COMMIT", "written");
    } catch (const RecordError&) {
        rollBack(connection);
        throw;
    }
}

std::vector<RunRecord> PostgresRecordStore::rows(const std::string& since) const {
    if (!hasTables_) {
        return {};
    }
    const Result result =
        execute(connection_.get(), shownUrl_,
                "SELECT " + recordColumnList() + " FROM runs" +
                    (since.empty() ? "" : " WHERE start_time >= $1") + " ORDER BY id",
                "read", since.empty() ? std::vector<std::string>{} : std::vector{since});
    std::vector<RunRecord> records(static_cast<std::size_t>(PQntuples(result.get())));
    for (int row = 0; row < PQntuples(result.get()); ++row) {
        int column = 0;
        forEachRecordField(records[static_cast<std::size_t>(row)], [&](const char*, auto& value) {
            readText(PQgetvalue(result.get(), row, column++), value);
        });
    }
    return records;
}

ProductionSummary PostgresRecordStore::summary(const std::string& since) const {
    ProductionSummary summary;
    if (!hasTables_) {
        return summary;
    }
    pg_conn* connection = connection_.get();
    const std::string where = since.empty() ? "" : " WHERE start_time >= $1";
    const std::string andWhere = since.empty() ? " WHERE" : where + " AND";
    const std::vector<std::string> parameters =
        since.empty() ? std::vector<std::string>{} : std::vector{since};
    const auto query = [&](const std::string& sql) {
        return execute(connection, shownUrl_, sql, "read", parameters);
    };
    // One snapshot for every count, while stations go on writing.
    execute(connection, shownUrl_, "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", "read");
    try {
        const Result totals = query(
            "SELECT count(*), count(*) FILTER (WHERE passed), sum(seconds), "
            "sum(seconds) FILTER (WHERE passed) FROM runs" +
            where);
        summary.runs = intAt(totals.get(), 0, 0);
        summary.passed = intAt(totals.get(), 0, 1);
        if (summary.runs > 0) {
            summary.meanSeconds = doubleAt(totals.get(), 0, 2) / summary.runs;
        }
        if (summary.passed > 0) {
            summary.meanPassedSeconds = doubleAt(totals.get(), 0, 3) / summary.passed;
        }

        const Result days = query(
            "SELECT substr(start_time, 1, 10), count(*), count(*) FILTER (WHERE passed) "
            "FROM runs" +
            where +
            " GROUP BY substr(start_time, 1, 10) ORDER BY substr(start_time, 1, 10) COLLATE "
            "\"C\"");
        for (int row = 0; row < PQntuples(days.get()); ++row) {
            DayYield& day = summary.days.emplace_back();
            day.date = PQgetvalue(days.get(), row, 0);
            day.total = intAt(days.get(), row, 1);
            day.passed = intAt(days.get(), row, 2);
        }

        // The first name recorded with an ID, in the order the rows came.
        const Result flashIds = query(
            "SELECT flash_id, coalesce((array_agg(flash_name ORDER BY id) FILTER (WHERE "
            "flash_name <> ''))[1], ''), count(*), count(*) FILTER (WHERE passed) FROM runs" +
            where + " GROUP BY flash_id ORDER BY flash_id COLLATE \"C\"");
        for (int row = 0; row < PQntuples(flashIds.get()); ++row) {
            FlashYield& flash = summary.flashIds.emplace_back();
            flash.flashId = PQgetvalue(flashIds.get(), row, 0);
            flash.flashName = PQgetvalue(flashIds.get(), row, 1);
            flash.total = intAt(flashIds.get(), row, 2);
            flash.passed = intAt(flashIds.get(), row, 3);
        }

        const Result stations = query(
            "SELECT station, count(*), count(*) FILTER (WHERE passed), sum(seconds) FROM runs" +
            where + " GROUP BY station ORDER BY station COLLATE \"C\"");
        for (int row = 0; row < PQntuples(stations.get()); ++row) {
            StationYield& station = summary.stations.emplace_back();
            station.station = PQgetvalue(stations.get(), row, 0);
            station.total = intAt(stations.get(), row, 1);
            station.passed = intAt(stations.get(), row, 2);
            station.meanSeconds = doubleAt(stations.get(), row, 3) / station.total;
        }

        const Result failures =
            query("SELECT final_status, count(*) FROM runs" + andWhere +
                  " NOT passed GROUP BY final_status ORDER BY count(*) DESC, final_status COLLATE "
                  "\"C\" LIMIT " +
                  std::to_string(kReportedFailures));
        for (int row = 0; row < PQntuples(failures.get()); ++row) {
            summary.failures.push_back(
                {PQgetvalue(failures.get(), row, 0), intAt(failures.get(), row, 1)});
        }
        execute(connection, shownUrl_, "COMMIT", "read");
    } catch (const RecordError&) {
        rollBack(connection);
        throw;
    }
    completeSummary(summary);
    return summary;
}

}  // namespace corvid
