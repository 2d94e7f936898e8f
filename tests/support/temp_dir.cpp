#include "tests/support/temp_dir.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace corvid::test {

TempDir::TempDir(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a temporary folder " + pattern + ": " +
                                 std::strerror(errno));
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace corvid::test
