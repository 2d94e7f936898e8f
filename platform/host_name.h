#pragma once

#include <string>

namespace corvid {

// This computer's name, as the production record names the station; "unknown" when the system
// does not tell it.
std::string hostName();

}  // namespace corvid
