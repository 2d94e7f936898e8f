#pragma once

#include <string>
#include <vector>

#include "records/run_record.h"

namespace corvid {

// Every member of a RunRecord with its column name, in column order: the one list that the
// database's insert and select, and the CSV export, are made from. 'visit' is called as
// visit(name, member) for each; RecordT is RunRecord or const RunRecord.
template <typename RecordT, typename Visit>
void forEachRecordField(RecordT& record, Visit&& visit) {
    visit("start_time", record.startTime);
    visit("end_time", record.endTime);
    visit("station", record.station);
    visit("slot", record.slot);
    visit("letter", record.letter);
    visit("port_location", record.portLocation);
    visit("flash_id", record.flashId);
    visit("flash_name", record.flashName);
    visit("chips", record.chips);
    visit("good_blocks", record.goodBlocks);
    visit("total_blocks", record.totalBlocks);
    visit("disk_mb", record.diskMB);
    visit("disk_feature", record.diskFeature);
    visit("disk_ratio", record.diskRatio);
    visit("firmware_file", record.firmwareFile);
    visit("firmware_sha256", record.firmwareSha256);
    visit("fsm_version", record.fsmVersion);
    visit("scan_level", record.scanLevel);
    visit("seconds", record.seconds);
    visit("passed", record.passed);
    visit("final_status", record.finalStatus);
    visit("failed_step", record.failedStep);
    visit("run_id", record.runId);
    visit("end_kind", record.end);
    visit("failure_key", record.failureKey);
}

// The column names, in column order.
inline std::vector<const char*> recordColumnNames() {
    std::vector<const char*> names;
    const RunRecord none;
    forEachRecordField(none, [&](const char* name, const auto&) { names.push_back(name); });
    return names;
}

// "start_time, end_time, ..." in the order of the fields, for the statements of every store.
inline std::string recordColumnList() {
    std::string list;
    for (const char* name : recordColumnNames()) {
        list += list.empty() ? "" : ", ";
        list += name;
    }
    return list;
}

// The numbered placeholders of one row ("?1, ?2, ..." for SQLite, "$1, $2, ..." for
// PostgreSQL), as many as there are fields.
inline std::string recordPlaceholders(char mark) {
    std::string values;
    for (std::size_t index = 1; index <= recordColumnNames().size(); ++index) {
        values += (index == 1 ? "" : ", ") + std::string(1, mark) + std::to_string(index);
    }
    return values;
}

}  // namespace corvid
