#pragma once

#include <CLI/CLI.hpp>
#include <filesystem>
#include <string>

namespace corvid::cli {

// Adds --home DIR to a subcommand; the value stays empty when not given.
void addHomeOption(CLI::App& command, std::string& home);

// True when --home or CORVID_HOME names the station folder.
bool stationHomeNamed(const std::string& home);

// The user's station folder when none is named: $XDG_DATA_HOME/corvid, else
// ~/.local/share/corvid. The program's own folder (/usr/bin from the package) is no place for it.
std::filesystem::path defaultStationHome();

// The station folder: --home, else $CORVID_HOME, else defaultStationHome().
std::filesystem::path resolveStationHome(const std::string& home);

}  // namespace corvid::cli
