// The worker's reading of the flash: description files, CFGs built or given, the CFG and block map
// a device kept, the blanking check's scan results and the CFG write's replies (see
// worker_cfg_steps.h for the input).

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>

#include "fuzz/fuzz_input.h"
#include "fuzz/replay_transport.h"
#include "fuzz/worker_cfg_steps.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace corvid::fuzz;
    constexpr std::size_t kFixed = sizeof(CfgRunHeader) + kCfgRunFileSize;
    if (size < kFixed) {
        return 0;
    }
    static const std::filesystem::path home = [] {
        const auto made = scratch() / "station";
        std::filesystem::create_directories(made / "flash");
        std::filesystem::create_directories(made / "log");
        return made;
    }();
    CfgRunHeader header{};
    std::memcpy(&header, data, sizeof(header));
    ReplayTransport transport({data + kFixed, size - kFixed});
    runCfgSteps(transport, home, header, {data + sizeof(header), kCfgRunFileSize});
    return 0;
}
