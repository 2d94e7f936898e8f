#include "image/short_name.h"

#include <algorithm>

#include "image/unicode_text.h"
#include "platform/ascii_text.h"

namespace corvid {

namespace {

constexpr std::size_t kNameBytes = 8;
constexpr std::size_t kExtensionBytes = 3;
constexpr std::size_t kMaxLongNameUnits = 255;
// The FAT standard's stand-in for a first byte 0xE5, which would mark the entry as free.
constexpr std::uint8_t kDeletedMark = 0xE5;
constexpr std::uint8_t kDeletedMarkStandIn = 0x05;

// Characters that no Windows file name holds.
bool isForbiddenInLongName(char32_t c) {
    return c < 0x20 || c == '"' || c == '*' || c == '/' || c == ':' || c == '<' || c == '>' ||
           c == '?' || c == '\\' || c == '|';
}

// Characters a long name may hold but an 8.3 name may not; the alias takes '_' for them.
bool isForbiddenInShortName(char32_t c) {
    return c == '+' || c == ',' || c == ';' || c == '=' || c == '[' || c == ']';
}

// The longest start of 'text' of at most 'limit' bytes that does not cut a two-byte character.
std::string_view cutAt(std::string_view text, std::size_t limit, const ShortNameCodePage& cp) {
    std::size_t end = 0;
    while (end < text.size()) {
        const std::size_t step =
            isLeadByte(cp, static_cast<unsigned char>(text[end])) && end + 1 < text.size() ? 2 : 1;
        if (end + step > limit) {
            break;
        }
        end += step;
    }
    return text.substr(0, end);
}

// The alias form. A name that is no valid 8.3 name gets, in its folder, the first of these that
// no other name there holds:
//   1. the first six bytes of its base and ~1, ~2, ~3, ~4 ("LONGFI~1.HTM" for
//      "Long File Name.html");
//   2. the first two bytes of its base, four upper-case hex digits of longNameHash() over the
//      long name and ~1, ~2 ... ("LO1CEC~1.HTM"); from ~10 on, the base gives up a byte for
//      each digit more;
//   3. should all of those be held (names made to collide in the hash), the first form again
//      from ~5 on.
// The base is the name before its last dot with blanks and dots dropped, characters an 8.3 name
// cannot hold as '_' and letters in upper case; the extension is the first three characters
// after the last dot. A double-byte character is never cut. Each candidate is one look-up in the
// folder's set of names, so a name costs the same however many share its start, and an alias
// depends only on the names before it in the folder.
constexpr unsigned kPlainTails = 4;
constexpr std::size_t kHashDigits = 4;

// FNV-1a over the UTF-16 units of the long name, as given (case kept), folded to 16 bits.
std::uint16_t longNameHash(std::u16string_view longName) {
    std::uint32_t hash = 2166136261u;
    for (const char16_t unit : longName) {
        hash ^= static_cast<std::uint32_t>(unit);
        hash *= 16777619u;
    }
    return static_cast<std::uint16_t>((hash >> 16) ^ (hash & 0xFFFFu));
}

std::string hexOf(std::uint16_t value) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out(kHashDigits, '0');
    for (std::size_t i = 0; i < kHashDigits; ++i) {
        out[kHashDigits - 1 - i] = kDigits[(value >> (4 * i)) & 0xF];
    }
    return out;
}

}  // namespace

bool isLeadByte(const ShortNameCodePage& codePage, unsigned char byte) {
    return codePage.has_value() && (*codePage == CodePage::Gbk || *codePage == CodePage::Big5) &&
           byte >= 0x81 && byte <= 0xFE;
}

std::string upperCaseShortName(std::string_view name, const ShortNameCodePage& codePage) {
    std::string out(name);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const auto c = static_cast<unsigned char>(out[i]);
        if (isLeadByte(codePage, c)) {
            ++i;  // the trail byte stays as it is
        } else {
            out[i] = asciiUpper(out[i]);
        }
    }
    return out;
}

std::vector<std::string_view> splitShortPath(std::string_view path,
                                             const ShortNameCodePage& codePage) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i < path.size(); ++i) {
        const auto c = static_cast<unsigned char>(path[i]);
        if (isLeadByte(codePage, c)) {
            ++i;
        } else if (c == '\\') {
            parts.push_back(path.substr(start, i - start));
            start = i + 1;
        }
    }
    parts.push_back(path.substr(start));
    return parts;
}

std::optional<ShortName11> splitShortName(std::string_view text,
                                          const ShortNameCodePage& codePage) {
    const std::string upper = upperCaseShortName(text, codePage);
    std::size_t dot = std::string::npos;
    for (std::size_t i = 0; i < upper.size(); ++i) {
        const auto c = static_cast<unsigned char>(upper[i]);
        if (isLeadByte(codePage, c)) {
            ++i;
        } else if (c == '.') {
            if (dot != std::string::npos) {
                return std::nullopt;
            }
            dot = i;
        }
    }
    const std::string_view name = std::string_view(upper).substr(0, dot);
    const std::string_view extension =
        dot == std::string::npos ? std::string_view() : std::string_view(upper).substr(dot + 1);
    if (name.empty() || name.size() > kNameBytes || extension.size() > kExtensionBytes) {
        return std::nullopt;
    }
    ShortName11 out;
    out.fill(' ');
    std::copy(name.begin(), name.end(), out.begin());
    std::copy(extension.begin(), extension.end(), out.begin() + kNameBytes);
    if (out[0] == kDeletedMark) {
        out[0] = kDeletedMarkStandIn;
    }
    return out;
}

bool ShortNameGenerator::isValidLongName(std::u16string_view longName) {
    if (longName.empty() || longName.size() > kMaxLongNameUnits) {
        return false;
    }
    const auto points = codePointsOf(longName);
    if (!points) {
        return false;
    }
    if (std::any_of(points->begin(), points->end(), isForbiddenInLongName)) {
        return false;
    }
    const char32_t last = points->back();
    if (last == ' ' || last == '.') {
        return false;
    }
    return std::any_of(points->begin(), points->end(),
                       [](char32_t c) { return c != '.' && c != ' '; });
}

std::optional<std::string> ShortNameGenerator::encode(char32_t c) const {
    if (c < 0x80) {
        return std::string(1, static_cast<char>(c));
    }
    if (!codePage_) {
        return std::nullopt;
    }
    try {
        std::string bytes = fromUtf8(utf8Of(c), *codePage_);
        if (bytes.empty() || bytes.size() > 2) {
            return std::nullopt;
        }
        return bytes;
    } catch (const CodePageError&) {
        return std::nullopt;
    }
}

bool ShortNameGenerator::claim(const std::string& text) {
    return taken_.insert(text).second;
}

std::optional<std::string> ShortNameGenerator::validShortName(std::u16string_view longName) const {
    const std::u32string points = *codePointsOf(longName);
    // Every character takes a byte at least: more than 8 + 1 + 3 never fit.
    if (points.front() == '.' || points.size() > kNameBytes + 1 + kExtensionBytes) {
        return std::nullopt;
    }
    std::string text;
    for (char32_t c : points) {
        if (c == ' ' || isForbiddenInShortName(c)) {
            return std::nullopt;
        }
        const auto bytes = encode(c);
        if (!bytes) {
            return std::nullopt;
        }
        text += *bytes;
    }
    if (!splitShortName(text, codePage_)) {
        return std::nullopt;
    }
    return upperCaseShortName(text, codePage_);
}

std::vector<std::optional<std::string>> ShortNameGenerator::aliases(
    const std::vector<std::u16string>& names) {
    std::vector<std::optional<std::string>> out(names.size());
    std::vector<bool> done(names.size(), false);
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!isValidLongName(names[i])) {
            done[i] = true;
            continue;
        }
        auto plain = validShortName(names[i]);
        if (plain && claim(*plain)) {
            out[i] = std::move(plain);
            done[i] = true;
        }
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!done[i]) {
            out[i] = generated(names[i]);
        }
    }
    return out;
}

std::optional<std::string> ShortNameGenerator::alias(std::u16string_view longName) {
    if (!isValidLongName(longName)) {
        return std::nullopt;
    }
    auto plain = validShortName(longName);
    if (plain && claim(*plain)) {
        return plain;
    }
    return generated(longName);
}

std::optional<std::string> ShortNameGenerator::generated(std::u16string_view longName) {
    const std::u32string points = *codePointsOf(longName);

    // Leading dots go, the last dot separates the extension, blanks and other dots are dropped,
    // characters an 8.3 name cannot hold become '_'.
    std::size_t begin = 0;
    while (begin < points.size() && points[begin] == '.') {
        ++begin;
    }
    std::size_t lastDot = points.size();
    for (std::size_t i = points.size(); i > begin; --i) {
        if (points[i - 1] == '.') {
            lastDot = i - 1;
            break;
        }
    }
    const auto clean = [&](std::size_t from, std::size_t to, std::size_t limit) {
        std::string out;
        for (std::size_t i = from; i < to; ++i) {
            const char32_t c = points[i];
            if (c == ' ' || c == '.') {
                continue;
            }
            std::string bytes;
            if (isForbiddenInShortName(c)) {
                bytes = "_";
            } else {
                bytes = encode(c).value_or("_");
            }
            if (out.size() + bytes.size() > limit) {
                break;
            }
            out += bytes;
        }
        return upperCaseShortName(out, codePage_);
    };
    std::string base = clean(begin, lastDot, kNameBytes);
    const std::string extension =
        lastDot < points.size() ? clean(lastDot + 1, points.size(), kExtensionBytes) : "";
    if (base.empty()) {
        base = "_";
    }

    const auto withTail = [&](std::string_view stem, unsigned number) {
        std::string candidate = std::string(stem) + "~" + std::to_string(number);
        if (!extension.empty()) {
            candidate += "." + extension;
        }
        return candidate;
    };
    // ~1 to ~4 on the first six bytes of the base.
    for (unsigned number = 1; number <= kPlainTails; ++number) {
        std::string candidate = withTail(cutAt(base, 6, codePage_), number);
        if (claim(candidate)) {
            return candidate;
        }
    }
    // Then the hashed form: the first two bytes of the base and four hex digits of the name's
    // hash, ~1 and up; a longer tail takes the room of the base's bytes.
    const std::string hash = hexOf(longNameHash(longName));
    for (unsigned number = 1; number < 1000; ++number) {
        const std::size_t tailBytes = std::to_string(number).size() + 1;
        const std::size_t room = kNameBytes - kHashDigits - tailBytes;
        std::string candidate = withTail(
            std::string(cutAt(base, std::min<std::size_t>(2, room), codePage_)) + hash, number);
        if (claim(candidate)) {
            return candidate;
        }
    }
    // Only names made to collide in the hash get here: the plain form, counted on.
    for (unsigned number = kPlainTails + 1; number < 1000000; ++number) {
        const std::size_t tailBytes = std::to_string(number).size() + 1;
        std::string candidate = withTail(
            cutAt(base, std::min<std::size_t>(6, kNameBytes - tailBytes), codePage_), number);
        if (claim(candidate)) {
            return candidate;
        }
    }
    return std::nullopt;
}

}  // namespace corvid
