#include "records/run_record.h"

#include <array>
#include <utility>

namespace corvid {

namespace {

constexpr std::array<std::pair<RunEnd, std::string_view>, 4> kRunEndNames{{
    {RunEnd::Passed, "passed"},
    {RunEnd::Failed, "failed"},
    {RunEnd::Removed, "removed"},
    {RunEnd::Stopped, "stopped"},
}};

}  // namespace

std::string_view runEndName(RunEnd end) {
    for (const auto& [value, name] : kRunEndNames) {
        if (value == end) {
            return name;
        }
    }
    return "failed";
}

std::optional<RunEnd> runEndFromName(std::string_view name) {
    for (const auto& [value, text] : kRunEndNames) {
        if (text == name) {
            return value;
        }
    }
    return std::nullopt;
}

}  // namespace corvid
