#include "tests/support/temp_dir.h"

#include <random>
#include <stdexcept>
#include <system_error>

namespace corvid::test {

TempDir::TempDir(const std::string& prefix) {
    // A random name made anew until one is free: create_directory makes it only when nothing of
    // that name exists, so two tests never share a folder (mkdtemp's rule, on every system).
    const std::filesystem::path parent = std::filesystem::temp_directory_path();
    std::random_device source;
    static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::error_code error;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = prefix + "-";
        for (int i = 0; i < 8; ++i) {
            name += kDigits[source() % (sizeof kDigits - 1)];
        }
        const std::filesystem::path candidate = parent / name;
        if (std::filesystem::create_directory(candidate, error)) {
            path_ = candidate;
            return;
        }
        if (error) {
            throw std::runtime_error("cannot make a temporary folder " + candidate.string() + ": " +
                                     error.message());
        }
    }
    throw std::runtime_error("cannot make a temporary folder in " + parent.string() +
                             ": every name tried was taken");
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace corvid::test
