#pragma once

#include "production/worker.h"
