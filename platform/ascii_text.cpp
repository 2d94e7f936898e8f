#include "platform/ascii_text.h"

namespace corvid {

std::string asciiUpper(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = asciiUpper(c);
    }
    return out;
}

std::string asciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = asciiLower(c);
    }
    return out;
}

std::optional<char> driveLetterOf(std::string_view text) {
    if (text.size() == 2 && text[1] == ':') {
        text.remove_suffix(1);
    }
    if (text.size() != 1) {
        return std::nullopt;
    }
    const char letter = asciiUpper(text[0]);
    if (letter < 'A' || letter > 'Z') {
        return std::nullopt;
    }
    return letter;
}

}  // namespace corvid
