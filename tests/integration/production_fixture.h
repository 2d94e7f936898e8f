#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/volume_tools.h"
#include "production/product_thread.h"
#include "simlink/sim_transport.h"
#include "tests/integration/sim_fixture.h"
#include "tests/production/worker_harness.h"

namespace corvid::test {

// The station's worker against corvid-devsim: a fresh station folder written as init-home writes
// it, its settings loaded, the simulator's transport, and the real volume tools on the
// simulator's backing files (a test may hand the harness the recording ones instead).
class ProductionSimTest : public SimulatorTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // The settings as the station folder holds them.
    void loadSettings();

    // The arrival, then one worker to its end on a thread of its own. Returns the worker for a
    // look at its state.
    std::unique_ptr<ProductThread> produce(char letter, RecordingSlotView& slot, int slotIndex = 0);
    std::unique_ptr<ProductThread> produce(char letter = 'E');

    // The slot's drive letter as the worker reads it: 0 once the test freed the slot.
    char slotLetter(char letter) const { return freedSlot_ == letter ? 0 : letter; }

    // The trace of the commands after the first 'skip' lines.
    std::vector<TraceLine> traceFrom(char letter, std::size_t skip) const;
    static std::vector<TraceLine> named(const std::vector<TraceLine>& lines, const char* name);

    // The reasons the workers gave for their failed disk-finishing steps, in order.
    std::vector<std::string> diagnostics() const;

    // The flash type the station folder's description of the nand-2k flash gives (the byte a
    // stored CFG keeps), and a change of it: a device produced before the change holds a CFG of
    // another flash type.
    std::uint8_t describedFlashType() const;
    void setDescribedFlashType(std::uint8_t type);

    std::filesystem::path home_;
    std::unique_ptr<SimTransport> transport_;
    std::unique_ptr<VolumeTools> volumes_;
    std::unique_ptr<WorkerHarness> harness_;
    std::atomic<char> freedSlot_{0};

  private:
    mutable std::mutex diagnosticsMutex_;
    std::vector<std::string> diagnostics_;
};

}  // namespace corvid::test
