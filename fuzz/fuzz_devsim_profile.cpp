// The simulator's profile files (corvid-devsim --profile FILE).

#include <cstddef>
#include <cstdint>

#include "devsim/profile.h"
#include "fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto file = corvid::fuzz::scratch() / "profile.ini";
    corvid::fuzz::writeInput(file, data, size);
    try {
        const corvid::devsim::DeviceProfile profile = corvid::devsim::loadProfileFile(file);
        (void)corvid::devsim::profileToIni(profile);
    } catch (const corvid::devsim::ProfileError&) {
    }
    return 0;
}
