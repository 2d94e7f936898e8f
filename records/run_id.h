#pragma once

#include <string>
#include <string_view>

namespace corvid {

// A new run id: a random UUID (version 4, 122 random bits from the system's random source) in
// lower case, "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx". Two stations never make the same one, so
// the shared database can refuse a row it holds already without asking where it came from.
std::string newRunId();

// True for text of that form (any version digit), as newRunId() makes.
bool isRunId(std::string_view text);

}  // namespace corvid
