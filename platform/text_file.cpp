#include "platform/text_file.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

#ifdef _WIN32
#include <process.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace corvid {

namespace {

constexpr std::string_view kBomUtf16Le = "\xFF\xFE";
constexpr std::string_view kBomUtf16Be = "\xFE\xFF";
constexpr std::string_view kBomUtf8 = "\xEF\xBB\xBF";

std::runtime_error writeError(const std::filesystem::path& path, const std::string& why) {
    return std::runtime_error("cannot write the file " + path.string() + ": " + why);
}

// A name beside the target that no other writer, in this process or another, uses at once.
std::filesystem::path temporaryPathFor(const std::filesystem::path& path) {
    static std::atomic<unsigned> counter{0};
#ifdef _WIN32
    const long pid = _getpid();
#else
    const long pid = static_cast<long>(getpid());
#endif
    std::filesystem::path temp = path;
    temp += ".tmp-" + std::to_string(pid) + "-" + std::to_string(counter++);
    return temp;
}

#ifdef _WIN32
void writeAndFlush(const std::filesystem::path& temp, const std::filesystem::path& path,
                   std::string_view bytes) {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        throw writeError(path, "writing " + temp.string() + " failed");
    }
}
#else
void writeAndFlush(const std::filesystem::path& temp, const std::filesystem::path& path,
                   std::string_view bytes) {
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        throw writeError(path, std::strerror(errno));
    }
    // Keep the permissions the operator gave the old file.
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0) {
        ::fchmod(fd, old.st_mode & 07777);
    }
    const char* data = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const int error = errno;
            ::close(fd);
            throw writeError(path, std::strerror(error));
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        throw writeError(path, std::strerror(errno));
    }
}
#endif

}  // namespace

#ifdef _WIN32
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
#else
std::string readFileBytes(const std::filesystem::path& path) {
    // Close-on-exec: a program another worker starts meanwhile must not inherit the file (a
    // stream of the standard library cannot ask for that).
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw std::runtime_error("cannot read the file " + path.string() + ": " +
                                 std::strerror(errno));
    }
    std::string bytes;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            // A folder opens but does not read.
            const int error = errno;
            ::close(fd);
            throw std::runtime_error("cannot read the file " + path.string() + ": " +
                                     std::strerror(error));
        }
        if (n == 0) {
            break;
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return bytes;
}
#endif

void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes) {
    const std::filesystem::path temp = temporaryPathFor(path);
    try {
        writeAndFlush(temp, path, bytes);
        std::filesystem::rename(temp, path);
    } catch (const std::filesystem::filesystem_error& e) {
        std::error_code ignored;
        std::filesystem::remove(temp, ignored);
        throw writeError(path, e.code().message());
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove(temp, ignored);
        throw;
    }
}

std::vector<std::string> decodeTextLines(std::string_view bytes, CodePage ansiCodePage) {
    std::string text;
    if (bytes.starts_with(kBomUtf16Le)) {
        text = toUtf8(bytes.substr(kBomUtf16Le.size()), CodePage::Utf16Le);
    } else if (bytes.starts_with(kBomUtf16Be)) {
        text = toUtf8(bytes.substr(kBomUtf16Be.size()), CodePage::Utf16Be);
    } else if (bytes.starts_with(kBomUtf8)) {
        text = toUtf8(bytes.substr(kBomUtf8.size()), CodePage::Utf8);
    } else {
        text = toUtf8(bytes, ansiCodePage);
    }

    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start =
            end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
    }
    return lines;
}

std::string encodeUtf16LeLines(const std::vector<std::string>& lines) {
    std::string utf8;
    for (const std::string& line : lines) {
        utf8 += line;
        utf8 += "\r\n";
    }
    return std::string(kBomUtf16Le) + fromUtf8(utf8, CodePage::Utf16Le);
}

std::vector<std::string> readTextLines(const std::filesystem::path& path, CodePage ansiCodePage) {
    const std::string bytes = readFileBytes(path);
    try {
        return decodeTextLines(bytes, ansiCodePage);
    } catch (const CodePageError& e) {
        throw CodePageError("the file " + path.string() + " cannot be read as text: " + e.what());
    }
}

void writeUtf16LeLines(const std::filesystem::path& path, const std::vector<std::string>& lines) {
    writeFileAtomically(path, encodeUtf16LeLines(lines));
}

}  // namespace corvid
