#include "station_control/station_record.h"

#include <cstdlib>
#include <fstream>

#include "platform/host_name.h"
#include "records/postgres_record_store.h"

namespace corvid {

std::string recordDatabaseOf(const std::string& option, const StationSettings& settings) {
    std::string chosen = option;
    if (const char* variable = std::getenv("CORVID_RECORD_DB"); chosen.empty() && variable) {
        chosen = variable;
    }
    if (chosen.empty()) {
        return settings.corvid.recordDatabase;
    }
    // A file that holds the URL keeps its password out of ps and the shell's history.
    std::error_code error;
    if (isPostgresUrl(chosen) || !std::filesystem::is_regular_file(chosen, error)) {
        return chosen;
    }
    std::ifstream file(chosen);
    std::string url;
    if (!std::getline(file, url)) {
        throw RecordError("The record database file " + chosen + " cannot be read.");
    }
    while (!url.empty() && (url.back() == '\r' || url.back() == ' ')) {
        url.pop_back();
    }
    return url;
}

StationRecord::StationRecord(const StationSetup& station, const std::string& recordDatabase,
                             std::function<void(const std::string&)> complain) {
    if (!recordDatabase.empty()) {
        checkPostgresUrl(recordDatabase);
    }
    if (!station.settings.corvid.productionRecord) {
        notices_.push_back("the production record is off (ProductionRecord=0 in prefer.ini)");
        return;
    }
    const std::filesystem::path file = productionRecordFile(station.folder.home());
    RecordKeeper::Open open = [file] { return std::make_unique<SqliteRecordStore>(file); };
    if (!recordDatabase.empty()) {
        const std::string serverName = urlWithoutPassword(recordDatabase);
        notices_.push_back("the production record goes to " + serverName + " by way of " +
                           file.string());
        open = [this, file, serverName, recordDatabase] {
            auto relay = std::make_unique<RecordRelay>(
                file, serverName, [recordDatabase](std::stop_token giveUp) {
                    return std::make_unique<PostgresRecordStore>(
                        recordDatabase, RecordAccess::Write, ServerWaits{}, std::move(giveUp));
                });
            relay_ = relay.get();
            return relay;
        };
    }
    keeper_ = std::make_unique<RecordKeeper>(file, std::move(open));
    writer_.emplace(*keeper_, station.settings, hostName(), std::move(complain));
}

StationRecord::~StationRecord() = default;

std::vector<std::string> StationRecord::takeNotices() {
    std::vector<std::string> notices;
    notices.swap(notices_);
    if (keeper_) {
        for (std::string& notice : keeper_->takeNotices()) {
            notices.push_back(std::move(notice));
        }
    }
    if (RecordRelay* relay = relay_) {
        for (std::string& notice : relay->takeNotices()) {
            notices.push_back(std::move(notice));
        }
    }
    return notices;
}

void StationRecord::finish() {
    if (keeper_) {
        keeper_->finish();
    }
    if (RecordRelay* relay = relay_) {
        relay->finish();
    }
}

std::string StationRecord::summary() const {
    if (!writer_) {
        return {};
    }
    const KeeperCounts kept = keeper_->counts();
    std::string line = "production record: " + std::to_string(kept.written) +
                       " row(s) written to " + keeper_->file().string();
    if (kept.held > 0) {
        line += ", " + std::to_string(kept.held) + " held in memory";
    }
    if (kept.lost > 0) {
        line += ", " + std::to_string(kept.lost) + " dropped (memory full)";
    }
    if (writer_->failedRows() > 0) {
        line += ", " + std::to_string(writer_->failedRows()) + " could not be made";
    }
    if (const RecordRelay* relay = relay_) {
        const RelayCounts counts = relay->counts();
        line += "; " + std::to_string(counts.sent) + " sent to " + relay->serverName() + ", " +
                std::to_string(counts.waiting) + " waiting to be sent";
    }
    return line;
}

std::int64_t StationRecord::unrecordedRuns() const {
    if (!writer_) {
        return 0;
    }
    const KeeperCounts kept = keeper_->counts();
    return kept.held + kept.lost + writer_->failedRows();
}

}  // namespace corvid
