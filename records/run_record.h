#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvid {

// How a run ended. Only a failed run speaks of its device: a removed or stopped one was ended
// from outside (the device pulled, the station closed) whatever step it was at.
enum class RunEnd { Passed, Failed, Removed, Stopped };

// "passed", "failed", "removed" or "stopped", as the record stores it.
std::string_view runEndName(RunEnd end);
// The end named so; nothing for another text.
std::optional<RunEnd> runEndFromName(std::string_view name);

// One ended run as the production record keeps it: written once by the station controller from
// the worker's outcome, never changed afterwards.
struct RunRecord {
    std::string startTime;     // UTC, "YYYY-MM-DD HH:MM:SSZ"
    std::string endTime;       // same form
    std::string station;       // host name
    int slot = 0;              // 1..8
    char letter = 0;           // 'A'..'Z'
    std::string portLocation;  // may be empty
    std::string flashId;       // ten upper-case hex digits, may be empty
    std::string flashName;     // may be empty
    int chips = 0;
    std::int64_t goodBlocks = 0;
    std::int64_t totalBlocks = 0;
    std::int64_t diskMB = 0;
    std::string diskFeature;     // "normal", "encrypted" or "hidden"
    int diskRatio = 0;           // percent of the second part
    std::string firmwareFile;    // file name only, may be empty
    std::string firmwareSha256;  // 64 lower-case hex digits, or empty
    std::string fsmVersion;      // may be empty
    int scanLevel = 0;           // blanking-check level, 0 when none ran
    double seconds = 0;
    bool passed = false;
    std::string finalStatus;  // the slot's last status text
    std::string failedStep;   // the step that failed; empty on pass
    RunEnd end = RunEnd::Failed;
    // What a failed run failed at, the same in every language: the name of the message shown
    // (its lang.ini key, or the English text of a fixed text), else the step; empty on pass.
    std::string failureKey;
    // Made when the run ends, unique across every station of a factory: a row sent twice to the
    // shared database is stored once. A UUID (version 4) in lower case.
    std::string runId;

    bool operator==(const RunRecord&) const = default;
};

}  // namespace corvid
