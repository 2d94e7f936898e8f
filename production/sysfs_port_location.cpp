#include "production/sysfs_port_location.h"

#include <cctype>
#include <charconv>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/ascii_text.h"

namespace corvid {

namespace {

bool parseNumber(std::string_view text, int& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

// "2-1.4" gives {2, 1, 4}: the bus, then the port at every hub level. Nothing for any other name
// ("usb2", "2-1.4:1.0", "host6" ...).
std::optional<std::vector<int>> usbDevicePorts(std::string_view name) {
    const auto dash = name.find('-');
    if (dash == std::string_view::npos) {
        return std::nullopt;
    }
    std::vector<int> numbers(1);
    if (!parseNumber(name.substr(0, dash), numbers[0])) {
        return std::nullopt;
    }
    std::string_view ports = name.substr(dash + 1);
    while (true) {
        const auto dot = ports.find('.');
        int port = 0;
        if (!parseNumber(ports.substr(0, dot), port)) {
            return std::nullopt;
        }
        numbers.push_back(port);
        if (dot == std::string_view::npos) {
            return numbers;
        }
        ports.remove_prefix(dot + 1);
    }
}

}  // namespace

std::optional<HubLocation> hubLocationFromDevicePath(const std::string& devicePath) {
    std::optional<std::vector<int>> deepest;
    for (const auto& part : std::filesystem::path(devicePath)) {
        if (auto ports = usbDevicePorts(part.string())) {
            deepest = std::move(ports);
        }
    }
    if (!deepest || deepest->size() < 2) {
        return std::nullopt;
    }
    const auto& numbers = *deepest;
    const int hubPort = numbers.size() >= 3 ? numbers[numbers.size() - 2] : 0;
    return HubLocation{numbers.front(), hubPort, numbers.back()};
}

std::optional<HubLocation> SysfsPortLocationSource::locate(char driveLetter, int) const {
    if (driveLetter < 'A' || driveLetter > 'Z') {
        return std::nullopt;
    }
    const std::string disk = std::string("sd") + asciiLower(driveLetter);
    std::error_code error;
    const auto resolved = std::filesystem::canonical(sysBlock_ / disk, error);
    if (error) {
        return std::nullopt;
    }
    return hubLocationFromDevicePath(resolved.string());
}

}  // namespace corvid
