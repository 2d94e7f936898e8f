// corvid-devsim profiles: the built-in device profiles, or one of them as an INI file.

#include <cstdio>
#include <iostream>
#include <memory>

#include "apps/devsim/commands.h"
#include "devsim/profile.h"

namespace corvid::devsim_cli {

void addProfilesCommand(CLI::App& app, int& exitStatus) {
    auto* command = app.add_subcommand("profiles", "list the built-in device profiles");
    auto show = std::make_shared<std::string>();
    command->add_option("--show", *show, "print a profile as an INI file, a start for your own");
    command->callback([&exitStatus, show] {
        if (!show->empty()) {
            std::cout << devsim::profileToIni(devsim::resolveProfile(*show));
        } else {
            for (const auto& summary : devsim::builtinProfiles()) {
                std::printf("%-12s %s\n", summary.name.c_str(), summary.description.c_str());
            }
        }
        exitStatus = kExitOk;
    });
}

}  // namespace corvid::devsim_cli
