#include "station_control/run_record_writer.h"

#include <chrono>
#include <cstdio>
#include <system_error>

#include "records/run_id.h"
#include "records/sha256.h"

namespace corvid {

namespace {

const char* featureName(DeviceFeature feature) {
    switch (feature) {
        case DeviceFeature::Encrypted:
            return "encrypted";
        case DeviceFeature::Hidden:
            return "hidden";
        default:
            return "normal";
    }
}

}  // namespace

std::string utcTimeText(std::chrono::system_clock::time_point time) {
    const auto seconds = std::chrono::floor<std::chrono::seconds>(time);
    const auto day = std::chrono::floor<std::chrono::days>(seconds);
    const std::chrono::year_month_day date(day);
    const std::chrono::hh_mm_ss clock(seconds - day);
    char text[32] = {};
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02dZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(clock.hours().count()),
                  static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()));
    return text;
}

RunRecordWriter::RunRecordWriter(RunRecordStore& store, const StationSettings& settings,
                                 std::string station,
                                 std::function<void(const std::string&)> complain)
    : store_(store),
      settings_(settings),
      station_(std::move(station)),
      complain_(std::move(complain)) {}

void RunRecordWriter::runEnded(const EndedRun& run) {
    try {
        store_.append(recordOf(run));
        ++written_;
    } catch (const std::exception& error) {
        if (failed_++ == 0 && complain_) {
            complain_(std::string("a run could not be written to the production record (") +
                      error.what() + "); production goes on, later failures are not repeated");
        }
    }
}

RunRecord RunRecordWriter::recordOf(const EndedRun& run) {
    const RunOutcome& outcome = run.outcome;
    RunRecord record;
    record.startTime = utcTimeText(run.started);
    record.endTime = utcTimeText(run.ended);
    record.station = station_;
    record.slot = run.slot + 1;
    record.letter = run.letter;
    record.portLocation = outcome.portLocation;
    record.flashId = run.flashId;
    record.flashName = outcome.flashName;
    record.chips = outcome.chips;
    record.goodBlocks = outcome.goodBlocks;
    record.totalBlocks = outcome.totalBlocks;
    record.diskMB = outcome.diskSizeMB;
    record.diskFeature = featureName(settings_.record.eDeviceFeature);
    record.diskRatio = settings_.record.eDeviceFeature == DeviceFeature::Normal
                           ? 0
                           : settings_.record.iHideDiskRatio;
    if (!outcome.firmwareFile.empty()) {
        record.firmwareFile = outcome.firmwareFile.filename().string();
        record.firmwareSha256 = firmwareDigest(outcome.firmwareFile);
    }
    record.fsmVersion = run.fsmVersion;
    record.scanLevel = settings_.chkBlankCheck ? settings_.record.iScanLevel + 1 : 0;
    record.seconds = run.seconds;
    record.passed = outcome.passed;
    record.finalStatus = outcome.finalStatus;
    record.failedStep = outcome.failedStep;
    record.end = run.end;
    record.failureKey = run.failureKey;
    record.runId = newRunId();
    return record;
}

std::string RunRecordWriter::firmwareDigest(const std::filesystem::path& file) {
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    if (error) {
        return {};
    }
    const auto time = std::filesystem::last_write_time(file, error);
    const std::string stamp =
        std::to_string(size) + "@" + std::to_string(time.time_since_epoch().count());
    auto& cached = digests_[file];
    if (cached.first != stamp) {
        try {
            cached = {stamp, sha256OfFile(file)};
        } catch (const std::exception&) {
            return {};  // the row is still worth keeping without the digest
        }
    }
    return cached.second;
}

}  // namespace corvid
