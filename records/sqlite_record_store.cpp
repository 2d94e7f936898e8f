#include "records/sqlite_record_store.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string_view>
#include <system_error>
#include <type_traits>

#include "platform/shared_library.h"
#include "records/run_id.h"
#include "records/run_record_fields.h"

namespace corvid {

namespace {

// SQLite is loaded when a record is first opened, so the commands that never open one (and every
// program's start) do not pay for loading it.
constexpr const char* kSqliteLibrary = "libsqlite3.so.0";

// clang-format off
#define CORVID_SQLITE_FUNCTIONS(X) \
    X(sqlite3_backup_finish) \
    X(sqlite3_backup_init) \
    X(sqlite3_backup_step) \
    X(sqlite3_bind_double) \
    X(sqlite3_bind_int) \
    X(sqlite3_bind_int64) \
    X(sqlite3_bind_text) \
    X(sqlite3_busy_timeout) \
    X(sqlite3_clear_bindings) \
    X(sqlite3_close_v2) \
    X(sqlite3_column_bytes) \
    X(sqlite3_column_double) \
    X(sqlite3_column_int) \
    X(sqlite3_column_int64) \
    X(sqlite3_column_text) \
    X(sqlite3_db_readonly) \
    X(sqlite3_errmsg) \
    X(sqlite3_errstr) \
    X(sqlite3_exec) \
    X(sqlite3_finalize) \
    X(sqlite3_open_v2) \
    X(sqlite3_prepare_v2) \
    X(sqlite3_reset) \
    X(sqlite3_step) \
    X(sqlite3_system_errno)
// clang-format on

// The functions of SQLite this store calls, found in the library loaded at run time.
struct SqliteLibrary {
#define CORVID_SQLITE_MEMBER(name) decltype(&::name) name = nullptr;
    CORVID_SQLITE_FUNCTIONS(CORVID_SQLITE_MEMBER)
#undef CORVID_SQLITE_MEMBER
};

SqliteLibrary loadSqliteLibrary() {
    try {
        const SharedLibrary library(kSqliteLibrary);
        SqliteLibrary functions;
#define CORVID_SQLITE_FIND(name) functions.name = library.function<decltype(&::name)>(#name);
        CORVID_SQLITE_FUNCTIONS(CORVID_SQLITE_FIND)
#undef CORVID_SQLITE_FIND
        return functions;
    } catch (const SharedLibraryError& error) {
        // Not the file's fault: it is never set aside for this.
        throw RecordError(std::string("The production record needs SQLite: ") + error.what() +
                          "; install the Debian package libsqlite3-0.");
    }
}

// Loads the library at the first call; a failed load is tried again at the next.
const SqliteLibrary& lite() {
    static const SqliteLibrary library = loadSqliteLibrary();
    return library;
}

// kMigrations[v] takes a database of schema version v to v + 1. An entry never changes once it
// has shipped: a later version adds an entry (ALTER TABLE ..., a new table) instead.
constexpr const char* kMigrations[] = {
    // 0 -> 1: the table of runs.
    R"(CREATE TABLE runs (
        id INTEGER PRIMARY KEY,
        start_time TEXT NOT NULL,
        end_time TEXT NOT NULL,
        station TEXT NOT NULL,
        slot INTEGER NOT NULL,
        letter TEXT NOT NULL,
        port_location TEXT NOT NULL,
        flash_id TEXT NOT NULL,
        flash_name TEXT NOT NULL,
        chips INTEGER NOT NULL,
        good_blocks INTEGER NOT NULL,
        total_blocks INTEGER NOT NULL,
        disk_mb INTEGER NOT NULL,
        disk_feature TEXT NOT NULL,
        disk_ratio INTEGER NOT NULL,
        firmware_file TEXT NOT NULL,
        firmware_sha256 TEXT NOT NULL,
        fsm_version TEXT NOT NULL,
        scan_level INTEGER NOT NULL,
        seconds REAL NOT NULL,
        passed INTEGER NOT NULL,
        final_status TEXT NOT NULL,
        failed_step TEXT NOT NULL);
     CREATE INDEX runs_by_start_time ON runs (start_time);)",
    // 1 -> 2: the run id that names a row across stations (older rows get a random one of the
    // same form), and the queue of rows still to be sent to a factory's shared database.
    R"(ALTER TABLE runs ADD COLUMN run_id TEXT NOT NULL DEFAULT '';
     UPDATE runs SET run_id =
         lower(hex(randomblob(4))) || '-' || lower(hex(randomblob(2))) || '-4' ||
         substr(lower(hex(randomblob(2))), 2) || '-' || substr('89ab', 1 + abs(random() % 4), 1) ||
         substr(lower(hex(randomblob(2))), 2) || '-' || lower(hex(randomblob(6)));
     CREATE UNIQUE INDEX runs_by_run_id ON runs (run_id);
     CREATE TABLE pending_runs (id INTEGER PRIMARY KEY REFERENCES runs (id));)",
    // 2 -> 3: how each run ended and what it failed at in words of no language; times in UTC.
    // Older rows were stopped or removed runs too, but nothing in them tells: a failed one is
    // "failed" with its step (else its text) as key. Their local times are taken as this
    // machine's, the station that wrote them.
    R"(ALTER TABLE runs ADD COLUMN end_kind TEXT NOT NULL DEFAULT 'failed';
     ALTER TABLE runs ADD COLUMN failure_key TEXT NOT NULL DEFAULT '';
     UPDATE runs SET
         end_kind = CASE WHEN passed THEN 'passed' ELSE 'failed' END,
         failure_key = CASE WHEN passed THEN '' WHEN failed_step <> '' THEN failed_step
                            ELSE final_status END,
         start_time = coalesce(datetime(start_time, 'utc') || 'Z', start_time),
         end_time = coalesce(datetime(end_time, 'utc') || 'Z', end_time);)",
};
static_assert(std::size(kMigrations) == kRecordSchemaVersion,
              "each schema version needs its migration");

// A prepared statement, finalized when it goes.
class Statement {
  public:
    Statement() = default;
    ~Statement() { lite().sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt** out() { return &statement_; }
    sqlite3_stmt* get() const { return statement_; }

  private:
    sqlite3_stmt* statement_ = nullptr;
};

std::string insertSql() {
    return "INSERT INTO runs (" + recordColumnList() + ") VALUES (" + recordPlaceholders('?') + ")";
}

int bindField(sqlite3_stmt* statement, int index, const std::string& value) {
    return lite().sqlite3_bind_text(statement, index, value.data(), static_cast<int>(value.size()),
                                    SQLITE_TRANSIENT);
}

int bindField(sqlite3_stmt* statement, int index, char value) {
    return bindField(statement, index, value == 0 ? std::string() : std::string(1, value));
}

int bindField(sqlite3_stmt* statement, int index, RunEnd value) {
    return bindField(statement, index, std::string(runEndName(value)));
}

int bindField(sqlite3_stmt* statement, int index, bool value) {
    return lite().sqlite3_bind_int(statement, index, value ? 1 : 0);
}

int bindField(sqlite3_stmt* statement, int index, double value) {
    return lite().sqlite3_bind_double(statement, index, value);
}

int bindField(sqlite3_stmt* statement, int index, std::int64_t value) {
    return lite().sqlite3_bind_int64(statement, index, value);
}

int bindField(sqlite3_stmt* statement, int index, int value) {
    return lite().sqlite3_bind_int64(statement, index, value);
}

void readField(sqlite3_stmt* statement, int column, std::string& value) {
    const auto* text = lite().sqlite3_column_text(statement, column);
    value.assign(text == nullptr ? "" : reinterpret_cast<const char*>(text),
                 static_cast<std::size_t>(lite().sqlite3_column_bytes(statement, column)));
}

void readField(sqlite3_stmt* statement, int column, char& value) {
    std::string text;
    readField(statement, column, text);
    value = text.empty() ? 0 : text.front();
}

void readField(sqlite3_stmt* statement, int column, RunEnd& value) {
    std::string text;
    readField(statement, column, text);
    value = runEndFromName(text).value_or(RunEnd::Failed);
}

void readField(sqlite3_stmt* statement, int column, bool& value) {
    value = lite().sqlite3_column_int(statement, column) != 0;
}

void readField(sqlite3_stmt* statement, int column, double& value) {
    value = lite().sqlite3_column_double(statement, column);
}

void readField(sqlite3_stmt* statement, int column, std::int64_t& value) {
    value = lite().sqlite3_column_int64(statement, column);
}

void readField(sqlite3_stmt* statement, int column, int& value) {
    value = lite().sqlite3_column_int(statement, column);
}

// A file name as an SQLite URI path: the characters a URI gives a meaning are escaped.
std::string uriOf(const std::filesystem::path& file) {
    std::string uri = "file:";
    for (const char c : file.string()) {
        if (c == '%' || c == '?' || c == '#') {
            static constexpr char kHex[] = "0123456789ABCDEF";
            uri += '%';
            uri += kHex[static_cast<unsigned char>(c) >> 4];
            uri += kHex[static_cast<unsigned char>(c) & 0x0F];
        } else {
            uri += c;
        }
    }
    return uri;
}

}  // namespace

SqliteRecordStore::SqliteRecordStore(std::filesystem::path file, RecordAccess access,
                                     std::chrono::milliseconds busyTimeout)
    : file_(std::move(file)), busyTimeout_(busyTimeout) {
    if (access == RecordAccess::Write) {
        makeFile();
        open(SQLITE_OPEN_READWRITE);
    } else {
        openForReading();
    }

    // Reading the version is the first read of the file: a file that is no database fails here.
    const int version = readSchemaVersion("opened");
    if (version > kRecordSchemaVersion) {
        throw RecordError("The production record " + file_.string() + " has schema version " +
                              std::to_string(version) + ", newer than this program knows (" +
                              std::to_string(kRecordSchemaVersion) +
                              "); use the Corvid version that wrote it or a later one.",
                          RecordFault::Unusable);
    }
    if (access == RecordAccess::Read) {
        if (version < kRecordSchemaVersion) {
            // A report never writes the file: an older one is brought up to date in a copy.
            copyIntoMemory();
            bringSchemaUpToDate();
        }
        return;
    }
    if (lite().sqlite3_db_readonly(db_.get(), "main") == 1) {
        throw RecordError("The production record " + file_.string() +
                              " cannot be written: the file or its folder is read-only.",
                          RecordFault::Unusable);
    }
    // Readers do not block the writer in WAL mode; the mode stays with the file.
    execute("PRAGMA journal_mode=WAL", "opened");
    if (version < kRecordSchemaVersion) {
        bringSchemaUpToDate();
    }
}

void SqliteRecordStore::makeFile() {
    // log/ belongs to the station and is made when missing; a missing station folder above it is
    // a mistake in --home, not something to create.
    const std::filesystem::path folder = file_.parent_path();
    std::error_code error;
    if (!folder.empty() && !std::filesystem::is_directory(folder, error)) {
        std::filesystem::create_directory(folder, error);
        if (error) {
            throw RecordError("The folder " + folder.string() +
                              " of the production record cannot be made: " + error.message() + ".");
        }
    }
    if (!std::filesystem::exists(file_, error)) {
        // Made here, empty (an empty file is an empty database), so a folder that refuses it is
        // named with the system's reason; SQLite's own attempt reports a later, unrelated one.
        errno = 0;
        if (!std::ofstream(file_, std::ios::binary | std::ios::app)) {
            throw RecordError("The production record " + file_.string() + " cannot be made: " +
                              (errno != 0 ? std::strerror(errno) : "the file cannot be created") +
                              ".");
        }
    }
}

void SqliteRecordStore::open(int flags, const std::string& uriQuery) {
    db_.reset();
    sqlite3* db = nullptr;
    const std::string name = uriQuery.empty() ? file_.string() : uriOf(file_) + uriQuery;
    const int opened = lite().sqlite3_open_v2(
        name.c_str(), &db, flags | (uriQuery.empty() ? 0 : SQLITE_OPEN_URI), nullptr);
    db_.reset(db);
    if (db_ == nullptr) {
        throw RecordError("The production record " + file_.string() +
                          " cannot be opened: " + lite().sqlite3_errstr(opened) + ".");
    }
    if (opened != SQLITE_OK) {
        throw error("opened", opened);
    }
    lite().sqlite3_busy_timeout(db_.get(), static_cast<int>(busyTimeout_.count()));
}

void SqliteRecordStore::openForReading() {
    std::error_code error;
    const auto status = std::filesystem::status(file_, error);
    if (!std::filesystem::exists(status)) {
        throw RecordError("The production record " + file_.string() + " does not exist.");
    }
    if (std::filesystem::is_directory(status)) {
        throw RecordError("The production record " + file_.string() + " is a folder, not a file.",
                          RecordFault::Unusable);
    }
    errno = 0;
    if (!std::ifstream(file_, std::ios::binary)) {
        throw RecordError("The production record " + file_.string() + " cannot be read: " +
                          (errno != 0 ? std::strerror(errno) : "the file cannot be opened") + ".");
    }
    open(SQLITE_OPEN_READONLY, "?mode=ro");
    Statement probe;
    if (lite().sqlite3_prepare_v2(db_.get(), "PRAGMA user_version", -1, probe.out(), nullptr) ==
            SQLITE_OK &&
        lite().sqlite3_step(probe.get()) == SQLITE_ROW) {
        return;
    }
    // A file in WAL mode that no station holds open, in a folder this reader may not write: its
    // shared-memory file cannot be made. Nobody writes such a file (a writer keeps its -wal
    // file beside it), so it is read as it stands.
    std::filesystem::path wal = file_;
    wal += "-wal";
    if (!std::filesystem::exists(wal, error)) {
        open(SQLITE_OPEN_READONLY, "?mode=ro&immutable=1");
    }
}

void SqliteRecordStore::copyIntoMemory() {
    sqlite3* memory = nullptr;
    if (const int opened =
            lite().sqlite3_open_v2(":memory:", &memory, SQLITE_OPEN_READWRITE, nullptr);
        opened != SQLITE_OK) {
        lite().sqlite3_close_v2(memory);
        throw RecordError("The production record " + file_.string() +
                          " cannot be read: " + lite().sqlite3_errstr(opened) + ".");
    }
    std::unique_ptr<sqlite3, CloseDatabase> copy(memory);
    sqlite3_backup* backup = lite().sqlite3_backup_init(copy.get(), "main", db_.get(), "main");
    if (backup == nullptr) {
        throw RecordError("The production record " + file_.string() +
                          " cannot be read: " + lite().sqlite3_errmsg(copy.get()) + ".");
    }
    const int stepped = lite().sqlite3_backup_step(backup, -1);
    lite().sqlite3_backup_finish(backup);
    if (stepped != SQLITE_DONE) {
        throw error("read", stepped);
    }
    db_ = std::move(copy);
}

SqliteRecordStore::~SqliteRecordStore() = default;

// close_v2: a statement still open on the connection (one being replaced, say) does not keep it
// alive; it is freed with that statement.
void SqliteRecordStore::CloseDatabase::operator()(sqlite3* db) const {
    lite().sqlite3_close_v2(db);
}

void SqliteRecordStore::FinalizeStatement::operator()(sqlite3_stmt* statement) const {
    lite().sqlite3_finalize(statement);
}

int SqliteRecordStore::schemaVersion() const {
    return readSchemaVersion("read");
}

int SqliteRecordStore::readSchemaVersion(const char* action) const {
    Statement statement;
    if (const int code = lite().sqlite3_prepare_v2(db_.get(), "PRAGMA user_version", -1,
                                                   statement.out(), nullptr);
        code != SQLITE_OK) {
        throw error(action, code);
    }
    if (const int code = lite().sqlite3_step(statement.get()); code != SQLITE_ROW) {
        throw error(action, code);
    }
    return lite().sqlite3_column_int(statement.get(), 0);
}

void SqliteRecordStore::bringSchemaUpToDate() {
    // IMMEDIATE takes the write lock before the version is read again, so two programs opening
    // a new file at once migrate it once.
    execute("BEGIN IMMEDIATE", "brought up to date");
    try {
        for (int from = readSchemaVersion("brought up to date"); from < kRecordSchemaVersion;
             ++from) {
            execute(kMigrations[from], "brought up to date");
        }
        execute(("PRAGMA user_version = " + std::to_string(kRecordSchemaVersion)).c_str(),
                "brought up to date");
        execute("COMMIT", "brought up to date");
    } catch (const RecordError&) {
        lite().sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void SqliteRecordStore::append(const RunRecord& record) {
    insertRow(record);
}

void SqliteRecordStore::appendPending(const RunRecord& record) {
    // The row and its place in the queue are one transaction: a row is never kept without being
    // sent, nor queued without being kept.
    execute("BEGIN IMMEDIATE", "written");
    try {
        insertRow(record);
        execute("INSERT INTO pending_runs (id) VALUES (last_insert_rowid())", "written");
        execute("COMMIT", "written");
    } catch (const RecordError&) {
        lite().sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void SqliteRecordStore::insertRow(const RunRecord& record) {
    if (insert_ == nullptr) {
        sqlite3_stmt* statement = nullptr;
        const int code =
            lite().sqlite3_prepare_v2(db_.get(), insertSql().c_str(), -1, &statement, nullptr);
        insert_.reset(statement);
        if (code != SQLITE_OK) {
            throw error("written", code);
        }
    }
    sqlite3_stmt* insert = insert_.get();
    lite().sqlite3_reset(insert);
    lite().sqlite3_clear_bindings(insert);
    int index = 0;
    int bound = SQLITE_OK;
    // Every row names its run; one that comes without a run id is given one here.
    const std::string madeRunId = record.runId.empty() ? newRunId() : std::string();
    forEachRecordField(record, [&](const char* name, const auto& value) {
        if (bound != SQLITE_OK) {
            return;
        }
        if (!madeRunId.empty() && std::string_view(name) == "run_id") {
            bound = bindField(insert, ++index, madeRunId);
        } else {
            bound = bindField(insert, ++index, value);
        }
    });
    if (bound != SQLITE_OK) {
        throw error("written", bound);
    }
    // One statement outside BEGIN is one transaction of its own.
    if (const int code = lite().sqlite3_step(insert); code != SQLITE_DONE) {
        const RecordError failed = error("written", code);
        lite().sqlite3_reset(insert);  // ends the failed statement's hold on the file
        throw failed;
    }
    lite().sqlite3_reset(insert);
}

std::vector<PendingRun> SqliteRecordStore::pendingRows(std::size_t limit) const {
    std::string columns;
    for (const char* name : recordColumnNames()) {
        columns += std::string(", runs.") + name;
    }
    const std::string sql = "SELECT runs.id" + columns +
                            " FROM pending_runs JOIN runs ON runs.id = pending_runs.id"
                            " ORDER BY runs.id LIMIT ?1";
    Statement statement;
    if (const int code =
            lite().sqlite3_prepare_v2(db_.get(), sql.c_str(), -1, statement.out(), nullptr);
        code != SQLITE_OK) {
        throw error("read", code);
    }
    if (const int code =
            lite().sqlite3_bind_int64(statement.get(), 1, static_cast<sqlite3_int64>(limit));
        code != SQLITE_OK) {
        throw error("read", code);
    }
    std::vector<PendingRun> result;
    int code = SQLITE_OK;
    while ((code = lite().sqlite3_step(statement.get())) == SQLITE_ROW) {
        PendingRun& pending = result.emplace_back();
        pending.id = lite().sqlite3_column_int64(statement.get(), 0);
        int column = 1;
        forEachRecordField(pending.record, [&](const char*, auto& value) {
            readField(statement.get(), column++, value);
        });
    }
    if (code != SQLITE_DONE) {
        throw error("read", code);
    }
    return result;
}

void SqliteRecordStore::markSent(std::span<const std::int64_t> ids) {
    if (ids.empty()) {
        return;
    }
    execute("BEGIN IMMEDIATE", "written");
    try {
        Statement statement;
        if (const int code = lite().sqlite3_prepare_v2(
                db_.get(), "DELETE FROM pending_runs WHERE id = ?1", -1, statement.out(), nullptr);
            code != SQLITE_OK) {
            throw error("written", code);
        }
        for (const std::int64_t id : ids) {
            lite().sqlite3_reset(statement.get());
            lite().sqlite3_bind_int64(statement.get(), 1, id);
            if (const int code = lite().sqlite3_step(statement.get()); code != SQLITE_DONE) {
                throw error("written", code);
            }
        }
        execute("COMMIT", "written");
    } catch (const RecordError&) {
        lite().sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

std::int64_t SqliteRecordStore::pendingCount() const {
    Statement statement;
    if (const int code = lite().sqlite3_prepare_v2(db_.get(), "SELECT count(*) FROM pending_runs",
                                                   -1, statement.out(), nullptr);
        code != SQLITE_OK) {
        throw error("read", code);
    }
    if (const int code = lite().sqlite3_step(statement.get()); code != SQLITE_ROW) {
        throw error("read", code);
    }
    return lite().sqlite3_column_int64(statement.get(), 0);
}

std::vector<RunRecord> SqliteRecordStore::rows(const std::string& since) const {
    // A date compares below every time of that day: "2024-05-01" < "2024-05-01 00:00:00".
    const std::string sql = "SELECT " + recordColumnList() + " FROM runs" +
                            (since.empty() ? "" : " WHERE start_time >= ?1") + " ORDER BY id";
    Statement statement;
    if (const int code =
            lite().sqlite3_prepare_v2(db_.get(), sql.c_str(), -1, statement.out(), nullptr);
        code != SQLITE_OK) {
        throw error("read", code);
    }
    if (!since.empty()) {
        if (const int code = bindField(statement.get(), 1, since); code != SQLITE_OK) {
            throw error("read", code);
        }
    }
    std::vector<RunRecord> result;
    int code = SQLITE_OK;
    while ((code = lite().sqlite3_step(statement.get())) == SQLITE_ROW) {
        RunRecord& record = result.emplace_back();
        int column = 0;
        forEachRecordField(
            record, [&](const char*, auto& value) { readField(statement.get(), column++, value); });
    }
    if (code != SQLITE_DONE) {
        throw error("read", code);
    }
    return result;
}

void SqliteRecordStore::execute(const char* sql, const char* action) {
    if (const int code = lite().sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr);
        code != SQLITE_OK) {
        throw error(action, code);
    }
}

RecordError SqliteRecordStore::error(const char* action, int code) const {
    const std::string file = "The production record " + file_.string();
    std::string detail = lite().sqlite3_errmsg(db_.get());
    if (const int systemError = lite().sqlite3_system_errno(db_.get()); systemError != 0) {
        detail += std::string(" (") + std::strerror(systemError) + ")";
    }
    switch (code & 0xFF) {
        case SQLITE_NOTADB:
            return RecordError(file + " is not an SQLite database: " + detail + ".",
                               RecordFault::Unusable);
        case SQLITE_CORRUPT:
            return RecordError(file + " cannot be " + action + ": it is damaged (" + detail + ").",
                               RecordFault::Unusable);
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return RecordError(file + " cannot be " + action +
                               ": another program held it locked for more than " +
                               std::to_string(busyTimeout_.count()) + " ms (" + detail + ").");
        case SQLITE_READONLY:
            return RecordError(
                file + " cannot be " + action + ": it or its folder is read-only (" + detail + ").",
                RecordFault::Unusable);
        default:
            return RecordError(file + " cannot be " + action + ": " + detail + ".");
    }
}

}  // namespace corvid
