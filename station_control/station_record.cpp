#include "station_control/station_record.h"

#include "platform/host_name.h"
#include "records/postgres_record_store.h"

namespace corvid {

std::string recordDatabaseOf(const std::string& option, const StationSettings& settings) {
    return option.empty() ? settings.corvid.recordDatabase : option;
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
    RunRecordStore* store = nullptr;
    try {
        if (recordDatabase.empty()) {
            file_ = std::make_unique<SqliteRecordStore>(file);
            store = file_.get();
        } else {
            relay_ = std::make_unique<RecordRelay>(
                file, urlWithoutPassword(recordDatabase),
                [recordDatabase] { return std::make_unique<PostgresRecordStore>(recordDatabase); });
            notices_.push_back("the production record goes to " + relay_->serverName() +
                               " by way of " + file.string());
            store = relay_.get();
        }
    } catch (const std::exception& error) {
        if (complain) {
            complain(std::string("the production record cannot be opened (") + error.what() +
                     "); runs are not recorded");
        }
        return;
    }
    writer_.emplace(*store, station.settings, hostName(), std::move(complain));
}

StationRecord::~StationRecord() = default;

std::vector<std::string> StationRecord::takeNotices() {
    std::vector<std::string> notices;
    notices.swap(notices_);
    if (relay_) {
        for (std::string& notice : relay_->takeNotices()) {
            notices.push_back(std::move(notice));
        }
    }
    return notices;
}

void StationRecord::finish() {
    if (relay_) {
        relay_->finish();
    }
}

std::string StationRecord::summary() const {
    if (!writer_) {
        return {};
    }
    const std::string failed =
        writer_->failedRows() > 0
            ? ", " + std::to_string(writer_->failedRows()) + " could not be written"
            : "";
    std::string line =
        "production record: " + std::to_string(writer_->writtenRows()) + " row(s) written to ";
    if (relay_) {
        const RelayCounts counts = relay_->counts();
        return line + relay_->localFile().string() + failed + "; " + std::to_string(counts.sent) +
               " sent to " + relay_->serverName() + ", " + std::to_string(counts.waiting) +
               " waiting to be sent";
    }
    return line + file_->file().string() + failed;
}

}  // namespace corvid
