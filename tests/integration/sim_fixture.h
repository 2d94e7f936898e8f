#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tests/production/worker_harness.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace corvid::test {

// One line of a simulated device's command trace.
struct TraceLine {
    std::vector<std::uint8_t> cdb;
    std::string direction;  // "in" or "out"
    std::uint32_t length = 0;
    std::string result;  // "good", "refused", "fault-call", "unplugged" ...
    std::string name;    // SUB_SCSI_OP_..., INQUIRY, READ_CAPACITY(10) ...
};

std::vector<TraceLine> readTrace(const std::filesystem::path& file);

// The command names of a trace with repeats folded: {"SUB_SCSI_OP_WRITE_PAGE", 64}.
using Folded = std::vector<std::pair<std::string, int>>;
Folded foldNames(const std::vector<TraceLine>& lines);
std::string foldedText(const Folded& folded);  // one "NAME xN" per line, for failure messages

// The production record of station folder 'home' as Python's csv module reads the CSV of
// `corvid-cli report --csv` (written to 'csv'): one line per row, the given columns joined by
// blanks, an empty field shown as '-'.
std::string recordColumns(const std::filesystem::path& home, const std::filesystem::path& csv,
                          const std::vector<std::string>& columns);

// A corvid-devsim serving a fresh simulator directory for each test.
class SimulatorTest : public test::TempDirTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // corvid-devsim plug; the test fails when the simulator refuses.
    void plug(char letter, const std::string& profile, const std::vector<std::string>& extra = {});
    void unplug(char letter);
    // Waits until the device answers at its letter again (after a reset); false after 10 s.
    bool waitForSocket(char letter, bool present);

    std::vector<TraceLine> trace(char letter) const;

    std::filesystem::path simDir_;
};

}  // namespace corvid::test
