#include "platform/code_page.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace corvid {

namespace {

// The text as UTF-16 code units, with the offset in the source bytes where each unit's character
// starts (for the messages of a character the target cannot hold).
struct WideText {
    std::wstring units;
    std::vector<std::size_t> starts;

    void add(const wchar_t* characters, int count, std::size_t start) {
        for (int i = 0; i < count; ++i) {
            units.push_back(characters[i]);
            starts.push_back(start);
        }
    }
};

UINT windowsCodePage(CodePage codePage) {
    switch (codePage) {
        case CodePage::Utf8:
            return CP_UTF8;
        case CodePage::Big5:
            return kCodePageBig5;
        case CodePage::Gbk:
            return kCodePageGbk;
        case CodePage::Utf16Le:
        case CodePage::Utf16Be:
            break;
    }
    throw CodePageError("no Windows code page is " + codePageName(codePage));
}

bool isHighSurrogate(std::uint32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool isLowSurrogate(std::uint32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

CodePageError badSequence(CodePage from, CodePage to, std::size_t offset) {
    return CodePageError("the " + codePageName(from) + " text has a byte sequence at offset " +
                         std::to_string(offset) + " that does not convert to " + codePageName(to));
}

CodePageError incomplete(CodePage from, std::size_t offset) {
    return CodePageError("the " + codePageName(from) + " text ends in an incomplete character at " +
                         "offset " + std::to_string(offset));
}

WideText decodeUtf16(std::string_view bytes, CodePage from, CodePage to) {
    const bool little = from == CodePage::Utf16Le;
    const auto unitAt = [&](std::size_t offset) {
        const auto first = static_cast<unsigned char>(bytes[offset]);
        const auto second = static_cast<unsigned char>(bytes[offset + 1]);
        return static_cast<std::uint32_t>(little ? first | second << 8 : second | first << 8);
    };
    WideText text;
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        if (bytes.size() - offset < 2) {
            throw incomplete(from, offset);
        }
        const std::uint32_t unit = unitAt(offset);
        if (isLowSurrogate(unit)) {
            throw badSequence(from, to, offset);
        }
        if (!isHighSurrogate(unit)) {
            const wchar_t one = static_cast<wchar_t>(unit);
            text.add(&one, 1, offset);
            offset += 2;
            continue;
        }
        if (bytes.size() - offset < 4) {
            throw incomplete(from, offset);
        }
        const std::uint32_t low = unitAt(offset + 2);
        if (!isLowSurrogate(low)) {
            throw badSequence(from, to, offset);
        }
        const wchar_t pair[] = {static_cast<wchar_t>(unit), static_cast<wchar_t>(low)};
        text.add(pair, 2, offset);
        offset += 4;
    }
    return text;
}

// How many bytes the character starting with 'lead' takes; 0 for a byte no character starts with.
std::size_t characterLength(UINT codePage, unsigned char lead) {
    if (codePage != CP_UTF8) {
        return IsDBCSLeadByteEx(codePage, lead) ? 2 : 1;
    }
    if (lead < 0x80) {
        return 1;
    }
    if ((lead & 0xE0) == 0xC0) {
        return 2;
    }
    if ((lead & 0xF0) == 0xE0) {
        return 3;
    }
    if ((lead & 0xF8) == 0xF0) {
        return 4;
    }
    return 0;
}

// One character at a time, so a byte sequence that does not convert is named by its offset.
WideText decodeMultiByte(std::string_view bytes, CodePage from, CodePage to) {
    const UINT codePage = windowsCodePage(from);
    WideText text;
    text.units.reserve(bytes.size());
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        const std::size_t length =
            characterLength(codePage, static_cast<unsigned char>(bytes[offset]));
        if (length == 0) {
            throw badSequence(from, to, offset);
        }
        if (bytes.size() - offset < length) {
            throw incomplete(from, offset);
        }
        wchar_t units[2] = {};
        const int count = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data() + offset,
                                              static_cast<int>(length), units, 2);
        if (count <= 0) {
            throw badSequence(from, to, offset);
        }
        text.add(units, count, offset);
        offset += length;
    }
    return text;
}

std::string encodeUtf16(const WideText& text, CodePage to) {
    std::string out;
    out.reserve(text.units.size() * 2);
    for (const wchar_t unit : text.units) {
        const auto low = static_cast<char>(unit & 0xFF);
        const auto high = static_cast<char>((unit >> 8) & 0xFF);
        out += to == CodePage::Utf16Le ? low : high;
        out += to == CodePage::Utf16Le ? high : low;
    }
    return out;
}

std::string encodeMultiByte(const WideText& text, CodePage from, CodePage to) {
    const UINT codePage = windowsCodePage(to);
    std::string out;
    out.reserve(text.units.size() * 2);
    std::size_t index = 0;
    while (index < text.units.size()) {
        const int count = isHighSurrogate(static_cast<std::uint32_t>(text.units[index])) &&
                                  index + 1 < text.units.size()
                              ? 2
                              : 1;
        char bytes[8] = {};
        BOOL usedDefault = FALSE;
        // UTF-8 takes no default character; the double-byte code pages say when they used one
        // for a character they lack, and best-fit look-alikes are refused.
        const int written =
            codePage == CP_UTF8
                ? WideCharToMultiByte(codePage, WC_ERR_INVALID_CHARS, &text.units[index], count,
                                      bytes, sizeof bytes, nullptr, nullptr)
                : WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, &text.units[index], count,
                                      bytes, sizeof bytes, nullptr, &usedDefault);
        if (written <= 0 || usedDefault) {
            throw CodePageError("the " + codePageName(from) + " text has a character at offset " +
                                std::to_string(text.starts[index]) + " that " + codePageName(to) +
                                " does not hold");
        }
        out.append(bytes, static_cast<std::size_t>(written));
        index += static_cast<std::size_t>(count);
    }
    return out;
}

}  // namespace

std::string convertCodePage(std::string_view bytes, CodePage from, CodePage to) {
    const bool fromUtf16 = from == CodePage::Utf16Le || from == CodePage::Utf16Be;
    const WideText text =
        fromUtf16 ? decodeUtf16(bytes, from, to) : decodeMultiByte(bytes, from, to);
    if (to == CodePage::Utf16Le || to == CodePage::Utf16Be) {
        return encodeUtf16(text, to);
    }
    return encodeMultiByte(text, from, to);
}

}  // namespace corvid
