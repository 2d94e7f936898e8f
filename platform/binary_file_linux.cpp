#include <sys/types.h>

#include "platform/binary_file.h"

namespace corvid {

std::FILE* openBinaryFile(const std::filesystem::path::value_type* nativePath) {
    return std::fopen(nativePath, "rb");
}

bool seekBinaryFile(std::FILE* file, std::uint64_t offset, int origin) {
    return ::fseeko(file, static_cast<off_t>(offset), origin) == 0;
}

std::optional<std::uint64_t> binaryFilePosition(std::FILE* file) {
    const off_t position = ::ftello(file);
    if (position < 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(position);
}

}  // namespace corvid
