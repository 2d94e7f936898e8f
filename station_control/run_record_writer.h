#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <utility>

#include "records/run_record.h"
#include "records/run_record_store.h"
#include "station/production_settings.h"
#include "station_control/station_listener.h"

namespace corvid {

// Writes one row of the production record for every ended run, on the controller's thread. A row
// that cannot be written never fails a device: the first failure is told through 'complain'
// (standard error on the command line), later ones are only counted.
class RunRecordWriter : public StationListener {
  public:
    // 'settings' give the disk feature, ratio and scan level of the runs; they are kept still
    // while runs go on.
    RunRecordWriter(RunRecordStore& store, const StationSettings& settings, std::string station,
                    std::function<void(const std::string&)> complain);

    void runEnded(const EndedRun& run) override;

    int writtenRows() const { return written_; }
    int failedRows() const { return failed_; }

  private:
    // The row of one ended run.
    RunRecord recordOf(const EndedRun& run);

    // SHA-256 of the firmware file, read again only when its size or time changes.
    std::string firmwareDigest(const std::filesystem::path& file);

    RunRecordStore& store_;
    const StationSettings& settings_;
    std::string station_;
    std::function<void(const std::string&)> complain_;
    std::map<std::filesystem::path, std::pair<std::string, std::string>> digests_;  // stamp, digest
    int written_ = 0;
    int failed_ = 0;
};

// "YYYY-MM-DD HH:MM:SSZ" in UTC: stations of one factory may run in different zones.
std::string utcTimeText(std::chrono::system_clock::time_point time);

}  // namespace corvid
