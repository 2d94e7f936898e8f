#pragma once

#include <filesystem>
#include <memory>
#include <string>

namespace corvid {

// A Windows-style INI file with the semantics of the private-profile calls: names are
// case-insensitive, integers are decimal or 0x-hexadecimal, value bytes pass through unchanged
// (Big5 or GBK texts stay as they are). Every write goes to disk at once, as on Windows.
class IniFile {
public:
    explicit IniFile(std::filesystem::path path);
    ~IniFile();
    IniFile(const IniFile&) = delete;
    IniFile& operator=(const IniFile&) = delete;

    const std::filesystem::path& path() const;

    // A missing section, key or file gives the default.
    std::string readString(const std::string& section, const std::string& key,
                           const std::string& defaultValue = "") const;
    // A value that is not a number gives the default.
    int readInt(const std::string& section, const std::string& key, int defaultValue) const;

    // Creates the file when missing. Throws std::runtime_error naming the file when it cannot
    // be written.
    void writeString(const std::string& section, const std::string& key, const std::string& value);
    void writeInt(const std::string& section, const std::string& key, int value);
    void eraseSection(const std::string& section);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace corvid
