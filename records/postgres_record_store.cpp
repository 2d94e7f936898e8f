#include "records/postgres_record_store.h"

#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <sstream>
#include <type_traits>

#include "platform/shared_library.h"
#include "records/run_id.h"
#include "records/run_record_fields.h"

namespace corvid {

namespace {

// The client library is loaded when a PostgreSQL URL is first used, so the programs that never
// use one (and every subcommand's start) do not pay for it and what it pulls in.
constexpr const char* kClientLibrary = "libpq.so.5";

// clang-format off
#define CORVID_LIBPQ_FUNCTIONS(X) \
    X(PQconninfoParse) \
    X(PQconninfoFree) \
    X(PQfreemem) \
    X(PQconnectStartParams) \
    X(PQconnectPoll) \
    X(PQstatus) \
    X(PQerrorMessage) \
    X(PQfinish) \
    X(PQsocket) \
    X(PQsetnonblocking) \
    X(PQsetNoticeProcessor) \
    X(PQsendQuery) \
    X(PQsendQueryParams) \
    X(PQsendPrepare) \
    X(PQsendQueryPrepared) \
    X(PQflush) \
    X(PQconsumeInput) \
    X(PQisBusy) \
    X(PQgetResult) \
    X(PQresultStatus) \
    X(PQresultErrorMessage) \
    X(PQclear) \
    X(PQgetvalue) \
    X(PQgetisnull) \
    X(PQntuples)
// clang-format on

// The functions of libpq this store calls, found in the library loaded at run time.
struct ClientLibrary {
#define CORVID_LIBPQ_MEMBER(name) decltype(&::name) name = nullptr;
    CORVID_LIBPQ_FUNCTIONS(CORVID_LIBPQ_MEMBER)
#undef CORVID_LIBPQ_MEMBER
};

ClientLibrary loadClientLibrary() {
    try {
        const SharedLibrary library(kClientLibrary);
        ClientLibrary functions;
#define CORVID_LIBPQ_FIND(name) functions.name = library.function<decltype(&::name)>(#name);
        CORVID_LIBPQ_FUNCTIONS(CORVID_LIBPQ_FIND)
#undef CORVID_LIBPQ_FIND
        return functions;
    } catch (const SharedLibraryError& error) {
        throw RecordError(std::string("A record database needs PostgreSQL's client library: ") +
                          error.what() + "; install the Debian package libpq5.");
    }
}

// Loads the library at the first call; a failed load is tried again at the next.
const ClientLibrary& pq() {
    static const ClientLibrary library = loadClientLibrary();
    return library;
}

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
    // How each run ended and what it failed at in words of no language; times in UTC. Older
    // rows cannot tell a stopped or removed run from a failed one, nor the zone of the station
    // that sent them: the server's own zone is taken for them.
    {3, R"(ALTER TABLE runs ADD COLUMN end_kind text NOT NULL DEFAULT 'failed';
     ALTER TABLE runs ADD COLUMN failure_key text NOT NULL DEFAULT '';
     UPDATE runs SET
         end_kind = CASE WHEN passed THEN 'passed' ELSE 'failed' END,
         failure_key = CASE WHEN passed THEN '' WHEN failed_step <> '' THEN failed_step
                            ELSE final_status END,
         start_time = to_char(start_time::timestamp AT TIME ZONE current_setting('TimeZone')
                              AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS') || 'Z',
         end_time = to_char(end_time::timestamp AT TIME ZONE current_setting('TimeZone')
                            AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS') || 'Z';)"},
};
static_assert(std::size(kServerMigrations) > 0 &&
                  std::end(kServerMigrations)[-1].to == kRecordSchemaVersion,
              "the server's schema must reach the version the SQLite file has");

std::string secondsText(std::chrono::milliseconds wait) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, wait.count() / 1000.0);
    return std::string(text, result.ptr) + " s";
}

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
std::string paramText(RunEnd value) {
    return std::string(runEndName(value));
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
void readText(const char* text, RunEnd& value) {
    value = runEndFromName(text).value_or(RunEnd::Failed);
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
    readText(pq().PQgetvalue(result, row, column), value);
    return value;
}
double doubleAt(const PGresult* result, int row, int column) {
    double value = 0;
    readText(pq().PQgetvalue(result, row, column), value);
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
    if (!isPostgresUrl(url) && !isPostgresKeywordText(url)) {
        throw RecordError("The record database \"" + shown +
                          "\" is not a PostgreSQL URL (postgresql://USER@HOST:PORT/DATABASE).");
    }
    char* message = nullptr;
    PQconninfoOption* options = pq().PQconninfoParse(std::string(url).c_str(), &message);
    if (options == nullptr) {
        std::string reason = reasonOf(message);
        pq().PQfreemem(message);
        // libpq may quote the URL, password and all.
        for (auto at = reason.find(url); at != std::string::npos; at = reason.find(url, at)) {
            reason.replace(at, url.size(), shown);
            at += shown.size();
        }
        throw RecordError("The record database URL " + shown + " is not valid: " + reason);
    }
    pq().PQconninfoFree(options);
}

void PostgresRecordStore::CloseConnection::operator()(pg_conn* connection) const {
    pq().PQfinish(connection);  // non-blocking: a silent server does not hold it up
}

PostgresRecordStore::PostgresRecordStore(std::string url, RecordAccess access, ServerWaits waits,
                                         std::stop_token giveUp)
    : shownUrl_(urlWithoutPassword(url)), waits_(waits), giveUp_(std::move(giveUp)) {
    checkPostgresUrl(url);
    connect(url);
    // Quiet: CREATE TABLE IF NOT EXISTS would otherwise print a notice on standard error.
    pq().PQsetNoticeProcessor(
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

void PostgresRecordStore::ClearResult::operator()(pg_result* result) const {
    pq().PQclear(result);
}

void PostgresRecordStore::connect(const std::string& url) {
    // Keywords before "dbname" are defaults the URL may override. Keepalives find a server whose
    // machine went away while the connection is idle; statement_timeout ends a statement the
    // server itself is slow at, before our own deadline drops the connection.
    const std::string timeout = std::to_string(
        std::max<long long>(1, std::chrono::ceil<std::chrono::seconds>(waits_.connect).count()));
    const std::string serverTimeout =
        "-c statement_timeout=" + std::to_string(waits_.statement.count()) + "ms";
    const char* keywords[] = {
        "connect_timeout",     "tcp_user_timeout", "keepalives", "keepalives_idle",
        "keepalives_interval", "keepalives_count", "options",    "application_name",
        "client_encoding",     "dbname",           nullptr};
    const char* values[] = {timeout.c_str(),       "10000",  "1",    "5",         "2",    "3",
                            serverTimeout.c_str(), "corvid", "UTF8", url.c_str(), nullptr};
    connection_.reset(pq().PQconnectStartParams(keywords, values, 1));
    if (connection_ == nullptr) {
        throw RecordError("The record database " + shownUrl_ +
                          " cannot be opened: libpq has no memory left.");
    }
    const Deadline deadline(waits_.connect);
    PostgresPollingStatusType polling = PGRES_POLLING_WRITING;
    while (pq().PQstatus(connection_.get()) != CONNECTION_BAD && polling != PGRES_POLLING_OK &&
           polling != PGRES_POLLING_FAILED) {
        awaitSocket(polling == PGRES_POLLING_READING ? POLLIN : POLLOUT, deadline, "opened");
        polling = pq().PQconnectPoll(connection_.get());
    }
    if (pq().PQstatus(connection_.get()) != CONNECTION_OK) {
        throw RecordError("The record database " + shownUrl_ +
                          " cannot be opened: " + reasonOf(pq().PQerrorMessage(connection_.get())));
    }
    if (pq().PQsetnonblocking(connection_.get(), 1) != 0) {
        throw RecordError("The record database " + shownUrl_ +
                          " cannot be opened: " + reasonOf(pq().PQerrorMessage(connection_.get())));
    }
}

void PostgresRecordStore::awaitSocket(short events, const Deadline& deadline,
                                      const char* action) const {
    // In short steps, so a station that ends need not wait for the deadline.
    constexpr auto kStep = std::chrono::milliseconds(100);
    while (true) {
        if (giveUp_.stop_requested()) {
            dropped_ = true;
            throw RecordError("The record database " + shownUrl_ + " cannot be " + action +
                              ": the station is ending.");
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline.at - std::chrono::steady_clock::now());
        if (left <= std::chrono::milliseconds(0)) {
            dropped_ = true;
            throw RecordError("The record database " + shownUrl_ + " cannot be " + action +
                              ": the server did not answer within " + secondsText(deadline.wait) +
                              ".");
        }
        pollfd socket{pq().PQsocket(connection_.get()), events, 0};
        if (socket.fd < 0) {
            dropped_ = true;
            throw RecordError("The record database " + shownUrl_ + " cannot be " + action +
                              ": the connection is closed.");
        }
        const int ready = poll(&socket, 1, static_cast<int>(std::min(left, kStep).count()));
        if (ready > 0) {
            return;
        }
        if (ready < 0 && errno != EINTR) {
            dropped_ = true;
            throw RecordError("The record database " + shownUrl_ + " cannot be " + action + ": " +
                              std::strerror(errno) + ".");
        }
    }
}

PostgresRecordStore::Result PostgresRecordStore::execute(const std::string& sql, const char* action,
                                                         const std::vector<std::string>& parameters,
                                                         const char* prepared) const {
    pg_conn* connection = connection_.get();
    const auto failed = [&](const char* message) {
        return RecordError("The record database " + shownUrl_ + " cannot be " + action + ": " +
                           reasonOf(message));
    };
    if (dropped_) {
        throw RecordError("The record database " + shownUrl_ + " cannot be " + action +
                          ": the connection was dropped.");
    }
    const Deadline deadline(waits_.statement);
    std::vector<const char*> values;
    for (const std::string& parameter : parameters) {
        values.push_back(parameter.c_str());
    }
    const int count = static_cast<int>(values.size());
    // Without parameters, the simple protocol: a migration is several statements.
    const int sent =
        prepared != nullptr  ? pq().PQsendQueryPrepared(connection, prepared, count, values.data(),
                                                        nullptr, nullptr, 0)
        : parameters.empty() ? pq().PQsendQuery(connection, sql.c_str())
                             : pq().PQsendQueryParams(connection, sql.c_str(), count, nullptr,
                                                      values.data(), nullptr, nullptr, 0);
    if (sent != 1) {
        throw failed(pq().PQerrorMessage(connection));
    }
    return awaitResult(action, deadline);
}

PostgresRecordStore::Result PostgresRecordStore::awaitResult(const char* action,
                                                             const Deadline& deadline) const {
    pg_conn* connection = connection_.get();
    const auto failed = [&](const char* message) {
        return RecordError("The record database " + shownUrl_ + " cannot be " + action + ": " +
                           reasonOf(message));
    };
    for (int flushed = pq().PQflush(connection); flushed != 0; flushed = pq().PQflush(connection)) {
        if (flushed < 0) {
            dropped_ = true;
            throw failed(pq().PQerrorMessage(connection));
        }
        awaitSocket(POLLIN | POLLOUT, deadline, action);
        if (pq().PQconsumeInput(connection) != 1) {
            dropped_ = true;
            throw failed(pq().PQerrorMessage(connection));
        }
    }
    // Every result is taken, so the connection is ready for the next statement; the last one
    // (or the first error) is the statement's.
    Result last;
    std::string error;
    while (true) {
        while (pq().PQisBusy(connection) == 1) {
            awaitSocket(POLLIN, deadline, action);
            if (pq().PQconsumeInput(connection) != 1) {
                dropped_ = true;
                throw failed(pq().PQerrorMessage(connection));
            }
        }
        Result result(pq().PQgetResult(connection));
        if (result == nullptr) {
            break;
        }
        const ExecStatusType status = pq().PQresultStatus(result.get());
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK && error.empty()) {
            error = reasonOf(pq().PQresultErrorMessage(result.get()));
        }
        last = std::move(result);
    }
    if (!error.empty()) {
        throw RecordError("The record database " + shownUrl_ + " cannot be " + action + ": " +
                          error);
    }
    return last;
}

void PostgresRecordStore::rollBack() const {
    if (dropped_) {
        return;  // the connection goes with the store; the server ends the transaction
    }
    try {
        execute("ROLLBACK", "written");
    } catch (const RecordError&) {
        // the connection may be gone, which ends the transaction as well
    }
}

int PostgresRecordStore::readSchemaVersion() const {
    const Result exists = execute("SELECT to_regclass('record_schema') IS NOT NULL", "read");
    if (std::string_view(pq().PQgetvalue(exists.get(), 0, 0)) != "t") {
        return 0;
    }
    const Result version = execute("SELECT max(version) FROM record_schema", "read");
    return pq().PQgetisnull(version.get(), 0, 0) ? 0 : intAt(version.get(), 0, 0);
}

int PostgresRecordStore::schemaVersion() const {
    return readSchemaVersion();
}

void PostgresRecordStore::bringSchemaUpToDate() {
    execute("BEGIN", "brought up to date");
    try {
        execute("SELECT pg_advisory_xact_lock(" + std::to_string(kSchemaLockKey) + ")",
                "brought up to date");
        execute("CREATE TABLE IF NOT EXISTS record_schema (version integer NOT NULL)",
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
                    execute(migration.sql, "brought up to date");
                }
            }
            execute("DELETE FROM record_schema", "brought up to date");
            execute("INSERT INTO record_schema (version) VALUES (" +
                        std::to_string(kRecordSchemaVersion) + ")",
                    "brought up to date");
        }
        execute("COMMIT", "brought up to date");
    } catch (const RecordError&) {
        rollBack();
        throw;
    }
}

void PostgresRecordStore::insertRow(const RunRecord& record) {
    if (!prepared_) {
        if (pq().PQsendPrepare(connection_.get(), kInsertStatement, insertSql().c_str(), 0,
                               nullptr) != 1) {
            throw RecordError("The record database " + shownUrl_ + " cannot be written: " +
                              reasonOf(pq().PQerrorMessage(connection_.get())));
        }
        awaitResult("written", Deadline(waits_.statement));
        prepared_ = true;
    }
    std::vector<std::string> texts;
    forEachRecordField(record, [&](const char* name, const auto& value) {
        texts.push_back(record.runId.empty() && std::string_view(name) == "run_id"
                            ? newRunId()
                            : paramText(value));
    });
    execute({}, "written", texts, kInsertStatement);
}

void PostgresRecordStore::append(const RunRecord& record) {
    insertRow(record);  // one statement outside BEGIN is a transaction of its own
}

void PostgresRecordStore::appendAll(std::span<const RunRecord> records) {
    if (records.empty()) {
        return;
    }
    execute("BEGIN", "written");
    try {
        for (const RunRecord& record : records) {
            insertRow(record);
        }
        execute("COMMIT", "written");
    } catch (const RecordError&) {
        rollBack();
        throw;
    }
}

std::vector<RunRecord> PostgresRecordStore::rows(const std::string& since) const {
    if (!hasTables_) {
        return {};
    }
    const Result result =
        execute("SELECT " + recordColumnList() + " FROM runs" +
                    (since.empty() ? "" : " WHERE start_time >= $1") + " ORDER BY id",
                "read", since.empty() ? std::vector<std::string>{} : std::vector{since});
    std::vector<RunRecord> records(static_cast<std::size_t>(pq().PQntuples(result.get())));
    for (int row = 0; row < pq().PQntuples(result.get()); ++row) {
        int column = 0;
        forEachRecordField(records[static_cast<std::size_t>(row)], [&](const char*, auto& value) {
            readText(pq().PQgetvalue(result.get(), row, column++), value);
        });
    }
    return records;
}

ProductionSummary PostgresRecordStore::summary(const std::string& since) const {
    ProductionSummary summary;
    if (!hasTables_) {
        return summary;
    }
    const std::string where = since.empty() ? "" : " WHERE start_time >= $1";
    const std::string andWhere = since.empty() ? " WHERE" : where + " AND";
    const std::vector<std::string> parameters =
        since.empty() ? std::vector<std::string>{} : std::vector{since};
    const auto query = [&](const std::string& sql) { return execute(sql, "read", parameters); };
    // One snapshot for every count, while stations go on writing.
    execute("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", "read");
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
        for (int row = 0; row < pq().PQntuples(days.get()); ++row) {
            DayYield& day = summary.days.emplace_back();
            day.date = pq().PQgetvalue(days.get(), row, 0);
            day.total = intAt(days.get(), row, 1);
            day.passed = intAt(days.get(), row, 2);
        }

        // The first name recorded with an ID, in the order the rows came.
        const Result flashIds = query(
            "SELECT flash_id, coalesce((array_agg(flash_name ORDER BY id) FILTER (WHERE "
            "flash_name <> ''))[1], ''), count(*), count(*) FILTER (WHERE passed) FROM runs" +
            where + " GROUP BY flash_id ORDER BY flash_id COLLATE \"C\"");
        for (int row = 0; row < pq().PQntuples(flashIds.get()); ++row) {
            FlashYield& flash = summary.flashIds.emplace_back();
            flash.flashId = pq().PQgetvalue(flashIds.get(), row, 0);
            flash.flashName = pq().PQgetvalue(flashIds.get(), row, 1);
            flash.total = intAt(flashIds.get(), row, 2);
            flash.passed = intAt(flashIds.get(), row, 3);
        }

        const Result stations = query(
            "SELECT station, count(*), count(*) FILTER (WHERE passed), sum(seconds) FROM runs" +
            where + " GROUP BY station ORDER BY station COLLATE \"C\"");
        for (int row = 0; row < pq().PQntuples(stations.get()); ++row) {
            StationYield& station = summary.stations.emplace_back();
            station.station = pq().PQgetvalue(stations.get(), row, 0);
            station.total = intAt(stations.get(), row, 1);
            station.passed = intAt(stations.get(), row, 2);
            station.meanSeconds = doubleAt(stations.get(), row, 3) / station.total;
        }

        const Result ends = query(
            "SELECT count(*) FILTER (WHERE end_kind = 'removed'), "
            "count(*) FILTER (WHERE end_kind = 'stopped') FROM runs" +
            where);
        summary.removed = intAt(ends.get(), 0, 0);
        summary.stopped = intAt(ends.get(), 0, 1);

        // Each key with the first text shown for it.
        const Result failures = query(
            "SELECT failure_key, (array_agg(final_status ORDER BY id))[1], count(*) FROM runs" +
            andWhere +
            " end_kind = 'failed' GROUP BY failure_key ORDER BY count(*) DESC, "
            "failure_key COLLATE \"C\" LIMIT " +
            std::to_string(kReportedFailures));
        for (int row = 0; row < pq().PQntuples(failures.get()); ++row) {
            summary.failures.push_back({pq().PQgetvalue(failures.get(), row, 0),
                                        pq().PQgetvalue(failures.get(), row, 1),
                                        intAt(failures.get(), row, 2)});
        }
        execute("COMMIT", "read");
    } catch (const RecordError&) {
        rollBack();
        throw;
    }
    completeSummary(summary);
    return summary;
}

}  // namespace corvid
