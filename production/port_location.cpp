#include "production/port_location.h"

#include <chrono>
#include <system_error>

#include "characterisation/worker_state.h"
#include "platform/process_runner.h"
#include "transport/vendor_commands.h"

namespace corvid {

namespace {

constexpr std::uint8_t kPortNumberMask = 0x7F;
constexpr auto kPollInterval = std::chrono::milliseconds(200);
// The program answers at once on every station we know; one that hangs must not hold the slot
// for ever, so after this long it is ended and the location stays unknown.
constexpr auto kProgramLimit = std::chrono::seconds(30);

// The port-location program's exit code; 0 (no location) when it cannot be started or hangs.
int runPortProgram(const std::filesystem::path& program, int portNumber) {
    ProcessOptions options;
    options.argv = {program.string(), std::to_string(portNumber)};
    options.priority = ProcessPriority::High;
    options.hidden = true;
    std::unique_ptr<ChildProcess> child;
    try {
        child = startProcess(options);
    } catch (const ProcessStartError&) {
        return 0;
    }
    const auto deadline = std::chrono::steady_clock::now() + kProgramLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (const auto code = child->waitFor(kPollInterval)) {
            return *code;
        }
    }
    child->kill();
    return 0;
}

}  // namespace

std::string portLocationText(const HubLocation& location) {
    return "<" + std::to_string(location.a) + "-" + std::to_string(location.b) + "-" +
           std::to_string(location.c) + ">";
}

std::optional<HubLocation> decodePortProgramCode(int exitCode) {
    if (exitCode <= 0 || exitCode % 100 == 0) {
        return std::nullopt;
    }
    return HubLocation{exitCode / 100 % 100, exitCode / 10 % 10, exitCode % 10};
}

std::optional<HubLocation> SingleHubPortLocationSource::locate(char, int portNumber) const {
    return HubLocation{1, 0, portNumber};
}

void QueryPortLocation(WorkerState& w, const PortLocationSource* source) {
    const std::uint8_t answer = getPort(w.transport, w.hDevice);
    if (answer == 0) {
        w.slot.setDetailP(portLocationText(HubLocation{}));
        return;
    }
    const int portNumber = answer & kPortNumberMask;
    std::optional<HubLocation> location;
    const auto program = portProgramPath(w.seams.home);
    std::error_code error;
    if (std::filesystem::is_regular_file(program, error)) {
        location = decodePortProgramCode(runPortProgram(program, portNumber));
    } else if (source != nullptr) {
        location = source->locate(w.sDrive, portNumber);
    }
    if (location) {
        w.slot.setDetailP(portLocationText(*location));
    }
}

}  // namespace corvid
