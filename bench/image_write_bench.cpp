// The hidden-disk write (bWriteImageFile) onto a simulated device whose commands cost what they
// cost over USB 2.0: 0.3 ms each and 30 MiB/s of data (corvid-devsim --latency-ms 0.3
// --bandwidth 30M). A 64 MB image, its volume filled with files, is written three times for each
// sector size; the median is set against the bandwidth floor, the time its data take at 30 MiB/s
// with no cost per command, and against the cost one command per record would add.
//
//   build/bin/image_write_bench
//
// It starts its own corvid-devsim in a temporary directory and stops it at the end. The last
// lines ("result" and tab-separated fields) are the figures bench/run-all gathers.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "characterisation/run_clock.h"
#include "characterisation/worker_state.h"
#include "image/image_builder.h"
#include "image/image_file.h"
#include "platform/process_runner.h"
#include "platform/registry_store.h"
#include "production/file_downloads.h"
#include "production/image_write.h"
#include "simlink/sim_transport.h"
#include "station/messages.h"
#include "station/operator_prompt.h"
#include "station/production_settings.h"
#include "station/slot_view.h"
#include "transport/vendor_commands.h"

namespace {

namespace fs = std::filesystem;
using namespace corvid;

constexpr double kLatencyMs = 0.3;
constexpr double kBytesPerSecond = 30.0 * 1024 * 1024;
constexpr int kRuns = 3;

fs::path gSimDir;

// Runs corvid-devsim with these arguments and the bench's simulator folder, its output
// discarded; true when it succeeds.
bool devsim(std::vector<std::string> arguments) {
    ProcessOptions options;
    options.argv = {std::string(CORVID_BIN_DIR) + "/corvid-devsim"};
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    options.argv.insert(options.argv.end(), {"--dir", gSimDir.string()});
    try {
        const auto code = startProcess(options)->waitFor(std::chrono::seconds(60));
        return code && *code == 0;
    } catch (const ProcessStartError& error) {
        std::fprintf(stderr, "image_write_bench: %s\n", error.what());
        return false;
    }
}

// Nobody answers questions during the write: any would be a failure of the bench.
class NoOperator : public OperatorPrompt {
  public:
    PromptAnswer show(const std::string&, const std::string&, PromptIcon, PromptButtons) override {
        return PromptAnswer::Cancel;
    }
};

// The FSM, a CFG for the sector size and a block map, then the disk is started.
bool startDisk(Transport& transport, char letter, std::uint32_t sectorSize, const fs::path& fsm) {
    if (!bDownloadFsm(transport, letter, fsm, 3)) {
        return false;
    }
    const ScopedDevice device(transport, letter);
    std::vector<std::uint8_t> cfg(2048, 0);
    for (int group = 0; group < 16; ++group) {
        std::copy_n("5V16", 4, cfg.begin() + group * 4);
    }
    cfg[64] = sectorSize == 1024 ? 1 : 0;
    cfg[82] = 1;
    cfg[84] = 11;
    cfg[85] = 17;
    cfg[133] = 1;
    std::uint16_t sum = 0;
    for (int i = 82; i <= 254; ++i) {
        sum = static_cast<std::uint16_t>(sum + cfg[i]);
    }
    cfg[80] = static_cast<std::uint8_t>(sum >> 8);
    cfg[81] = static_cast<std::uint8_t>(sum);
    std::vector<std::uint8_t> map(2048, 0);
    std::fill(map.begin(), map.begin() + 256, 0xFF);
    return eraseBlock(transport, device.handle(), 0, 1) &&
           writePage(transport, device.handle(), 0, 1, 0, cfg) &&
           writePage(transport, device.handle(), 1, 1, 0, map) &&
           startDisk(transport, device.handle());
}

// A 64 MB image whose volume holds 63 files of 1 MiB.
bool buildFullImage(const fs::path& root, const fs::path& image) {
    const fs::path tree = root / "media";
    fs::create_directories(tree);
    std::mt19937 random(7);
    std::vector<char> bytes(1u << 20);
    for (int i = 0; i < 63; ++i) {
        for (char& b : bytes) {
            b = static_cast<char>(random());
        }
        std::ofstream(tree / ("clip" + std::to_string(i) + ".bin"), std::ios::binary)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    ImageBuildRequest request;
    request.diskSizeMb = 64;
    request.items = {tree};
    request.output = image;
    const auto result = buildImage(request);
    if (result.status != ImageBuildStatus::Success) {
        std::fprintf(stderr, "image_write_bench: %s\n", result.detail.c_str());
        return false;
    }
    return true;
}

// The simulator's transport, with the time spent inside commands added up: the rest of a write
// is the station's own work between commands.
class TimedTransport : public Transport {
  public:
    explicit TimedTransport(Transport& inner) : inner_(inner) {}
    DeviceHandle open(char driveLetter) override { return inner_.open(driveLetter); }
    void close(DeviceHandle handle) override { inner_.close(handle); }
    bool sendBuffered(DeviceHandle handle, const ScsiRequest& request) override {
        return timed([&] { return inner_.sendBuffered(handle, request); });
    }
    bool sendDirect(DeviceHandle handle, const ScsiRequest& request) override {
        return timed([&] { return inner_.sendDirect(handle, request); });
    }
    double inCommands = 0;  // seconds

  private:
    template <typename Send>
    bool timed(const Send& send) {
        const auto start = std::chrono::steady_clock::now();
        const bool ok = send();
        inCommands +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return ok;
    }
    Transport& inner_;
};

// The WRITE(10) commands the block takes: runs of consecutive sectors, 64 KiB at most.
std::uint32_t commandsFor(const fs::path& image, std::uint32_t sectorSize) {
    ImageRecordReader reader;
    if (!reader.open(image, sectorSize)) {
        return 0;
    }
    const std::uint32_t perCommand = 65536 / sectorSize;
    std::uint32_t commands = 0;
    std::uint32_t next = 0;
    std::uint32_t inRun = 0;
    ImageRecordReader::Record record;
    for (std::uint32_t i = 0; i < reader.recordCount(); ++i) {
        if (reader.next(record) != ImageRecordReader::Read::Whole) {
            break;
        }
        if (inRun == 0 || inRun == perCommand || record.sector != next) {
            ++commands;
            inRun = 0;
        }
        ++inRun;
        next = record.sector + 1;
    }
    return commands;
}

}  // namespace

int main() {
    std::random_device seed;
    const fs::path root =
        fs::temp_directory_path() / ("image-write-bench-" + std::to_string(seed()));
    gSimDir = root / "sim";
    fs::create_directories(root);
    const fs::path fsm = root / "FSM.bin";
    std::ofstream(fsm) << "abc";
    const fs::path image = root / "hidden.img";

    int status = 1;
    char latency[16];
    std::snprintf(latency, sizeof latency, "%.1f", kLatencyMs);
    const auto plug = [&](char letter) {
        return devsim({"plug", "--letter", std::string(1, letter), "--profile", "nand-2k",
                       "--trace", "none", "--latency-ms", latency, "--bandwidth", "30M"});
    };
    // The simulator ends with this process, also when the bench is stopped early.
    if (buildFullImage(root, image) &&
        devsim({"serve", "--daemon", "--owner", std::to_string(::getpid())}) && plug('E') &&
        plug('F')) {
        SimTransport simulator(SimTransportOptions{gSimDir, 1.0});
        TimedTransport transport(simulator);
        fs::create_directories(root / "home" / "misc");
        const auto registry = openRegistryStore((root / "home").string());
        UnseenSlot slot;
        UnseenStation station;
        NoOperator prompt;
        const SharedMessages messages;
        const StationSettings settings;
        const SystemRunClock clock(0.0);  // the write's own time only
        const ImageHeader header = readImageHeader(image);
        status = 0;
        std::printf("64 MB image, commands at %.1f ms and 30 MiB/s (median of %d)\n", kLatencyMs,
                    kRuns);
        for (const auto& [letter, sectorSize] : {std::pair{'E', 512u}, std::pair{'F', 1024u}}) {
            if (!startDisk(transport, letter, sectorSize, fsm)) {
                std::fprintf(stderr, "image_write_bench: the disk of %c does not start\n", letter);
                status = 1;
                continue;
            }
            const ImageEntry& entry = header.entries[*findImageEntry(header, sectorSize)];
            std::vector<double> seconds;
            std::vector<double> outside;
            for (int run = 0; run < kRuns; ++run) {
                WorkerState w(WorkerSeams{station, prompt, *registry, messages, settings, clock,
                                          root / "home"},
                              transport, slot, letter, 0, kLanguageEnglish);
                const ScopedDevice device(transport, letter);
                w.hDevice = device.handle();
                w.FlashInfo.iSectorSize = static_cast<int>(sectorSize);
                transport.inCommands = 0;
                const auto start = std::chrono::steady_clock::now();
                const bool ok = bWriteImageFile(w, image, 90, 98);
                seconds.push_back(
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
                        .count());
                outside.push_back(seconds.back() - transport.inCommands);
                if (!ok) {
                    std::fprintf(stderr, "image_write_bench: the write to %c failed\n", letter);
                    status = 1;
                }
            }
            std::sort(seconds.begin(), seconds.end());
            std::sort(outside.begin(), outside.end());
            const double median = seconds[seconds.size() / 2];
            const double bytes = static_cast<double>(entry.recordCount) * sectorSize;
            const double floor = bytes / kBytesPerSecond;
            const double perRecord = floor + entry.recordCount * kLatencyMs / 1000.0;
            const std::uint32_t commands = commandsFor(image, sectorSize);
            const double modeled = commands * kLatencyMs / 1000.0;
            std::printf(
                "%4u-byte sectors: %u records (%.1f MB) in %u WRITE(10): %.2f s; "
                "bandwidth floor %.2f s, ratio %.2f\n"
                "    the commands' own %.1f ms: %.2f s; the station between commands: "
                "%.2f s; the simulator beyond its model: %.2f s\n"
                "    (one command per record would take at least %.1f s)\n",
                sectorSize, entry.recordCount, bytes / 1e6, commands, median, floor, median / floor,
                kLatencyMs, modeled, outside[outside.size() / 2],
                median - floor - modeled - outside[outside.size() / 2], perRecord);
            std::printf(
                "result\thidden-part write, 64 MB, %u-byte sectors, %.1f ms a command\t"
                "%.2f s\t%.2f s (30 MiB/s)\t%.2f\t<= 1.20\n",
                sectorSize, kLatencyMs, median, floor, median / floor);
        }
        devsim({"stop"});
    }
    std::error_code error;
    fs::remove_all(root, error);
    return status;
}
