#include <process.h>

#include <fstream>
#include <iterator>

#include "platform/text_file.h"
#include "platform/text_file_system.h"

namespace corvid {

long text_file_system::processId() {
    return _getpid();
}

void text_file_system::writeAndFlush(const std::filesystem::path& temp,
                                     const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        throw writeError(path, "writing " + temp.string() + " failed");
    }
}

std::string readFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read the file " + path.string());
    }
    try {
        std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (!in.bad()) {
            return bytes;
        }
    } catch (const std::ios_base::failure&) {
        // A folder opens but does not read.
    }
    throw std::runtime_error("cannot read the file " + path.string());
}

}  // namespace corvid
