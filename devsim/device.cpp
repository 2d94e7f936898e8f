#include "devsim/device.h"

#include <time.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "platform/byte_order.h"

namespace corvid::devsim {

namespace {

std::chrono::microseconds modelled(double milliseconds) {
    return std::chrono::microseconds(static_cast<std::int64_t>(milliseconds * 1000));
}

const char* kindOption(FaultRule::Kind kind) {
    switch (kind) {
        case FaultRule::Kind::FailCall:
        case FaultRule::Kind::FailStatus:
            return "--fail";
        case FaultRule::Kind::UnplugDuring:
            return "--unplug-during";
        case FaultRule::Kind::Silent:
            return "--silent";
        case FaultRule::Kind::LoseData:
            return "--lose-write";
    }
    return "--fail";
}

std::string utcNow() {
    const auto now = std::chrono::system_clock::now();
    const auto seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm parts{};
    ::gmtime_r(&seconds, &parts);
    char text[64];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  static_cast<int>(millis));
    return text;
}

}  // namespace

FaultRule parseFaultRule(FaultRule::Kind kind, std::string_view text) {
    FaultRule rule;
    rule.kind = kind;
    std::string_view name = text;
    auto bad = [&](const std::string& why) {
        throw std::invalid_argument("The fault \"" + std::string(text) + "\" " + why + ".");
    };
    if (const auto colon = name.find(':'); colon != std::string_view::npos) {
        const std::string_view how = name.substr(colon + 1);
        if (kind != FaultRule::Kind::FailCall && kind != FaultRule::Kind::FailStatus) {
            bad("takes no \":call\" or \":status\" here");
        }
        if (how == "call") {
            rule.kind = FaultRule::Kind::FailCall;
        } else if (how == "status") {
            rule.kind = FaultRule::Kind::FailStatus;
        } else {
            bad("must end in \":call\" or \":status\"");
        }
        name = name.substr(0, colon);
    }
    if (const auto at = name.find('@'); at != std::string_view::npos) {
        const std::string_view digits = name.substr(at + 1);
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), rule.occurrence);
        if (digits.empty() || error != std::errc{} || end != digits.data() + digits.size() ||
            rule.occurrence == 0) {
            bad("must give the occurrence as a number from 1 after '@'");
        }
        name = name.substr(0, at);
    }
    rule.command = findCommandByName(name);
    if (rule.command == nullptr) {
        bad("names no command of the controller (e.g. READ_CFG, SCAN_BLOCK, INQUIRY, READ10)");
    }
    if (kind == FaultRule::Kind::LoseData &&
        rule.command->direction != simlink::WireDirection::Out) {
        bad("names a command that writes nothing (e.g. WRITE10, FILE_WRITE)");
    }
    return rule;
}

std::string faultRuleText(const FaultRule& rule) {
    std::string text = std::string(kindOption(rule.kind)) + " " + rule.command->name;
    if (rule.occurrence != 0) {
        text += "@" + std::to_string(rule.occurrence);
    }
    if (rule.kind == FaultRule::Kind::FailStatus) {
        text += ":status";
    }
    return text;
}

LieMode parseLieMode(std::string_view text) {
    auto bad = [&] {
        throw std::invalid_argument("The lying mode \"" + std::string(text) +
                                    "\" is not SEED or SEED:PERCENT (e.g. 7 or 7:20, the percent "
                                    "from 1 to 100).");
    };
    LieMode mode;
    std::string_view seed = text;
    if (const auto colon = text.find(':'); colon != std::string_view::npos) {
        seed = text.substr(0, colon);
        const std::string_view percent = text.substr(colon + 1);
        const auto [end, error] =
            std::from_chars(percent.data(), percent.data() + percent.size(), mode.liePercent);
        if (percent.empty() || error != std::errc{} || end != percent.data() + percent.size() ||
            mode.liePercent == 0 || mode.liePercent > 100) {
            bad();
        }
    }
    const auto [end, error] = std::from_chars(seed.data(), seed.data() + seed.size(), mode.seed);
    if (seed.empty() || error != std::errc{} || end != seed.data() + seed.size()) {
        bad();
    }
    return mode;
}

std::string lieModeText(const LieMode& mode) {
    return "--lie " + std::to_string(mode.seed) + ":" + std::to_string(mode.liePercent);
}

double parseBandwidth(std::string_view text) {
    std::string_view digits = text;
    double scale = 1;
    if (!digits.empty()) {
        switch (digits.back()) {
            case 'K':
            case 'k':
                scale = 1024;
                break;
            case 'M':
            case 'm':
                scale = 1024 * 1024;
                break;
            case 'G':
            case 'g':
                scale = 1024.0 * 1024 * 1024;
                break;
            default:
                break;
        }
        if (scale != 1) {
            digits.remove_suffix(1);
        }
    }
    double value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || error != std::errc{} || end != digits.data() + digits.size() ||
        value <= 0) {
        throw std::invalid_argument("The bandwidth \"" + std::string(text) +
                                    "\" is not a positive number of bytes per second (e.g. 20M).");
    }
    return value * scale;
}

Device::Device(DeviceSettings settings)
    : settings_(std::move(settings)),
      controller_(settings_.profile, settings_.stateDir),
      lieRandom_(settings_.lie ? settings_.lie->seed : 0) {
    if (!settings_.traceFile.empty()) {
        trace_ = std::fopen(settings_.traceFile.c_str(), "w");
        if (trace_ == nullptr) {
            throw std::runtime_error("The trace file " + settings_.traceFile.string() +
                                     " cannot be written: " + std::strerror(errno) + ".");
        }
    }
}

Device::~Device() {
    if (trace_ != nullptr) {
        std::fclose(trace_);
    }
}

void Device::powerUp(bool afterReset) {
    std::lock_guard lock(mutex_);
    interrupted_ = false;
    hung_ = false;
    controller_.powerUp(afterReset);
}

void Device::interrupt() {
    std::lock_guard lock(mutex_);
    interrupted_ = true;
    wake_.notify_all();
}

void Device::setFaults(std::vector<FaultRule> faults, std::optional<LieMode> lie) {
    std::lock_guard lock(mutex_);
    settings_.faults = std::move(faults);
    settings_.lie = lie;
    lieRandom_.seed(lie ? lie->seed : 0);
    seen_.clear();
}

Timing Device::timing() const {
    return settings_.timing;
}

std::optional<std::filesystem::path> Device::shownVolume() {
    std::lock_guard lock(mutex_);
    return controller_.shownVolume(!hung_);
}

std::optional<std::uint32_t> Device::shownSectorSize() {
    std::lock_guard lock(mutex_);
    return controller_.shownSectorSize();
}

std::optional<std::uint64_t> Device::shownSectors() {
    std::lock_guard lock(mutex_);
    return controller_.shownSectors();
}

std::string Device::summary() {
    std::lock_guard lock(mutex_);
    const DeviceProfile& profile = controller_.profile();
    std::string text = std::string(1, settings_.letter) + "  " + profile.name + "  ";
    text += profile.isForeign() ? "foreign disk" : flashIdText(profile.flashId);
    text += "  " + controller_.diskSummary();
    if (hung_) {
        text += "  (not answering)";
    }
    text += "  state " + settings_.stateDir.string();
    if (!settings_.traceFile.empty()) {
        text += "  trace " + settings_.traceFile.string();
    }
    for (const FaultRule& rule : settings_.faults) {
        text += "  " + faultRuleText(rule);
    }
    if (settings_.lie) {
        text += "  " + lieModeText(*settings_.lie);
    }
    return text;
}

bool Device::pauseUntil(std::chrono::steady_clock::time_point until,
                        std::unique_lock<std::mutex>& lock) {
    return !wake_.wait_until(lock, until, [&] { return interrupted_; });
}

bool Device::finishAt(std::chrono::steady_clock::time_point start,
                      std::chrono::steady_clock::time_point due,
                      std::unique_lock<std::mutex>& lock) {
    // A sleep ends late, by the timer's slack and by the wait for a processor on a busy machine.
    // What the commands ran beyond their model so far is taken off this one's sleep, so over a
    // run of commands the device keeps its modelled time (a command never ends before its work
    // is done, nor before it started).
    const bool stayed = pauseUntil(std::max(start, due - overrun_), lock);
    const auto ended = std::chrono::steady_clock::now();
    overrun_ = std::clamp<std::chrono::steady_clock::duration>(
        overrun_ + (ended - due), std::chrono::steady_clock::duration{}, kMaxOverrun);
    return stayed;
}

void Device::trace(const simlink::WireRequest& request, const CommandShape* shape,
                   const char* result, const std::string& note) {
    if (trace_ == nullptr) {
        return;
    }
    std::string cdb;
    char byte[3];
    for (std::size_t i = 0; i < request.cdbLength && i < sizeof(request.cdb); ++i) {
        std::snprintf(byte, sizeof(byte), "%02X", request.cdb[i]);
        cdb += byte;
    }
    std::fprintf(
        trace_, "%s %c %s %s %u %s %s%s%s\n", utcNow().c_str(), settings_.letter, cdb.c_str(),
        request.direction == static_cast<std::uint8_t>(simlink::WireDirection::Out) ? "out" : "in",
        request.transferLength, result, shape != nullptr ? shape->name : "unknown",
        note.empty() ? "" : " -- ", note.c_str());
    std::fflush(trace_);
}

std::uint64_t Device::random(std::uint64_t below) {
    // Plain modulo: the small bias does not matter, and the sequence is the same on every
    // standard library (the distributions are not).
    return below == 0 ? 0 : lieRandom_() % below;
}

Outcome Device::lie(const Command& command, const char*& result) {
    Outcome outcome;
    const std::uint64_t kind = random(8);
    if (kind == 0) {
        // Refused without being carried out.
        outcome.status = simlink::WireStatus::CheckCondition;
        outcome.note = "lie: refused, not carried out";
        result = "lie";
        return outcome;
    }
    // Carried out, with a garbled answer (kinds 1 to 5), or only pretended (6 and 7).
    const bool carriedOut = kind <= 5;
    if (carriedOut) {
        outcome = controller_.execute(command);
    }
    const bool in = command.direction == simlink::WireDirection::In;
    std::uint64_t length = in ? random(std::uint64_t{command.transferLength} + 1) : 0;
    if (random(16) == 0) {
        // More than was asked for: a breach of the wire protocol the station has to refuse.
        length = std::uint64_t{in ? command.transferLength : 0} + 1 + random(64);
    }
    // Kinds 1 and 2 keep the true bytes they have and fill the rest at random.
    const std::size_t kept = kind <= 2 ? std::min<std::size_t>(outcome.data.size(), length) : 0;
    outcome.data.resize(length);
    for (std::size_t i = kept; i < outcome.data.size(); ++i) {
        outcome.data[i] = static_cast<std::uint8_t>(random(256));
    }
    if (!outcome.data.empty() && random(2) == 0) {
        outcome.data[0] = static_cast<std::uint8_t>(random(256));  // the status byte
    }
    if (random(4) == 0) {
        outcome.status = static_cast<simlink::WireStatus>(random(256));
    }
    char note[160];
    std::snprintf(note, sizeof(note), "lie: %s, %zu of %u bytes (%zu true), wire status %u",
                  carriedOut ? "carried out" : "not carried out", outcome.data.size(),
                  command.transferLength, kept, static_cast<unsigned>(outcome.status));
    outcome.note = std::string(note) + (outcome.note.empty() ? "" : "; " + outcome.note);
    result = "lie";
    return outcome;
}

std::optional<FaultRule> Device::faultFor(const CommandShape* shape) {
    if (shape == nullptr) {
        return std::nullopt;
    }
    const std::uint32_t occurrence = ++seen_[shape];
    for (const FaultRule& rule : settings_.faults) {
        const bool once =
            rule.kind == FaultRule::Kind::UnplugDuring || rule.kind == FaultRule::Kind::Silent;
        const std::uint32_t wanted = rule.occurrence != 0 ? rule.occurrence : (once ? 1 : 0);
        if (rule.command == shape && (wanted == 0 || wanted == occurrence)) {
            return rule;
        }
    }
    return std::nullopt;
}

double Device::busyMsOf(const simlink::WireRequest& request, const CommandShape* shape,
                        std::span<const std::uint8_t> cdb) const {
    const Timing& timing = settings_.timing;
    double busyMs = timing.latencyMs;
    if (timing.bytesPerSecond > 0) {
        busyMs += request.transferLength * 1000.0 / timing.bytesPerSecond;
    }
    if (shape != nullptr && shape->subCode == SUB_SCSI_OP_SCAN_BLOCK && cdb.size() >= 8) {
        busyMs += timing.scanMsPerBlock * loadBe16(&cdb[6]);
    }
    return busyMs;
}

Outcome Device::carryOut(const simlink::WireRequest& request, const CommandShape* shape,
                         std::span<const std::uint8_t> cdb, std::span<const std::uint8_t> dataOut,
                         const std::optional<FaultRule>& fault, const char*& result) {
    if (fault && fault->kind == FaultRule::Kind::FailCall) {
        Outcome outcome;
        outcome.status = simlink::WireStatus::CheckCondition;
        outcome.note = "injected failure";
        result = "fault-call";
        return outcome;
    }
    if (fault && fault->kind == FaultRule::Kind::LoseData) {
        // What a worn or faked flash does: the host is told the data are kept.
        Outcome outcome;
        outcome.note = "its data lost";
        result = "lost";
        return outcome;
    }
    if (fault && fault->kind == FaultRule::Kind::FailStatus) {
        Outcome outcome;
        outcome.data.assign(
            request.direction == static_cast<std::uint8_t>(simlink::WireDirection::In)
                ? request.transferLength
                : 0,
            0);
        outcome.note = "injected status byte 0x00";
        result = "fault-status";
        return outcome;
    }
    Command command;
    command.cdb = cdb;
    command.direction = static_cast<simlink::WireDirection>(request.direction);
    command.transferLength = request.transferLength;
    command.dataOut = dataOut;
    if (settings_.lie && random(100) < settings_.lie->liePercent) {
        return lie(command, result);  // traced as a lie, whatever its status says
    }
    Outcome outcome = controller_.execute(command);
    if (outcome.status == simlink::WireStatus::CheckCondition) {
        result = "refused";
    } else if (shape != nullptr && shape->judged == Judged::Status &&
               (outcome.data.empty() || (outcome.data[0] & 0x01) == 0)) {
        result = "failed-status";
    }
    return outcome;
}

DeviceReply Device::handle(const simlink::WireRequest& request,
                           std::span<const std::uint8_t> dataOut,
                           std::chrono::steady_clock::time_point arrived) {
    std::unique_lock lock(mutex_);
    // One command at a time, the time it takes included, as the controller works.
    wake_.wait(lock, [&] { return !busy_ || interrupted_; });
    busy_ = true;
    // The command's modelled time runs from its arrival, or from the end of the command it
    // waited for: the transfer of its data, the work of carrying it out and the wake-up from the
    // sleep fall inside it, so a run of commands lasts what the model says.
    const auto start = std::max(arrived, idleSince_);
    struct Idle {
        Device& device;
        ~Idle() {
            device.busy_ = false;
            device.idleSince_ = std::chrono::steady_clock::now();
            device.wake_.notify_all();
        }
    } idle{*this};
    DeviceReply reply;
    reply.header.magic = simlink::kWireMagic;
    const std::span<const std::uint8_t> cdb(request.cdb,
                                            std::min<std::size_t>(request.cdbLength, 16));
    const CommandShape* shape = findCommand(cdb);
    if (hung_) {
        trace(request, shape, "silent", "the device no longer answers");
        reply.after = AfterCommand::Hang;
        return reply;
    }

    const std::optional<FaultRule> fault = faultFor(shape);
    const double busyMs = busyMsOf(request, shape, cdb);
    if (fault && fault->kind == FaultRule::Kind::UnplugDuring) {
        pauseUntil(start + modelled(busyMs / 2), lock);
        trace(request, shape, "unplugged", "pulled out during the command");
        reply.after = AfterCommand::Leave;
        return reply;
    }
    if (fault && fault->kind == FaultRule::Kind::Silent) {
        hung_ = true;
        trace(request, shape, "silent", "the device stops answering");
        reply.after = AfterCommand::Hang;
        return reply;
    }

    const char* result = "good";
    Outcome outcome = carryOut(request, shape, cdb, dataOut, fault, result);
    if (!finishAt(start, start + modelled(busyMs), lock)) {
        trace(request, shape, "unplugged", "pulled out during the command");
        reply.after = AfterCommand::Leave;
        return reply;
    }
    trace(request, shape, result, outcome.note);
    reply.header.status = static_cast<std::uint8_t>(outcome.status);
    reply.header.dataLength = static_cast<std::uint32_t>(outcome.data.size());
    reply.data = std::move(outcome.data);
    reply.after = outcome.leaves ? AfterCommand::ReplyThenReset : AfterCommand::Reply;
    return reply;
}

}  // namespace corvid::devsim
