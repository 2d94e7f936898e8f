#pragma once

// The case of ASCII letters, whatever the locale: std::toupper and std::tolower follow it (a
// Turkish locale makes 'i' a dotted capital I), and names on a disk, in a file or on a command
// line must not depend on the station's locale. Other bytes, those of a double-byte character
// among them, stay as they are.

#include <optional>
#include <string>
#include <string_view>

namespace corvid {

constexpr char asciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

constexpr char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string asciiUpper(std::string_view text);
std::string asciiLower(std::string_view text);

// The drive a text names: "e", "E" and "E:" name drive 'E'; nothing for any other text.
std::optional<char> driveLetterOf(std::string_view text);

}  // namespace corvid
