#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/code_page.h"

namespace corvid {

// The whole file as bytes. Throws std::runtime_error naming the file when it cannot be read.
std::string readFileBytes(const std::filesystem::path& path);

// Replaces the file's contents so that a crash leaves either the old or the new file, never a
// part: the bytes go to a temporary file beside it, which is flushed to disk and renamed over it.
// The file keeps its permissions. Throws std::runtime_error naming the file on failure.
void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes);

// Text lines as UTF-8. A byte-order mark picks the encoding (FF FE UTF-16LE, FE FF UTF-16BE,
// EF BB BF UTF-8); without one the text is in 'ansiCodePage'. Lines end at CR LF, CR or LF; a
// line end at the very end of the text adds no empty line. Throws CodePageError for bytes that
// do not convert.
std::vector<std::string> decodeTextLines(std::string_view bytes, CodePage ansiCodePage);

// The UTF-8 lines as UTF-16LE text: the byte-order mark FF FE, then each line followed by CR LF.
std::string encodeUtf16LeLines(const std::vector<std::string>& lines);

// File forms of the two above.
std::vector<std::string> readTextLines(const std::filesystem::path& path, CodePage ansiCodePage);
void writeUtf16LeLines(const std::filesystem::path& path, const std::vector<std::string>& lines);

}  // namespace corvid
