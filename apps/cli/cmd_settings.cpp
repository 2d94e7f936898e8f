// corvid-cli settings: shows and changes the station's settings and file lists, as the window
// loads and saves them, for stations without a screen.

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "apps/cli/commands.h"
#include "apps/cli/station_home.h"
#include "platform/registry_store.h"
#include "records/postgres_record_store.h"
#include "records/run_record_store.h"
#include "station/disk_feature.h"
#include "station/firmware_picks.h"
#include "station/language.h"
#include "station/messages.h"
#include "station/operator_prompt.h"
#include "station/setting_keys.h"
#include "station/settings_editor.h"
#include "station/settings_files.h"
#include "station/station_registry.h"

namespace corvid::cli {

namespace {

// Input the command refuses: it ends with status 2.
class BadInput : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Message boxes become lines on standard error.
class TerminalPrompt : public OperatorPrompt {
  public:
    PromptAnswer show(const std::string& text, const std::string& caption, PromptIcon,
                      PromptButtons) override {
        std::cerr << caption << ": " << text << "\n";
        return PromptAnswer::Ok;
    }
};

struct Loaded {
    StationFolder folder;
    StationSettings settings;
    SettingsLoadReport report;
};

Loaded loadHome(const std::string& homeOption) {
    std::filesystem::path home = resolveStationHome(homeOption);
    std::error_code error;
    if (!std::filesystem::is_directory(home, error)) {
        throw BadInput("the station folder " + home.string() + " does not exist");
    }
    if (std::filesystem::path canonical = std::filesystem::canonical(home, error); !error) {
        home = canonical;
    }
    Loaded loaded{StationFolder(home), {}, {}};
    if (!std::filesystem::is_directory(loaded.folder.misc(), error)) {
        throw BadInput("the station folder " + home.string() +
                       " has no misc folder (corvid-cli init-home writes a complete one)");
    }
    loaded.settings = newStationSettings(loaded.folder);
    loaded.report = loadStationSettings(loaded.folder, loaded.settings);
    return loaded;
}

std::string english(FixedText row) {
    return std::string(fixedText(row, kLanguageEnglish));
}

void printPick(const char* what, const StationSettings& s, std::int32_t index, std::int32_t size,
               const char* indexName) {
    std::printf("  %-20s ", what);
    if (index < 0) {
        std::printf("none in the pre-copy list (%s -1)\n", indexName);
    } else {
        std::printf("%s, %d bytes (%s %d)\n",
                    s.preCopyList[static_cast<std::size_t>(index)].c_str(), size, indexName, index);
    }
}

void printList(const char* title, const std::filesystem::path& file, const FileList& list,
               const FileList& dropped) {
    std::printf("%s (misc/%s):%s\n", title, file.filename().string().c_str(),
                list.empty() ? " empty" : "");
    for (std::size_t i = 0; i < list.size(); ++i) {
        std::printf("  %zu  %s\n", i, list[i].c_str());
    }
    for (const std::string& entry : dropped) {
        std::printf("  dropped, neither a folder nor a readable file: %s\n",
                    entry.empty() ? "(empty line)" : entry.c_str());
    }
}

void printDerived(const Loaded& loaded) {
    const StationSettings& s = loaded.settings;
    std::printf("Derived values\n");
    std::printf("  %-20s %s\n", "Disk feature",
                diskFeatureText(s.record, kLanguageEnglish).value_or("(unknown split)").c_str());
    std::printf("  %-20s %s\n", "System area estimate",
                systemAreaEstimateText(std::string(messageDefault(MessageKey::SystemAreaSizeStr)),
                                       systemAreaEstimateMB(s))
                    .c_str());
    printPick("Firmware file", s, s.iProgramIndex, s.iProgramSize, "iProgramIndex");
    printPick("prefer.dat", s, s.iPreferIndex, s.iPreferSize, "iPreferIndex");
    printPick("image.iso", s, s.iIsoIndex, s.iIsoSize, "iIsoIndex");
    const SettingsLoadReport& report = loaded.report;
    std::string source = "prefer.ini (no .bin entry in the pre-copy list)";
    if (report.multiplierFromFirmware) {
        source = "the firmware file " + report.multiplierFirmware;
    } else if (!report.multiplierFirmware.empty()) {
        source = "prefer.ini (" + report.multiplierFirmware + " carries none)";
    }
    std::printf("  %-20s from %s\n", "Capacity multiplier", source.c_str());
}

void printSettings(const Loaded& loaded) {
    const StationSettings& s = loaded.settings;
    std::printf("Station folder: %s\n", loaded.folder.home().string().c_str());
    for (const std::string& note : loaded.report.outOfRange) {
        std::printf("note: misc/prefer.ini: %s\n", note.c_str());
    }
    // Every language's texts, not just the one chosen now: a bad text shows when it is chosen.
    const MessageTable defaults;
    for (int language = 0; language < kLanguageCount; ++language) {
        for (const std::string& problem :
             readLanguageTexts(loaded.folder.langIni(), languageSectionOf(language), defaults)
                 .problems) {
            std::printf("note: %s\n", problem.c_str());
        }
    }
    std::string_view section;
    for (const SettingKey& key : settingKeys()) {
        if (key.section != section) {
            section = key.section;
            std::printf("Settings (misc/prefer.ini, section %s)\n", std::string(section).c_str());
        }
        std::printf("  %-20s %-6s %s\n", std::string(key.key).c_str(),
                    key.kind == SettingKind::Text ? "" : key.get(s).c_str(),
                    settingValueMeaning(key, s).c_str());
    }
    printDerived(loaded);
}

void printLists(const Loaded& loaded, const std::string& only = "") {
    const StationFolder& f = loaded.folder;
    const StationSettings& s = loaded.settings;
    if (only.empty() || only == "precopy") {
        printList("Pre-copy list", f.preCopyListFile(), s.preCopyList,
                  loaded.report.droppedPreCopy);
    }
    if (only.empty() || only == "hidden") {
        printList("Hidden-disk files", f.hideListFile(), s.record.HideFileList,
                  loaded.report.droppedHide);
    }
    if (only.empty() || only == "spi") {
        printList("SPI flash files", f.spiListFile(), s.record.SpiFileList,
                  loaded.report.droppedSpi);
    }
}

int runShow(const std::string& home) {
    const Loaded loaded = loadHome(home);
    printSettings(loaded);
    printLists(loaded);
    return kExitOk;
}

// Applies the edit and saves it at once; refused input ends with status 2.
SettingsEditResult applyNow(Loaded& loaded, const SettingsEdit& edit, const std::string& hint) {
    TerminalPrompt prompt;
    try {
        return applySettingsEdit(loaded.folder, loaded.settings, edit, prompt, kLanguageEnglish,
                                 SettingsSave::Now);
    } catch (const SettingsEditRefused& e) {
        throw BadInput(e.what() + hint);
    }
}

// A record database the station could not use would stop it at its next start: refused here.
void checkRecordDatabase(const std::string& name, const std::string& value) {
    const SettingKey* key = findSettingKey(name);
    if (key == nullptr || key->key != "RecordDatabase" || value.empty()) {
        return;
    }
    try {
        checkPostgresUrl(value);
    } catch (const RecordError& error) {
        throw BadInput(error.what());
    }
}

int runSet(const std::string& home, const std::vector<std::string>& assignments) {
    SettingsEdit edit;
    for (const std::string& assignment : assignments) {
        const std::size_t equals = assignment.find('=');
        if (equals == std::string::npos) {
            throw BadInput("\"" + assignment + "\" is not of the form KEY=VALUE");
        }
        edit.values.emplace_back(assignment.substr(0, equals), assignment.substr(equals + 1));
        checkRecordDatabase(edit.values.back().first, edit.values.back().second);
    }
    Loaded loaded = loadHome(home);
    // The runs write the label in the code page of the station's language.
    edit.runLanguage =
        languageSectionFor(
            languageChoiceFromId(readLanguageId(*openRegistryStore(loaded.folder.home().string()))),
            systemDefaultLangId())
            .iLanguage;
    const SettingsEditResult result = applyNow(
        loaded, edit, "; 'corvid-cli settings set --help' lists the keys and their values");
    int status = kExitOk;
    if (result.multiplierChanged && !result.multiplierWritten) {
        std::cerr << "corvid-cli settings: CapMultiplier " << loaded.settings.record.CapMultiplier
                  << " is saved in prefer.ini but was not written into a firmware file\n";
        status = kExitFailed;
    }
    // What the station will find at its next start.
    printSettings(loadHome(home));
    return status;
}

StationList listNamed(const std::string& which) {
    if (which == "precopy") {
        return StationList::PreCopy;
    }
    return which == "hidden" ? StationList::Hidden : StationList::Spi;
}

std::size_t parseIndex(const std::string& text) {
    std::size_t index = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), index);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
        throw BadInput("\"" + text + "\" is not an entry number of the list");
    }
    return index;
}

int runList(const std::string& home, const std::string& which, const std::string& action,
            const std::vector<std::string>& items) {
    if (action != "show" && items.empty()) {
        throw BadInput("'list " + which + " " + action + "' needs at least one " +
                       (action == "add" ? "path" : "index"));
    }
    if (action == "show" && !items.empty()) {
        throw BadInput("'list " + which + " show' takes no further arguments");
    }
    Loaded loaded = loadHome(home);
    if (action != "show") {
        SettingsEdit edit;
        ListEdit& change = edit.list(listNamed(which));
        for (const std::string& item : items) {
            if (action == "add") {
                // Full paths, as the window's file dialogs give them.
                std::error_code error;
                change.add.push_back(
                    std::filesystem::absolute(item, error).lexically_normal().string());
            } else {
                change.remove.push_back(parseIndex(item));
            }
        }
        const SettingsEditResult result = applyNow(loaded, edit, "");
        if (!result.longPaths.empty()) {
            std::cerr << english(FixedText::Warning) << ": "
                      << english(FixedText::LengthOfFilepathExceeds128);
            for (const std::string& path : result.longPaths) {
                std::cerr << "\n" << path;
            }
            std::cerr << "\n";
        }
        // What the station will find at its next start.
        loaded = loadHome(home);
    }
    printLists(loaded, which);
    if (which == "precopy") {
        printDerived(loaded);
    }
    return kExitOk;
}

// The keys 'set' takes, by section of prefer.ini, with the values each accepts.
std::string keysHelp() {
    std::string text = "Keys of misc/prefer.ini, compared without regard to case:";
    std::string_view section;
    for (const SettingKey& key : settingKeys()) {
        if (key.section != section) {
            section = key.section;
            text += "\n  section " + std::string(section);
        }
        std::string name(key.key);
        name.resize(std::max<std::size_t>(name.size() + 1, 20), ' ');
        text += "\n    " + name + settingRangeText(key) + "; " + std::string(key.meaning);
    }
    return text;
}

// Runs a subcommand's job and turns its errors into the exit status.
template <typename Job>
void runGuarded(int& exitStatus, Job job) {
    try {
        exitStatus = job();
    } catch (const BadInput& e) {
        std::cerr << "corvid-cli settings: " << e.what() << "\n";
        exitStatus = kExitBadInput;
    } catch (const SettingsError& e) {
        std::cerr << "corvid-cli settings: " << e.what() << "\n";
        exitStatus = kExitFailed;
    }
}

}  // namespace

void addSettingsCommand(CLI::App& app, int& exitStatus) {
    struct Options {
        std::string home;
        std::vector<std::string> assignments;
        std::string list;
        std::string action;
        std::vector<std::string> items;
    };
    // Owned by the callbacks, which live as long as the program's command tree.
    const auto options = std::make_shared<Options>();

    CLI::App* settings = app.add_subcommand(
        "settings",
        "Show and change the station's settings and file lists (saved as the window's "
        "close saves them)");
    settings->require_subcommand(1);
    settings->fallthrough();
    addHomeOption(*settings, options->home);

    settings
        ->add_subcommand(
            "show", "Print the effective settings, the derived values and the three file lists")
        ->callback([&exitStatus, options] {
            runGuarded(exitStatus, [&] { return runShow(options->home); });
        });

    CLI::App* set = settings->add_subcommand(
        "set", "Change settings by their prefer.ini key, for example: set Format=1 \"Label=DISK\"");
    set->add_option("KEY=VALUE", options->assignments, "A setting and its new value")->required();
    set->footer(keysHelp());
    set->callback([&exitStatus, options] {
        runGuarded(exitStatus, [&] { return runSet(options->home, options->assignments); });
    });

    CLI::App* list = settings->add_subcommand(
        "list",
        "Show or change a file list: list precopy|hidden|spi show|add PATH...|remove "
        "INDEX...");
    list->add_option("LIST", options->list, "precopy, hidden or spi")
        ->required()
        ->check(CLI::IsMember({"precopy", "hidden", "spi"}));
    list->add_option("ACTION", options->action, "show, add or remove")
        ->required()
        ->check(CLI::IsMember({"show", "add", "remove"}));
    list->add_option("ITEMS", options->items, "Paths to add, or list indices (from 0) to remove");
    list->callback([&exitStatus, options] {
        runGuarded(exitStatus, [&] {
            return runList(options->home, options->list, options->action, options->items);
        });
    });
}

}  // namespace corvid::cli
