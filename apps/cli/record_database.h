#pragma once

#include <functional>
#include <string>

#include "station/production_settings.h"

namespace corvid::cli {

// The factory database a station program sends its rows to: --record-db when given (a bad one is
// the operator's mistake, refused by the record), else RecordDatabase of prefer.ini. A stored
// value that is no PostgreSQL URL must not keep the station (or the window that could mend it)
// from starting: it is said through 'complain' and the station keeps its local record only.
std::string usableRecordDatabase(const std::string& option, const StationSettings& settings,
                                 const std::function<void(const std::string&)>& complain);

}  // namespace corvid::cli
