#include "production/disk_finishing.h"

#include <algorithm>
#include <system_error>

#include "platform/ascii_text.h"
#include "platform/hidden_file.h"
#include "transport/standard_commands.h"

namespace corvid {

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kBytesPerMB = 1024 * 1024;
constexpr std::uint64_t kUnit1KLimitMB = 32;
constexpr std::uint64_t kUnit8KLimitMB = 127;
constexpr std::uint64_t kFat16LimitMB = 512;

void tell(const DiagnosticSink& diagnostic, const std::string& text) {
    if (diagnostic) {
        diagnostic(text);
    }
}

bool reported(const VolumeResult& result, const DiagnosticSink& diagnostic) {
    if (!result) {
        tell(diagnostic, result.reason);
    }
    return result.ok;
}

std::string joined(const std::string& folder, const std::string& name) {
    return folder.empty() ? name : folder + "/" + name;
}

}  // namespace

bool lessIgnoringCase(const std::string& a, const std::string& b) {
    const std::string foldedA = asciiUpper(a);
    const std::string foldedB = asciiUpper(b);
    return foldedA != foldedB ? foldedA < foldedB : a < b;
}

FileSystemChoice fileSystemChoiceForSize(std::uint64_t sizeMB) {
    if (sizeMB == 0) {
        return FileSystemChoice::Fat16SystemUnit;
    }
    if (sizeMB <= kUnit1KLimitMB) {
        return FileSystemChoice::Fat16Unit1K;
    }
    if (sizeMB <= kUnit8KLimitMB) {
        return FileSystemChoice::Fat16Unit8K;
    }
    if (sizeMB <= kFat16LimitMB) {
        return FileSystemChoice::Fat16SystemUnit;
    }
    return FileSystemChoice::Fat32SystemUnit;
}

FileSystemChoice iChooseFileSystem(Transport& transport, char driveLetter) {
    ScopedDevice device(transport, driveLetter);
    std::uint32_t lastBlockAddress = 0;
    std::uint32_t blockLength = 0;
    if (!device.isOpen() ||
        !readCapacity10(transport, device.handle(), lastBlockAddress, blockLength) ||
        lastBlockAddress == 0 || blockLength == 0) {
        return FileSystemChoice::Fat16SystemUnit;
    }
    return fileSystemChoiceForSize(static_cast<std::uint64_t>(lastBlockAddress) * blockLength /
                                   kBytesPerMB);
}

std::uint64_t diskCapacityBytes(Transport& transport, char driveLetter) {
    ScopedDevice device(transport, driveLetter);
    std::uint32_t lastBlockAddress = 0;
    std::uint32_t blockLength = 0;
    if (!device.isOpen() ||
        !readCapacity10(transport, device.handle(), lastBlockAddress, blockLength)) {
        return 0;
    }
    return (static_cast<std::uint64_t>(lastBlockAddress) + 1) * blockLength;
}

bool bFormatDisk(VolumeTools& volumes, char driveLetter, bool quick, FileSystemChoice choice,
                 const DiagnosticSink& diagnostic) {
    return reported(volumes.format(driveLetter, choice, quick, kFormatLimit), diagnostic);
}

bool bSetVolumeLabel(VolumeTools& volumes, char driveLetter, const std::string& label,
                     std::optional<CodePage> codePage, const DiagnosticSink& diagnostic) {
    return reported(volumes.setLabel(driveLetter, label, codePage), diagnostic);
}

std::string GetVolumeName(VolumeTools& volumes, char driveLetter) {
    return volumes.label(driveLetter);
}

bool bCheckDisk(VolumeTools& volumes, char driveLetter, const DiagnosticSink& diagnostic) {
    return reported(volumes.checkDisk(driveLetter, kCheckDiskLimit), diagnostic);
}

bool bFlushDisk(VolumeTools& volumes, char driveLetter, const DiagnosticSink& diagnostic) {
    return reported(volumes.flush(driveLetter), diagnostic);
}

DiskCopy::DiskCopy(VolumeTools& volumes, char driveLetter, DiagnosticSink diagnostic, bool verify)
    : volumes_(volumes),
      driveLetter_(driveLetter),
      diagnostic_(std::move(diagnostic)),
      verify_(verify) {}

bool DiskCopy::claim(const std::string& folder, const std::string& name, const fs::path& source) {
    if (claimed_.insert(asciiUpper(joined(folder, name))).second) {
        return true;
    }
    tell(diagnostic_, source.string() + " would land on " + joined(folder, name) +
                          ", which another copied entry already takes (FAT names ignore case).");
    return false;
}

bool DiskCopy::copyFilesInto(const std::vector<fs::path>& files, const std::string& folder) {
    if (files.empty()) {
        return true;
    }
    if (!reported(volumes_.copyFiles(driveLetter_, files, folder), diagnostic_)) {
        return false;
    }
    if (verify_ && !reported(volumes_.verifyFiles(driveLetter_, files, folder), diagnostic_)) {
        readBackFailed_ = true;
        return false;
    }
    return true;
}

bool DiskCopy::copyEntry(const fs::path& entry) {
    std::error_code error;
    if (fs::is_directory(entry, error)) {
        return bCopyFolder(entry, "");
    }
    if (!fs::is_regular_file(entry, error)) {
        tell(diagnostic_, entry.string() + " is neither a readable file nor a folder.");
        return false;
    }
    return claim("", entry.filename().string(), entry) && copyFilesInto({entry}, "");
}

std::string DiskCopy::kindOfEntry(const fs::file_status& own, const fs::file_status& target) {
    if (fs::is_symlink(own) && fs::is_directory(target)) {
        return "a link to a folder";
    }
    switch (target.type()) {
        case fs::file_type::fifo:
            return "a FIFO";
        case fs::file_type::socket:
            return "a socket";
        case fs::file_type::block:
        case fs::file_type::character:
            return "a device file";
        default:
            return "an entry that is neither file nor folder";
    }
}

bool DiskCopy::bCopyFolder(const fs::path& source, const std::string& destination) {
    const fs::path trimmed = source.has_filename() ? source : source.parent_path();
    const std::string name = trimmed.filename().string();
    return claim(destination, name, source) && copyFolder(trimmed, joined(destination, name));
}

bool DiskCopy::copyFolder(const fs::path& source, const std::string& target) {
    std::vector<fs::path> files;
    std::vector<fs::path> folders;
    std::error_code error;
    fs::directory_iterator it(source, error);
    for (const fs::directory_iterator end; !error && it != end; it.increment(error)) {
        const fs::directory_entry& entry = *it;
        if (isHiddenEntry(entry.path())) {
            continue;
        }
        std::error_code kindError;
        const fs::file_status own = entry.symlink_status(kindError);
        const fs::file_status target = entry.status(kindError);
        if (fs::is_directory(own)) {
            folders.push_back(entry.path());
        } else if (fs::is_regular_file(target)) {
            files.push_back(entry.path());  // a link to a file is copied as the file
        } else if (fs::is_symlink(own) && !fs::exists(target)) {
            // The operator asked for the folder's files; one of them is missing.
            tell(diagnostic_, entry.path().string() + " is a link to " +
                                  fs::read_symlink(entry.path(), kindError).string() +
                                  ", which does not exist.");
            return false;
        } else {
            // A link to a folder is not followed (it may loop back); FIFOs, sockets and device
            // files are no files to copy. Said, so that nothing goes missing unnoticed.
            ++skippedEntries_;
            tell(diagnostic_, entry.path().string() + " is left out: " + kindOfEntry(own, target) +
                                  " is not copied.");
        }
    }
    if (error) {
        tell(diagnostic_,
             "The folder " + source.string() + " cannot be listed: " + error.message() + ".");
        return false;
    }

    const auto byName = [](const fs::path& a, const fs::path& b) {
        return lessIgnoringCase(a.filename().string(), b.filename().string());
    };
    std::sort(files.begin(), files.end(), byName);
    std::sort(folders.begin(), folders.end(), byName);
    // Every name of the folder is claimed before anything of it reaches the disk, so a clash
    // leaves none of it there.
    for (const auto* kind : {&files, &folders}) {
        for (const fs::path& path : *kind) {
            if (!claim(target, path.filename().string(), path)) {
                return false;
            }
        }
    }
    if (!reported(volumes_.makeFolder(driveLetter_, target), diagnostic_) ||
        !copyFilesInto(files, target)) {
        return false;
    }
    return std::all_of(folders.begin(), folders.end(), [&](const fs::path& folder) {
        return copyFolder(folder, joined(target, folder.filename().string()));
    });
}

}  // namespace corvid
