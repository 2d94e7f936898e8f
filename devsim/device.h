#pragma once

// A simulated device as the host serves it: the controller model plus what test equipment adds
// around it (injected faults, timing, the trace of every command).

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "devsim/controller.h"
#include "simlink/wire.h"

namespace corvid::devsim {

struct FaultRule {
    enum class Kind {
        FailCall,      // the command is refused: the pass-through call fails
        FailStatus,    // the command answers with bit 0 of its status byte clear
        UnplugDuring,  // the device is pulled out while it works on the command
        Silent,        // the device stops answering, from this command on
        LoseData,      // a command that writes answers done but keeps nothing of its data
    };
    Kind kind = Kind::FailCall;
    const CommandShape* command = nullptr;
    std::uint32_t occurrence = 0;  // the n-th time the command arrives; 0: every time (the
                                   // first time for UnplugDuring and Silent)
};

// Parses "READ_CFG", "READ_CFG@3", and for failures also a ":call" or ":status" suffix
// ("WRITE_PAGE@2:status"); LoseData takes only commands that write. Throws
// std::invalid_argument with one sentence naming the text.
FaultRule parseFaultRule(FaultRule::Kind kind, std::string_view text);
// The rule written back in that form, with the option it belongs to ("--fail READ_CFG@3:call").
std::string faultRuleText(const FaultRule& rule);

// A device that lies: each command is answered truthfully or, in liePercent of the cases, with
// random data, a random length and random status bits. Seeded, so a failing run can be repeated.
struct LieMode {
    std::uint64_t seed = 1;
    unsigned liePercent = 100;  // 1 to 100
};

// Parses "SEED" or "SEED:PERCENT" ("7", "7:20"). Throws std::invalid_argument naming the text.
LieMode parseLieMode(std::string_view text);
// The mode written back as its option ("--lie 7:20").
std::string lieModeText(const LieMode& mode);

struct Timing {
    double latencyMs = 0;       // per command
    double bytesPerSecond = 0;  // data moved; 0 is unlimited
    double scanMsPerBlock = 0;  // SUB_SCSI_OP_SCAN_BLOCK, per block
    double resetAwayMs = 100;   // how long the device is gone after SUB_SCSI_OP_RESET
};

// "10M", "512K", "2000000" bytes per second. Throws std::invalid_argument.
double parseBandwidth(std::string_view text);

struct DeviceSettings {
    char letter = 'E';
    DeviceProfile profile;
    std::filesystem::path stateDir;
    std::filesystem::path traceFile;  // empty: no trace
    std::vector<FaultRule> faults;
    std::optional<LieMode> lie;
    Timing timing;
};

// What the connection does after a command.
enum class AfterCommand { Reply, ReplyThenReset, Leave, Hang };

struct DeviceReply {
    AfterCommand after = AfterCommand::Reply;
    simlink::WireReply header{};
    std::vector<std::uint8_t> data;
};

class Device {
  public:
    // Throws std::runtime_error naming the state folder or trace file that cannot be used.
    explicit Device(DeviceSettings settings);
    ~Device();

    char letter() const { return settings_.letter; }

    // Runs one command that arrived at 'arrived' (its data included in its modelled time).
    // Thread-safe; commands of one device run one at a time.
    DeviceReply handle(
        const simlink::WireRequest& request, std::span<const std::uint8_t> dataOut,
        std::chrono::steady_clock::time_point arrived = std::chrono::steady_clock::now());

    // Power comes on: at plug-in, or when the device returns after a reset.
    void powerUp(bool afterReset);
    // Ends every wait of the device at once (it is being unplugged).
    void interrupt();

    // Replaces the fault rules and the lying mode; the lies start again from the seed.
    void setFaults(std::vector<FaultRule> faults, std::optional<LieMode> lie);
    Timing timing() const;
    std::optional<std::filesystem::path> shownVolume();
    std::optional<std::uint32_t> shownSectorSize();
    std::optional<std::uint64_t> shownSectors();
    // One line for listings: profile, flash ID, disk, state and trace.
    std::string summary();

  private:
    // The fault rule a command meets at this arrival, if any (counts the arrival).
    std::optional<FaultRule> faultFor(const CommandShape* shape);
    // The time the model gives the command: latency, its data, the blocks a scan reads.
    double busyMsOf(const simlink::WireRequest& request, const CommandShape* shape,
                    std::span<const std::uint8_t> cdb) const;
    // The command's outcome: an injected fault, a lie, or the controller's answer; 'result'
    // names it for the trace.
    Outcome carryOut(const simlink::WireRequest& request, const CommandShape* shape,
                     std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> dataOut,
                     const std::optional<FaultRule>& fault, const char*& result);
    void trace(const simlink::WireRequest& request, const CommandShape* shape, const char* result,
               const std::string& note);
    // A lying answer to a command, which it may or may not carry out; 'result' names it for the
    // trace.
    Outcome lie(const Command& command, const char*& result);
    std::uint64_t random(std::uint64_t below);
    // Sleeps until 'until' unless interrupted (at once when it has passed); false when
    // interrupted.
    bool pauseUntil(std::chrono::steady_clock::time_point until,
                    std::unique_lock<std::mutex>& lock);
    // Ends a command started at 'start' whose model says it is done at 'due'; false when
    // interrupted.
    bool finishAt(std::chrono::steady_clock::time_point start,
                  std::chrono::steady_clock::time_point due, std::unique_lock<std::mutex>& lock);
    // The most a command's sleep is shortened by for the overrun of those before it: a stall of
    // the whole machine is not made up by commands of no time at all.
    static constexpr std::chrono::milliseconds kMaxOverrun{20};

    DeviceSettings settings_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool interrupted_ = false;
    bool busy_ = false;                                  // a command is being worked on
    std::chrono::steady_clock::time_point idleSince_{};  // when the last command ended
    std::chrono::steady_clock::duration overrun_{};      // the commands' time beyond their model
    bool hung_ = false;
    Controller controller_;
    std::FILE* trace_ = nullptr;
    std::map<const CommandShape*, std::uint32_t> seen_;
    std::mt19937_64 lieRandom_;
};

}  // namespace corvid::devsim
