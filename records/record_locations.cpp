#include "records/postgres_record_store.h"
#include "records/sqlite_record_store.h"

// Where the records are, as names: the same on every platform, whichever stores it builds.

namespace corvid {

std::filesystem::path productionRecordFile(const std::filesystem::path& home) {
    return home / "log" / "production.db";
}

bool isPostgresUrl(std::string_view text) {
    return text.rfind("postgresql://", 0) == 0 || text.rfind("postgres://", 0) == 0;
}

std::string urlWithoutPassword(std::string_view url) {
    std::string shown(url);
    const auto scheme = shown.find("://");
    if (scheme != std::string::npos) {
        const auto start = scheme + 3;
        const auto end = shown.find_first_of("/?", start);
        const auto at = shown.rfind('@', end == std::string::npos ? std::string::npos : end);
        if (at != std::string::npos && at >= start) {
            const auto colon = shown.find(':', start);
            if (colon != std::string::npos && colon < at) {
                shown.erase(colon, at - colon);
            }
        }
    }
    // password=... among the parameters
    for (auto at = shown.find("password="); at != std::string::npos;
         at = shown.find("password=", at + 1)) {
        if (at > 0 && shown[at - 1] != '?' && shown[at - 1] != '&') {
            continue;
        }
        const auto value = at + 9;
        const auto end = shown.find('&', value);
        shown.replace(value, end == std::string::npos ? std::string::npos : end - value, "***");
    }
    return shown;
}

}  // namespace corvid
