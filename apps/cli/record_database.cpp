#include "apps/cli/record_database.h"

#include "records/postgres_record_store.h"
#include "records/run_record_store.h"
#include "station_control/station_record.h"

namespace corvid::cli {

std::string usableRecordDatabase(const std::string& option, const StationSettings& settings,
                                 const std::function<void(const std::string&)>& complain) {
    const std::string chosen = recordDatabaseOf(option, settings);
    if (!option.empty() || chosen.empty()) {
        return chosen;
    }
    try {
        checkPostgresUrl(chosen);
    } catch (const RecordError& error) {
        complain(std::string(error.what()) +
                 " Runs are recorded in log/production.db only; mend RecordDatabase in "
                 "misc/prefer.ini.");
        return {};
    }
    return chosen;
}

}  // namespace corvid::cli
