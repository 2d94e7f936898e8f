// corvid-devsim list: the devices plugged into the running simulator.

#include <memory>

#include "apps/devsim/commands.h"

namespace corvid::devsim_cli {

void addListCommand(CLI::App& app, int& exitStatus) {
    auto* command = app.add_subcommand("list", "list the plugged devices");
    auto dir = std::make_shared<std::string>();
    addDirOption(*command, *dir);
    command->callback([&exitStatus, dir] { exitStatus = control(*dir, {"list"}); });
}

}  // namespace corvid::devsim_cli
