#pragma once

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

#include "characterisation/worker_state.h"
#include "platform/registry_store.h"
#include "production/product_thread.h"
#include "station/messages.h"
#include "station/production_settings.h"
#include "tests/support/recording_transport.h"
#include "tests/support/recording_views.h"
#include "tests/support/recording_volume_tools.h"
#include "tests/support/scripted_clock.h"
#include "tests/support/temp_dir.h"

namespace corvid::test {

// What a worker needs around it in a test: a station folder, settings, texts, a registry and
// recording views. The transport is the test's.
class WorkerHarness {
  public:
    WorkerHarness(Transport& transport, std::filesystem::path home)
        : transport_(transport), home_(std::move(home)) {
        std::filesystem::create_directories(home_ / "misc");
        registry_ = openRegistryStore(home_.string());
    }

    StationSettings settings;
    SharedMessages messages;
    test::RecordingSlotView slot;
    test::RecordingStationView station;
    test::RecordingPrompt prompt;
    StationCounters counters{station};
    test::ScriptedClock clock;
    test::RecordingVolumeTools volumes;

    const std::filesystem::path& home() const { return home_; }
    RegistryStore& registry() { return *registry_; }
    Transport& transport() { return transport_; }

    // A worker state on its own, for the steps that take one.
    std::unique_ptr<WorkerState> state(char drive, int slotIndex = 0) {
        return std::make_unique<WorkerState>(environment().seams, transport_, slot, drive,
                                             slotIndex, kLanguageEnglish);
    }

    // The workers' volume tools: the recording ones above unless a test brings real ones.
    void useVolumes(VolumeTools& tools) { volumeTools_ = &tools; }

    ProductionEnvironment environment(const PortLocationSource* ports = nullptr) {
        return ProductionEnvironment{
            WorkerSeams{station, prompt, *registry_, messages, settings, clock, home_}, counters,
            ports};
    }
    // The test's transport, the volume tools and 'view' as one worker's device and slot.
    WorkerDevice device(SlotView& view) { return WorkerDevice{transport_, *volumeTools_, view}; }
    WorkerDevice device() { return device(slot); }

  private:
    Transport& transport_;
    VolumeTools* volumeTools_ = &volumes;
    std::filesystem::path home_;
    std::unique_ptr<RegistryStore> registry_;
};

// A fresh station folder per test, a recording transport and the harness of a worker around them.
class WorkerHarnessTest : public test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        harness_ = std::make_unique<WorkerHarness>(fake_, dir_);
    }
    // A worker state whose device at 'drive' is open.
    std::unique_ptr<WorkerState> openWorker(char drive) {
        auto state = harness_->state(drive);
        state->hDevice = test::RecordingTransport::handleFor(drive);
        return state;
    }

    test::RecordingTransport fake_;
    std::unique_ptr<WorkerHarness> harness_;
};

}  // namespace corvid::test
