#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace corvid {

// Conversions for the names of an image build, done once per file name, so they are kept free of
// per-call set-up.

// Strict UTF-8 to UTF-16; nothing for bytes that are not UTF-8 (overlong forms, surrogates,
// values beyond U+10FFFF, cut sequences).
std::optional<std::u16string> utf16FromUtf8(std::string_view utf8);

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string utf8FromUtf16(std::u16string_view utf16);

// The code points of a UTF-16 text; nothing for a lone surrogate.
std::optional<std::u32string> codePointsOf(std::u16string_view utf16);

// One code point as UTF-8.
std::string utf8Of(char32_t codePoint);

}  // namespace corvid
