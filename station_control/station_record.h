#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "production/station_setup.h"
#include "records/record_relay.h"
#include "records/sqlite_record_store.h"
#include "station_control/run_record_writer.h"

namespace corvid {

// The production record as a station program keeps it: nothing (ProductionRecord=0), the
// station's SQLite file, or that file as the queue of a relay that sends every row on to a
// factory's database; and the writer that turns each ended run into a row. The command line and
// the window both keep one; it lives on the controller's thread.
class StationRecord {
  public:
    // 'recordDatabase' is the factory database's URL (--record-db, else RecordDatabase of
    // prefer.ini), or empty. Throws RecordError for a URL that cannot work, before any device is
    // taken. A record that cannot be opened leaves the station running without one: 'complain'
    // says why, once.
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

    // Offers the rows still waiting once more and stops sending; at the program's end.
    void finish();

    // One line of what was written and sent; empty when nothing is recorded.
    std::string summary() const;

  private:
    std::vector<std::string> notices_;
    std::unique_ptr<SqliteRecordStore> file_;
    std::unique_ptr<RecordRelay> relay_;
    std::optional<RunRecordWriter> writer_;
};

// The factory database's URL: the program's option when given, else prefer.ini's.
std::string recordDatabaseOf(const std::string& option, const StationSettings& settings);

}  // namespace corvid
