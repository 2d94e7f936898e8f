#include <windows.h>

#include <stdexcept>
#include <vector>

#include "platform/registry_store_win32.h"

namespace corvid {

namespace {

HKEY rootKey(RegistryRoot root) {
    return root == RegistryRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

const char* rootName(RegistryRoot root) {
    return root == RegistryRoot::LocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

class OpenKey {
  public:
    OpenKey() = default;
    ~OpenKey() {
        if (key_ != nullptr) {
            RegCloseKey(key_);
        }
    }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    HKEY* out() { return &key_; }
    HKEY get() const { return key_; }

  private:
    HKEY key_ = nullptr;
};

// The station's values under HKEY_LOCAL_MACHINE (or a test's root): REG_DWORD integers and
// REG_SZ strings, as the station has always kept them.
class WindowsRegistryStore : public RegistryStore {
  public:
    WindowsRegistryStore(RegistryRoot root, std::string under)
        : root_(root), under_(std::move(under)) {}

    int readInt(const std::string& keyPath, const std::string& name,
                int defaultValue) const override {
        DWORD value = 0;
        DWORD size = sizeof value;
        const LSTATUS status = RegGetValueA(rootKey(root_), fullPath(keyPath).c_str(), name.c_str(),
                                            RRF_RT_REG_DWORD, nullptr, &value, &size);
        return status == ERROR_SUCCESS ? static_cast<int>(value) : defaultValue;
    }

    std::string readString(const std::string& keyPath, const std::string& name,
                           const std::string& defaultValue) const override {
        const std::string path = fullPath(keyPath);
        DWORD size = 0;
        if (RegGetValueA(rootKey(root_), path.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr,
                         nullptr, &size) != ERROR_SUCCESS) {
            return defaultValue;
        }
        std::vector<char> text(size + 1);
        if (RegGetValueA(rootKey(root_), path.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr,
                         text.data(), &size) != ERROR_SUCCESS) {
            return defaultValue;
        }
        return std::string(text.data());
    }

    void writeInt(const std::string& keyPath, const std::string& name, int value) override {
        const DWORD data = static_cast<DWORD>(value);
        write(keyPath, name, REG_DWORD, &data, sizeof data);
    }

    void writeString(const std::string& keyPath, const std::string& name,
                     const std::string& value) override {
        write(keyPath, name, REG_SZ, value.c_str(), static_cast<DWORD>(value.size() + 1));
    }

  private:
    std::string fullPath(const std::string& keyPath) const {
        return under_.empty() ? keyPath : under_ + "\\" + keyPath;
    }

    void write(const std::string& keyPath, const std::string& name, DWORD type, const void* data,
               DWORD size) {
        const std::string path = fullPath(keyPath);
        OpenKey key;
        LSTATUS status =
            RegCreateKeyExA(rootKey(root_), path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_SET_VALUE, nullptr, key.out(), nullptr);
        if (status == ERROR_SUCCESS) {
            status = RegSetValueExA(key.get(), name.c_str(), 0, type,
                                    static_cast<const BYTE*>(data), size);
        }
        if (status != ERROR_SUCCESS) {
            throw std::runtime_error("the registry value " + std::string(rootName(root_)) + "\\" +
                                     path + "\\" + name + " cannot be written (error " +
                                     std::to_string(status) + ")");
        }
    }

    RegistryRoot root_;
    std::string under_;
};

}  // namespace

std::unique_ptr<RegistryStore> openWindowsRegistryStore(RegistryRoot root,
                                                        const std::string& under) {
    return std::make_unique<WindowsRegistryStore>(root, under);
}

void deleteWindowsRegistryTree(RegistryRoot root, const std::string& keyPath) {
    const LSTATUS status = RegDeleteTreeA(rootKey(root), keyPath.c_str());
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        throw std::runtime_error("the registry key " + std::string(rootName(root)) + "\\" +
                                 keyPath + " cannot be deleted (error " + std::to_string(status) +
                                 ")");
    }
}

std::unique_ptr<RegistryStore> openRegistryStore(const std::string&) {
    return openWindowsRegistryStore(RegistryRoot::LocalMachine);
}

}  // namespace corvid
