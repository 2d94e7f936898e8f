#pragma once

#include <CLI/CLI.hpp>
#include <filesystem>
#include <string>

namespace corvid::cli {

// Adds --home DIR to a subcommand; the value stays empty when not given.
void addHomeOption(CLI::App& command, std::string& home);

// The station folder: --home, else $CORVID_HOME, else the folder of the running program.
std::filesystem::path resolveStationHome(const std::string& home);

}  // namespace corvid::cli
