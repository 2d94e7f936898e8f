#pragma once

#include <filesystem>
#include <memory>

#include "characterisation/worker_state.h"
#include "platform/registry_store.h"
#include "production/pause.h"
#include "production/product_thread.h"
#include "station/messages.h"
#include "station/production_settings.h"
#include "tests/support/temp_dir.h"
#include "tests/support/recording_transport.h"
#include "tests/support/recording_views.h"

namespace corvid::testing {

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
    StationCounters counters;

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

    ProductionEnvironment environment(const PortLocationSource* ports = nullptr) {
        return ProductionEnvironment{transport_, station,  prompt, *registry_, messages,
                                     settings,   counters, home_,  ports};
    }

  private:
    Transport& transport_;
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

// Scales the pauses between device steps to nothing while it lives, then restores the scale.
class NoPauses {
  public:
    NoPauses() : before_(pauseScale()) { setPauseScale(0.0); }
    ~NoPauses() { setPauseScale(before_); }
    NoPauses(const NoPauses&) = delete;
    NoPauses& operator=(const NoPauses&) = delete;

  private:
    double before_;
};

}  // namespace corvid::testing
