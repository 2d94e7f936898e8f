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

bool isPostgresKeywordText(std::string_view text) {
    return text.find("://") == std::string_view::npos && text.find('=') != std::string_view::npos;
}

}  // namespace corvid
