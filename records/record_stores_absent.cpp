// The production record's stores in a build without SQLite, libpq and libcrypto (the Windows
// build: Debian ships none of them for mingw-w64). Every store refuses to open with one sentence
// that says so; the station then runs without a record, as it does when a record cannot be
// opened, and `corvid-cli report` ends with that sentence.

#include "records/postgres_record_store.h"
#include "records/sqlite_record_store.h"

namespace corvid {

namespace {

[[noreturn]] void notBuilt(const std::string& what) {
    throw RecordError(what + " is not in the Windows build: it has no SQLite, libpq or libcrypto.");
}

}  // namespace

void checkPostgresUrl(std::string_view url) {
    notBuilt("The factory's record database (" + urlWithoutPassword(url) + ")");
}

SqliteRecordStore::SqliteRecordStore(std::filesystem::path file, RecordAccess,
                                     std::chrono::milliseconds busyTimeout)
    : file_(std::move(file)), busyTimeout_(busyTimeout) {
    notBuilt("The production record " + file_.string());
}
SqliteRecordStore::~SqliteRecordStore() = default;
void SqliteRecordStore::CloseDatabase::operator()(sqlite3*) const {}
void SqliteRecordStore::FinalizeStatement::operator()(sqlite3_stmt*) const {}
void SqliteRecordStore::append(const RunRecord&) {
    notBuilt("The production record");
}
void SqliteRecordStore::appendPending(const RunRecord&) {
    notBuilt("The production record");
}
std::vector<PendingRun> SqliteRecordStore::pendingRows(std::size_t) const {
    notBuilt("The production record");
}
void SqliteRecordStore::markSent(std::span<const std::int64_t>) {
    notBuilt("The production record");
}
std::int64_t SqliteRecordStore::pendingCount() const {
    notBuilt("The production record");
}
std::vector<RunRecord> SqliteRecordStore::rows(const std::string&) const {
    notBuilt("The production record");
}
int SqliteRecordStore::schemaVersion() const {
    notBuilt("The production record");
}

PostgresRecordStore::PostgresRecordStore(std::string url, RecordAccess, ServerWaits,
                                         std::stop_token)
    : shownUrl_(urlWithoutPassword(url)) {
    notBuilt("The factory's record database (" + shownUrl_ + ")");
}
PostgresRecordStore::~PostgresRecordStore() = default;
void PostgresRecordStore::CloseConnection::operator()(pg_conn*) const {}
void PostgresRecordStore::ClearResult::operator()(pg_result*) const {}
void PostgresRecordStore::append(const RunRecord&) {
    notBuilt("The factory's record database");
}
void PostgresRecordStore::appendAll(std::span<const RunRecord>) {
    notBuilt("The factory's record database");
}
std::vector<RunRecord> PostgresRecordStore::rows(const std::string&) const {
    notBuilt("The factory's record database");
}
ProductionSummary PostgresRecordStore::summary(const std::string&) const {
    notBuilt("The factory's record database");
}
int PostgresRecordStore::schemaVersion() const {
    notBuilt("The factory's record database");
}

}  // namespace corvid
