#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "production/station_setup.h"
#include "records/record_keeper.h"
#include "records/record_relay.h"
#include "records/sqlite_record_store.h"
#include "station_control/run_record_writer.h"

namespace corvid {

// The production record as a station program keeps it: nothing (ProductionRecord=0), the
// station's SQLite file, or that file as the queue of a relay that sends every row on to a
// factory's database; and the writer that turns each ended run into a row. The file is written
// by a RecordKeeper, off the controller's thread: rows it cannot take wait in memory. The command
// line and the window both keep one; it lives on the controller's thread.
class StationRecord {
  public:
    // 'recordDatabase' is the factory database's URL (--record-db, else RecordDatabase of
    // prefer.ini), or empty. Throws RecordError for a URL that cannot work, before any device is
    // taken. A record file that cannot be opened is said in a notice; its rows wait in memory.
    // 'complain' says why a row could not be made.
    StationRecord(const StationSetup& station, const std::string& recordDatabase,
                  std::function<void(const std::string&)> complain);
    ~StationRecord();
    StationRecord(const StationRecord&) = delete;
    StationRecord& operator=(const StationRecord&) = delete;

    // The listener that writes the rows; null when nothing is recorded.
    StationListener* writer() { return writer_ ? &*writer_ : nullptr; }

    // Lines for the operator since the last call: where the rows go, the record being off, a
    // server that went away or came back.
    std::vector<std::string> takeNotices();

    // Writes the rows held in memory and offers the rows still waiting once more, then stops;
    // at the program's end.
    void finish();

    // One line of what was written and sent; empty when nothing is recorded.
    std::string summary() const;

    // Ended runs that have no row in the record file: held in memory at the end or dropped, or
    // whose row could not be made. Final once finish() has returned.
    std::int64_t unrecordedRuns() const;

  private:
    std::vector<std::string> notices_;
    std::atomic<RecordRelay*> relay_{nullptr};  // owned by keeper_, once the file is open
    std::unique_ptr<RecordKeeper> keeper_;
    std::optional<RunRecordWriter> writer_;
};

// The factory database's URL: the program's option when given, else the environment variable
// CORVID_RECORD_DB when set, else prefer.ini's. An option or variable that names a file (rather
// than a URL) gives the file's first line. Throws RecordError when that file cannot be read.
std::string recordDatabaseOf(const std::string& option, const StationSettings& settings);

}  // namespace corvid
