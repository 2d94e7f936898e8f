#include "apps/cli/station_home.h"

#include <cstdlib>
#include <system_error>

namespace corvid::cli {

void addHomeOption(CLI::App& command, std::string& home) {
    command.add_option("--home", home,
                       "Station folder (default: $CORVID_HOME, else the program's folder)");
}

std::filesystem::path resolveStationHome(const std::string& home) {
    if (!home.empty()) {
        return std::filesystem::absolute(home);
    }
    if (const char* env = std::getenv("CORVID_HOME"); env != nullptr && *env != '\0') {
        return std::filesystem::absolute(env);
    }
    std::error_code error;
    auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return std::filesystem::current_path();
    }
    return self.parent_path();
}

}  // namespace corvid::cli
