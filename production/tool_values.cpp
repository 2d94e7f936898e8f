#include "production/tool_values.h"

#include <exception>

#include "station/station_registry.h"

namespace corvid {

int ReadToolValue(const RegistryStore& store, const std::string& name, int defaultValue) {
    try {
        return store.readInt(kToolRegistryKey, name, defaultValue);
    } catch (const std::exception&) {
        return defaultValue;
    }
}

int WriteToolValue(RegistryStore& store, const std::string& name, int value) {
    try {
        store.writeInt(kToolRegistryKey, name, value);
        return 1;
    } catch (const std::exception&) {
        return 0;
    }
}

}  // namespace corvid
