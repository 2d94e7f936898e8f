#include "station/station_registry.h"

#include <stdexcept>

namespace corvid {

namespace {

// No stored value can hold a line break, so this default tells a missing value apart.
constexpr char kMissing[] = "\n";

template <typename Write>
bool tryWrite(Write write) {
    try {
        write();
        return true;
    } catch (const std::runtime_error&) {
        return false;
    }
}

bool createIfMissing(RegistryStore& store, const char* name) {
    if (store.readString(kToolRegistryKey, name, kMissing) != kMissing) {
        return true;
    }
    return tryWrite([&] { store.writeInt(kToolRegistryKey, name, 0); });
}

}  // namespace

bool createToolValues(RegistryStore& store) {
    const bool blocks = createIfMissing(store, "BlocksPerChip");
    const bool log = createIfMissing(store, "LogBiTable");
    return blocks && log;
}

int readLanguageId(const RegistryStore& store) {
    return store.readInt(kStationRegistryKey, "LanguageID", 0);
}

bool writeLanguageId(RegistryStore& store, int languageId) {
    return tryWrite([&] { store.writeInt(kStationRegistryKey, "LanguageID", languageId); });
}

bool storeAddDir(RegistryStore& store, const std::string& folder) {
    return tryWrite([&] { store.writeString(kStationRegistryKey, "AddDir", folder); });
}

}  // namespace corvid
