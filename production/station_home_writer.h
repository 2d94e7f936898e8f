#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvid {

class StationHomeError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The path is a file, or a folder that already holds files while overwriting was not asked for.
class StationHomeRefused : public StationHomeError {
  public:
    using StationHomeError::StationHomeError;
};

// A flash the sample station folder describes: one file in flash/ and its display names.
struct SampleFlash {
    std::string fileName;      // in flash/
    unsigned char id[5];       // maker, device code, three more ID bytes
    const char* displayName;   // flash.ini, key "1"
    const char* embeddedName;  // at offset 480 of the file; empty: none
};

// The flashes of the simulator's NAND profiles.
const std::vector<SampleFlash>& sampleFlashes();

// Writes a complete, working station folder: misc/ with lang.ini, FSM.bin, the firmware
// program.bin, prefer.dat, PASS.IMG, response.txt, success.bmp, fail.bmp, prefer.ini and the
// three lists (the pre-copy list names the firmware and prefer.dat); flash/ with the description
// files and flash.ini; an empty log/. A folder that holds anything is refused (StationHomeRefused)
// unless 'overwrite' is set; then the station's own files are replaced and nothing else is touched.
// Throws StationHomeError with one sentence naming the folder or file at fault.
void writeStationHome(const std::filesystem::path& home, bool overwrite);

}  // namespace corvid
