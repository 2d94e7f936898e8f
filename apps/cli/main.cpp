#include <CLI/CLI.hpp>
#include <iostream>
#include <string>

#include "apps/cli/commands.h"
#include "apps/subcommand_words.h"
#include "platform/terminal.h"

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
    corvid::ignoreClosedPipes();
    CLI::App app{"corvid-cli: the Corvid production station without a window"};
    app.set_version_flag("--version", std::string("corvid-cli ") + CORVID_VERSION);
    app.require_subcommand(1);
    // Options are --name on every system: an argument that starts with '/' is a path.
    app.allow_windows_style_options(false);
    // CLI11's own complaints begin with the program's name, as every other error line does.
    app.failure_message([](const CLI::App*, const CLI::Error& error) {
        return std::string("corvid-cli: ") + error.what() +
               "\nRun with --help for more information.\n";
    });
    // One rule for every command; each subcommand's help shows it too.
    app.footer(
        "Exit status, the same for every command: 0 done (every device passed, the report or "
        "image made, also when no run is recorded yet), 1 the job failed (a device failed, a "
        "check found faults, a file or the record could not be read or written, a database "
        "could not be reached), 2 bad usage or input (a wrong option or value, a missing or "
        "damaged file or station folder, a folder for an output that does not exist, no device "
        "of the station at the drive, a drive busy with another station program).");

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
    } catch (const CLI::RequiredError& e) {
        if (const auto text = corvid::apps::unknownSubcommandText(app, e)) {
            std::cerr << "corvid-cli: " << *text << ".\n";
        } else {
            app.exit(e);
        }
        return corvid::cli::kExitBadInput;
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return corvid::cli::kExitBadInput;
    } catch (const std::exception& e) {
        // Whatever a command left uncaught ends the program with one line, never an abort.
        std::cerr << "corvid-cli: " << e.what() << "\n";
        return corvid::cli::kExitFailed;
    } catch (...) {
        std::cerr << "corvid-cli: the command ended with an error of unknown kind\n";
        return corvid::cli::kExitFailed;
    }
    return exitStatus;
}
