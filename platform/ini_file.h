#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvid {

// A Windows-style INI file with the semantics of the private-profile calls: names are
// case-insensitive, integers are decimal or 0x-hexadecimal, value bytes pass through unchanged
// (Big5 or GBK texts stay as they are). Every call reads or writes the file itself, as on
// Windows, so several IniFile objects on one file always agree. A duplicate key reads as its
// first value and survives a save.
//
// Files are written as Windows writes them: "key=value" lines with CR LF ends. Hand-edited files
// with LF ends or blanks around '=' read the same. A write replaces the file atomically, so a
// crash never leaves half a settings file.
class IniFile {
  public:
    explicit IniFile(std::filesystem::path path);
    ~IniFile();
    IniFile(const IniFile&) = delete;
    IniFile& operator=(const IniFile&) = delete;

    const std::filesystem::path& path() const;

    // A missing section, key or file gives the default; so does a file that cannot be read.
    std::string readString(const std::string& section, const std::string& key,
                           const std::string& defaultValue = "") const;
    // Decimal, or hexadecimal after "0x" (up to 32 bits, so 0xFFFFFFFF is -1). A value that is
    // not wholly a number in range gives the default.
    int readInt(const std::string& section, const std::string& key, int defaultValue) const;
    // The values of many keys of one section from a single read of the file, in the order of
    // 'keys'; nothing for a missing key.
    std::vector<std::optional<std::string>> readStrings(const std::string& section,
                                                        const std::vector<std::string>& keys) const;

    // The section names, and the key names of one section, in file order (a duplicate key once).
    std::vector<std::string> sectionNames() const;
    std::vector<std::string> keyNames(const std::string& section) const;

    // Creates the file when missing (not its folder). A write replaces every value of the key
    // where the first one stood. Throws std::runtime_error naming the file when it cannot be
    // read or written, and std::invalid_argument for a name or value that the file format
    // cannot hold (a line break, '=' in a key, ']' in a section, an empty key).
    void writeString(const std::string& section, const std::string& key, const std::string& value);
    void writeInt(const std::string& section, const std::string& key, int value);
    // Many keys of one section in a single write of the file.
    void writeStrings(const std::string& section,
                      const std::vector<std::pair<std::string, std::string>>& entries);
    // Removes the section with all its keys; a missing section or file is left as it is.
    void eraseSection(const std::string& section);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace corvid
