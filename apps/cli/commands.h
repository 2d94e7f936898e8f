#pragma once

#include <CLI/CLI.hpp>

namespace corvid::cli {

// Every subcommand adds itself to the program and, when it runs, sets 'exitStatus' to one of:
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;    // the job failed
inline constexpr int kExitBadInput = 2;  // bad usage or input

using AddCommand = void (*)(CLI::App& app, int& exitStatus);

void addSettingsCommand(CLI::App& app, int& exitStatus);  // cmd_settings.cpp
void addInitHomeCommand(CLI::App& app, int& exitStatus);  // cmd_init_home.cpp
void addProduceCommand(CLI::App& app, int& exitStatus);   // cmd_produce.cpp
void addProbeCommand(CLI::App& app, int& exitStatus);     // cmd_probe.cpp
void addImageCommand(CLI::App& app, int& exitStatus);     // cmd_image.cpp
void addStationCommand(CLI::App& app, int& exitStatus);   // cmd_station.cpp
void addReportCommand(CLI::App& app, int& exitStatus);    // cmd_report.cpp

}  // namespace corvid::cli
