// The simulated device's side of the wire: a request header as the host receives it, its
// data-out bytes, and the device's decoding of the command.
//
// Input: a WireRequest (32 bytes) then the data-out bytes. The magic and version are set here so
// the fuzzer spends its time on the commands; the host's own checks of the header come first.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <span>

#include "devsim/device.h"
#include "devsim/profile.h"
#include "fuzz/fuzz_input.h"
#include "simlink/wire.h"

namespace {

corvid::devsim::Device& device() {
    static const std::unique_ptr<corvid::devsim::Device> made = [] {
        corvid::devsim::DeviceSettings settings;
        settings.profile = corvid::devsim::resolveProfile("nand-2k");
        settings.stateDir = corvid::fuzz::scratch() / "device";
        std::filesystem::create_directories(settings.stateDir);
        settings.timing.resetAwayMs = 0;
        auto device = std::make_unique<corvid::devsim::Device>(settings);
        device->powerUp(false);
        return device;
    }();
    return *made;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace simlink = corvid::simlink;
    simlink::WireRequest request{};
    if (size < sizeof(request)) {
        return 0;
    }
    std::memcpy(&request, data, sizeof(request));
    request.magic = simlink::kWireMagic;
    request.version = simlink::kWireVersion;
    // The host drops a connection whose header fails these; the device never sees it.
    if (request.cdbLength == 0 || request.cdbLength > sizeof(request.cdb) ||
        request.transferLength > simlink::kMaxWireTransfer) {
        return 0;
    }
    const bool out = request.direction == static_cast<std::uint8_t>(simlink::WireDirection::Out);
    std::span<const std::uint8_t> dataOut(data + sizeof(request), size - sizeof(request));
    if (out) {
        // The host reads exactly transferLength bytes of data-out.
        if (dataOut.size() < request.transferLength) {
            return 0;
        }
        dataOut = dataOut.first(request.transferLength);
    } else {
        dataOut = {};
    }
    corvid::devsim::Device& target = device();
    const corvid::devsim::DeviceReply reply = target.handle(request, dataOut);
    if (reply.header.dataLength != reply.data.size() ||
        reply.data.size() > request.transferLength) {
        __builtin_trap();  // the host would send a reply the station refuses
    }
    if (reply.after == corvid::devsim::AfterCommand::ReplyThenReset ||
        reply.after == corvid::devsim::AfterCommand::Leave) {
        target.powerUp(reply.after == corvid::devsim::AfterCommand::ReplyThenReset);
    }
    return 0;
}
