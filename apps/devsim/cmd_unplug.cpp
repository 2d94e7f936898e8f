// corvid-devsim unplug: a simulated device out of the running simulator.

#include <memory>

#include "apps/devsim/commands.h"

namespace corvid::devsim_cli {

void addUnplugCommand(CLI::App& app, int& exitStatus) {
    auto* command = app.add_subcommand("unplug", "pull a simulated device out");
    auto dir = std::make_shared<std::string>();
    auto letter = std::make_shared<std::string>();
    addDirOption(*command, *dir);
    command->add_option("letter", *letter, "drive letter")->required();
    command->callback([&exitStatus, dir, letter] {
        exitStatus = control(*dir, {"unplug", *letter});
    });
}

}  // namespace corvid::devsim_cli
