#include "platform/ok.h"

#include <windows.h>
