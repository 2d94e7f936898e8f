// corvid-devsim stop: every device out, then the simulator ends.

#include <memory>

#include "apps/devsim/commands.h"

namespace corvid::devsim_cli {

void addStopCommand(CLI::App& app, int& exitStatus) {
    auto* command = app.add_subcommand("stop", "unplug every device and end the simulator");
    auto dir = std::make_shared<std::string>();
    addDirOption(*command, *dir);
    command->callback([&exitStatus, dir] { exitStatus = control(*dir, {"stop"}); });
}

}  // namespace corvid::devsim_cli
