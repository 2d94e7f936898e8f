#pragma once

#include <ctime>

namespace corvid {

// The local time of 'seconds', by the C library's reentrant call (localtime_r on Linux,
// localtime_s on Windows: local_time_linux.cpp, local_time_win32.cpp), so threads never share the
// library's one static result.
std::tm localTime(std::time_t seconds);

}  // namespace corvid
