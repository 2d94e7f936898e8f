#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "characterisation/worker_state.h"
#include "platform/registry_store.h"
#include "station/messages.h"
#include "station/production_settings.h"
#include "tests/support/recording_transport.h"
#include "tests/support/recording_views.h"
#include "tests/support/scripted_clock.h"
#include "tests/support/temp_dir.h"

namespace corvid::test {

using Bytes = std::vector<std::uint8_t>;

// Stores a CFG's checksum, worked out here rather than by the code under test: the 16-bit sum of
// bytes 82 to 254, high byte first in bytes 80 and 81.
void putCfgChecksum(Bytes& cfg);

// A small NAND model behind the recording transport: block scans judge against a set of bad
// blocks (and per-page results), phase 2 stores the seed and phase 1 compares with it, erases and
// page writes are recorded, and any command can be made to fail on its n-th occurrence.
class FakeFlash {
  public:
    explicit FakeFlash(RecordingTransport& transport);

    std::set<std::uint32_t> badBlocks;
    // Blocks that read back bad this many more times before they read good.
    std::map<std::uint32_t, int> flakyReads;
    // Per-page result of a block's page; 0xFF when absent.
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint8_t> pageResults;
    // Sub-code -> occurrence numbers (1-based) that fail with a clear status bit.
    std::map<std::uint8_t, std::set<int>> failures;

    struct PageWrite {
        std::uint32_t page;
        std::uint8_t flashType;
        std::vector<std::uint8_t> data;
    };
    std::vector<PageWrite> pageWrites;
    std::vector<std::uint32_t> erases;
    std::vector<std::vector<std::uint8_t>> pageTables;

    int count(std::uint8_t subCode) const;

  private:
    Reply answer(const RecordedRequest& request);
    std::map<std::uint8_t, int> seen_;
    std::map<std::uint32_t, std::uint16_t> written_;
};

// A worker on drive E with English texts, a fresh station folder and a clock that never waits.
class WorkerTest : public TempDirTest {
  protected:
    // What the worker's runs seed their generator with "from the current time".
    static constexpr std::uint32_t kClockSeed = 20240601u;

    void SetUp() override;
    void TearDown() override;

    // Geometry without a CFG: chips x blocks, pages of pageSize bytes.
    void setGeometry(int chips, int blocksPerChip, int pagesPerBlock, int pageSize = 2048);
    // The flash ID the device answered (maker byte, then four ID bytes) and the chip count.
    void setFlashId(std::array<std::uint8_t, 5> id, int chips = 1);
    // The worker's CFG: the first 512 bytes of its work area.
    Bytes cfg() const;
    // The scan commands sent, in order.
    std::vector<RecordedRequest> sent(std::uint8_t subCode) const;

    RecordingTransport transport;
    RecordingSlotView slot;
    RecordingStationView station;
    RecordingPrompt prompt;
    std::unique_ptr<RegistryStore> registry;
    SharedMessages messages;
    StationSettings settings;
    ScriptedClock clock{kClockSeed};
    std::unique_ptr<WorkerState> w;
    std::unique_ptr<FakeFlash> flash;
};

}  // namespace corvid::test
