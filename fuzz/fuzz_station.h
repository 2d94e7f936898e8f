#pragma once

// A station folder with its misc/ folder, inside this process's scratch folder, made at first use:
// for the targets that read the station's own files.

#include <filesystem>

#include "fuzz/fuzz_input.h"
#include "station/station_folder.h"

namespace corvid::fuzz {

inline const StationFolder& scratchStation() {
    static const StationFolder folder = [] {
        const StationFolder made(scratch() / "station");
        std::filesystem::create_directories(made.misc());
        return made;
    }();
    return folder;
}

}  // namespace corvid::fuzz
