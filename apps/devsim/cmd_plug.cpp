// corvid-devsim plug: a simulated device into the running simulator.

#include <memory>

#include "apps/devsim/commands.h"

namespace corvid::devsim_cli {

void addPlugCommand(CLI::App& app, int& exitStatus) {
    auto* command = app.add_subcommand("plug", "plug a simulated device in");
    auto dir = std::make_shared<std::string>();
    auto device = std::make_shared<DeviceOptions>();
    addDirOption(*command, *dir);
    device->add(*command);
    command->callback(
        [&exitStatus, dir, device] { exitStatus = control(*dir, device->plugWords()); });
}

}  // namespace corvid::devsim_cli
