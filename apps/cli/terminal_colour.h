#pragma once

#include <algorithm>
#include <string>

#include "station/slot_view.h"

namespace corvid::cli {

// The terminal's escape sequence for a status colour; empty for the normal text colour.
inline const char* statusColourCode(StatusColour colour) {
    switch (colour) {
        case StatusColour::Red:
            return "\033[31m";
        case StatusColour::Blue:
            return "\033[34m";
        default:
            return "";
    }
}

inline constexpr char kColourReset[] = "\033[0m";

// 'text' cut or padded to exactly 'width' columns of a terminal (East Asian characters take
// two), never splitting a character; line breaks become blanks.
inline std::string fitted(const std::string& text, int width) {
    std::string out;
    int used = 0;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        const int columns = length >= 3 ? 2 : 1;
        if (text[i] == '\n' || text[i] == '\r') {
            out += ' ';
            used += 1;
            ++i;
            continue;
        }
        if (used + columns > width) {
            break;
        }
        out.append(text, i, length);
        used += columns;
        i += length;
    }
    return out + std::string(static_cast<std::size_t>(std::max(0, width - used)), ' ');
}

}  // namespace corvid::cli
