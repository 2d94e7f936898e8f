#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "records/run_record_store.h"

struct sqlite3;
struct sqlite3_stmt;

namespace corvid {

// The schema version this program writes. A database of an older version is brought up to it
// when opened; one of a newer version is refused, as its rows may mean what we cannot know.
inline constexpr int kRecordSchemaVersion = 3;

// How long a write or read waits for another program's lock (the station writing while a report
// reads, two stations on one folder) before it gives up.
inline constexpr std::chrono::milliseconds kRecordBusyTimeout{5000};

// The production record of a station folder.
std::filesystem::path productionRecordFile(const std::filesystem::path& home);

// A row kept here that waits to be sent to the factory's shared database.
struct PendingRun {
    std::int64_t id = 0;  // the row's place in this file, oldest lowest
    RunRecord record;
};

enum class RecordAccess {
    Write,  // the station: creates the file (and its folder log/), refuses a read-only one
    Read,   // a report: the file must exist and is never written; an older schema is brought up
            // to date in a copy in memory
};

// The production record in one SQLite file: WAL journal, so a report reads while the station
// writes; table `runs`, one column per RunRecord member plus `id`; the schema version in
// `PRAGMA user_version`; table `pending_runs` holds the ids of the rows still to be sent to a
// shared database. Used by one thread at a time; two stores on one file (the station's thread
// and a sender's) wait for each other's writes up to the busy timeout.
class SqliteRecordStore : public RunRecordStore {
  public:
    // Throws RecordError, naming the file, when it cannot be opened, is no SQLite database, has
    // a newer schema, or (Write) cannot be written.
    explicit SqliteRecordStore(std::filesystem::path file,
                               RecordAccess access = RecordAccess::Write,
                               std::chrono::milliseconds busyTimeout = kRecordBusyTimeout);
    ~SqliteRecordStore() override;
    SqliteRecordStore(const SqliteRecordStore&) = delete;
    SqliteRecordStore& operator=(const SqliteRecordStore&) = delete;

    // One row, one transaction. A record without a run id is given a new one.
    void append(const RunRecord& record) override;
    // The same, and the row joins the queue of rows to send, in the same transaction.
    void appendPending(const RunRecord& record);

    // The oldest 'limit' rows waiting to be sent, oldest first.
    std::vector<PendingRun> pendingRows(std::size_t limit) const;
    // Takes the rows of these ids off the queue, in one transaction.
    void markSent(std::span<const std::int64_t> ids);
    std::int64_t pendingCount() const;

    // The rows in the order they were written; with 'since' ("YYYY-MM-DD"), only the runs
    // started on that day or later.
    std::vector<RunRecord> rows(const std::string& since = {}) const;

    int schemaVersion() const;
    const std::filesystem::path& file() const { return file_; }

  private:
    struct CloseDatabase {
        void operator()(sqlite3* db) const;
    };
    struct FinalizeStatement {
        void operator()(sqlite3_stmt* statement) const;
    };

    // The station's folder log/ and an empty file, when missing.
    void makeFile();
    // 'uriQuery' non-empty: the file is opened as a URI with these parameters.
    void open(int flags, const std::string& uriQuery = {});
    // Read-only, also in a folder this reader may not write.
    void openForReading();
    // The database is replaced by a copy of it in memory.
    void copyIntoMemory();
    void insertRow(const RunRecord& record);
    int readSchemaVersion(const char* action) const;
    void bringSchemaUpToDate();
    void execute(const char* sql, const char* action);
    // The error of a failed call, naming the file, what was being done and SQLite's reason.
    RecordError error(const char* action, int code) const;

    std::filesystem::path file_;
    std::chrono::milliseconds busyTimeout_;
    std::unique_ptr<sqlite3, CloseDatabase> db_;
    std::unique_ptr<sqlite3_stmt, FinalizeStatement> insert_;  // goes before db_
};

}  // namespace corvid
