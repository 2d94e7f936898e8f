#pragma once

// The Windows registry as the per-machine store, beside the portable interface.

#include <memory>
#include <string>

#include "platform/registry_store.h"

namespace corvid {

// The registry under a root of its own: HKEY_LOCAL_MACHINE for the station, HKEY_CURRENT_USER
// below a key of their own for tests, so they never touch the station's values. 'under' goes
// before every key path ("Software\Test" makes "Software\Test\SoftWare\ZQL5V16\MPTool").
enum class RegistryRoot { LocalMachine, CurrentUser };
std::unique_ptr<RegistryStore> openWindowsRegistryStore(RegistryRoot root,
                                                        const std::string& under = {});
// Deletes the key 'keyPath' of the root with everything below it; for tests that made one.
void deleteWindowsRegistryTree(RegistryRoot root, const std::string& keyPath);

}  // namespace corvid
