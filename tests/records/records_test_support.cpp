#include "tests/records/records_test_support.h"

#include <gtest/gtest.h>

#include "tests/support/run_program.h"

namespace corvid::test {

std::vector<RunRecord> sampleRuns() {
    RunRecord passed;
    passed.startTime = "2024-05-01 09:00:00Z";
    passed.endTime = "2024-05-01 09:00:42Z";
    passed.station = "line-1";
    passed.slot = 1;
    passed.letter = 'E';
    passed.portLocation = "1-2.3";
    passed.flashId = "ECDA109544";
    passed.flashName = "Samsung 2Gbit SLC";
    passed.chips = 1;
    passed.goodBlocks = 2045;
    passed.totalBlocks = 2048;
    passed.diskMB = 248;
    passed.diskFeature = "normal";
    passed.diskRatio = 0;
    passed.firmwareFile = "ZQ5V16.BIN";
    passed.firmwareSha256 = std::string(64, 'a');
    passed.fsmVersion = "FSM 2.07";
    passed.scanLevel = 1;
    passed.seconds = 42.25;
    passed.passed = true;
    passed.finalStatus = "successful";
    passed.end = RunEnd::Passed;
    passed.runId = "0b7e3c1a-5d2f-4a60-9c1e-2f4b6d8a0e11";

    RunRecord failed = passed;
    failed.startTime = "2024-05-02 10:15:00Z";
    failed.endTime = "2024-05-02 10:15:07Z";
    failed.slot = 8;
    failed.letter = 'Z';
    failed.portLocation = "";
    failed.flashName = "Samsung, \"2Gbit\" SLC";
    failed.chips = 2;
    failed.goodBlocks = 4000;
    failed.totalBlocks = 4096;
    failed.diskMB = 9'000'000'000LL;  // past 32 bits
    failed.diskFeature = "hidden";
    failed.diskRatio = 35;
    failed.seconds = 7.5;
    failed.passed = false;
    failed.finalStatus = "Write firmware failed\r\nline two";
    failed.failedStep = "firmware download";
    failed.end = RunEnd::Failed;
    failed.failureKey = "FILEWriteStr";
    failed.runId = "6f1d2e3c-4b5a-4978-8a6b-5c4d3e2f1a00";

    RunRecord early;
    early.startTime = "2024-05-03 08:00:00Z";
    early.endTime = "2024-05-03 08:00:01Z";
    early.station = "线体-2";
    early.slot = 3;
    early.letter = 'G';
    early.diskFeature = "encrypted";
    early.seconds = 0.125;
    early.finalStatus = " 失敗";
    early.failedStep = "FSM";
    early.end = RunEnd::Stopped;
    early.failureKey = "FSM";
    early.runId = "c0ffee00-1234-4abc-bdef-0123456789ab";
    return {passed, failed, early};
}

std::string runPython(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{"python3", "-c", program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const ProgramRun run = runProgram(argv, std::chrono::seconds(60));
    EXPECT_EQ(run.exitCode, 0) << "python3 failed:\n" << run.output;
    return run.output;
}

}  // namespace corvid::test
