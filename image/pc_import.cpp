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
    std::uint64_t size = 0;  // of a file
    bool link = false;       // a folder reached through a link
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

void ImportPlan::addFile(std::uint32_t folder, SourceFiles::NativePath name, std::uint64_t size,
                         std::u16string longPath, std::string shortPath) {
    ImportFile file;
    file.source = sources_.add(folder, std::move(name), size);
    file.size = size;
    file.longPath = std::move(longPath);
    file.shortPath = std::move(shortPath);
    files_.push_back(std::move(file));
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
        const std::filesystem::path real = std::filesystem::canonical(path, error);
        if (error) {
            throw ImportError(
                ImportError::Kind::Unreadable, path,
                "the folder " + path.string() + " cannot be read: " + error.message());
        }
        addFolder(path, real, u"\\" + *name, "\\" + known->second);
    } else if (std::filesystem::is_regular_file(status)) {
        const auto alias = root.names.alias(*name);
        if (!alias) {
            throwNoShortName(path);
        }
        const std::uint64_t size = std::filesystem::file_size(path, error);
        if (error) {
            throw ImportError(ImportError::Kind::Unreadable, path,
                              "the file " + path.string() + " cannot be read: " + error.message());
        }
        addFile(sources_.addFolder(path.parent_path()), path.filename().native(), size,
                u"\\" + *name, "\\" + *alias);
    } else {
        throw ImportError(ImportError::Kind::Unreadable, path,
                          path.string() + " is neither a regular file nor a folder");
    }
}

void ImportPlan::addFolder(const std::filesystem::path& source, const std::filesystem::path& real,
                           const std::u16string& longFolder, const std::string& shortFolder) {
    if (!walking_.insert(real).second) {
        throw ImportError(ImportError::Kind::Unreadable, source,
                          "the folder " + source.string() + " leads back into itself by a link");
    }

    // One pass over the folder: the type comes with each name; a file's size takes one look.
    std::vector<Item> files;
    std::vector<Item> folders;
    std::error_code error;
    std::filesystem::directory_iterator it(source, error);
    for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        const std::filesystem::path& path = it->path();
        const std::filesystem::path name = path.filename();
        if (!name.empty() && name.native().front() == '.') {
            continue;  // hidden
        }
        auto wide = nameOf(name);
        if (!wide) {
            throwNoShortName(path);
        }
        std::error_code typeError;
        if (it->is_directory(typeError)) {
            folders.push_back({*wide, sortKey(*wide), path, 0, it->is_symlink(typeError)});
        } else if (it->is_regular_file(typeError)) {
            const std::uint64_t size = it->file_size(typeError);
            if (typeError) {
                throw ImportError(
                    ImportError::Kind::Unreadable, path,
                    "the file " + path.string() + " cannot be read: " + typeError.message());
            }
            files.push_back({*wide, sortKey(*wide), path, size});
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
    if (!files.empty()) {
        const std::uint32_t sourceFolder = sources_.addFolder(source);
        for (std::size_t i = 0; i < files.size(); ++i) {
            addFile(sourceFolder, files[i].source.filename().native(), files[i].size,
                    longFolder + u"\\" + files[i].name, shortFolder + "\\" + *aliases[i]);
        }
    }
    for (std::size_t i = files.size(); i < names.size(); ++i) {
        folder.folderAliases.emplace(names[i], *aliases[i]);
    }
    for (const Item& sub : folders) {
        // Only a link can lead back into a folder being walked; any other folder is where its
        // name says.
        std::filesystem::path subReal = real / sub.source.filename();
        if (sub.link) {
            std::error_code linkError;
            subReal = std::filesystem::canonical(sub.source, linkError);
            if (linkError) {
                throw ImportError(ImportError::Kind::Unreadable, sub.source,
                                  "the folder " + sub.source.string() +
                                      " cannot be read: " + linkError.message());
            }
        }
        addFolder(sub.source, subReal, longFolder + u"\\" + sub.name,
                  shortFolder + "\\" + folder.folderAliases.at(sub.name));
    }
    walking_.erase(real);
}

bool HiddenFileCopier::fail(std::string why) {
    failure_ = std::move(why);
    return false;
}

bool HiddenFileCopier::ImgCopyFile(const ImportFile& planned) {
    const auto failed = [&](const std::string& what) {
        return fail("the file " + plan_.sources().path(planned.source).string() + " " + what);
    };
    if (planned.size > std::numeric_limits<std::uint32_t>::max()) {
        return failed("is larger than the 4 GiB a FAT file can hold");
    }
    auto file = volume_.ImgCreateFile(planned.longPath, planned.shortPath);
    if (!file) {
        return failed("cannot be created in the image: " + volume_.failure());
    }
    // The whole file in one piece: the volume hands out its clusters as sector-sized pieces
    // would take them.
    const auto size = static_cast<std::uint32_t>(planned.size);
    if (size > 0 && volume_.ImgWriteFileFromSource(*file, planned.source, 0, size) != size) {
        return failed("cannot be written into the image: " + volume_.failure());
    }
    file->entry.fileSize = size;
    if (!volume_.ImgCloseFile(std::move(file))) {
        return failed("cannot be closed in the image: " + volume_.failure());
    }
    return true;
}

bool HiddenFileCopier::copyAll(const std::function<void(const ImportProgress&)>& progress) {
    ImportProgress state;
    state.filesTotal = plan_.files().size();
    for (const ImportFile& file : plan_.files()) {
        if (!ImgCopyFile(file)) {
            return false;
        }
        ++state.filesDone;
        state.bytesDone += file.size;
        if (progress) {
            progress(state);
        }
    }
    return true;
}

}  // namespace corvid
