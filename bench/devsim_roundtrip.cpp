// What a command costs through the device simulator: the round trip of a small vendor command
// on an open handle, the open-send-close of the by-letter routines, READ(10) of 64 KiB and one
// block scan; then the round trip each device sees when 1, 2 or 8 devices are busy at once.
//
//   build/bin/devsim_roundtrip_bench
//
// It starts its own corvid-devsim in a temporary directory and stops it at the end. The lines
// starting "result" (tab-separated) are the figures bench/run-all gathers.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/process_runner.h"
#include "production/file_downloads.h"
#include "simlink/sim_transport.h"
#include "transport/standard_commands.h"
#include "transport/vendor_commands.h"

namespace {

namespace fs = std::filesystem;
using namespace corvid;

constexpr char kLetters[] = "EFGHIJKL";

fs::path gSimDir;
SimTransport* gTransport = nullptr;

// Runs corvid-devsim with these arguments, its output discarded; true when it succeeds.
bool run(const std::vector<std::string>& arguments) {
    ProcessOptions options;
    options.argv = {std::string(CORVID_BIN_DIR) + "/corvid-devsim"};
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    try {
        const auto child = startProcess(options);
        const auto code = child->waitFor(std::chrono::seconds(60));
        return code && *code == 0;
    } catch (const ProcessStartError& error) {
        std::fprintf(stderr, "devsim_roundtrip_bench: %s\n", error.what());
        return false;
    }
}

char letterOf(const benchmark::State&) {
    return kLetters[0];
}

// Devices served at once: 'devices' threads, one device each, each sending 'count' commands on
// its open handle. Prints the mean round trip a device sees and the commands per second of all.
void parallelFigure(int devices, int count) {
    std::vector<std::thread> threads;
    std::vector<int> failures(static_cast<std::size_t>(devices), 0);
    const auto start = std::chrono::steady_clock::now();
    for (int d = 0; d < devices; ++d) {
        threads.emplace_back([d, count, &failures] {
            const ScopedDevice device(*gTransport, kLetters[d]);
            for (int i = 0; i < count; ++i) {
                failures[static_cast<std::size_t>(d)] +=
                    getFlashCount(*gTransport, device.handle()) != 1;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    int failed = 0;
    for (const int f : failures) {
        failed += f;
    }
    std::printf(
        "%d device(s) at once: %d commands each, mean round trip %.1f us per device, "
        "%.0f commands/s in all%s\n",
        devices, count, seconds / count * 1e6, devices * count / seconds,
        failed != 0 ? " (FAILURES)" : "");
    std::printf("result\tsimulator round trip, %d device(s) at once\t%.1f us\t-\t-\t-\n", devices,
                seconds / count * 1e6);
}

void BM_VendorCommandOnOpenHandle(benchmark::State& state) {
    const ScopedDevice device(*gTransport, letterOf(state));
    for (auto _ : state) {
        if (getFlashCount(*gTransport, device.handle()) != 1) {
            state.SkipWithError("SUB_SCSI_OP_GET_FLASH_COUNT failed");
            break;
        }
    }
}
BENCHMARK(BM_VendorCommandOnOpenHandle)->UseRealTime();

void BM_OpenSendCloseByLetter(benchmark::State& state) {
    for (auto _ : state) {
        const ScopedDevice device(*gTransport, letterOf(state));
        if (getFlashCount(*gTransport, device.handle()) != 1) {
            state.SkipWithError("SUB_SCSI_OP_GET_FLASH_COUNT failed");
            break;
        }
    }
}
BENCHMARK(BM_OpenSendCloseByLetter)->UseRealTime();

void BM_Read10Of64KiB(benchmark::State& state) {
    const ScopedDevice device(*gTransport, letterOf(state));
    std::vector<std::uint8_t> buffer(65536);
    std::uint32_t lba = 0;
    for (auto _ : state) {
        if (!read10(*gTransport, device.handle(), lba, buffer, 512, 128)) {
            state.SkipWithError("READ(10) failed");
            break;
        }
        lba = (lba + 128) % 100000;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 65536);
}
BENCHMARK(BM_Read10Of64KiB)->UseRealTime();

// Last: a scan changes the flash, and the disk goes until it is started again.
void BM_ScanOneBlock(benchmark::State& state) {
    const ScopedDevice device(*gTransport, letterOf(state));
    std::uint32_t block = 0;
    std::uint8_t result = 0;
    for (auto _ : state) {
        ScanBlockArgs args;
        args.firstBlock = block++ % 2048;
        args.pattern = static_cast<std::uint16_t>(block);
        if (!scanBlock(*gTransport, device.handle(), args, std::span(&result, 1))) {
            state.SkipWithError("SUB_SCSI_OP_SCAN_BLOCK failed");
            break;
        }
    }
}
BENCHMARK(BM_ScanOneBlock)->UseRealTime();

// Each device gets its FSM and a started disk (a CFG and bitmap in blocks 0 and 1).
bool prepare(char letter, const fs::path& fsm) {
    if (!bDownloadFsm(*gTransport, letter, fsm, 3)) {
        return false;
    }
    const ScopedDevice device(*gTransport, letter);
    std::vector<std::uint8_t> page(2048, 0);
    for (int group = 0; group < 16; ++group) {
        std::copy_n("5V16", 4, page.begin() + group * 4);
    }
    page[82] = 1;
    page[84] = 11;
    page[85] = 17;
    page[133] = 1;
    std::uint16_t sum = 0;
    for (int i = 82; i <= 254; ++i) {
        sum = static_cast<std::uint16_t>(sum + page[i]);
    }
    page[80] = static_cast<std::uint8_t>(sum >> 8);
    page[81] = static_cast<std::uint8_t>(sum);
    std::vector<std::uint8_t> map(2048, 0);
    std::fill(map.begin(), map.begin() + 256, 0xFF);
    return eraseBlock(*gTransport, device.handle(), 0, 1) &&
           writePage(*gTransport, device.handle(), 0, 1, 0, page) &&
           writePage(*gTransport, device.handle(), 1, 1, 0, map) &&
           startDisk(*gTransport, device.handle());
}

}  // namespace

int main(int argc, char** argv) {
    std::random_device random;
    const fs::path root = fs::temp_directory_path() / ("devsim-bench-" + std::to_string(random()));
    gSimDir = root / "sim";
    fs::create_directories(root);
    const fs::path fsm = root / "FSM.bin";
    std::FILE* file = std::fopen(fsm.c_str(), "wb");
    std::fputs("abc", file);
    std::fclose(file);

    int status = 1;
    // The simulator ends with this process, also when a benchmark flag ends it early.
    if (run({"serve", "--daemon", "--dir", gSimDir.string(), "--owner",
             std::to_string(::getpid())})) {
        bool ready = true;
        for (int i = 0; i < 8; ++i) {
            ready = ready &&
                    run({"plug", "--dir", gSimDir.string(), "--letter", std::string(1, kLetters[i]),
                         "--profile", "nand-2k", "--trace", "none"});
        }
        SimTransport transport(SimTransportOptions{gSimDir, 1.0});
        gTransport = &transport;
        for (int i = 0; ready && i < 8; ++i) {
            ready = prepare(kLetters[i], fsm);
        }
        if (ready) {
            benchmark::Initialize(&argc, argv);
            benchmark::RunSpecifiedBenchmarks();
            benchmark::Shutdown();
            for (const int devices : {1, 2, 8}) {
                parallelFigure(devices, 5000);
            }
            status = 0;
        } else {
            std::fprintf(stderr, "devsim_roundtrip_bench: the simulated devices are not ready.\n");
        }
        run({"stop", "--dir", gSimDir.string()});
    }
    std::error_code error;
    fs::remove_all(root, error);
    return status;
}
