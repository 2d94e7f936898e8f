#include <CLI/CLI.hpp>
#include <iostream>
#include <string>

#include "apps/cli/commands.h"

namespace {

// The subcommands in the order --help lists them.
constexpr corvid::cli::AddCommand kCommands[] = {
    corvid::cli::addSettingsCommand, corvid::cli::addInitHomeCommand,
    corvid::cli::addProduceCommand,  corvid::cli::addStationCommand,
    corvid::cli::addProbeCommand,    corvid::cli::addImageCommand,
    corvid::cli::addReportCommand,
};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"corvid-cli: the Corvid production station without a window"};
    app.set_version_flag("--version", std::string("corvid-cli ") + CORVID_VERSION);
    app.require_subcommand(1);

    int exitStatus = 0;
    for (auto add : kCommands) {
        add(app, exitStatus);
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return corvid::cli::kExitBadInput;
    }
    return exitStatus;
}
