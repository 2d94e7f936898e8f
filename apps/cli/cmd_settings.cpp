// corvid-cli settings: shows and changes the station's settings and file lists, as the window
// loads and saves them, for stations without a screen.

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "apps/cli/commands.h"
#include "apps/cli/station_home.h"
#include "station/capacity_multiplier.h"
#include "station/disk_feature.h"
#include "station/firmware_picks.h"
#include "station/messages.h"
#include "station/operator_prompt.h"
#include "station/setting_keys.h"
#include "station/settings_files.h"

namespace corvid::cli {

namespace {

// Longer paths are kept, but the operator is warned, as the window does.
constexpr std::size_t kLongPath = 128;
constexpr int kRowLongPath = 41;  // "Length of Filepath exceeds 128!"
constexpr int kRowWarning = 26;
constexpr int kRowNormal = 14;
constexpr int kRowEncryptedDisk = 15;
constexpr int kRowHiddenDisk = 16;
constexpr int kRowDefault = 38;
constexpr int kRowDegrade = 49;  // then "Show Error", "Do not care"

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

std::string onOff(bool value) {
    return value ? "on" : "off";
}
std::string english(int row) {
    return std::string(fixedText(row, kLanguageEnglish));
}
std::string option(OptionTable table, int row) {
    const std::string_view name = optionName(table, row, kLanguageEnglish);
    return name.empty() ? "not a listed choice" : std::string(name);
}
std::string shown(const std::string& text) {
    return text.empty() ? "(empty)" : text;
}

std::string splitName(DeviceFeature feature) {
    switch (feature) {
        case DeviceFeature::Normal:
            return english(kRowNormal);
        case DeviceFeature::Encrypted:
            return english(kRowEncryptedDisk);
        case DeviceFeature::Hidden:
            return english(kRowHiddenDisk);
    }
    return "not a listed split";
}

using Meaning = std::string (*)(const StationSettings& s);

// What each stored value means, in English.
const std::map<std::string_view, Meaning> kMeanings = {
    {"Format",
     [](const StationSettings& s) {
         return "format the disk after the downloads: " + onOff(s.chkFormat);
     }},
    {"Blanking check",
     [](const StationSettings& s) {
         return "blanking check (bad-block scan): " + onOff(s.chkBlankCheck);
     }},
    {"FwUpgrade",
     [](const StationSettings& s) { return "write the firmware: " + onOff(s.chkFwUpgrade); }},
    {"ISO upgrade",
     [](const StationSettings& s) {
         return "write the CD-ROM image image.iso: " + onOff(s.chkISOupgrade);
     }},
    {"Manual Upgrade",
     [](const StationSettings& s) {
         return "wait for Start Upgrade: " + onOff(s.CheckManuupgrade);
     }},
    {"System Area check",
     [](const StationSettings& s) { return "fixed system area size: " + onOff(s.SystemAreachk); }},
    {"System Area Size",
     [](const StationSettings& s) {
         return s.SystemAreaComBo < 0 ? std::string("no size chosen")
                                      : std::to_string(systemAreaItemMiB(s.SystemAreaComBo)) +
                                            "MB, used while System Area check is on";
     }},
    {"Label", [](const StationSettings& s) { return "volume label " + shown(s.LabelEdit); }},
    {"FwParityCheck",
     [](const StationSettings& s) { return "firmware parity check: " + onOff(s.chkParityCheck); }},
    {"CapMultiplier",
     [](const StationSettings& s) {
         const int index = s.record.CapMultiplier;
         return index >= 0 && index < kCapMultiplierCount
                    ? "capacity multiplier x" + std::to_string(kCapMultipliers[index])
                    : std::string("no valid multiplier");
     }},
    {"iScanLevel",
     [](const StationSettings& s) {
         // The settings dialog shows any other value as the last level.
         const auto level = static_cast<unsigned>(s.record.iScanLevel);
         return option(OptionTable::ScanLevels, level > 3 ? 4 : static_cast<int>(level));
     }},
    {"iPageSkip", [](const StationSettings&) { return std::string("pages skipped in the scan"); }},
    {"iEccLevel",
     [](const StationSettings& s) {
         const int item = s.record.iEccLevel;
         return item == 0               ? english(kRowDefault)
                : item > 0 && item <= 7 ? "ECC level " + std::to_string(item - 1)
                                        : std::string("not a listed choice");
     }},
    {"iBadThreshold",
     [](const StationSettings&) {
         return std::string("% bad blocks that force a blanking check");
     }},
    {"eDeviceFeature", [](const StationSettings& s) { return splitName(s.record.eDeviceFeature); }},
    {"iHideDiskRatio",
     [](const StationSettings&) {
         return std::string("% of the capacity for the hidden or encrypted part");
     }},
    {"sHideDiskLabel",
     [](const StationSettings& s) {
         return "hidden disk label " + shown(s.record.sHideDiskLabel);
     }},
    {"bUseImgFile",
     [](const StationSettings& s) {
         return std::string(s.record.bUseImgFile ? "hidden disk from ImageFile"
                                                 : "hidden disk from its file list");
     }},
    {"ImageFile",
     [](const StationSettings& s) { return "hidden-disk image " + shown(s.record.ImageFile); }},
    {"SaveSpiImage",
     [](const StationSettings& s) {
         return "save the NOR flash to NorImage.bin: " + onOff(s.record.SaveSpiImage);
     }},
    {"AllowErrorRate",
     [](const StationSettings&) { return std::string("% capacity shortfall allowed"); }},
    {"DealCapError",
     [](const StationSettings& s) {
         const int deal = static_cast<int>(s.record.DealCapError);
         return deal <= 2 ? english(kRowDegrade + deal) : std::string("not a listed choice");
     }},
    {"PageMode",
     [](const StationSettings& s) { return "special scan: " + onOff(s.record.PageMode); }},
    {"PageModeSel",
     [](const StationSettings& s) { return option(OptionTable::PageModes, s.record.PageModeSel); }},
};

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
    std::printf("Settings (misc/prefer.ini, section %s)\n", kPreferSection);
    for (const SettingKey& key : settingKeys()) {
        std::printf("  %-20s %-6s %s\n", std::string(key.key).c_str(),
                    key.kind == SettingKind::Text ? "" : key.get(s).c_str(),
                    kMeanings.at(key.key)(s).c_str());
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

int runSet(const std::string& home, const std::vector<std::string>& assignments) {
    Loaded loaded = loadHome(home);
    StationSettings& s = loaded.settings;
    const std::int32_t oldMultiplier = s.record.CapMultiplier;
    for (const std::string& assignment : assignments) {
        const std::size_t equals = assignment.find('=');
        if (equals == std::string::npos) {
            throw BadInput("\"" + assignment + "\" is not of the form KEY=VALUE");
        }
        const std::string keyName = assignment.substr(0, equals);
        const SettingKey* key = findSettingKey(keyName);
        if (key == nullptr) {
            throw BadInput("\"" + keyName +
                           "\" is not a setting; 'corvid-cli settings show' lists the keys");
        }
        try {
            setSettingValue(s, *key, assignment.substr(equals + 1));
        } catch (const SettingsError& e) {
            throw BadInput(e.what());
        }
    }
    try {
        checkSettingCombination(s);
    } catch (const SettingsError& e) {
        throw BadInput(e.what());
    }

    // As the settings dialog's Apply: a changed multiplier goes into the firmware file too,
    // which otherwise would override it at the next start.
    int status = 0;
    if (s.record.CapMultiplier != oldMultiplier) {
        TerminalPrompt prompt;
        if (!writeCapMultiplierToFirmware(s.preCopyList, loaded.folder, s.record.CapMultiplier,
                                          prompt, kLanguageEnglish)) {
            std::cerr << "corvid-cli settings: CapMultiplier " << s.record.CapMultiplier
                      << " is saved in prefer.ini but was not written into a firmware file\n";
            status = kExitFailed;
        }
    }
    saveStationSettings(loaded.folder, loaded.settings);
    // What the station will find at its next start.
    printSettings(loadHome(home));
    return status;
}

FileList& listOf(StationSettings& s, const std::string& which) {
    if (which == "precopy")
        return s.preCopyList;
    if (which == "hidden")
        return s.record.HideFileList;
    return s.record.SpiFileList;
}

std::size_t parseIndex(const std::string& text, std::size_t count) {
    std::size_t index = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), index);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || index >= count) {
        throw BadInput("\"" + text + "\" is not an entry of the list (0 to " +
                       std::to_string(count == 0 ? 0 : count - 1) +
                       (count == 0 ? ", the list is empty)" : ")"));
    }
    return index;
}

void addEntries(FileList& list, const std::string& which, const std::vector<std::string>& paths) {
    std::vector<std::string> added;
    std::vector<std::string> longPaths;
    for (const std::string& path : paths) {
        std::error_code error;
        const std::filesystem::path full =
            std::filesystem::absolute(path, error).lexically_normal();
        const bool folder = std::filesystem::is_directory(full, error);
        const bool file = std::filesystem::is_regular_file(full, error);
        if (which == "spi" ? !file : !(file || folder)) {
            throw BadInput(path +
                           (which == "spi" ? " is not a file" : " is neither a file nor a folder"));
        }
        added.push_back(full.string());
        if (added.back().size() > kLongPath) {
            longPaths.push_back(added.back());
        }
    }
    list.insert(list.end(), added.begin(), added.end());
    if (!longPaths.empty()) {
        std::cerr << english(kRowWarning) << ": " << english(kRowLongPath);
        for (const std::string& path : longPaths) {
            std::cerr << "\n" << path;
        }
        std::cerr << "\n";
    }
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
    StationSettings& s = loaded.settings;
    FileList& list = listOf(s, which);
    if (action == "add") {
        addEntries(list, which, items);
    } else if (action == "remove") {
        std::set<std::size_t> indices;
        for (const std::string& item : items) {
            indices.insert(parseIndex(item, list.size()));
        }
        for (auto it = indices.rbegin(); it != indices.rend(); ++it) {
            list.erase(list.begin() + static_cast<std::ptrdiff_t>(*it));
        }
    }
    if (action != "show") {
        // As the window's "Add files..." and "Remove".
        if (which == "precopy" && action == "add") {
            readCapMultiplierFromFirmware(s, loaded.folder);
        }
        recomputeFirmwarePicks(s, loaded.folder);
        saveStationSettings(loaded.folder, loaded.settings);
        // What the station will find at its next start.
        loaded = loadHome(home);
    }
    printLists(loaded, which);
    if (which == "precopy") {
        printDerived(loaded);
    }
    return kExitOk;
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
