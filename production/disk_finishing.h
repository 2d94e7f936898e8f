#pragma once

// The operations of the disk finishing: the file-system choice from the disk's size, format,
// label, the copy of files and folders onto the disk, and the disk check. The run sequence that
// strings them together with its texts lives in ProductThread.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/volume_tools.h"
#include "transport/transport.h"

namespace corvid {

// A format that has not ended after 40 polls a second apart has failed.
inline constexpr std::chrono::seconds kFormatLimit{41};
// A disk check that has not ended after 30 polls half a second apart has failed.
inline constexpr std::chrono::seconds kCheckDiskLimit{15};

// Where the reasons behind a failed step go (standard error on the command line); the slot
// shows only the station's failure text.
using DiagnosticSink = std::function<void(const std::string&)>;

// The choice for a disk of 'sizeMB' MB: 254 up to 32 MB, 255 up to 127 MB, 0 up to 512 MB
// (and for 0), 1 above.
FileSystemChoice fileSystemChoiceForSize(std::uint64_t sizeMB);

// The device is opened anew and asked with READ CAPACITY(10); 0 (FAT16 with the system's unit)
// when it cannot be opened, the command fails or a number is 0.
FileSystemChoice iChooseFileSystem(Transport& transport, char driveLetter);

// The capacity in bytes of the disk the drive shows now, from READ CAPACITY(10) on a new handle
// (blocks = last block address + 1); 0 when it cannot be read.
std::uint64_t diskCapacityBytes(Transport& transport, char driveLetter);

bool bFormatDisk(VolumeTools& volumes, char driveLetter, bool quick, FileSystemChoice choice,
                 const DiagnosticSink& diagnostic);
// 'label' in bytes of 'codePage' (the station language's; none for English).
bool bSetVolumeLabel(VolumeTools& volumes, char driveLetter, const std::string& label,
                     std::optional<CodePage> codePage, const DiagnosticSink& diagnostic);
std::string GetVolumeName(VolumeTools& volumes, char driveLetter);
bool bCheckDisk(VolumeTools& volumes, char driveLetter, const DiagnosticSink& diagnostic);

// Everything written to the volume reaches the device; false (said to 'diagnostic') when the
// device refused some of it.
bool bFlushDisk(VolumeTools& volumes, char driveLetter, const DiagnosticSink& diagnostic);

// Copies a list of files and folders onto one disk, as the pre-copy and hidden-file lists are
// copied: a folder with its files first, sorted by name without regard to case, then its
// subfolders the same way; entries whose names start with '.' (hidden) are left out inside
// folders but copied when the list names them; symbolic links to folders, FIFOs and device files
// are left out. FAT names ignore case, so two entries that would land on one name in a folder
// fail the copy rather than one replacing the other; nothing of that folder is copied then. One
// folder's files go to the volume in one call.
class DiskCopy {
  public:
    // With 'verify', every folder's files are read back after their copy and compared.
    DiskCopy(VolumeTools& volumes, char driveLetter, DiagnosticSink diagnostic,
             bool verify = false);

    // Copies list entry 'entry' (a file or a folder) into the root.
    bool copyEntry(const std::filesystem::path& entry);

    // bCopyFolder: the folder 'source' becomes the folder 'destination'/<its name> on the disk
    // ('destination' relative to the root, '/'-separated, empty for the root).
    bool bCopyFolder(const std::filesystem::path& source, const std::string& destination);

    // The last failure was a copy that read back different from its source.
    bool readBackFailed() const { return readBackFailed_; }
    // Entries of copied folders that are no files to copy (links to folders, FIFOs, sockets,
    // device files): left out, each named to the diagnostic.
    int skippedEntries() const { return skippedEntries_; }

  private:
    // Claims 'name' in 'folder' for this copy; false (with a diagnostic) when an entry of this
    // copy already took it, whatever its case.
    bool claim(const std::string& folder, const std::string& name,
               const std::filesystem::path& source);
    bool copyFilesInto(const std::vector<std::filesystem::path>& files, const std::string& folder);
    // The folder 'source' as the folder 'target' on the disk, its name already claimed.
    bool copyFolder(const std::filesystem::path& source, const std::string& target);
    static std::string kindOfEntry(const std::filesystem::file_status& own,
                                   const std::filesystem::file_status& target);

    VolumeTools& volumes_;
    char driveLetter_;
    DiagnosticSink diagnostic_;
    bool verify_ = false;
    bool readBackFailed_ = false;
    int skippedEntries_ = 0;
    std::set<std::string> claimed_;  // "folder/NAME" in upper case
};

// Names sorted without regard to ASCII case, independently of the locale; ties by their bytes.
bool lessIgnoringCase(const std::string& a, const std::string& b);

}  // namespace corvid
