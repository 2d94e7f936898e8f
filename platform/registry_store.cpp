#include "platform/registry_store.h"

#include <filesystem>
#include <system_error>

#include "platform/ini_file.h"

namespace corvid {

namespace {

// The registry of a machine without one: an INI file with one section per key path.
class IniRegistryStore : public RegistryStore {
  public:
    explicit IniRegistryStore(std::filesystem::path file) : ini_(std::move(file)) {}

    int readInt(const std::string& keyPath, const std::string& name,
                int defaultValue) const override {
        return ini_.readInt(keyPath, name, defaultValue);
    }
    std::string readString(const std::string& keyPath, const std::string& name,
                           const std::string& defaultValue) const override {
        return ini_.readString(keyPath, name, defaultValue);
    }
    void writeInt(const std::string& keyPath, const std::string& name, int value) override {
        createFolder();
        ini_.writeInt(keyPath, name, value);
    }
    void writeString(const std::string& keyPath, const std::string& name,
                     const std::string& value) override {
        createFolder();
        ini_.writeString(keyPath, name, value);
    }

  private:
    // Keys are opened with creation allowed, so the store's folder is too. A failure shows as
    // the write's own error, which names the file.
    void createFolder() {
        std::error_code ignored;
        std::filesystem::create_directories(ini_.path().parent_path(), ignored);
    }

    IniFile ini_;
};

}  // namespace

std::unique_ptr<RegistryStore> openIniRegistryStore(const std::filesystem::path& file) {
    return std::make_unique<IniRegistryStore>(file);
}

}  // namespace corvid
