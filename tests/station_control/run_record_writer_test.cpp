#include "station_control/run_record_writer.h"

#include <gtest/gtest.h>

#include <fstream>

#include "records/run_id.h"
#include "records/sha256.h"
#include "tests/support/temp_dir.h"

namespace corvid {
namespace {

// Keeps the rows it is given, or refuses them while 'refuse' is set.
class ListStore : public RunRecordStore {
  public:
    void append(const RunRecord& record) override {
        if (refuse) {
            throw RecordError("log/production.db: disk I/O error");
        }
        rows.push_back(record);
    }
    bool refuse = false;
    std::vector<RunRecord> rows;
};

class RunRecordWriterTest : public test::TempDirTest {
  protected:
    RunRecordWriterTest() {
        settings_.record.eDeviceFeature = DeviceFeature::Hidden;
        settings_.record.iHideDiskRatio = 20;
        settings_.chkBlankCheck = true;
        settings_.record.iScanLevel = 2;
    }

    EndedRun failedRun() const {
        EndedRun run;
        run.slot = 2;
        run.letter = 'G';
        run.flashId = "ECDA109544";
        run.fsmVersion = "FSM Ver.1.0 Corvid";
        run.started = std::chrono::system_clock::from_time_t(1'700'000'000);
        run.ended = run.started + std::chrono::seconds(42);
        run.seconds = 42.5;
        run.outcome.drive = 'G';
        run.outcome.passed = false;
        run.outcome.finalStatus = "Format fail";
        run.outcome.failedStep = "Format Disk...";
        run.end = RunEnd::Removed;
        run.failureKey = "Format Disk";
        run.outcome.portLocation = "<1-0-3>";
        run.outcome.flashName = "Samsung 2Gbit SLC";
        run.outcome.chips = 2;
        run.outcome.totalBlocks = 4096;
        run.outcome.goodBlocks = 4093;
        run.outcome.diskSizeMB = 480;
        return run;
    }

    StationSettings settings_;
    ListStore store_;
    std::vector<std::string> complaints_;
    RunRecordWriter writer_{store_, settings_, "line-3",
                            [this](const std::string& why) { complaints_.push_back(why); }};
};

TEST_F(RunRecordWriterTest, AnEndedRunBecomesOneWholeRow) {
    const auto firmware = dir_ / "program.bin";
    std::ofstream(firmware, std::ios::binary) << "firmware bytes";
    EndedRun run = failedRun();
    run.outcome.firmwareFile = firmware;
    writer_.runEnded(run);

    ASSERT_EQ(store_.rows.size(), 1u);
    const RunRecord& row = store_.rows[0];
    EXPECT_EQ(row.endTime, "2023-11-14 22:14:02Z");  // UTC, whatever the machine's zone
    EXPECT_EQ(row.station, "line-3");
    EXPECT_TRUE(isRunId(row.runId)) << row.runId;  // made when the run ended
    EXPECT_EQ(row.slot, 3);
    EXPECT_EQ(row.letter, 'G');
    EXPECT_EQ(row.portLocation, "<1-0-3>");
    EXPECT_EQ(row.flashId, "ECDA109544");
    EXPECT_EQ(row.flashName, "Samsung 2Gbit SLC");
    EXPECT_EQ(row.chips, 2);
    EXPECT_EQ(row.goodBlocks, 4093);
    EXPECT_EQ(row.totalBlocks, 4096);
    EXPECT_EQ(row.diskMB, 480);
    EXPECT_EQ(row.diskFeature, "hidden");
    EXPECT_EQ(row.diskRatio, 20);
    EXPECT_EQ(row.firmwareFile, "program.bin");
    EXPECT_EQ(row.firmwareSha256, sha256OfFile(firmware));
    EXPECT_EQ(row.fsmVersion, "FSM Ver.1.0 Corvid");
    EXPECT_EQ(row.scanLevel, 3);  // "Level 3"
    EXPECT_DOUBLE_EQ(row.seconds, 42.5);
    EXPECT_FALSE(row.passed);
    EXPECT_EQ(row.finalStatus, "Format fail");
    EXPECT_EQ(row.failedStep, "Format Disk...");
    EXPECT_EQ(row.end, RunEnd::Removed);
    EXPECT_EQ(row.failureKey, "Format Disk");
    EXPECT_EQ(row.startTime, "2023-11-14 22:13:20Z");  // 1,700,000,000 s after the epoch
}

TEST_F(RunRecordWriterTest, RowsThatCannotBeWrittenAreSaidOnceAndProductionGoesOn) {
    store_.refuse = true;
    writer_.runEnded(failedRun());
    writer_.runEnded(failedRun());
    ASSERT_EQ(complaints_.size(), 1u);
    EXPECT_NE(complaints_[0].find("disk I/O error"), std::string::npos);
    EXPECT_EQ(writer_.failedRows(), 2);

    store_.refuse = false;
    writer_.runEnded(failedRun());
    EXPECT_EQ(writer_.writtenRows(), 1);
    EXPECT_EQ(store_.rows.size(), 1u);
}

}  // namespace
}  // namespace corvid
