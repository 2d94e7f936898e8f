#pragma once

// What the station asks of the operating system for a device's volume, reached by its drive
// letter: is there a readable file system, format it, read and set its label, make folders,
// copy files onto it and check it. Linux does it with dosfstools and mtools on the volume's
// path (the block device, or the simulator's backing file of the part shown now); Windows with
// format.com, chkdsk.exe and the file-system calls on "E:\".
//
// Every call runs on the worker that owns the drive; calls for different letters may run at the
// same time. A child process that a call starts is reaped before the call returns, also when it
// overran its limit (then it is killed, with the processes it started).

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/code_page.h"
#include "platform/result.h"

namespace corvid {

// The file-system choice of a disk size (iChooseFileSystem): 254 FAT16 with 1 KB clusters,
// 255 FAT16 with 8 KB clusters, 0 FAT16 with the system's cluster size, 1 FAT32 with the system's.
// FAT16 becomes FAT12 where the volume is too small for FAT16 at that cluster size, as a system
// format does.
enum class FileSystemChoice : std::uint8_t {
    Fat16SystemUnit = 0,
    Fat32SystemUnit = 1,
    Fat16Unit1K = 254,
    Fat16Unit8K = 255,
};

// The cluster size in bytes that a choice gives a volume of 'volumeBytes': 1 KB and 8 KB for
// 254 and 255; for 0 what a system format picks for FAT16 (2 KB below 128 MB, 4 KB below 256 MB,
// 8 KB below 512 MB, 16 KB below 1 GB, 32 KB below 2 GB, 64 KB above); for 1 the FAT32 default
// (4 KB below 8 GB, 8 KB below 16 GB, 16 KB below 32 GB, 32 KB above).
std::uint32_t clusterBytesFor(FileSystemChoice choice, std::uint64_t volumeBytes);

// A volume label as FAT stores it, or why FAT cannot hold it.
struct VolumeLabelCheck {
    bool ok = false;
    std::string label;   // when ok: ASCII letters upper-cased, without trailing blanks
    std::string reason;  // when not: one sentence naming the label and the fault
};

// What a system's set-label call accepts: at most 11 bytes; no control characters and none of
// * ? / \ | . , ; : + = [ ] < > "; ASCII letters are upper-cased. With a double-byte code page
// (GBK, Big5) a lead byte and its trail byte are one character, kept as they are (a trail byte
// may look like a forbidden ASCII character or a small letter); a label that breaks off inside
// a character is refused. Without a code page every byte is a character of its own. An empty
// label is valid: it removes the label.
VolumeLabelCheck checkVolumeLabel(std::string_view label, std::optional<CodePage> codePage);

// True when the two files hold the same bytes; 'why' names the first difference or the file that
// cannot be read.
bool sameFileContents(const std::filesystem::path& source, const std::filesystem::path& copy,
                      std::string& why);

enum class VolumeState {
    Fat,              // a readable FAT file system
    NoFat,            // the volume reads, but holds no file system: formatting loses nothing
    OtherFileSystem,  // another file system (NTFS, exFAT ...): its data is kept unless asked
    Unreadable,       // the volume cannot be read (gone, I/O error): never a reason to format
};

struct VolumeProbe {
    VolumeProbe() = default;
    VolumeProbe(VolumeState state, std::uint64_t freeBytes, std::string reason,
                std::string fileSystem = {})
        : state(state),
          freeBytes(freeBytes),
          reason(std::move(reason)),
          fileSystem(std::move(fileSystem)) {}

    VolumeState state = VolumeState::Unreadable;
    std::uint64_t freeBytes = 0;  // for Fat
    std::string reason;           // for the others, one sentence for standard error
    std::string fileSystem;       // for OtherFileSystem: its name ("exfat", "ntfs")
};

// What a volume operation gives back: the house's Result (ok, or the reason in one sentence).
using VolumeResult = Result;

class VolumeTools {
  public:
    virtual ~VolumeTools() = default;

    virtual VolumeProbe probe(char letter) = 0;

    // Makes the system see the disk as it is now: after the device started its disk or switched
    // to its other part, the system's idea of the disk (capacity, cached blocks) is stale. Waits
    // (bounded) until the disk answers again. Nothing to do for a volume the station reaches as a
    // plain file.
    virtual VolumeResult refresh(char letter) = 0;

    // Formats the whole volume (quick: no surface scan), within 'limit'; a format past its limit
    // is ended and fails. The label is left empty; it is set afterwards.
    virtual VolumeResult format(char letter, FileSystemChoice choice, bool quick,
                                std::chrono::seconds limit) = 0;

    // The volume label as the volume stores it (bytes of the label's code page, without the
    // trailing blanks); empty when there is none or it cannot be read.
    virtual std::string label(char letter) = 0;

    // Sets the label (bytes of 'codePage', the station language's; none for single-byte text);
    // an empty label removes it. The label is stored as checkVolumeLabel gives it; a label FAT
    // cannot hold is refused.
    virtual VolumeResult setLabel(char letter, const std::string& label,
                                  std::optional<CodePage> codePage) = 0;

    // Makes the folder 'folder' (relative to the root, '/'-separated) when it does not exist.
    virtual VolumeResult makeFolder(char letter, const std::string& folder) = 0;

    // Copies the files, in this order, into 'folder' (relative to the root, '/'-separated; empty
    // for the root), each under its own file name, replacing a file of that name.
    virtual VolumeResult copyFiles(char letter, const std::vector<std::filesystem::path>& files,
                                   const std::string& folder) = 0;

    // Reads each of 'files' back from 'folder' on the volume (where copyFiles put it) and compares
    // it byte for byte with its source; the first difference fails, naming the file.
    virtual VolumeResult verifyFiles(char letter, const std::vector<std::filesystem::path>& files,
                                     const std::string& folder) = 0;

    // Checks the volume without repairing it, within 'limit'; a check past its limit is ended
    // and fails. It reads the device, not what the system still holds (see flush()).
    virtual VolumeResult checkDisk(char letter, std::chrono::seconds limit) = 0;

    // Writes what the system still holds of the volume to the device and forgets its cached
    // blocks, so that what is read next comes from the device. A write the device refused here
    // is a failure: the run's data did not all arrive. Read-back and checks flush first.
    virtual VolumeResult flush(char letter) = 0;
};

}  // namespace corvid
