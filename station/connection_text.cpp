#include "station/connection_text.h"

#include <cctype>

namespace corvid {

namespace {

bool isBlank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// host=db password='a b' dbname=x: the values of the keyword "password" become ***. A value is
// a word, or quoted in '...' with \' and \\ inside.
std::string keywordsWithoutPassword(std::string_view text) {
    std::string shown;
    std::size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && isBlank(text[at])) {
            shown += text[at++];
        }
        const std::size_t keyStart = at;
        while (at < text.size() && !isBlank(text[at]) && text[at] != '=') {
            ++at;
        }
        const std::string_view key = text.substr(keyStart, at - keyStart);
        shown += key;
        while (at < text.size() && isBlank(text[at])) {
            shown += text[at++];
        }
        if (at >= text.size() || text[at] != '=') {
            continue;
        }
        shown += text[at++];
        while (at < text.size() && isBlank(text[at])) {
            shown += text[at++];
        }
        const std::size_t valueStart = at;
        if (at < text.size() && text[at] == '\'') {
            for (++at; at < text.size() && text[at] != '\''; ++at) {
                if (text[at] == '\\' && at + 1 < text.size()) {
                    ++at;
                }
            }
            at = at < text.size() ? at + 1 : at;
        } else {
            while (at < text.size() && !isBlank(text[at])) {
                ++at;
            }
        }
        shown +=
            key == "password" ? std::string_view("***") : text.substr(valueStart, at - valueStart);
    }
    return shown;
}

}  // namespace

std::string urlWithoutPassword(std::string_view url) {
    std::string shown(url);
    const auto scheme = shown.find("://");
    if (scheme == std::string::npos) {
        return keywordsWithoutPassword(url);
    }
    const auto start = scheme + 3;
    const auto end = shown.find_first_of("/?", start);
    const auto at = shown.rfind('@', end == std::string::npos ? std::string::npos : end);
    if (at != std::string::npos && at >= start) {
        const auto colon = shown.find(':', start);
        if (colon != std::string::npos && colon < at) {
            shown.erase(colon, at - colon);
        }
    }
    // password=... among the parameters
    for (auto found = shown.find("password="); found != std::string::npos;
         found = shown.find("password=", found + 1)) {
        if (found > 0 && shown[found - 1] != '?' && shown[found - 1] != '&') {
            continue;
        }
        const auto value = found + 9;
        const auto stop = shown.find('&', value);
        shown.replace(value, stop == std::string::npos ? std::string::npos : stop - value, "***");
    }
    return shown;
}

}  // namespace corvid
