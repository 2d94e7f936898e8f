#pragma once

#include <chrono>
#include <memory>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "records/production_report.h"
#include "records/run_record_store.h"
#include "records/sqlite_record_store.h"
#include "station/connection_text.h"

struct pg_conn;
struct pg_result;

namespace corvid {

// How long a station waits for the factory's database to answer a connection before it counts
// the server as away (libpq's connect_timeout, unless the URL gives its own).
inline constexpr std::chrono::seconds kServerConnectTimeout{3};
// How long one statement may wait for the server's answer before the server counts as away and
// the connection is dropped (the server's own statement_timeout is the same).
inline constexpr std::chrono::seconds kServerStatementDeadline{10};

struct ServerWaits {
    std::chrono::milliseconds connect = kServerConnectTimeout;
    std::chrono::milliseconds statement = kServerStatementDeadline;
};
// A report reads a whole factory's rows: its statements may take longer than a station's.
inline constexpr ServerWaits kReportServerWaits{kServerConnectTimeout, std::chrono::minutes(5)};

// True for text that names a PostgreSQL database as a URL: postgresql://... or postgres://...
bool isPostgresUrl(std::string_view text);
// True for a keyword/value connection string ("host=db dbname=record"), which libpq reads too.
bool isPostgresKeywordText(std::string_view text);

// Throws RecordError with one line naming the URL (without its password) when it is no
// PostgreSQL URL nor keyword/value string, or libpq cannot read it, or libpq cannot be loaded.
void checkPostgresUrl(std::string_view url);

// The production record of a whole factory in one PostgreSQL database (libpq): table `runs` with
// the columns of the station's SQLite record, `run_id` UNIQUE, so a row sent twice is stored once;
// the schema version in table `record_schema`, the same numbers as the SQLite file. Write access
// creates the tables on first use (several stations at once take turns on an advisory lock).
// One connection, used by one thread at a time, never blocking: libpq's client library is loaded
// at the first use, and every wait for the server has a deadline ('waits'), after which the
// connection is dropped (each later call throws) and the store must be made anew. 'giveUp' ends
// any wait at once (a station that ends).
class PostgresRecordStore : public RunRecordStore {
  public:
    // Connects. Throws RecordError, one line naming the URL (never its password) and libpq's or
    // the server's reason: a URL that is not valid, a server that does not answer in time, a
    // wrong password, a missing database, a newer schema, no client library.
    explicit PostgresRecordStore(std::string url, RecordAccess access = RecordAccess::Write,
                                 ServerWaits waits = {}, std::stop_token giveUp = {});
    ~PostgresRecordStore() override;
    PostgresRecordStore(const PostgresRecordStore&) = delete;
    PostgresRecordStore& operator=(const PostgresRecordStore&) = delete;

    // One row, one transaction; a row whose run id the database holds already is left out.
    void append(const RunRecord& record) override;
    // The rows in order, in one transaction: all stored or none.
    void appendAll(std::span<const RunRecord> records) override;

    // Every row in the order the database received them; with 'since' ("YYYY-MM-DD") only the
    // runs started that day or later. Empty when no station has written yet.
    std::vector<RunRecord> rows(const std::string& since = {}) const;
    // The report's figures, counted by the server (a factory's rows need not cross the network).
    ProductionSummary summary(const std::string& since = {}) const;

    int schemaVersion() const;
    const std::string& shownUrl() const { return shownUrl_; }

  private:
    struct CloseConnection {
        void operator()(pg_conn* connection) const;
    };
    struct ClearResult {
        void operator()(pg_result* result) const;
    };
    using Result = std::unique_ptr<pg_result, ClearResult>;

    // When a wait for the server ends, and how long it was given (for the message).
    struct Deadline {
        explicit Deadline(std::chrono::milliseconds wait)
            : at(std::chrono::steady_clock::now() + wait), wait(wait) {}
        std::chrono::steady_clock::time_point at;
        std::chrono::milliseconds wait;
    };

    void connect(const std::string& url);
    // Waits until the connection's socket is ready for 'events'; throws RecordError (and drops
    // the connection) at the deadline or when the caller gives up.
    void awaitSocket(short events, const Deadline& deadline, const char* action) const;
    // Sends a statement ('prepared' names a prepared one, given its parameters) and returns its
    // result; throws RecordError naming the URL, what was being done and the server's reason.
    Result execute(const std::string& sql, const char* action,
                   const std::vector<std::string>& parameters = {},
                   const char* prepared = nullptr) const;
    Result awaitResult(const char* action, const Deadline& deadline) const;
    // Ends an open transaction after a failure.
    void rollBack() const;
    void bringSchemaUpToDate();
    int readSchemaVersion() const;
    void insertRow(const RunRecord& record);

    std::string shownUrl_;
    ServerWaits waits_;
    std::stop_token giveUp_;
    mutable bool dropped_ = false;  // a wait ran out: the connection is not to be used again
    std::unique_ptr<pg_conn, CloseConnection> connection_;
    bool prepared_ = false;
    bool hasTables_ = false;  // false for a database no station has written to yet (Read)
};

}  // namespace corvid
