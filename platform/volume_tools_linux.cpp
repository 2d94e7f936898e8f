#include "platform/volume_tools_linux.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/process_runner.h"
#include "platform/text_file.h"
#include "platform/volume_tools_fat.h"

namespace corvid {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------------------------
// The format plan.

namespace {

constexpr std::uint64_t kMaxFat12Clusters = 4084;
constexpr std::uint64_t kMinFat16Clusters = 4085;
constexpr std::uint64_t kMaxFat16Clusters = 65524;
constexpr std::uint64_t kMinFat32Clusters = 65525;
// mkfs.fat sizes its FATs more generously than this plan counts, and refuses FAT16 up to about
// ten clusters above the FAT12 limit by the plan's count (found by formatting every size around
// the limit for each cluster size); plans this far clear of the limits are ones it takes.
constexpr std::uint64_t kFat16Margin = 11;
constexpr std::uint64_t kFat12Margin = 2;
constexpr std::uint64_t kFat32Margin = 16;
constexpr std::uint32_t kRootEntries = 512;
constexpr std::uint32_t kDirEntryBytes = 32;
constexpr std::uint32_t kFat32Reserved = 32;

std::uint64_t roundUp(std::uint64_t value, std::uint64_t step) {
    return (value + step - 1) / step * step;
}

struct Geometry {
    std::uint64_t sectors;
    std::uint32_t sectorSize;
    std::uint32_t sectorsPerCluster;
};

// Sectors of one FAT for 'clusters' clusters, aligned to whole clusters as mkfs.fat aligns them.
std::uint64_t fatSectors(int bits, std::uint64_t clusters, const Geometry& g) {
    const std::uint64_t bytes = ((clusters + 2) * static_cast<std::uint64_t>(bits) + 7) / 8;
    return roundUp((bytes + g.sectorSize - 1) / g.sectorSize, g.sectorsPerCluster);
}

// The most clusters that fit beside two FATs, the reserved sectors and the root directory.
std::uint64_t clusterCount(int bits, std::uint64_t reserved, std::uint64_t rootSectors,
                           const Geometry& g) {
    if (g.sectors <= reserved + rootSectors) {
        return 0;
    }
    const std::uint64_t room = g.sectors - reserved - rootSectors;
    std::uint64_t low = 0;
    std::uint64_t high = room / g.sectorsPerCluster;
    while (low < high) {
        const std::uint64_t mid = (low + high + 1) / 2;
        if (mid * g.sectorsPerCluster + 2 * fatSectors(bits, mid, g) <= room) {
            low = mid;
        } else {
            high = mid - 1;
        }
    }
    return low;
}

std::string mib(std::uint64_t bytes) {
    return std::to_string(bytes >> 20) + " MB";
}

FatFormatPlan planFat16(std::uint64_t volumeBytes, std::uint32_t clusterBytes, const Geometry& g) {
    FatFormatPlan plan;
    plan.clusterBytes = clusterBytes;
    plan.rootEntries = kRootEntries;
    const std::uint64_t rootSectors =
        roundUp((std::uint64_t{kRootEntries} * kDirEntryBytes + g.sectorSize - 1) / g.sectorSize,
                g.sectorsPerCluster);
    std::uint64_t reserved = g.sectorsPerCluster;  // the data area starts on a cluster boundary
    const std::uint64_t fat16 = clusterCount(16, reserved, rootSectors, g);
    if (fat16 > kMaxFat16Clusters) {
        plan.refusal = "a volume of " + mib(volumeBytes) + " holds " + std::to_string(fat16) +
                       " clusters of " + std::to_string(clusterBytes) +
                       " bytes, more than FAT16 can address";
        return plan;
    }
    if (fat16 >= kMinFat16Clusters + kFat16Margin) {
        plan.fatBits = 16;
        plan.clusters = fat16;
        plan.reservedSectors = static_cast<std::uint32_t>(reserved);
        return plan;
    }
    // Too few clusters for FAT16: FAT12, whose smaller FATs leave room for more clusters; where
    // that is more than FAT12 can address, the extra room goes to reserved sectors.
    std::uint64_t fat12 = clusterCount(12, reserved, rootSectors, g);
    while (fat12 > kMaxFat12Clusters - kFat12Margin) {
        reserved += (fat12 - (kMaxFat12Clusters - kFat12Margin)) * g.sectorsPerCluster;
        fat12 = clusterCount(12, reserved, rootSectors, g);
    }
    if (fat12 == 0) {
        plan.refusal = "a volume of " + std::to_string(volumeBytes) +
                       " bytes is too small for a FAT file system with clusters of " +
                       std::to_string(clusterBytes) + " bytes";
        return plan;
    }
    plan.fatBits = 12;
    plan.clusters = fat12;
    plan.reservedSectors = static_cast<std::uint32_t>(reserved);
    return plan;
}

FatFormatPlan planFat32(std::uint64_t volumeBytes, std::uint32_t clusterBytes,
                        std::uint32_t sectorSize, std::uint64_t sectors) {
    for (std::uint32_t bytes = clusterBytes; bytes >= sectorSize; bytes /= 2) {
        const Geometry g{sectors, sectorSize, bytes / sectorSize};
        const std::uint64_t reserved = roundUp(kFat32Reserved, g.sectorsPerCluster);
        const std::uint64_t clusters = clusterCount(32, reserved, 0, g);
        if (clusters >= kMinFat32Clusters + kFat32Margin) {
            FatFormatPlan plan;
            plan.fatBits = 32;
            plan.clusterBytes = bytes;
            plan.reservedSectors = static_cast<std::uint32_t>(reserved);
            plan.clusters = clusters;
            return plan;
        }
    }
    FatFormatPlan plan;
    plan.refusal = "a volume of " + mib(volumeBytes) +
                   " is too small for FAT32 (it needs at least 65525 clusters)";
    return plan;
}

}  // namespace

FatFormatPlan planFatFormat(FileSystemChoice choice, std::uint64_t volumeBytes,
                            std::uint32_t sectorSize) {
    const std::uint32_t clusterBytes = std::max(clusterBytesFor(choice, volumeBytes), sectorSize);
    const std::uint64_t sectors = volumeBytes / sectorSize;
    if (choice == FileSystemChoice::Fat32SystemUnit) {
        return planFat32(volumeBytes, clusterBytes, sectorSize, sectors);
    }
    return planFat16(volumeBytes, clusterBytes, {sectors, sectorSize, clusterBytes / sectorSize});
}

// ---------------------------------------------------------------------------------------------
// The tools.

namespace {

using namespace std::chrono_literals;

// How long an unmount may take before the step gives up on it.
constexpr std::chrono::milliseconds kUnmountLimit = 30s;
// An output's tail that goes into a reason.
constexpr std::size_t kReasonOutput = 400;

std::string findProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return name;
    }
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/bin:/bin";
    folders += ":/usr/sbin:/sbin";
    std::stringstream list(folders);
    std::string folder;
    while (std::getline(list, folder, ':')) {
        if (folder.empty()) {
            continue;
        }
        const fs::path candidate = fs::path(folder) / name;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
    }
    return name;
}

// Output shortened for a reason: its last lines, on one line.
std::string shortOutput(std::string output) {
    std::replace(output.begin(), output.end(), '\n', ' ');
    while (!output.empty() && output.back() == ' ') {
        output.pop_back();
    }
    if (output.size() > kReasonOutput) {
        output = "..." + output.substr(output.size() - kReasonOutput);
    }
    return output;
}

struct ToolRun {
    std::optional<int> exitCode;  // nothing when it could not start or overran its limit
    bool overran = false;
    std::string output;
    std::string startError;

    bool ok() const { return exitCode == 0; }
};

// The mounts of the devices numbered 'numbers' ("8:17"), from the system's mount table.
std::vector<MountEntry> mountsOf(const fs::path& mountInfo, const std::set<std::string>& numbers) {
    std::ifstream table(mountInfo);
    const std::string text{std::istreambuf_iterator<char>(table), std::istreambuf_iterator<char>()};
    std::vector<MountEntry> mounts;
    for (MountEntry& entry : parseMountInfo(text)) {
        if (numbers.count(entry.deviceNumber) != 0) {
            mounts.push_back(std::move(entry));
        }
    }
    return mounts;
}

// The volume a drive letter reaches, as the tools work on it.
struct Volume {
    fs::path path;
    bool blockDevice = false;
    bool wholeDisk = false;         // a disk without partition table (mkfs.fat -I)
    fs::path disk;                  // the whole disk, for block devices
    std::vector<fs::path> members;  // the disk and its partitions, for block devices
    std::uint32_t fileSectorSize = 512;
};

struct Partition {
    int number;
    std::string name;
};

std::vector<Partition> partitionsOf(const std::string& diskName) {
    std::vector<Partition> partitions;
    std::error_code error;
    const fs::path sysfs = fs::path("/sys/class/block") / diskName;
    for (const auto& item : fs::directory_iterator(sysfs, error)) {
        const std::string name = item.path().filename().string();
        std::ifstream number(item.path() / "partition");
        int value = 0;
        if (name.rfind(diskName, 0) == 0 && number >> value) {
            partitions.push_back({value, name});
        }
    }
    std::sort(partitions.begin(), partitions.end(),
              [](const Partition& a, const Partition& b) { return a.number < b.number; });
    return partitions;
}

class OpenFile {
  public:
    OpenFile(const fs::path& path, int flags) : fd_(::open(path.c_str(), flags | O_CLOEXEC)) {}
    ~OpenFile() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

  private:
    int fd_;
};

std::string errnoText() {
    return std::strerror(errno);
}

// The type of a file system other than FAT that libblkid finds on the volume ("exfat", "ntfs",
// "ext4"); nothing for none, for FAT, or when it cannot tell.
std::optional<std::string> otherFileSystem(const fs::path& volume) {
    const std::unique_ptr<blkid_struct_probe, decltype(&blkid_free_probe)> probe(
        blkid_new_probe_from_filename(volume.c_str()), &blkid_free_probe);
    if (!probe) {
        return std::nullopt;
    }
    blkid_probe_enable_superblocks(probe.get(), 1);
    blkid_probe_set_superblocks_flags(probe.get(), BLKID_SUBLKS_TYPE);
    const char* type = nullptr;
    if (blkid_do_safeprobe(probe.get()) != 0 ||
        blkid_probe_lookup_value(probe.get(), "TYPE", &type, nullptr) != 0 || type == nullptr) {
        return std::nullopt;
    }
    const std::string name = type;
    if (name == "vfat" || name == "msdos") {
        return std::nullopt;
    }
    return name;
}

constexpr std::string_view kScratchPrefix = "corvid-volume-";

// Scratch folders are named corvid-volume-PID-XXXXXX. One whose process has ended (killed before
// it could remove its folder) is removed here; others' folders, and folders named otherwise, stay.
void removeStaleScratchFolders(const fs::path& temp) {
    std::error_code error;
    for (fs::directory_iterator entry(temp, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (name.rfind(kScratchPrefix, 0) != 0) {
            continue;
        }
        const char* digits = name.c_str() + kScratchPrefix.size();
        const char* last = name.c_str() + name.size();
        pid_t pid = 0;
        const auto [after, parsed] = std::from_chars(digits, last, pid);
        if (parsed != std::errc() || after == digits || after == last || *after != '-' ||
            pid <= 0) {
            continue;
        }
        if (::kill(pid, 0) == 0 || errno != ESRCH) {
            continue;  // the process runs (or belongs to another user, who keeps it)
        }
        std::error_code ignored;
        fs::remove_all(entry->path(), ignored);
    }
}

class LinuxVolumeTools : public VolumeTools {
  public:
    explicit LinuxVolumeTools(LinuxVolumeToolsOptions options) : options_(std::move(options)) {
        const fs::path temp = fs::temp_directory_path();
        removeStaleScratchFolders(temp);
        std::string pattern =
            (temp / (std::string(kScratchPrefix) + std::to_string(::getpid()) + "-XXXXXX"))
                .string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("The volume tools cannot make their folder " + pattern + ": " +
                                     errnoText() + ".");
        }
        workDir_ = pattern;
        // mtools read this instead of the user's ~/.mtoolsrc; the station's own settings only.
        writeFileAtomically(workDir_ / "mtoolsrc", "mtools_skip_check=1\n");
        const VolumePrograms& p = options_.programs;
        mkfsFat_ = findProgram(p.mkfsFat);
        fsckFat_ = findProgram(p.fsckFat);
        mmd_ = findProgram(p.mmd);
        mcopy_ = findProgram(p.mcopy);
        mdir_ = findProgram(p.mdir);
        umount_ = findProgram(p.umount);
        udisksctl_ = findProgram(p.udisksctl);
    }

    ~LinuxVolumeTools() override {
        std::error_code error;
        fs::remove_all(workDir_, error);
    }

    VolumeProbe probe(char letter) override {
        std::string why;
        const auto volume = resolve(letter, why);
        if (!volume) {
            return {VolumeState::Unreadable, 0, why};
        }
        {
            OpenFile file(volume->path, O_RDONLY);
            if (!file) {
                return {VolumeState::Unreadable, 0,
                        "The volume " + volume->path.string() +
                            " cannot be opened: " + errnoText() + "."};
            }
            std::uint8_t sector[512];
            const ssize_t n = ::pread(file.get(), sector, sizeof sector, 0);
            if (n < 0) {
                return {VolumeState::Unreadable, 0,
                        "The volume " + volume->path.string() + " cannot be read: " + errnoText() +
                            "."};
            }
            if (n < static_cast<ssize_t>(sizeof sector)) {
                return {VolumeState::NoFat, 0,
                        "The volume " + volume->path.string() + " holds less than one sector."};
            }
        }
        const ToolRun run = runTool(letter, {mdir_, "-i", volume->path.string(), "::/"}, true);
        if (run.ok()) {
            return {VolumeState::Fat, freeBytesIn(run.output), {}};
        }
        const std::string reason = "mdir finds no readable FAT file system on " +
                                   volume->path.string() + ": " + describe(run) + ".";
        if (run.output.find(std::strerror(EIO)) != std::string::npos || !run.exitCode) {
            return {VolumeState::Unreadable, 0, reason};
        }
        if (const auto other = otherFileSystem(volume->path)) {
            return {VolumeState::OtherFileSystem, 0,
                    "The volume " + volume->path.string() + " holds a file system of type " +
                        *other + ".",
                    *other};
        }
        return {VolumeState::NoFat, 0, reason};
    }

    VolumeResult refresh(char letter) override {
        const auto location = options_.locate(letter);
        if (!location) {
            return VolumeResult::failure(noDisk(letter));
        }
        struct stat info {};
        if (::stat(location->path.c_str(), &info) != 0 || !S_ISBLK(info.st_mode)) {
            return VolumeResult::success();  // a plain file has no cache of the system's
        }
        std::string why;
        auto volume = resolve(letter, why);
        if (!volume) {
            return VolumeResult::failure(why);
        }
        if (auto unmounted = unmount(letter, *volume); !unmounted) {
            return unmounted;
        }
        const std::string diskName = volume->disk.filename().string();
        // The disk's capacity as the device reports it now.
        const fs::path rescan = fs::path("/sys/class/block") / diskName / "device" / "rescan";
        {
            std::ofstream out(rescan);
            if (!(out << "1\n") || !out.flush()) {
                return VolumeResult::failure("The disk " + volume->disk.string() +
                                             " cannot be rescanned through " + rescan.string() +
                                             " (it needs root).");
            }
        }
        {
            OpenFile disk(volume->disk, O_RDONLY | O_NONBLOCK);
            if (!disk) {
                return VolumeResult::failure("The disk " + volume->disk.string() +
                                             " cannot be opened: " + errnoText() + ".");
            }
            if (::ioctl(disk.get(), BLKFLSBUF, 0) != 0) {
                return VolumeResult::failure("The cached blocks of " + volume->disk.string() +
                                             " cannot be dropped: " + errnoText() + ".");
            }
            if (::ioctl(disk.get(), BLKRRPART, 0) != 0) {
                return VolumeResult::failure("The partition table of " + volume->disk.string() +
                                             " cannot be read again: " + errnoText() + ".");
            }
        }
        for (const Partition& partition : partitionsOf(diskName)) {
            OpenFile part(fs::path("/dev") / partition.name, O_RDONLY | O_NONBLOCK);
            if (part) {
                ::ioctl(part.get(), BLKFLSBUF, 0);
            }
        }
        // The disk answers again when its first sector reads.
        const auto deadline = std::chrono::steady_clock::now() + options_.refreshLimit;
        std::string last;
        while (true) {
            OpenFile disk(volume->disk, O_RDONLY);
            std::uint8_t sector[512];
            if (disk && ::pread(disk.get(), sector, sizeof sector, 0) == sizeof sector) {
                return VolumeResult::success();
            }
            last = errnoText();
            if (std::chrono::steady_clock::now() >= deadline) {
                return VolumeResult::failure("The disk " + volume->disk.string() +
                                             " does not answer within " +
                                             std::to_string(options_.refreshLimit.count()) +
                                             " ms after the rescan: " + last + ".");
            }
            std::this_thread::sleep_for(50ms);
        }
    }

    VolumeResult format(char letter, FileSystemChoice choice, bool quick,
                        std::chrono::seconds limit) override {
        VolumeResult failure;
        const auto volume = resolveUnmounted(letter, failure);
        if (!volume) {
            return failure;
        }
        std::uint64_t bytes = 0;
        std::uint32_t sectorSize = volume->fileSectorSize;
        if (auto measured = measure(*volume, bytes, sectorSize); !measured) {
            return measured;
        }
        const FatFormatPlan plan = planFatFormat(choice, bytes, sectorSize);
        if (plan.fatBits == 0) {
            return VolumeResult::failure("The volume " + volume->path.string() +
                                         " cannot be formatted: " + plan.refusal + ".");
        }
        std::vector<std::string> argv = {mkfsFat_,
                                         "-F",
                                         std::to_string(plan.fatBits),
                                         "-S",
                                         std::to_string(sectorSize),
                                         "-s",
                                         std::to_string(plan.clusterBytes / sectorSize),
                                         "-R",
                                         std::to_string(plan.reservedSectors),
                                         "--mbr=n"};
        if (plan.fatBits != 32) {
            argv.insert(argv.end(), {"-r", std::to_string(plan.rootEntries)});
        }
        if (volume->wholeDisk) {
            argv.push_back("-I");  // the whole disk, as a system formats a stick without table
        }
        if (!quick) {
            argv.push_back("-c");  // look for bad blocks first
        }
        argv.push_back(volume->path.string());
        const ToolRun run = runTool(letter, argv, false, limit, ProcessPriority::High);
        if (run.ok()) {
            return VolumeResult::success();
        }
        return VolumeResult::failure("mkfs.fat could not format " + volume->path.string() +
                                     " as FAT" + std::to_string(plan.fatBits) + ": " +
                                     describe(run, limit) + ".");
    }

    std::string label(char letter) override {
        std::string why;
        const auto volume = resolve(letter, why);
        if (!volume) {
            return {};
        }
        try {
            return readFatLabel(volume->path);
        } catch (const std::exception&) {
            return {};
        }
    }

    VolumeResult setLabel(char letter, const std::string& label,
                          std::optional<CodePage> codePage) override {
        const VolumeLabelCheck check = checkVolumeLabel(label, codePage);
        if (!check.ok) {
            return VolumeResult::failure(check.reason);
        }
        VolumeResult failure;
        const auto volume = resolveUnmounted(letter, failure);
        if (!volume) {
            return failure;
        }
        try {
            writeFatLabel(volume->path, check.label);
        } catch (const std::exception& e) {
            return VolumeResult::failure(e.what());
        }
        return VolumeResult::success();
    }

    VolumeResult makeFolder(char letter, const std::string& folder) override {
        std::vector<std::string> levels;
        std::string path;
        std::stringstream parts(folder);
        std::string part;
        while (std::getline(parts, part, '/')) {
            if (!part.empty()) {
                path += "/" + part;
                levels.push_back("::" + path);
            }
        }
        if (levels.empty()) {
            return VolumeResult::success();  // the root is always there
        }
        VolumeResult failure;
        const auto volume = resolveUnmounted(letter, failure);
        if (!volume) {
            return failure;
        }
        // -D s skips the levels that exist, and then ends with a non-zero code: only a look at
        // the folder tells whether it is there.
        std::vector<std::string> argv = {mmd_, "-i", volume->path.string(), "-D", "s"};
        argv.insert(argv.end(), levels.begin(), levels.end());
        const ToolRun made = runTool(letter, argv, true);
        if (made.ok()) {
            return VolumeResult::success();
        }
        const ToolRun look = runTool(
            letter, {mdir_, "-i", volume->path.string(), "-a", "-b", levels.back() + "/"}, true);
        if (look.ok()) {
            return VolumeResult::success();
        }
        return VolumeResult::failure("mmd could not make the folder " + folder + " on " +
                                     volume->path.string() + ": " + describe(made) + ".");
    }

    // "::/Music/Album/" for the folder "Music/Album" (doubled slashes dropped); "::/" for the root.
    static std::string mtoolsFolder(const std::string& folder) {
        std::string path = "::/";
        for (char c : folder) {
            if (c != '/' || path.back() != '/') {
                path += c;
            }
        }
        if (path.back() != '/') {
            path += '/';
        }
        return path;
    }

    VolumeResult copyFiles(char letter, const std::vector<fs::path>& files,
                           const std::string& folder) override {
        if (files.empty()) {
            return VolumeResult::success();
        }
        VolumeResult failure;
        const auto volume = resolveUnmounted(letter, failure);
        if (!volume) {
            return failure;
        }
        // -D o replaces a file of the same name without asking, -m keeps the files' times as a
        // system copy does, -Q stops at the first file that fails.
        std::vector<std::string> argv = {mcopy_, "-i", volume->path.string(), "-D", "o",
                                         "-m",   "-Q"};
        for (const fs::path& file : files) {
            // Absolute, so that no name reads as an option or as an mtools drive ("a:b").
            argv.push_back(fs::absolute(file).string());
        }
        const std::string target = mtoolsFolder(folder);
        argv.push_back(target);
        const ToolRun run = runTool(letter, argv, true);
        if (run.ok()) {
            return VolumeResult::success();
        }
        return VolumeResult::failure("mcopy could not copy " + std::to_string(files.size()) +
                                     " files into " + target + " on " + volume->path.string() +
                                     ": " + describe(run) + ".");
    }

    VolumeResult verifyFiles(char letter, const std::vector<fs::path>& files,
                             const std::string& folder) override {
        if (files.empty()) {
            return VolumeResult::success();
        }
        std::string why;
        const auto volume = resolve(letter, why);
        if (!volume) {
            return VolumeResult::failure(why);
        }
        if (auto settled = settle(*volume); !settled) {
            return settled;
        }
        // One mcopy brings the folder's files back into a folder of our own, then each is
        // compared with its source.
        const fs::path back = workDir_ / (std::string(1, letter) + "-verify");
        std::error_code error;
        fs::remove_all(back, error);
        fs::create_directories(back, error);
        const std::string source = mtoolsFolder(folder);
        std::vector<std::string> argv = {mcopy_, "-i", volume->path.string(), "-n", "-Q"};
        for (const fs::path& file : files) {
            argv.push_back(source + file.filename().string());
        }
        argv.push_back(back.string() + "/");
        const ToolRun run = runTool(letter, argv, true);
        VolumeResult result = VolumeResult::success();
        if (!run.ok()) {
            result = VolumeResult::failure(
                "mcopy could not read back " + std::to_string(files.size()) + " files from " +
                source + " on " + volume->path.string() + ": " + describe(run) + ".");
        }
        for (std::size_t i = 0; result && i < files.size(); ++i) {
            if (!sameFileContents(files[i], back / files[i].filename(), why)) {
                result = VolumeResult::failure("Read back from " + volume->path.string() + ": " +
                                               why + ".");
            }
        }
        fs::remove_all(back, error);
        return result;
    }

    VolumeResult checkDisk(char letter, std::chrono::seconds limit) override {
        std::string why;
        const auto volume = resolve(letter, why);
        if (!volume) {
            return VolumeResult::failure(why);
        }
        // Unmounting writes out what the system still holds, so the check sees the disk whole;
        // settling makes it read the device rather than the blocks the system keeps.
        if (auto unmounted = unmount(letter, *volume); !unmounted) {
            return unmounted;
        }
        if (auto settled = settle(*volume); !settled) {
            return settled;
        }
        const ToolRun run = runTool(letter, {fsckFat_, "-n", volume->path.string()}, false, limit);
        if (run.ok() || onlyHighByteLabelFinding(run, *volume)) {
            return VolumeResult::success();
        }
        return VolumeResult::failure("fsck.fat finds " + volume->path.string() +
                                     " not sound: " + describe(run, limit) + ".");
    }

    VolumeResult flush(char letter) override {
        std::string why;
        const auto volume = resolve(letter, why);
        return volume ? settle(*volume) : VolumeResult::failure(why);
    }

  private:
    // mcopy and mlabel leave their writes to the system: they reach the device at the last close
    // of the disk, which the run may hold open. Writes them out now (a refused write fails) and
    // drops the cached blocks, so the next read comes from the device.
    static VolumeResult settle(const Volume& volume) {
        OpenFile file(volume.path, O_RDONLY);
        if (!file) {
            return VolumeResult::failure("The volume " + volume.path.string() +
                                         " cannot be opened: " + errnoText() + ".");
        }
        if (::fsync(file.get()) != 0) {
            return VolumeResult::failure("What was written to " + volume.path.string() +
                                         " did not all reach the device: " + errnoText() + ".");
        }
        struct stat info {};
        if (::fstat(file.get(), &info) == 0 && S_ISBLK(info.st_mode)) {
            // Needs CAP_SYS_ADMIN; without it the advice below drops the clean blocks as well.
            (void)::ioctl(file.get(), BLKFLSBUF, 0);
        }
        ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_DONTNEED);
        return VolumeResult::success();
    }

    static std::string noDisk(char letter) {
        return std::string("Drive ") + letter + " shows no disk.";
    }

    // The volume of a drive, unmounted for the tools that write to it; 'failure' says why not.
    std::optional<Volume> resolveUnmounted(char letter, VolumeResult& failure) {
        std::string why;
        auto volume = resolve(letter, why);
        if (!volume) {
            failure = VolumeResult::failure(why);
            return std::nullopt;
        }
        if (auto unmounted = unmount(letter, *volume); !unmounted) {
            failure = unmounted;
            return std::nullopt;
        }
        return volume;
    }

    std::optional<Volume> resolve(char letter, std::string& why) const {
        const auto location = options_.locate(letter);
        if (!location) {
            why = noDisk(letter);
            return std::nullopt;
        }
        Volume volume;
        volume.path = location->path;
        volume.fileSectorSize = location->sectorSize != 0 ? location->sectorSize : 512;
        struct stat info {};
        if (::stat(volume.path.c_str(), &info) != 0) {
            why = "The volume " + volume.path.string() + " of drive " + letter +
                  " cannot be reached: " + errnoText() + ".";
            return std::nullopt;
        }
        if (!S_ISBLK(info.st_mode)) {
            return volume;
        }
        volume.blockDevice = true;
        volume.disk = volume.path;
        const std::string name = volume.path.filename().string();
        std::error_code error;
        if (fs::exists(fs::path("/sys/class/block") / name / "partition", error)) {
            volume.members.push_back(volume.path);  // already a partition
            return volume;
        }
        volume.members.push_back(volume.disk);
        const auto partitions = partitionsOf(name);
        for (const Partition& partition : partitions) {
            volume.members.push_back(fs::path("/dev") / partition.name);
        }
        if (partitions.empty()) {
            volume.wholeDisk = true;
        } else {
            volume.path = fs::path("/dev") / partitions.front().name;
        }
        return volume;
    }

    // The size and logical sector size of the volume.
    static VolumeResult measure(const Volume& volume, std::uint64_t& bytes,
                                std::uint32_t& sectorSize) {
        if (!volume.blockDevice) {
            std::error_code error;
            bytes = fs::file_size(volume.path, error);
            if (error) {
                return VolumeResult::failure("The size of " + volume.path.string() +
                                             " cannot be read: " + error.message() + ".");
            }
            return VolumeResult::success();
        }
        OpenFile device(volume.path, O_RDONLY);
        int logical = 0;
        if (!device || ::ioctl(device.get(), BLKGETSIZE64, &bytes) != 0 ||
            ::ioctl(device.get(), BLKSSZGET, &logical) != 0 || logical <= 0) {
            return VolumeResult::failure("The size of " + volume.path.string() +
                                         " cannot be read: " + errnoText() + ".");
        }
        sectorSize = static_cast<std::uint32_t>(logical);
        return VolumeResult::success();
    }

    VolumeResult unmount(char letter, const Volume& volume) {
        if (!volume.blockDevice) {
            return VolumeResult::success();
        }
        std::set<std::string> devices;
        for (const fs::path& member : volume.members) {
            struct stat info {};
            if (::stat(member.c_str(), &info) == 0) {
                devices.insert(std::to_string(major(info.st_rdev)) + ":" +
                               std::to_string(minor(info.st_rdev)));
            }
        }
        const fs::path& table = options_.mountFiles.mountInfo;
        auto mounts = mountsOf(table, devices);
        if (mounts.empty()) {
            return VolumeResult::success();
        }
        std::string last;
        for (const MountEntry& mount : mounts) {
            if (udisksctl_.find('/') != std::string::npos) {
                const ToolRun run = runTool(
                    letter, {udisksctl_, "unmount", "-b", mount.source, "--no-user-interaction"},
                    false, kUnmountLimit);
                if (run.ok()) {
                    continue;
                }
                last = "udisksctl: " + describe(run, kUnmountLimit);
            }
            const ToolRun run = runTool(letter, {umount_, mount.mountPoint}, false, kUnmountLimit);
            if (!run.ok()) {
                last = "umount: " + describe(run, kUnmountLimit);
            }
        }
        mounts = mountsOf(table, devices);
        if (mounts.empty()) {
            return VolumeResult::success();
        }
        return VolumeResult::failure("The volume " + mounts.front().source + " is mounted on " +
                                     mounts.front().mountPoint +
                                     " and cannot be unmounted: " + last + ".");
    }

    // Runs a tool as the leader of its own process group; past 'limit' the group is killed and
    // the tool reaped.
    ToolRun runTool(char letter, const std::vector<std::string>& argv, bool mtools,
                    std::optional<std::chrono::milliseconds> limit = std::nullopt,
                    ProcessPriority priority = ProcessPriority::Normal) {
        ToolRun run;
        const fs::path output = workDir_ / (std::string(1, letter) + "-" +
                                            fs::path(argv.front()).filename().string() + ".out");
        ProcessOptions options{.argv = argv,
                               .stdinFile = fs::path("/dev/null"),  // never waits for an answer
                               .outputFile = output,
                               .priority = priority,
                               .newProcessGroup = true};
        if (mtools) {
            options.environment = {{"MTOOLSRC", (workDir_ / "mtoolsrc").string()},
                                   {"MTOOLS_SKIP_CHECK", "1"},
                                   {"HOME", workDir_.string()},
                                   // File names go to long names from UTF-8.
                                   {"LC_ALL", "C.UTF-8"}};
        } else {
            options.environment = {{"LC_ALL", "C"}};
        }
        std::unique_ptr<ChildProcess> child;
        try {
            child = startProcess(options);
        } catch (const ProcessStartError& e) {
            run.startError = e.what();
            return run;
        }
        if (limit) {
            run.exitCode = child->waitFor(*limit);
            if (!run.exitCode) {
                run.overran = true;
                child->kill();
            }
        } else {
            while (!run.exitCode) {
                run.exitCode = child->waitFor(1h);
            }
        }
        try {
            run.output = readFileBytes(output);
        } catch (const std::exception&) {
        }
        if (run.overran) {
            run.exitCode.reset();
        }
        return run;
    }

    static std::string describe(const ToolRun& run,
                                std::optional<std::chrono::milliseconds> limit = std::nullopt) {
        if (!run.startError.empty()) {
            return run.startError;
        }
        if (run.overran) {
            const auto seconds = limit ? std::chrono::duration_cast<std::chrono::seconds>(*limit)
                                       : std::chrono::seconds(0);
            return "it did not end within " + std::to_string(seconds.count()) + " s and was ended";
        }
        std::string text = "exit code " + std::to_string(run.exitCode.value_or(-1));
        const std::string said = shortOutput(run.output);
        if (!said.empty()) {
            text += " (" + said + ")";
        }
        return text;
    }

    // dosfstools 4.2 takes every label byte above 0x7F for invalid (it compares signed chars),
    // so a GBK or Big5 label, which FAT and the system's own check take, would fail every check.
    // Its complaint about such a label is not counted; any other finding fails the check.
    static bool onlyHighByteLabelFinding(const ToolRun& run, const Volume& volume) {
        if (run.exitCode != 1) {
            return false;
        }
        std::string label;
        try {
            label = readFatLabel(volume.path);
        } catch (const std::exception&) {
            return false;
        }
        if (std::none_of(label.begin(), label.end(),
                         [](char c) { return static_cast<unsigned char>(c) > 0x7F; })) {
            return false;
        }
        std::istringstream lines(run.output);
        std::string line;
        bool labelFinding = false;
        const std::string summary = volume.path.string() + ": ";
        const auto endsWith = [](const std::string& text, std::string_view tail) {
            return text.size() >= tail.size() &&
                   text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
        };
        while (std::getline(lines, line)) {
            if (line.empty() || line.rfind("fsck.fat ", 0) == 0 ||
                line == "Leaving filesystem unchanged." || line == "  Auto-removing label." ||
                line.rfind(summary, 0) == 0) {
                continue;
            }
            if (line.rfind("Volume label '", 0) == 0 && endsWith(line, " is not valid.")) {
                labelFinding = true;
                continue;
            }
            return false;
        }
        return labelFinding;
    }

    // mdir ends its listing with "<n> bytes free", the number grouped by blanks.
    static std::uint64_t freeBytesIn(const std::string& listing) {
        const auto at = listing.rfind("bytes free");
        if (at == std::string::npos) {
            return 0;
        }
        const auto lineStart = listing.rfind('\n', at);
        std::uint64_t value = 0;
        for (std::size_t i = lineStart == std::string::npos ? 0 : lineStart + 1; i < at; ++i) {
            if (listing[i] >= '0' && listing[i] <= '9') {
                value = value * 10 + static_cast<std::uint64_t>(listing[i] - '0');
            }
        }
        return value;
    }

    LinuxVolumeToolsOptions options_;
    fs::path workDir_;
    std::string mkfsFat_, fsckFat_, mmd_, mcopy_, mdir_, umount_, udisksctl_;
};

}  // namespace

std::unique_ptr<VolumeTools> makeLinuxVolumeTools(LinuxVolumeToolsOptions options) {
    return std::make_unique<LinuxVolumeTools>(std::move(options));
}

}  // namespace corvid
