#pragma once

#include <filesystem>
#include <string>

namespace corvid {

// The station's own lang.ini: the sections "English", "Chinese (Taiwan)" (Big5) and
// "Chinese (PRC)" (GBK), each with all 64 keyed messages, lines ending in CR LF.
std::string stationLangIniBytes();

// Writes it to 'path' (replacing the file as a whole).
void writeStationLangIni(const std::filesystem::path& path);

}  // namespace corvid
