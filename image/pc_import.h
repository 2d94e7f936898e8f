#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "image/fat_volume.h"
#include "image/ram_disk.h"
#include "image/short_name.h"
#include "image/source_files.h"

namespace corvid {

class ImportError : public std::runtime_error {
  public:
    enum class Kind {
        NoShortName,  // a name that no 8.3 alias (and no FAT long name) can hold
        Unreadable,   // a missing item, a folder that cannot be listed, a special file
        NameClash,    // two inputs whose names a FAT reader takes as one (case aside)
    };
    ImportError(Kind kind, std::filesystem::path path, const std::string& message)
        : std::runtime_error(message), kind_(kind), path_(std::move(path)) {}
    Kind kind() const { return kind_; }
    const std::filesystem::path& path() const { return path_; }

  private:
    Kind kind_;
    std::filesystem::path path_;
};

class FolderLister;

// One PC file on its way into the volume.
struct ImportFile {
    std::uint32_t source = 0;  // in the plan's SourceFiles
    std::uint64_t size = 0;
    std::u16string longPath;  // "\Folder\Sub\Name.txt"
    std::string shortPath;    // "\FOLDER\SUB\NAME~1.TXT" in the 8.3 code page
};

// The list of hidden files walked once, in the order the volume receives the files: each listed
// file into the root; each listed folder's files, sorted by name without regard to case, then
// its subfolders in the same order, recursively. Hidden items (names starting with a dot) are
// skipped inside folders and taken when listed themselves; a folder without files at any depth
// gets no entry. The walk is shared by the volumes of both sector sizes, so both hold the same
// names. It reads each folder once and each file's size once; the files themselves are read
// only when the image is written.
class ImportPlan {
  public:
    explicit ImportPlan(ShortNameCodePage codePage) : codePage_(codePage) {}

    // Adds the items of the list, in order; 'added' (when given) gets each file as soon as it is
    // planned, so its volume entries can be made while the walk goes on. Throws ImportError at
    // the first item that fails.
    void addList(const std::vector<std::filesystem::path>& items,
                 const std::function<void(const ImportFile&)>& added = {});

    const std::vector<ImportFile>& files() const { return files_; }
    const SourceFiles& sources() const { return sources_; }

  private:
    // The names given out in one folder of the volume, so that folders of the list that meet in
    // the volume still get aliases unique there.
    struct TargetFolder {
        explicit TargetFolder(ShortNameCodePage codePage) : names(codePage) {}
        ShortNameGenerator names;
        std::unordered_map<std::u16string, std::string> folderAliases;  // long name -> alias
        // Every entry's long name upper-cased (FAT readers compare names without regard to
        // case), with the PC path it came from; a folder's first source stands for its merge.
        std::unordered_map<std::u16string, std::filesystem::path> entries;
    };
    // Notes the entry 'name' of the volume folder 'folder' coming from 'source'. Throws
    // ImportError (NameClash) naming both PC paths when another input already takes that name,
    // unless both are folders of the very same name, which merge.
    void claimName(TargetFolder& folder, const std::u16string& longFolder,
                   const std::u16string& name, const std::filesystem::path& source, bool isFolder);

    TargetFolder& target(const std::u16string& longFolder);
    void addFile(std::uint32_t folder, SourceFiles::NativePath name, std::uint64_t size,
                 std::u16string longPath, std::string shortPath);
    std::function<void(const ImportFile&)> added_;
    // The walk of one PC folder whose contents go into the volume folder at the target paths.
    // 'listing' names the folder's listing in 'lister'.
    // A file or folder of the list itself, placed in the root.
    void addRootItem(FolderLister& lister, std::size_t& nextRoot, const std::filesystem::path& path,
                     std::filesystem::file_status status);
    void addFolder(FolderLister& lister, std::size_t listing, const std::filesystem::path& source,
                   const std::u16string& longFolder, const std::string& shortFolder);

    ShortNameCodePage codePage_;
    SourceFiles sources_;
    std::vector<ImportFile> files_;
    std::map<std::u16string, TargetFolder> targets_;  // by long path of the volume folder
};

// Copies planned PC files into a volume, one by one in plan order; their data stay in the source
// files until the image is saved.
class HiddenFileCopier {
  public:
    HiddenFileCopier(FAT_VOLUME& volume, const ImportPlan& plan) : volume_(volume), plan_(plan) {}

    // Copies one planned file to its long and 8.3 target paths.
    bool ImgCopyFile(const ImportFile& file);

    // One sentence on the latest failure.
    const std::string& failure() const { return failure_; }

  private:
    bool fail(std::string why);

    FAT_VOLUME& volume_;
    const ImportPlan& plan_;
    std::string failure_;
};

}  // namespace corvid
