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

void ImportPlan::addFile(const std::filesystem::path& source, std::u16string longPath,
                         std::string shortPath) {
    ImportFile file;
    file.source = sources_.add(source, file.size);
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
        addFolder(path, u"\\" + *name, "\\" + known->second);
    } else if (std::filesystem::is_regular_file(status)) {
        const auto alias = root.names.alias(*name);
        if (!alias) {
            throwNoShortName(path);
        }
        addFile(path, u"\\" + *name, "\\" + *alias);
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
        addFile(files[i].source, longFolder + u"\\" + files[i].name,
                shortFolder + "\\" + *aliases[i]);
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

std::uint32_t SourceFiles::add(const std::filesystem::path& file, std::uint64_t& size) {
    std::ifstream in;
    in.rdbuf()->pubsetbuf(nullptr, 0);
    errno = 0;
    in.open(file, std::ios::binary);
    if (!in.is_open()) {
        throw ImportError(ImportError::Kind::Unreadable, file,
                          "the file " + file.string() + " cannot be opened: " +
                              (errno != 0 ? std::strerror(errno) : "unknown error"));
    }
    // One read tells a small file, which is kept, from a larger one, which is read when saved.
    probe_.resize(kKeptFileBytes + 1);
    in.read(probe_.data(), static_cast<std::streamsize>(probe_.size()));
    const auto count = static_cast<std::size_t>(in.gcount());
    if (in.bad()) {
        throw ImportError(ImportError::Kind::Unreadable, file,
                          "the file " + file.string() + " cannot be read");
    }
    File entry;
    entry.path = file;
    if (count <= kKeptFileBytes) {
        entry.size = count;
        entry.bytes.emplace(probe_.data(), count);
    } else {
        in.clear();
        in.seekg(0, std::ios::end);
        entry.size = static_cast<std::uint64_t>(in.tellg());
    }
    size = entry.size;
    files_.push_back(std::move(entry));
    return static_cast<std::uint32_t>(files_.size() - 1);
}

bool SourceFiles::fail(std::string why) {
    failure_ = std::move(why);
    open_.reset();
    stream_.close();
    return false;
}

const std::byte* SourceFiles::bytesInMemory(std::uint32_t source, std::uint64_t offset,
                                            std::size_t length) const {
    if (source >= files_.size() || !files_[source].bytes) {
        return nullptr;
    }
    const std::string& bytes = *files_[source].bytes;
    if (offset > bytes.size() || length > bytes.size() - offset) {
        return nullptr;
    }
    return reinterpret_cast<const std::byte*>(bytes.data() + offset);
}

bool SourceFiles::read(std::uint32_t source, std::uint64_t offset, std::span<std::byte> out) {
    if (source >= files_.size()) {
        return fail("file data refer to an unknown source file");
    }
    const File& file = files_[source];
    if (offset > file.size || out.size() > file.size - offset) {
        return fail("file data lie beyond the end of " + file.path.string());
    }
    if (file.bytes) {
        std::memcpy(out.data(), file.bytes->data() + offset, out.size());
        return true;
    }
    if (open_ != source) {
        stream_.close();
        stream_.clear();
        stream_.rdbuf()->pubsetbuf(nullptr, 0);  // reads go straight into the caller's buffer
        errno = 0;
        stream_.open(file.path, std::ios::binary);
        if (!stream_.is_open()) {
            return fail("the file " + file.path.string() + " cannot be opened: " +
                        (errno != 0 ? std::strerror(errno) : "unknown error"));
        }
        stream_.seekg(0, std::ios::end);
        if (static_cast<std::uint64_t>(stream_.tellg()) != file.size) {
            return fail("the file " + file.path.string() + " changed while the image was built");
        }
        open_ = source;
        position_ = file.size;
    }
    if (offset != position_) {
        stream_.seekg(static_cast<std::streamoff>(offset));
    }
    stream_.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size()));
    if (static_cast<std::size_t>(stream_.gcount()) != out.size()) {
        return fail("the file " + file.path.string() + " cannot be read to its end");
    }
    position_ = offset + out.size();
    return true;
}

bool HiddenFileCopier::fail(std::string why) {
    failure_ = std::move(why);
    return false;
}

bool HiddenFileCopier::ImgCopyFile(const ImportFile& planned) {
    const std::filesystem::path& source = plan_.sources().path(planned.source);
    if (planned.size > std::numeric_limits<std::uint32_t>::max()) {
        return fail("the file " + source.string() +
                    " is larger than the 4 GiB a FAT file can hold");
    }
    auto file = volume_.ImgCreateFile(planned.longPath, planned.shortPath);
    if (!file) {
        return fail("the file " + source.string() +
                    " cannot be created in the image: " + volume_.failure());
    }
    const std::uint32_t sectorSize = volume_.bytesPerSector();
    for (std::uint64_t offset = 0; offset < planned.size; offset += sectorSize) {
        const auto piece =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(sectorSize, planned.size - offset));
        if (volume_.ImgWriteFileFromSource(*file, planned.source, offset, piece) != piece) {
            return fail("the file " + source.string() +
                        " cannot be written into the image: " + volume_.failure());
        }
    }
    file->entry.fileSize = static_cast<std::uint32_t>(planned.size);
    if (!volume_.ImgCloseFile(std::move(file))) {
        return fail("the file " + source.string() +
                    " cannot be closed in the image: " + volume_.failure());
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
