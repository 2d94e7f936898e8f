#include <iostream>

#include "apps/devsim/commands.h"
#include "devsim/device.h"
#include "devsim/profile.h"
#include "simlink/control.h"
#include "simlink/sim_dir.h"

namespace corvid::devsim_cli {

namespace fs = std::filesystem;
using namespace corvid::devsim;

namespace {
constexpr auto kControlTimeout = std::chrono::seconds(30);
}  // namespace

fs::path simDirOf(const std::string& option) {
    return option.empty() ? simlink::defaultSimDir() : fs::absolute(option);
}

void addDirOption(CLI::App& command, std::string& dir) {
    command.add_option("--dir", dir,
                       "simulator directory (default: $CORVID_SIM_DIR, else "
                       "$XDG_RUNTIME_DIR/corvid-devsim)");
}

int control(const std::string& dirOption, const std::vector<std::string>& words) {
    const fs::path dir = simDirOf(dirOption);
    try {
        const simlink::ControlReply reply = simlink::sendControl(dir, words, kControlTimeout);
        (reply.code == simlink::ControlCode::Ok ? std::cout : std::cerr)
            << (reply.code == simlink::ControlCode::Ok ? "" : "corvid-devsim: ") << reply.text;
        return static_cast<int>(reply.code);
    } catch (const std::exception& e) {
        std::cerr << "corvid-devsim: " << e.what() << std::endl;
        return kExitFailed;
    }
}

void FaultOptions::add(CLI::App& command) {
    command.footer("Command names for NAME: " + faultCommandNames() +
                   " (the SUB_SCSI_OP_ prefix may be written or left out; case does not "
                   "matter).");
    command.add_option("--fail", fail,
                       "make a command fail: NAME[@N][:call|:status] (every time, or the N-th "
                       "time; the call fails, or bit 0 of the status byte is clear)");
    command.add_option("--unplug-during", unplugDuring,
                       "pull the device out while it works on a command: NAME[@N]");
    command.add_option("--silent", silent,
                       "stop answering from a command on (the caller's timeout runs out): "
                       "NAME[@N]");
    command.add_option("--lose-write", loseWrite,
                       "answer a command that writes as done but keep nothing of its data: "
                       "NAME[@N] (WRITE10@8: the eighth WRITE(10))");
    command.add_option("--lie", lie,
                       "answer commands with random data, lengths and status bits: "
                       "SEED[:PERCENT] (PERCENT of the commands lie, default 100; the same "
                       "seed gives the same lies)");
}

void FaultOptions::appendWords(std::vector<std::string>& words) const {
    for (const auto& rule : fail) {
        parseFaultRule(FaultRule::Kind::FailCall, rule);
        words.push_back("fail=" + rule);
    }
    for (const auto& rule : unplugDuring) {
        parseFaultRule(FaultRule::Kind::UnplugDuring, rule);
        words.push_back("unplug-during=" + rule);
    }
    for (const auto& rule : silent) {
        parseFaultRule(FaultRule::Kind::Silent, rule);
        words.push_back("silent=" + rule);
    }
    for (const auto& rule : loseWrite) {
        parseFaultRule(FaultRule::Kind::LoseData, rule);
        words.push_back("lose-write=" + rule);
    }
    if (!lie.empty()) {
        parseLieMode(lie);
        words.push_back("lie=" + lie);
    }
}

void DeviceOptions::add(CLI::App& command) {
    command.add_option("--letter", letter, "drive letter A to Z")->required();
    command
        .add_option("--profile", profile,
                    "built-in profile name (corvid-devsim profiles) or INI profile file")
        ->required();
    command.add_option("--state", state,
                       "state folder: the device's flash and disk (default: "
                       "DIR/state/LETTER-PROFILE); the same folder gives the same device");
    command.add_option("--trace", trace,
                       "trace file, one line per command (default DIR/LETTER.trace; "
                       "\"none\" for no trace)");
    command.add_option("--port", port, "port number the device reports (0 to 127)");
    command.add_option("--latency-ms", latencyMs, "time every command takes")
        ->check(CLI::NonNegativeNumber);
    command.add_option("--bandwidth", bandwidth, "data rate, bytes per second (e.g. 20M)");
    command.add_option("--scan-ms", scanMs, "time a block scan takes per block")
        ->check(CLI::NonNegativeNumber);
    command
        .add_option("--reset-ms", resetMs,
                    "how long the device stays away after a reset (default 100)")
        ->check(CLI::NonNegativeNumber);
    faults.add(command);
}

std::vector<std::string> DeviceOptions::plugWords() const {
    std::vector<std::string> words = {"plug", "letter=" + letter};
    // A profile file is read by the simulator, which may run in another folder.
    std::error_code error;
    DeviceProfile resolved = resolveProfile(profile);
    const bool builtin = fs::path(profile).filename() == profile &&
                         !fs::is_regular_file(profile, error) && resolved.name == profile;
    words.push_back("profile=" + (builtin ? profile : fs::absolute(profile).string()));
    if (!state.empty()) {
        words.push_back("state=" + fs::absolute(state).string());
    }
    if (!trace.empty()) {
        words.push_back("trace=" + (trace == "none" ? trace : fs::absolute(trace).string()));
    }
    if (port >= 0) {
        words.push_back("port=" + std::to_string(port));
    }
    if (latencyMs >= 0) {
        words.push_back("latency-ms=" + std::to_string(latencyMs));
    }
    if (!bandwidth.empty()) {
        parseBandwidth(bandwidth);
        words.push_back("bandwidth=" + bandwidth);
    }
    if (scanMs >= 0) {
        words.push_back("scan-ms=" + std::to_string(scanMs));
    }
    if (resetMs >= 0) {
        words.push_back("reset-ms=" + std::to_string(resetMs));
    }
    faults.appendWords(words);
    return words;
}

sigset_t blockStopSignals() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    return stopSignals;
}

}  // namespace corvid::devsim_cli
