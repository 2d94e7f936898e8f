#include "image/pc_import.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>
#include <type_traits>

#include "image/unicode_text.h"

namespace corvid {

namespace {

constexpr std::size_t kReadBytes = 1u << 20;

// A file name as UTF-16; nothing when the bytes of a POSIX name are not UTF-8.
std::optional<std::u16string> nameOf(const std::filesystem::path& name) {
    if constexpr (std::is_same_v<std::filesystem::path::value_type, wchar_t>) {
        const auto& wide = name.native();
        return std::u16string(wide.begin(), wide.end());
    } else {
        return utf16FromUtf8(name.string());
    }
}

// Order of names without regard to case; names equal but for case keep a fixed order.
std::u16string sortKey(const std::u16string& name) {
    std::u16string key = name;
    for (char16_t& c : key) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
    }
    return key;
}

struct Item {
    std::u16string name;
    std::u16string key;
    std::filesystem::path source;
};

void sortItems(std::vector<Item>& items) {
    std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
        return a.key != b.key ? a.key < b.key : a.name < b.name;
    });
}

[[noreturn]] void throwNoShortName(const std::filesystem::path& path) {
    throw ImportError(ImportError::Kind::NoShortName, path,
                      "the name of " + path.string() +
                          " cannot go into a FAT volume: it must be UTF-8 text of at most 255 "
                          "characters without control characters or any of \" * / : < > ? \\ |, "
                          "and must not end in a blank or a dot");
}

}  // namespace

ImportPlan::TargetFolder& ImportPlan::target(const std::u16string& longFolder) {
    auto it = targets_.find(longFolder);
    if (it == targets_.end()) {
        it = targets_.emplace(longFolder, TargetFolder(codePage_)).first;
    }
    return it->second;
}

void ImportPlan::addListItem(const std::filesystem::path& item) {
    std::error_code error;
    std::filesystem::path path = std::filesystem::absolute(item, error).lexically_normal();
    if (!path.has_filename()) {
        path = path.parent_path();
    }
    const auto status = std::filesystem::status(path, error);
    if (error || !std::filesystem::exists(status)) {
        throw ImportError(ImportError::Kind::Unreadable, item,
                          "the file or folder " + item.string() + " does not exist");
    }
    const auto name = nameOf(path.filename());
    if (!name || !ShortNameGenerator::isValidLongName(*name)) {
        throwNoShortName(path);
    }

    TargetFolder& root = target(u"");
    if (std::filesystem::is_directory(status)) {
        auto known = root.folderAliases.find(*name);
        if (known == root.folderAliases.end()) {
            const auto alias = root.names.alias(*name);
            if (!alias) {
                throwNoShortName(path);
            }
            known = root.folderAliases.emplace(*name, *alias).first;
        }
        addFolder(path, u"\\" + *name, "\\" + known->second);
    } else if (std::filesystem::is_regular_file(status)) {
        const auto alias = root.names.alias(*name);
        if (!alias) {
            throwNoShortName(path);
        }
        files_.push_back({path, u"\\" + *name, "\\" + *alias, std::nullopt});
    } else {
        throw ImportError(ImportError::Kind::Unreadable, path,
                          path.string() + " is neither a regular file nor a folder");
    }
}

void ImportPlan::addFolder(const std::filesystem::path& source, const std::u16string& longFolder,
                           const std::string& shortFolder) {
    std::error_code error;
    const std::filesystem::path real = std::filesystem::canonical(source, error);
    if (error) {
        throw ImportError(ImportError::Kind::Unreadable, source,
                          "the folder " + source.string() + " cannot be read: " + error.message());
    }
    if (!walking_.insert(real).second) {
        throw ImportError(ImportError::Kind::Unreadable, source,
                          "the folder " + source.string() + " leads back into itself by a link");
    }

    std::vector<Item> files;
    std::vector<Item> folders;
    std::filesystem::directory_iterator it(source, error);
    for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        const std::filesystem::path& path = it->path();
        const std::string raw = path.filename().string();
        if (!raw.empty() && raw.front() == '.') {
            continue;  // hidden
        }
        auto name = nameOf(path.filename());
        if (!name) {
            throwNoShortName(path);
        }
        std::error_code typeError;
        if (it->is_directory(typeError)) {
            folders.push_back({*name, sortKey(*name), path});
        } else if (it->is_regular_file(typeError)) {
            files.push_back({*name, sortKey(*name), path});
        } else {
            throw ImportError(ImportError::Kind::Unreadable, path,
                              path.string() + " is neither a regular file nor a folder");
        }
    }
    if (error) {
        throw ImportError(ImportError::Kind::Unreadable, source,
                          "the folder " + source.string() + " cannot be read: " + error.message());
    }
    sortItems(files);
    sortItems(folders);

    // Aliases in the order the volume creates the entries: files, then new subfolders.
    TargetFolder& folder = target(longFolder);
    std::vector<std::u16string> names;
    std::vector<const Item*> named;
    for (const Item& file : files) {
        names.push_back(file.name);
        named.push_back(&file);
    }
    for (const Item& sub : folders) {
        if (folder.folderAliases.count(sub.name) == 0) {
            names.push_back(sub.name);
            named.push_back(&sub);
        }
    }
    const auto aliases = folder.names.aliases(names);
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!aliases[i]) {
            throwNoShortName(named[i]->source);
        }
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        files_.push_back({files[i].source, longFolder + u"\\" + files[i].name,
                          shortFolder + "\\" + *aliases[i], std::nullopt});
    }
    for (std::size_t i = files.size(); i < names.size(); ++i) {
        folder.folderAliases.emplace(names[i], *aliases[i]);
    }
    for (const Item& sub : folders) {
        addFolder(sub.source, longFolder + u"\\" + sub.name,
                  shortFolder + "\\" + folder.folderAliases.at(sub.name));
    }
    walking_.erase(real);
}

HiddenFileCopier::HiddenFileCopier(FAT_VOLUME& volume) : volume_(volume), buffer_(kReadBytes) {}

bool HiddenFileCopier::fail(std::string why) {
    failure_ = std::move(why);
    return false;
}

bool HiddenFileCopier::ImgCopyFile(const std::filesystem::path& source,
                                   std::u16string_view longTarget, std::string_view shortTarget,
                                   std::uint64_t& bytes) {
    bytes = 0;
    std::ifstream in;
    in.rdbuf()->pubsetbuf(nullptr, 0);  // reads go straight into our buffer
    errno = 0;
    in.open(source, std::ios::binary);
    if (!in.is_open()) {
        return fail("the file " + source.string() +
                    " cannot be opened: " + (errno != 0 ? std::strerror(errno) : "unknown error"));
    }
    auto file = volume_.ImgCreateFile(longTarget, shortTarget);
    if (!file) {
        return fail("the file " + source.string() +
                    " cannot be created in the image: " + volume_.failure());
    }
    const std::size_t sectorSize = volume_.bytesPerSector();
    while (true) {
        in.read(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
        const auto count = static_cast<std::size_t>(in.gcount());
        if (in.bad()) {
            return fail("the file " + source.string() + " cannot be read");
        }
        if (bytes + count > std::numeric_limits<std::uint32_t>::max()) {
            return fail("the file " + source.string() +
                        " is larger than the 4 GiB a FAT file can hold");
        }
        for (std::size_t offset = 0; offset < count; offset += sectorSize) {
            const std::size_t piece = std::min(sectorSize, count - offset);
            const auto* data = reinterpret_cast<const std::byte*>(buffer_.data() + offset);
            if (volume_.ImgWriteFile(*file, std::span<const std::byte>(data, piece)) != piece) {
                return fail("the file " + source.string() +
                            " cannot be written into the image: " + volume_.failure());
            }
        }
        bytes += count;
        if (count < buffer_.size()) {
            break;
        }
    }
    file->entry.fileSize = static_cast<std::uint32_t>(bytes);
    if (!volume_.ImgCloseFile(std::move(file))) {
        return fail("the file " + source.string() +
                    " cannot be closed in the image: " + volume_.failure());
    }
    return true;
}

bool HiddenFileCopier::copyAll(ImportPlan& plan,
                               const std::function<void(const ImportProgress&)>& progress) {
    ImportProgress state;
    state.filesTotal = plan.files().size();
    for (ImportFile& file : plan.files()) {
        std::uint64_t bytes = 0;
        if (!ImgCopyFile(file.source, file.longPath, file.shortPath, bytes)) {
            return false;
        }
        if (file.size && *file.size != bytes) {
            return fail("the file " + file.source.string() +
                        " changed while the image was built (" + std::to_string(*file.size) +
                        " bytes, now " + std::to_string(bytes) + ")");
        }
        file.size = bytes;
        ++state.filesDone;
        state.bytesDone += bytes;
        if (progress) {
            progress(state);
        }
    }
    return true;
}

}  // namespace corvid
