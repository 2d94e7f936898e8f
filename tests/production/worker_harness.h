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
#include "production/run_clock.h"
#include "station/messages.h"
#include "station/production_settings.h"
#include "tests/support/recording_transport.h"
#include "tests/support/recording_views.h"
#include "tests/support/recording_volume_tools.h"
#include "tests/support/temp_dir.h"

namespace corvid::test {

// A station clock that never waits: it remembers the pauses asked of it, and tells the times of
// day it was given, one per call, repeating the last; before any is given it is always midnight.
class ScriptedClock : public RunClock {
  public:
    void pause(std::chrono::milliseconds duration) const override {
        std::lock_guard lock(mutex_);
        pauses_.push_back(duration);
    }
    TimeOfDay timeOfDay() const override {
        std::lock_guard lock(mutex_);
        if (times_.empty()) {
            return {};
        }
        const TimeOfDay time = times_[next_];
        next_ = std::min(next_ + 1, times_.size() - 1);
        return time;
    }
    std::uint32_t timeSeed() const override { return kSeed; }

    void setTimes(std::vector<TimeOfDay> times) {
        std::lock_guard lock(mutex_);
        times_ = std::move(times);
        next_ = 0;
    }
    std::vector<std::chrono::milliseconds> pauses() const {
        std::lock_guard lock(mutex_);
        return pauses_;
    }

    static constexpr std::uint32_t kSeed = 1;

  private:
    mutable std::mutex mutex_;
    mutable std::vector<std::chrono::milliseconds> pauses_;
    std::vector<TimeOfDay> times_;
    mutable std::size_t next_ = 0;
};

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
    ScriptedClock clock;
    test::RecordingVolumeTools volumes;

    const std::filesystem::path& home() const { return home_; }
    RegistryStore& registry() { return *registry_; }
    Transport& transport() { return transport_; }

    // A worker state on its own, for the steps that take one.
    std::unique_ptr<WorkerState> state(char drive, int slotIndex = 0) {
        return std::make_unique<WorkerState>(WorkerSeams{transport_,
                                                         slot,
                                                         station,
                                                         prompt,
                                                         *registry_,
                                                         messages,
                                                         settings,
                                                         home_,
                                                         [](std::chrono::milliseconds) {},
                                                         {}},
                                             drive, slotIndex, kLanguageEnglish);
    }

    // The workers' volume tools: the recording ones above unless a test brings real ones.
    void useVolumes(VolumeTools& tools) { volumeTools_ = &tools; }

    ProductionEnvironment environment(const PortLocationSource* ports = nullptr) {
        return ProductionEnvironment{transport_, *volumeTools_, station,  prompt,
                                     *registry_, messages,      settings, counters,
                                     clock,      home_,         ports};
    }

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
