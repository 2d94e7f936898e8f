#include "transport/frames_win32.h"

#include <windows.h>
#include <ntddscsi.h>
