#pragma once

#include <string>
#include <string_view>

namespace corvid {

// A database connection string as it may be shown (settings, messages, logs): the password of a
// URL (user:password@ or a password=... parameter) or of a keyword/value string
// (password=secret, password = 'with blanks') is replaced by ***.
std::string urlWithoutPassword(std::string_view url);

}  // namespace corvid
