#pragma once

// What corvid-cli and corvid-devsim say for a word that names no subcommand: CLI11 alone says "A
// subcommand is required", which hides the word the user typed.

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

namespace corvid::apps {

// The sentence for an unknown subcommand word at the deepest command the parse reached ("image"
// in "image bild x"), naming the word and the choices; nothing when 'error' is of another kind.
inline std::optional<std::string> unknownSubcommandText(CLI::App& app,
                                                        const CLI::RequiredError& error) {
    // The deepest subcommand that was parsed, and the words no option or subcommand took.
    CLI::App* at = &app;
    for (bool deeper = true; deeper;) {
        deeper = false;
        for (CLI::App* sub : at->get_subcommands()) {
            at = sub;
            deeper = true;
            break;
        }
    }
    if (at->get_subcommands({}).empty() ||
        std::string(error.what()).find("subcommand") == std::string::npos) {
        return std::nullopt;
    }
    std::string word;
    for (const std::string& remaining : app.remaining(true)) {
        if (!remaining.empty() && remaining[0] != '-') {
            word = remaining;
            break;
        }
    }
    std::string choices;
    for (const CLI::App* sub : at->get_subcommands({})) {
        choices += (choices.empty() ? "" : ", ") + sub->get_name();
    }
    const std::string command = at->get_parent() == nullptr ? "" : at->get_name() + " ";
    if (word.empty()) {
        return "the command " + command + "needs a subcommand: one of " + choices;
    }
    return "\"" + word + "\" is not a subcommand of " +
           (command.empty() ? "the program " : command) + "(choose one of " + choices + ")";
}

}  // namespace corvid::apps
