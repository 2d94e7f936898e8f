#include "platform/text_file.h"

#include <atomic>
#include <stdexcept>
#include <system_error>

#include "platform/text_file_system.h"

namespace corvid {

namespace {

constexpr std::string_view kBomUtf16Le = "\xFF\xFE";
constexpr std::string_view kBomUtf16Be = "\xFE\xFF";
constexpr std::string_view kBomUtf8 = "\xEF\xBB\xBF";

// A name beside the target that no other writer, in this process or another, uses at once.
std::filesystem::path temporaryPathFor(const std::filesystem::path& path) {
    static std::atomic<unsigned> counter{0};
    const long pid = text_file_system::processId();
    std::filesystem::path temp = path;
    temp += ".tmp-" + std::to_string(pid) + "-" + std::to_string(counter++);
    return temp;
}

}  // namespace

std::runtime_error text_file_system::writeError(const std::filesystem::path& path,
                                                const std::string& why) {
    return std::runtime_error("cannot write the file " + path.string() + ": " + why);
}

void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes) {
    const std::filesystem::path temp = temporaryPathFor(path);
    try {
        text_file_system::writeAndFlush(temp, path, bytes);
        std::filesystem::rename(temp, path);
    } catch (const std::filesystem::filesystem_error& e) {
        std::error_code ignored;
        std::filesystem::remove(temp, ignored);
        throw text_file_system::writeError(path, e.code().message());
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
