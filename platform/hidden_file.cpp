#include "platform/hidden_file.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace corvid {

bool isHiddenEntry(const std::filesystem::path& path) {
#ifdef _WIN32
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_HIDDEN) != 0;
#else
    const std::filesystem::path name = path.filename();
    return !name.empty() && name.native().front() == '.';
#endif
}

}  // namespace corvid
