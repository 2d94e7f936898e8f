// The station's list files (seting.ini, hideseting.ini, spiseting.ini): UTF-16 or 8-bit text,
// one entry a line.

#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_input.h"
#include "station/settings_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto list = corvid::fuzz::scratch() / "seting.ini";
    corvid::fuzz::writeInput(list, data, size);
    try {
        (void)corvid::readListFile(list);
    } catch (const corvid::SettingsError&) {
    }
    return 0;
}
