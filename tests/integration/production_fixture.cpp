#include "tests/integration/production_fixture.h"

#include <fstream>
#include <thread>

#include "backends/backends.h"
#include "production/device_arrival.h"
#include "production/file_downloads.h"
#include "production/station_home_writer.h"
#include "station/settings_files.h"
#include "station/station_folder.h"
#include "transport/plugin_checks.h"

namespace corvid::test {

void ProductionSimTest::SetUp() {
    SimulatorTest::SetUp();
    home_ = dir_ / "home";
    writeStationHome(home_, false);
    transport_ = std::make_unique<SimTransport>(SimTransportOptions{simDir_, 0.05});
    harness_ = std::make_unique<WorkerHarness>(*transport_, home_);
    volumes_ = makeVolumeTools(DeviceSetup{DeviceBackend::Sim, simDir_});
    harness_->useVolumes(*volumes_);
    loadSettings();
}

void ProductionSimTest::TearDown() {
    harness_.reset();
    transport_.reset();
    SimulatorTest::TearDown();
}

void ProductionSimTest::loadSettings() {
    const StationFolder folder(home_);
    auto& settings = harness_->settings;
    settings = newStationSettings(folder);
    loadStationSettings(folder, settings);
    settings.iFsmSize = static_cast<std::int32_t>(std::filesystem::file_size(folder.fsmBin()));
}

std::unique_ptr<ProductThread> ProductionSimTest::produce(char letter, RecordingSlotView& slot,
                                                          int slotIndex) {
    EXPECT_EQ(checkArrivedDevice(*transport_, letter, harness_->clock), ArrivalCheck::Ours);
    EXPECT_TRUE(bDownloadFsm(*transport_, letter, home_ / "misc" / "FSM.bin",
                             static_cast<std::uint32_t>(harness_->settings.iFsmSize)));
    std::uint8_t maker = 0;
    std::uint32_t flashId = 0;
    EXPECT_TRUE(readFlashIdByLetter(*transport_, letter, maker, flashId));  // as the station does
    ProductionEnvironment environment = harness_->environment();
    environment.diagnostic = [this](const std::string& why) {
        std::lock_guard lock(diagnosticsMutex_);
        diagnostics_.push_back(why);
    };
    auto worker = std::make_unique<ProductThread>(environment, harness_->device(slot), letter,
                                                  slotIndex, kLanguageEnglish,
                                                  [this, letter] { return slotLetter(letter); });
    std::thread([&] { worker->run(); }).join();
    return worker;
}

std::unique_ptr<ProductThread> ProductionSimTest::produce(char letter) {
    return produce(letter, harness_->slot);
}

std::vector<TraceLine> ProductionSimTest::traceFrom(char letter, std::size_t skip) const {
    auto lines = trace(letter);
    lines.erase(lines.begin(),
                lines.begin() + static_cast<std::ptrdiff_t>(std::min(skip, lines.size())));
    return lines;
}

std::vector<TraceLine> ProductionSimTest::named(const std::vector<TraceLine>& lines,
                                                const char* name) {
    std::vector<TraceLine> found;
    for (const auto& line : lines) {
        if (line.name == name) {
            found.push_back(line);
        }
    }
    return found;
}

namespace {
constexpr std::streamoff kDescribedFlashType = 96;
std::filesystem::path nand2kDescription(const std::filesystem::path& home) {
    return home / "flash" / "Samsung_2Gbit_SLC.txt";
}
}  // namespace

std::uint8_t ProductionSimTest::describedFlashType() const {
    std::ifstream in(nand2kDescription(home_), std::ios::binary);
    in.seekg(kDescribedFlashType);
    return static_cast<std::uint8_t>(in.get());
}

void ProductionSimTest::setDescribedFlashType(std::uint8_t type) {
    std::fstream file(nand2kDescription(home_), std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(kDescribedFlashType);
    file.put(static_cast<char>(type));
    ASSERT_TRUE(file.good()) << nand2kDescription(home_);
}

std::vector<std::string> ProductionSimTest::diagnostics() const {
    std::lock_guard lock(diagnosticsMutex_);
    return diagnostics_;
}

}  // namespace corvid::test
