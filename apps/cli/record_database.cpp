#include "apps/cli/record_database.h"

#include <cstdlib>

#include "records/postgres_record_store.h"
#include "records/run_record_store.h"
#include "station_control/station_record.h"

namespace corvid::cli {

std::string usableRecordDatabase(const std::string& option, const StationSettings& settings,
                                 const std::function<void(const std::string&)>& complain) {
    const std::string chosen = recordDatabaseOf(option, settings);
    // Given for this start (the option, CORVID_RECORD_DB): a mistake is refused at once.
    const char* variable = std::getenv("CORVID_RECORD_DB");
    const bool given = !option.empty() || (variable != nullptr && *variable != '\0');
    if (given || chosen.empty()) {
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
