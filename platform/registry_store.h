#pragma once

#include <filesystem>
#include <memory>
#include <string>

namespace corvid {

// The per-machine store of values under key paths such as "SoftWare\ZQL5V16\MPTool".
// On Linux it is misc/registry.ini of the station folder, one section per key path; on Windows
// the registry under HKEY_LOCAL_MACHINE.
class RegistryStore {
  public:
    virtual ~RegistryStore() = default;
    // A missing store, key or value gives the default.
    virtual int readInt(const std::string& keyPath, const std::string& name,
                        int defaultValue) const = 0;
    virtual std::string readString(const std::string& keyPath, const std::string& name,
                                   const std::string& defaultValue) const = 0;
    // The key path is created when missing.
    virtual void writeInt(const std::string& keyPath, const std::string& name, int value) = 0;
    virtual void writeString(const std::string& keyPath, const std::string& name,
                             const std::string& value) = 0;
};

// The store of this machine for the station folder 'home': on Linux 'home'/misc/registry.ini, on
// Windows the registry (HKEY_LOCAL_MACHINE; 'home' is not used).
std::unique_ptr<RegistryStore> openRegistryStore(const std::string& home);

// A store held in the INI file 'file', one section per key path (names case-insensitive).
std::unique_ptr<RegistryStore> openIniRegistryStore(const std::filesystem::path& file);

}  // namespace corvid
