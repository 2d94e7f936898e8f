// A worker that calls the system itself.
#include <string>
#include <Windows.h>
