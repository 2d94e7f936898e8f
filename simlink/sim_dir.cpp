#include "simlink/sim_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <system_error>

namespace corvid::simlink {

namespace fs = std::filesystem;

fs::path defaultSimDir() {
    if (const char* dir = std::getenv("CORVID_SIM_DIR"); dir != nullptr && *dir != '\0') {
        return dir;
    }
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        runtime != nullptr && *runtime != '\0') {
        return fs::path(runtime) / "corvid-devsim";
    }
    return fs::path("/tmp") / ("corvid-devsim-" + std::to_string(::getuid()));
}

fs::path controlSocketPath(const fs::path& simDir) {
    return simDir / "control.sock";
}

fs::path deviceSocketPath(const fs::path& simDir, char driveLetter) {
    return simDir / (std::string(1, driveLetter) + ".sock");
}

fs::path volumeLinkPath(const fs::path& simDir, char driveLetter) {
    return simDir / (std::string(1, driveLetter) + ".volume");
}

fs::path sectorSizePath(const fs::path& simDir, char driveLetter) {
    return simDir / (std::string(1, driveLetter) + ".sector");
}

fs::path defaultTracePath(const fs::path& simDir, char driveLetter) {
    return simDir / (std::string(1, driveLetter) + ".trace");
}

std::optional<char> letterOfSocketName(const fs::path& fileName) {
    const std::string name = fileName.string();
    if (name.size() == 6 && isDriveLetter(name[0]) && name.compare(1, 5, ".sock") == 0) {
        return name[0];
    }
    return std::nullopt;
}

std::optional<fs::path> simVolumePath(const fs::path& simDir, char driveLetter) {
    std::error_code error;
    fs::path target = fs::read_symlink(volumeLinkPath(simDir, driveLetter), error);
    if (!error && target.is_relative()) {
        target = simDir / target;
    }
    if (error || !fs::exists(target, error)) {
        return std::nullopt;
    }
    return target;
}

std::uint32_t simVolumeSectorSize(const fs::path& simDir, char driveLetter) {
    std::ifstream in(sectorSizePath(simDir, driveLetter));
    std::uint32_t size = 0;
    if (in >> size && (size == 512 || size == 1024 || size == 2048 || size == 4096)) {
        return size;
    }
    return 512;
}

std::optional<std::string> simDiskIdentity(const fs::path& simDir, char driveLetter) {
    struct stat status {};
    if (::stat(deviceSocketPath(simDir, driveLetter).c_str(), &status) != 0) {
        return std::nullopt;
    }
    return "socket " + std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino) + " " +
           std::to_string(status.st_ctim.tv_sec) + "." + std::to_string(status.st_ctim.tv_nsec);
}

}  // namespace corvid::simlink
