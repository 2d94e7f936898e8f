#include "platform/registry_store.h"

namespace corvid {

std::unique_ptr<RegistryStore> openRegistryStore(const std::string& home) {
    return openIniRegistryStore(std::filesystem::path(home) / "misc" / "registry.ini");
}

}  // namespace corvid
