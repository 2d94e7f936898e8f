// corvid-devsim fault: new fault rules for a plugged device.

#include <iostream>
#include <memory>

#include "apps/devsim/commands.h"

namespace corvid::devsim_cli {

namespace {

struct FaultCommandOptions {
    std::string dir, letter, clearWord;
    FaultOptions rules;
};

}  // namespace

void addFaultCommand(CLI::App& app, int& exitStatus) {
    auto* command =
        app.add_subcommand("fault", "replace the fault rules of a plugged device (none: clear)");
    auto options = std::make_shared<FaultCommandOptions>();
    addDirOption(*command, options->dir);
    command->add_option("letter", options->letter, "drive letter")->required();
    command->add_option("none", options->clearWord, "the word none: clear every rule")
        ->check(CLI::IsMember({"none"}));
    options->rules.add(*command);
    command->callback([&exitStatus, options] {
        if (!options->clearWord.empty() && !options->rules.empty()) {
            std::cerr << "corvid-devsim fault: \"none\" clears every rule; it takes no "
                         "rules beside it.\n";
            exitStatus = kExitBadInput;
            return;
        }
        std::vector<std::string> words = {"fault", options->letter};
        options->rules.appendWords(words);
        exitStatus = control(options->dir, words);
    });
}

}  // namespace corvid::devsim_cli
