#pragma once

#include <string>

#include "platform/registry_store.h"

namespace corvid {

// The service values under the tool key ("SoftWare\ZQL5V16\MPTool"): LogBiTable, BlocksPerChip.
// A value that is missing, or a store that cannot be read, gives the default.
int ReadToolValue(const RegistryStore& store, const std::string& name, int defaultValue);
// 1 when the value was written, 0 when the store cannot be written.
int WriteToolValue(RegistryStore& store, const std::string& name, int value);

}  // namespace corvid
