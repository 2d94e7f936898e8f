#include "image/pc_import.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <fstream>
#include <limits>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <unordered_map>

#include "image/unicode_text.h"
#include "platform/hidden_file.h"

namespace corvid {

namespace {

using NativeName = std::basic_string_view<std::filesystem::path::value_type>;

// A file name as UTF-16; nothing when the bytes of a POSIX name are not UTF-8. A template, so
// only the branch of the platform's name type is compiled.
template <typename Char>
std::optional<std::u16string> nameOf(std::basic_string_view<Char> name) {
    if constexpr (std::is_same_v<Char, wchar_t>) {
        return std::u16string(name.begin(), name.end());
    } else {
        return utf16FromUtf8(name);
    }
}

// The last component of a path the folder listing gave.
NativeName lastComponent(const std::filesystem::path& path) {
    const NativeName native = path.native();
    const std::size_t slash = native.find_last_of(std::filesystem::path::preferred_separator);
    return slash == NativeName::npos ? native : native.substr(slash + 1);
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
    SourceFiles::NativePath native;  // the name as the PC's file system has it
    std::uint64_t size = 0;          // of a file
    bool link = false;               // a folder reached through a link
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

// What the walk needs of one PC folder: its files with their sizes and its subfolders, each
// sorted, or the failure met reading it.
struct Listing {
    std::vector<Item> files;
    std::vector<Item> folders;
    std::vector<std::size_t> folderIds;  // the listing of each subfolder
    std::exception_ptr error;
};

}  // namespace

// Reads the folders of the list ahead of the walk, on a thread of its own, so that the system's
// work (reading folders, a look at each file's size) runs beside the naming of the files; the
// walk, when the listing it needs is not there yet, reads the next folder waiting meanwhile.
// Folders are read roughly in walk order (a folder's subfolders before the folders after it).
// A failure is kept in the listing of the folder where the walk would meet it; the folders
// below it are not read.
class FolderLister {
  public:
    // 'roots' are the folders of the list, each with its path with every link resolved; their
    // listings are 0, 1, ... in order.
    explicit FolderLister(
        std::vector<std::pair<std::filesystem::path, std::filesystem::path>> roots)
        : nextId_(roots.size()) {
        for (std::size_t i = 0; i < roots.size(); ++i) {
            queue_.push_back({i, std::move(roots[i].first), std::move(roots[i].second), nullptr});
        }
        thread_ = std::thread([this] { run(); });
    }
    ~FolderLister() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    FolderLister(const FolderLister&) = delete;
    FolderLister& operator=(const FolderLister&) = delete;

    // The listing 'id' (a root's, or one a listing names for a subfolder).
    Listing take(std::size_t id) {
        std::unique_lock<std::mutex> lock(mutex_);
        while (true) {
            const auto found = ready_.find(id);
            if (found != ready_.end()) {
                Listing listing = std::move(found->second);
                ready_.erase(found);
                return listing;
            }
            if (!queue_.empty()) {
                Task task = std::move(queue_.front());
                queue_.pop_front();
                lock.unlock();
                list(std::move(task));
                lock.lock();
                continue;
            }
            changed_.wait(lock);
        }
    }

  private:
    // The folders above a folder, by their resolved paths, against links that lead back.
    struct Chain {
        std::filesystem::path real;
        std::shared_ptr<const Chain> parent;
    };
    struct Task {
        std::size_t id = 0;
        std::filesystem::path source;
        std::filesystem::path real;
        std::shared_ptr<const Chain> above;
    };

    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (true) {
            changed_.wait(lock, [&] { return stop_ || !queue_.empty(); });
            if (stop_) {
                return;
            }
            Task task = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            list(std::move(task));
            lock.lock();
        }
    }

    static Listing failed(ImportError error) {
        Listing listing;
        listing.error = std::make_exception_ptr(std::move(error));
        return listing;
    }

    void list(Task task) {
        Listing listing;
        std::vector<Task> below;
        std::vector<std::pair<std::size_t, Listing>> failedBelow;
        bool loops = false;
        for (const Chain* c = task.above.get(); c != nullptr && !loops; c = c->parent.get()) {
            loops = c->real == task.real;
        }
        try {
            if (loops) {
                throw ImportError(
                    ImportError::Kind::Unreadable, task.source,
                    "the folder " + task.source.string() + " leads back into itself by a link");
            }
            listing = read(task.source);
            auto chain = std::make_shared<const Chain>(Chain{task.real, task.above});
            for (const Item& sub : listing.folders) {
                const std::size_t id = nextId_++;
                listing.folderIds.push_back(id);
                std::filesystem::path subSource = task.source / sub.native;
                // Only a link can lead back into a folder above; any other folder is where its
                // name says.
                std::filesystem::path subReal = task.real / sub.native;
                if (sub.link) {
                    std::error_code error;
                    subReal = std::filesystem::canonical(subSource, error);
                    if (error) {
                        failedBelow.emplace_back(
                            id, failed(ImportError(ImportError::Kind::Unreadable, subSource,
                                                   "the folder " + subSource.string() +
                                                       " cannot be read: " + error.message())));
                        continue;
                    }
                }
                below.push_back({id, std::move(subSource), std::move(subReal), chain});
            }
        } catch (const ImportError& e) {
            listing = failed(e);
            below.clear();
            failedBelow.clear();
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ready_.emplace(task.id, std::move(listing));
            for (auto& [id, failure] : failedBelow) {
                ready_.emplace(id, std::move(failure));
            }
            // A folder's subfolders come before the folders waiting after it, as in the walk.
            for (auto it = below.rbegin(); it != below.rend(); ++it) {
                queue_.push_front(std::move(*it));
            }
        }
        changed_.notify_all();
    }

    // One pass over the folder: the type comes with each name; a file's size takes one look.
    static Listing read(const std::filesystem::path& source) {
        Listing listing;
        std::error_code error;
        std::filesystem::directory_iterator it(source, error);
        for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
            const std::filesystem::path& path = it->path();
            if (isHiddenEntry(path)) {
                continue;
            }
            const NativeName name = lastComponent(path);
            auto wide = nameOf(name);
            if (!wide) {
                throwNoShortName(path);
            }
            std::u16string key = sortKey(*wide);
            std::error_code typeError;
            if (it->is_directory(typeError)) {
                listing.folders.push_back({std::move(*wide), std::move(key),
                                           SourceFiles::NativePath(name), 0,
                                           it->is_symlink(typeError)});
            } else if (it->is_regular_file(typeError)) {
                const std::uint64_t size = it->file_size(typeError);
                if (typeError) {
                    throw ImportError(
                        ImportError::Kind::Unreadable, path,
                        "the file " + path.string() + " cannot be read: " + typeError.message());
                }
                listing.files.push_back(
                    {std::move(*wide), std::move(key), SourceFiles::NativePath(name), size});
            } else {
                throw ImportError(ImportError::Kind::Unreadable, path,
                                  path.string() + " is neither a regular file nor a folder");
            }
        }
        if (error) {
            throw ImportError(
                ImportError::Kind::Unreadable, source,
                "the folder " + source.string() + " cannot be read: " + error.message());
        }
        sortItems(listing.files);
        sortItems(listing.folders);
        return listing;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Task> queue_;                          // folders to read, the next first
    std::unordered_map<std::size_t, Listing> ready_;  // read, not yet taken
    std::atomic<std::size_t> nextId_;
    bool stop_ = false;
    std::thread thread_;
};

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
    if (added_) {
        added_(files_.back());
    }
}

namespace {

// An item of the list as the file system has it; a failure is kept for the moment the list
// reaches the item, so that failures come in list order.
struct ResolvedItem {
    std::filesystem::path path;
    std::filesystem::file_status status;
    std::filesystem::path real;  // of a folder
    std::exception_ptr error;
};

ResolvedItem resolveItem(const std::filesystem::path& item) {
    ResolvedItem r;
    std::error_code error;
    r.path = std::filesystem::absolute(item, error).lexically_normal();
    if (!r.path.has_filename()) {
        r.path = r.path.parent_path();
    }
    r.status = std::filesystem::status(r.path, error);
    if (error || !std::filesystem::exists(r.status)) {
        r.error = std::make_exception_ptr(
            ImportError(ImportError::Kind::Unreadable, item,
                        "the file or folder " + item.string() + " does not exist"));
    } else if (std::filesystem::is_directory(r.status)) {
        r.real = std::filesystem::canonical(r.path, error);
        if (error) {
            r.error = std::make_exception_ptr(ImportError(
                ImportError::Kind::Unreadable, r.path,
                "the folder " + r.path.string() + " cannot be read: " + error.message()));
        }
    }
    return r;
}

}  // namespace

void ImportPlan::addList(const std::vector<std::filesystem::path>& items,
                         const std::function<void(const ImportFile&)>& added) {
    added_ = added;
    struct Forget {
        std::function<void(const ImportFile&)>& added;
        ~Forget() { added = nullptr; }
    } forget{added_};
    std::vector<ResolvedItem> resolved;
    std::vector<std::pair<std::filesystem::path, std::filesystem::path>> roots;
    for (const auto& item : items) {
        ResolvedItem r = resolveItem(item);
        const bool stops = static_cast<bool>(r.error);
        if (!stops && std::filesystem::is_directory(r.status)) {
            roots.emplace_back(r.path, r.real);
        }
        resolved.push_back(std::move(r));
        if (stops) {
            break;  // the list ends there
        }
    }

    FolderLister lister(std::move(roots));
    std::size_t nextRoot = 0;
    for (const ResolvedItem& r : resolved) {
        if (r.error) {
            std::rethrow_exception(r.error);
        }
        addRootItem(lister, nextRoot, r.path, r.status);
    }
}

void ImportPlan::addRootItem(FolderLister& lister, std::size_t& nextRoot,
                             const std::filesystem::path& path,
                             std::filesystem::file_status status) {
    const auto name = nameOf(NativeName(path.filename().native()));
    if (!name || !ShortNameGenerator::isValidLongName(*name)) {
        throwNoShortName(path);
    }
    TargetFolder& root = target(u"");
    if (std::filesystem::is_directory(status)) {
        claimName(root, u"", *name, path, true);
        auto known = root.folderAliases.find(*name);
        if (known == root.folderAliases.end()) {
            const auto alias = root.names.alias(*name);
            if (!alias) {
                throwNoShortName(path);
            }
            known = root.folderAliases.emplace(*name, *alias).first;
        }
        addFolder(lister, nextRoot++, path, u"\\" + *name, "\\" + known->second);
    } else if (std::filesystem::is_regular_file(status)) {
        claimName(root, u"", *name, path, false);
        const auto alias = root.names.alias(*name);
        if (!alias) {
            throwNoShortName(path);
        }
        std::error_code error;
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

namespace {

// The name as FAT readers compare it: ASCII letters in upper case, other characters as they are.
std::u16string foldedName(const std::u16string& name) {
    std::u16string folded = name;
    for (char16_t& c : folded) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
    }
    return folded;
}

}  // namespace

void ImportPlan::claimName(TargetFolder& folder, const std::u16string& longFolder,
                           const std::u16string& name, const std::filesystem::path& source,
                           bool isFolder) {
    const std::u16string key = foldedName(name);
    const auto [at, added] = folder.entries.emplace(key, source);
    if (added) {
        return;
    }
    // Folders given under the very same name merge into one volume folder.
    if (isFolder && folder.folderAliases.count(name) != 0) {
        return;
    }
    throw ImportError(ImportError::Kind::NameClash, source,
                      "the inputs " + at->second.string() + " and " + source.string() +
                          " would both be " + utf8FromUtf16(longFolder + u"\\" + name) +
                          " on the volume, whose FAT names do not tell case apart; rename one");
}

void ImportPlan::addFolder(FolderLister& lister, std::size_t listing,
                           const std::filesystem::path& source, const std::u16string& longFolder,
                           const std::string& shortFolder) {
    Listing listed = lister.take(listing);
    if (listed.error) {
        std::rethrow_exception(listed.error);
    }
    std::vector<Item>& files = listed.files;
    const std::vector<Item>& folders = listed.folders;

    // Aliases in the order the volume creates the entries: files, then new subfolders.
    TargetFolder& folder = target(longFolder);
    for (const Item& file : files) {
        claimName(folder, longFolder, file.name, source / file.native, false);
    }
    for (const Item& sub : folders) {
        claimName(folder, longFolder, sub.name, source / sub.native, true);
    }
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
            throwNoShortName(source / named[i]->native);
        }
    }
    if (!files.empty()) {
        const std::uint32_t sourceFolder = sources_.addFolder(source);
        for (std::size_t i = 0; i < files.size(); ++i) {
            addFile(sourceFolder, std::move(files[i].native), files[i].size,
                    longFolder + u"\\" + files[i].name, shortFolder + "\\" + *aliases[i]);
        }
    }
    for (std::size_t i = files.size(); i < names.size(); ++i) {
        folder.folderAliases.emplace(names[i], *aliases[i]);
    }
    for (std::size_t i = 0; i < folders.size(); ++i) {
        const Item& sub = folders[i];
        addFolder(lister, listed.folderIds[i], source / sub.native, longFolder + u"\\" + sub.name,
                  shortFolder + "\\" + folder.folderAliases.at(sub.name));
    }
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

}  // namespace corvid
