#include "platform/ini_file.h"

#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

#include <charconv>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "platform/text_file.h"

namespace corvid {

namespace {

// One edit (read, change, replace) at a time in this process, so two IniFile objects on the
// same file never lose each other's writes.
std::mutex& editMutex() {
    static std::mutex mutex;
    return mutex;
}

// Case-insensitive names (CSimpleIniA), duplicate keys kept (multi-key), one value per line.
class Document {
  public:
    Document() : ini_(/*a_bIsUtf8=*/false, /*a_bMultiKey=*/true, /*a_bMultiLine=*/false) {
        ini_.SetSpaces(false);
        ini_.SetQuotes(false);
    }

    // A missing file is an empty document. One that exists but cannot be read is empty too
    // when only read (as Windows reads it), but stops a write, which would otherwise replace
    // the operator's settings with the few keys written now.
    void load(const std::filesystem::path& path, bool forWrite) {
        std::error_code ec;
        if (!std::filesystem::exists(path, ec)) {
            return;
        }
        std::string bytes;
        try {
            bytes = readFileBytes(path);
        } catch (const std::runtime_error&) {
            if (forWrite) {
                throw;
            }
            return;
        }
        if (ini_.LoadData(bytes) < 0 && forWrite) {
            throw std::runtime_error("cannot read the file " + path.string());
        }
    }

    void save(const std::filesystem::path& path) const {
        std::string text;
        // A UTF-8 signature read from the file is written back.
        if (ini_.Save(text, /*a_bAddSignature=*/true) < 0) {
            throw std::runtime_error("cannot write the file " + path.string());
        }
        writeFileAtomically(path, windowsLineEnds(text));
    }

    // Sets the value where the key first stood, in the spelling the file already gives it.
    void setValue(const std::string& section, const std::string& key, const std::string& value,
                  const std::filesystem::path& path) {
        std::string name = key;
        if (const CSimpleIniA::TKeyVal* keys = ini_.GetSection(section.c_str())) {
            const auto it = keys->find(CSimpleIniA::Entry(key.c_str()));
            if (it != keys->end()) {
                name = it->first.pItem;
            }
        }
        if (ini_.SetValue(section.c_str(), name.c_str(), value.c_str(), nullptr,
                          /*a_bForceReplace=*/true) < 0) {
            throw std::runtime_error("cannot write the file " + path.string() + ": out of memory");
        }
    }

    CSimpleIniA& ini() { return ini_; }
    const CSimpleIniA& ini() const { return ini_; }

  private:
    // SimpleIni ends lines with LF off Windows and puts two blank lines between sections; the
    // files are Windows files, with CR LF ends and one blank line before a section.
    static std::string windowsLineEnds(const std::string& text) {
        std::string out;
        out.reserve(text.size() + text.size() / 8);
        int newlines = 0;
        for (const char c : text) {
            if (c == '\r') {
                continue;
            }
            if (c == '\n') {
                if (++newlines <= 2) {
                    out += "\r\n";
                }
                continue;
            }
            newlines = 0;
            out += c;
        }
        return out;
    }

    CSimpleIniA ini_;
};

std::vector<std::string> inLoadOrder(CSimpleIniA::TNamesDepend names) {
    names.sort(CSimpleIniA::Entry::LoadOrder());
    std::vector<std::string> result;
    for (const auto& entry : names) {
        result.emplace_back(entry.pItem);
    }
    return result;
}

std::optional<int> parseProfileInt(std::string_view text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        const std::string_view digits = text.substr(2);
        std::uint32_t value = 0;
        const auto [end, ec] =
            std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
        if (ec != std::errc() || end != digits.data() + digits.size()) {
            return std::nullopt;
        }
        return static_cast<int>(value);
    }
    // from_chars takes '-' but not '+'.
    if (text.starts_with('+')) {
        text.remove_prefix(1);
        if (text.starts_with('-')) {
            return std::nullopt;
        }
    }
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

void checkName(const std::filesystem::path& path, const std::string& what, const std::string& name,
               std::string_view forbidden) {
    if (name.find_first_of(forbidden) != std::string::npos) {
        throw std::invalid_argument("the " + what + " \"" + name + "\" cannot be written to " +
                                    path.string() + ": it holds a character the file cannot hold");
    }
}

void checkEntry(const std::filesystem::path& path, const std::string& section,
                const std::string& key, const std::string& value) {
    checkName(path, "section name", section, "]\r\n");
    checkName(path, "key name", key, "=\r\n");
    if (key.empty() || key.find_first_not_of(" \t") == std::string::npos) {
        throw std::invalid_argument("an empty key name cannot be written to " + path.string());
    }
    if (value.find_first_of("\r\n") != std::string::npos) {
        throw std::invalid_argument("the value of key \"" + key + "\" cannot be written to " +
                                    path.string() + ": it holds a line break");
    }
}

}  // namespace

struct IniFile::Impl {
    std::filesystem::path path;
};

IniFile::IniFile(std::filesystem::path path)
    : impl_(std::make_unique<Impl>(Impl{std::move(path)})) {}

IniFile::~IniFile() = default;

const std::filesystem::path& IniFile::path() const {
    return impl_->path;
}

std::string IniFile::readString(const std::string& section, const std::string& key,
                                const std::string& defaultValue) const {
    Document doc;
    doc.load(impl_->path, false);
    const char* value = doc.ini().GetValue(section.c_str(), key.c_str(), nullptr);
    return value != nullptr ? std::string(value) : defaultValue;
}

int IniFile::readInt(const std::string& section, const std::string& key, int defaultValue) const {
    Document doc;
    doc.load(impl_->path, false);
    const char* value = doc.ini().GetValue(section.c_str(), key.c_str(), nullptr);
    if (value == nullptr) {
        return defaultValue;
    }
    return parseProfileInt(value).value_or(defaultValue);
}

std::vector<std::optional<std::string>> IniFile::readStrings(
    const std::string& section, const std::vector<std::string>& keys) const {
    Document doc;
    doc.load(impl_->path, false);
    std::vector<std::optional<std::string>> values;
    values.reserve(keys.size());
    for (const std::string& key : keys) {
        const char* value = doc.ini().GetValue(section.c_str(), key.c_str(), nullptr);
        values.push_back(value != nullptr ? std::optional<std::string>(value) : std::nullopt);
    }
    return values;
}

std::vector<std::string> IniFile::sectionNames() const {
    Document doc;
    doc.load(impl_->path, false);
    CSimpleIniA::TNamesDepend names;
    doc.ini().GetAllSections(names);
    return inLoadOrder(std::move(names));
}

std::vector<std::string> IniFile::keyNames(const std::string& section) const {
    Document doc;
    doc.load(impl_->path, false);
    CSimpleIniA::TNamesDepend names;
    doc.ini().GetAllKeys(section.c_str(), names);
    return inLoadOrder(std::move(names));
}

void IniFile::writeString(const std::string& section, const std::string& key,
                          const std::string& value) {
    writeStrings(section, {{key, value}});
}

void IniFile::writeInt(const std::string& section, const std::string& key, int value) {
    writeString(section, key, std::to_string(value));
}

void IniFile::writeStrings(const std::string& section,
                           const std::vector<std::pair<std::string, std::string>>& entries) {
    for (const auto& [key, value] : entries) {
        checkEntry(impl_->path, section, key, value);
    }
    std::lock_guard lock(editMutex());
    Document doc;
    doc.load(impl_->path, true);
    for (const auto& [key, value] : entries) {
        doc.setValue(section, key, value, impl_->path);
    }
    doc.save(impl_->path);
}

void IniFile::eraseSection(const std::string& section) {
    std::lock_guard lock(editMutex());
    Document doc;
    doc.load(impl_->path, true);
    if (doc.ini().Delete(section.c_str(), nullptr)) {
        doc.save(impl_->path);
    }
}

}  // namespace corvid
