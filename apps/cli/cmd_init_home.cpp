// corvid-cli init-home DIR: writes a complete station folder with the station's own sample files,
// so a new station (or a demo) can produce devices at once.

#include <iostream>
#include <memory>
#include <string>

#include "apps/cli/commands.h"
#include "production/station_home_writer.h"

namespace corvid::cli {

namespace {

int runInitHome(const std::string& folder, bool force) {
    if (folder.empty()) {
        std::cerr << "corvid-cli init-home: the folder name is empty; name the folder to write\n";
        return kExitBadInput;
    }
    std::error_code error;
    const std::filesystem::path home = std::filesystem::absolute(folder, error);
    if (error) {
        std::cerr << "corvid-cli init-home: the folder " << folder
                  << " cannot be made absolute: " << error.message() << "\n";
        return kExitBadInput;
    }
    try {
        writeStationHome(home, force);
    } catch (const StationHomeRefused& e) {
        std::cerr << "corvid-cli init-home: " << e.what() << "\n";
        return kExitBadInput;
    } catch (const StationHomeError& e) {
        std::cerr << "corvid-cli init-home: " << e.what() << "\n";
        return kExitFailed;
    }
    std::cout << "Station folder written: " << home.string() << "\n"
              << "  misc/   lang.ini, FSM.bin, program.bin, prefer.dat, PASS.IMG, response.txt,\n"
              << "          success.bmp, fail.bmp, prefer.ini, seting.ini (pre-copy list)\n"
              << "  flash/  flash.ini and the descriptions of";
    for (const auto& flash : sampleFlashes()) {
        std::cout << " " << flash.fileName;
    }
    std::cout << "\n  log/\n"
              << "Use it with --home " << home.string() << " (or CORVID_HOME).\n";
    return kExitOk;
}

}  // namespace

void addInitHomeCommand(CLI::App& app, int& exitStatus) {
    struct Options {
        std::string folder;
        bool force = false;
    };
    const auto options = std::make_shared<Options>();
    CLI::App* command = app.add_subcommand(
        "init-home", "Write a complete station folder (misc/, flash/, log/) with sample files");
    command->add_option("DIR", options->folder, "The folder to write; created when missing")
        ->required();
    command->add_flag("--force", options->force,
                      "Write into a folder that already holds files (the station's own files are "
                      "replaced, others are left alone)");
    command->callback(
        [&exitStatus, options] { exitStatus = runInitHome(options->folder, options->force); });
}

}  // namespace corvid::cli
