// The flash folder's files: the name inside a description file and flash.ini's display names.

#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "characterisation/flash_database.h"
#include "fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::filesystem::path flashDir = [] {
        const auto made = corvid::fuzz::scratch() / "flash";
        std::filesystem::create_directories(made);
        return made;
    }();
    const auto description = flashDir / "K9GAG08U0M.txt";
    corvid::fuzz::writeInput(description, data, size);
    (void)corvid::readEmbeddedName(description);
    corvid::fuzz::writeInput(flashDir / "flash.ini", data, size);
    for (const int chips : {1, 2, 8}) {
        (void)corvid::flashDisplayName(flashDir, "K9GAG08U0M.txt", chips);
    }
    return 0;
}
