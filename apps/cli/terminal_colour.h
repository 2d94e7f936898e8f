#pragma once

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

}  // namespace corvid::cli
