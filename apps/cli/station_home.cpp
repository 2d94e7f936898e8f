#include "apps/cli/station_home.h"

#include <cstdlib>
#include <system_error>

namespace corvid::cli {

namespace {

const char* nonEmptyVariable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

}  // namespace

void addHomeOption(CLI::App& command, std::string& home) {
    command.add_option("--home", home,
                       "Station folder (default: $CORVID_HOME, else $XDG_DATA_HOME/corvid, else "
                       "~/.local/share/corvid)");
}

bool stationHomeNamed(const std::string& home) {
    return !home.empty() || nonEmptyVariable("CORVID_HOME") != nullptr;
}

std::filesystem::path defaultStationHome() {
    // A relative XDG_DATA_HOME is to be ignored, as the base directory rules say.
    if (const char* data = nonEmptyVariable("XDG_DATA_HOME");
        data != nullptr && std::filesystem::path(data).is_absolute()) {
        return std::filesystem::path(data) / "corvid";
    }
    if (const char* user = nonEmptyVariable("HOME")) {
        return std::filesystem::path(user) / ".local" / "share" / "corvid";
    }
    std::error_code error;
    return std::filesystem::current_path(error) / "corvid";
}

std::filesystem::path resolveStationHome(const std::string& home) {
    if (!home.empty()) {
        return std::filesystem::absolute(home);
    }
    if (const char* env = nonEmptyVariable("CORVID_HOME")) {
        return std::filesystem::absolute(env);
    }
    return defaultStationHome();
}

}  // namespace corvid::cli
