#pragma once

#include <string>

#include "platform/registry_store.h"

namespace corvid {

inline constexpr char kStationRegistryKey[] = "SoftWare\\ZQL5V16\\corvid16";  // LanguageID, AddDir
inline constexpr char kToolRegistryKey[] = "SoftWare\\ZQL5V16\\MPTool";       // service values

// The service values BlocksPerChip and LogBiTable, created with 0 when missing at the window's
// creation. Returns false when the store could not be written (as the registry, nothing then
// changes and reads give the defaults).
bool createToolValues(RegistryStore& store);

// LanguageID: 0 Auto, 1 English, 2 Simplified Chinese, 3 Traditional Chinese; missing means 0.
int readLanguageId(const RegistryStore& store);
bool writeLanguageId(RegistryStore& store, int languageId);

// The last folder added with "Add Dir"; stored, never read back.
bool storeAddDir(RegistryStore& store, const std::string& folder);

}  // namespace corvid
