#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace corvid {

enum class CodePage { Utf8, Utf16Le, Utf16Be, Big5, Gbk };

// Windows code page numbers: 950 (Big5), 936 (GBK).
inline constexpr int kCodePageBig5 = 950;
inline constexpr int kCodePageGbk = 936;

class CodePageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A name for messages, e.g. "Big5 (code page 950)".
std::string codePageName(CodePage codePage);

// Converts bytes between code pages. Throws CodePageError, naming the code page and the offset of
// the first byte that does not convert.
std::string convertCodePage(std::string_view bytes, CodePage from, CodePage to);

inline std::string toUtf8(std::string_view bytes, CodePage from) {
    return convertCodePage(bytes, from, CodePage::Utf8);
}
inline std::string fromUtf8(std::string_view utf8, CodePage to) {
    return convertCodePage(utf8, CodePage::Utf8, to);
}

}  // namespace corvid
