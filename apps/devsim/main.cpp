// corvid-devsim: hosts simulated ZQL5Vxx devices for the station to find on its bus. Each
// subcommand lives in its own file.

#include <CLI/CLI.hpp>
#include <iostream>

#include "apps/devsim/commands.h"
#include "apps/subcommand_words.h"
#include "devsim/profile.h"

namespace {

using namespace corvid::devsim_cli;

// The subcommands in the order --help lists them.
constexpr AddCommand kCommands[] = {
    addServeCommand, addPlugCommand, addUnplugCommand,   addFaultCommand,
    addListCommand,  addStopCommand, addProfilesCommand, addGadgetCommand,
};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"corvid-devsim: simulated ZQL5Vxx USB flash devices for the Corvid station"};
    app.failure_message([](const CLI::App*, const CLI::Error& error) {
        return std::string("corvid-devsim: ") + error.what() +
               "\nRun with --help for more information.\n";
    });
    app.require_subcommand(1);
    app.footer(
        "Exit status: 0 done, 1 the simulator failed or did not answer, 2 bad usage or "
        "input.");
    int exitStatus = kExitOk;
    for (auto add : kCommands) {
        add(app, exitStatus);
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::RequiredError& e) {
        if (const auto text = corvid::apps::unknownSubcommandText(app, e)) {
            std::cerr << "corvid-devsim: " << *text << ".\n";
            return kExitBadInput;
        }
        const int code = app.exit(e);
        return code == 0 ? kExitOk : kExitBadInput;
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? kExitOk : kExitBadInput;
    } catch (const corvid::devsim::ProfileError& e) {
        std::cerr << "corvid-devsim: " << e.what() << std::endl;
        return kExitBadInput;
    } catch (const std::invalid_argument& e) {
        std::cerr << "corvid-devsim: " << e.what() << std::endl;
        return kExitBadInput;
    } catch (const std::exception& e) {
        std::cerr << "corvid-devsim: " << e.what() << std::endl;
        return kExitFailed;
    } catch (...) {
        std::cerr << "corvid-devsim: the command ended with an error of unknown kind" << std::endl;
        return kExitFailed;
    }
    return exitStatus;
}
