// Many stations writing to one factory database: N station processes, each appending its share
// of the rows through PostgresRecordStore (one transaction per row, as a station's relay sends
// a row that comes alone), all at once against one server. Prints rows per second over the whole
// run and the percentiles of the time to store one row.
//
//   record_server_bench URL [STATIONS [ROWS]]      the run (default 50 stations, 10000 rows)
//   record_server_bench --station URL NAME ROWS GO OUT
//                                                  one station: connects, waits for the file GO,
//                                                  appends ROWS rows, writes its times to OUT
//
// bench/record_server_bench.sh starts a throwaway server and runs it.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/process_runner.h"
#include "records/postgres_record_store.h"
#include "records/run_id.h"

namespace {

using namespace corvid;
using Clock = std::chrono::system_clock;  // the same clock in every process
namespace fs = std::filesystem;

RunRecord rowOf(const std::string& station, int number) {
    RunRecord record;
    record.startTime = "2024-05-01 09:00:00";
    record.endTime = "2024-05-01 09:00:42";
    record.station = station;
    record.slot = number % 8 + 1;
    record.letter = static_cast<char>('E' + number % 8);
    record.portLocation = "<1-0-" + std::to_string(number % 8 + 1) + ">";
    record.flashId = number % 5 == 0 ? "98DA901576" : "ECDA109544";
    record.flashName = "Samsung 2Gbit SLC";
    record.chips = 2;
    record.goodBlocks = 4093;
    record.totalBlocks = 4096;
    record.diskMB = 480;
    record.diskFeature = "normal";
    record.firmwareFile = "program.bin";
    record.firmwareSha256 = std::string(64, 'a');
    record.fsmVersion = "FSM Ver.1.0";
    record.seconds = 40 + number % 7;
    record.passed = number % 20 != 0;
    record.finalStatus = record.passed ? "successful" : "Format fail";
    record.failedStep = record.passed ? "" : "Format Disk...";
    record.runId = newRunId();
    return record;
}

long long microsecondsOf(Clock::time_point time) {
    return std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
}

// One station: its times as "START END" per row, in microseconds since the epoch.
int station(const std::string& url, const std::string& name, int rows, const fs::path& go,
            const fs::path& out) {
    PostgresRecordStore store(url);
    std::vector<RunRecord> records;
    for (int i = 0; i < rows; ++i) {
        records.push_back(rowOf(name, i));
    }
    while (!fs::exists(go)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::vector<std::pair<long long, long long>> times;
    for (const RunRecord& record : records) {
        const auto start = Clock::now();
        store.append(record);
        times.emplace_back(microsecondsOf(start), microsecondsOf(Clock::now()));
    }
    std::ofstream file(out);
    for (const auto& [start, end] : times) {
        file << start << " " << end << "\n";
    }
    return file ? 0 : 1;
}

int run(const std::string& self, const std::string& url, int stations, int rows) {
    const fs::path work = fs::temp_directory_path() / ("record-bench-" + newRunId());
    fs::create_directories(work);
    const fs::path go = work / "go";
    std::vector<std::unique_ptr<ChildProcess>> children;
    for (int s = 0; s < stations; ++s) {
        const int share = rows / stations + (s < rows % stations ? 1 : 0);
        ProcessOptions options;
        options.argv = {self,
                        "--station",
                        url,
                        "line-" + std::to_string(s + 1),
                        std::to_string(share),
                        go.string(),
                        (work / ("station-" + std::to_string(s))).string()};
        options.outputFile = work / ("station-" + std::to_string(s) + ".log");
        children.push_back(startProcess(options));
    }
    // Every station connects and makes its rows first; then all start at once.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    std::ofstream(go).put('\n');
    int failed = 0;
    for (std::size_t s = 0; s < children.size(); ++s) {
        const auto code = children[s]->waitFor(std::chrono::minutes(10));
        if (code != 0) {
            std::ifstream log(work / ("station-" + std::to_string(s) + ".log"));
            std::cerr << "station " << s + 1 << " failed: " << log.rdbuf() << "\n";
            ++failed;
        }
    }
    std::vector<double> latencies;
    long long first = -1;
    long long last = 0;
    for (int s = 0; s < stations && failed == 0; ++s) {
        std::ifstream in(work / ("station-" + std::to_string(s)));
        for (long long start = 0, end = 0; in >> start >> end;) {
            latencies.push_back((end - start) / 1000.0);
            first = first < 0 ? start : std::min(first, start);
            last = std::max(last, end);
        }
    }
    fs::remove_all(work);
    if (failed > 0 || static_cast<int>(latencies.size()) != rows) {
        std::cerr << "record_server_bench: " << latencies.size() << " of " << rows
                  << " rows were timed; " << failed << " station(s) failed\n";
        return 1;
    }
    std::sort(latencies.begin(), latencies.end());
    const auto percentile = [&](double p) {
        return latencies[std::min(latencies.size() - 1,
                                  static_cast<std::size_t>(p / 100 * latencies.size()))];
    };
    const double seconds = (last - first) / 1e6;
    std::printf("%d stations, %d rows in %.2f s: %.0f rows/s\n", stations, rows, seconds,
                rows / seconds);
    std::printf("time to store a row: median %.2f ms, 99th percentile %.2f ms, max %.2f ms\n",
                percentile(50), percentile(99), latencies.back());
    // A hundred stations of eight slots, each slot ending a run every 30 s, for bench/run-all.
    constexpr double kFactoryRowsPerSecond = 100 * 8 / 30.0;
    std::printf(
        "result\tfactory record, %d stations writing\t%.0f rows/s\t%.0f rows/s (100 "
        "stations of 8 slots, a run each 30 s)\t%.2f\t<= 1.00\n",
        stations, rows / seconds, kFactoryRowsPerSecond, kFactoryRowsPerSecond / (rows / seconds));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const std::vector<std::string> args(argv + 1, argv + argc);
        if (args.size() == 6 && args[0] == "--station") {
            return station(args[1], args[2], std::stoi(args[3]), args[4], args[5]);
        }
        if (args.empty() || args.size() > 3 || args[0].rfind("--", 0) == 0) {
            std::cerr << "usage: record_server_bench URL [STATIONS [ROWS]]\n";
            return 2;
        }
        const int stations = args.size() > 1 ? std::stoi(args[1]) : 50;
        const int rows = args.size() > 2 ? std::stoi(args[2]) : 10000;
        return run(fs::canonical("/proc/self/exe").string(), args[0], stations, rows);
    } catch (const std::exception& error) {
        std::cerr << "record_server_bench: " << error.what() << "\n";
        return 1;
    }
}
