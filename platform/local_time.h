#pragma once

#include <ctime>

namespace corvid {

// The local time of 'seconds', by the C library's reentrant call (localtime_r on Linux,
// localtime_s on Windows), so threads never share the library's one static result.
inline std::tm localTime(std::time_t seconds) {
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    return local;
}

}  // namespace corvid
