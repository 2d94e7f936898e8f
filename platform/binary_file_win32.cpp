#include <stdio.h>

#include "platform/binary_file.h"

namespace corvid {

std::FILE* openBinaryFile(const std::filesystem::path::value_type* nativePath) {
    return _wfopen(nativePath, L"rb");
}

bool seekBinaryFile(std::FILE* file, std::uint64_t offset, int origin) {
    return _fseeki64(file, static_cast<long long>(offset), origin) == 0;
}

std::optional<std::uint64_t> binaryFilePosition(std::FILE* file) {
    const long long position = _ftelli64(file);
    if (position < 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(position);
}

}  // namespace corvid
