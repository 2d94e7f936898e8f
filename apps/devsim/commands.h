#pragma once

// corvid-devsim's subcommands, one file each, and what several of them share.

#include <CLI/CLI.hpp>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

namespace corvid::devsim_cli {

// Every subcommand adds itself to the program and, when it runs, sets 'exitStatus' to one of:
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;    // the simulator failed or did not answer
inline constexpr int kExitBadInput = 2;  // bad usage or input

using AddCommand = void (*)(CLI::App& app, int& exitStatus);

void addServeCommand(CLI::App& app, int& exitStatus);     // cmd_serve.cpp
void addPlugCommand(CLI::App& app, int& exitStatus);      // cmd_plug.cpp
void addUnplugCommand(CLI::App& app, int& exitStatus);    // cmd_unplug.cpp
void addFaultCommand(CLI::App& app, int& exitStatus);     // cmd_fault.cpp
void addListCommand(CLI::App& app, int& exitStatus);      // cmd_list.cpp
void addStopCommand(CLI::App& app, int& exitStatus);      // cmd_stop.cpp
void addProfilesCommand(CLI::App& app, int& exitStatus);  // cmd_profiles.cpp
void addGadgetCommand(CLI::App& app, int& exitStatus);    // cmd_gadget.cpp

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread and the threads it starts from now
// on, and returns them: one thread takes them (sigwait), so every other runs undisturbed.
sigset_t blockStopSignals();

// The simulator directory an option names, or the default one.
std::filesystem::path simDirOf(const std::string& option);
void addDirOption(CLI::App& command, std::string& dir);

// Sends a request to the simulator serving the directory and prints its answer; the exit status.
int control(const std::string& dirOption, const std::vector<std::string>& words);

struct FaultOptions {
    std::vector<std::string> fail, unplugDuring, silent, loseWrite;
    std::string lie;

    void add(CLI::App& command);
    bool empty() const {
        return fail.empty() && unplugDuring.empty() && silent.empty() && loseWrite.empty();
    }
    // Checked here so that a typing error is reported before the simulator is asked.
    void appendWords(std::vector<std::string>& words) const;
};

// The device a plug describes, as the simulator's plug words: shared by plug and gadget, so a
// stick on a USB port takes the same options as one on the simulator's socket.
struct DeviceOptions {
    std::string letter, profile, state, trace, bandwidth;
    int port = -1;
    double latencyMs = -1, scanMs = -1, resetMs = -1;
    FaultOptions faults;

    void add(CLI::App& command);
    std::vector<std::string> plugWords() const;
};

}  // namespace corvid::devsim_cli
