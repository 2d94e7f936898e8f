#include "platform/hidden_file.h"

namespace corvid {

bool isHiddenEntry(const std::filesystem::path& path) {
    const std::filesystem::path name = path.filename();
    return !name.empty() && name.native().front() == '.';
}

}  // namespace corvid
