#include "platform/production_disk_linux.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "platform/udev_handles_linux.h"

namespace corvid {

namespace fs = std::filesystem;

namespace {

// The mounts that make their disk the system's own, named first when a disk holds several.
constexpr std::array<std::string_view, 6> kSystemMountPoints = {"/",    "/boot", "/boot/efi",
                                                                "/usr", "/var",  "/home"};
// Devices stacked this deep (device-mapper, md, loop devices on files on other devices, overlay
// layers) are taken for a loop in sysfs or the mount table.
constexpr int kMaxStackDepth = 16;
constexpr std::string_view kLowerDirOption = "lowerdir=";
constexpr std::string_view kUpperDirOption = "upperdir=";
constexpr std::string_view kMapperDirectory = "/dev/mapper/";
constexpr std::string_view kDevDirectory = "/dev/";

// Undoes the octal escapes the kernel writes for a space, tab, newline or backslash in a path
// (\040, \011, \012, \134).
std::string unescapeOctal(std::string_view text) {
    std::string plain;
    plain.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto octal = [&](std::size_t at) { return text[at] >= '0' && text[at] <= '7'; };
        if (text[i] == '\\' && i + 3 < text.size() && octal(i + 1) && octal(i + 2) &&
            octal(i + 3)) {
            plain += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                                       (text[i + 3] - '0'));
            i += 3;
        } else {
            plain += text[i];
        }
    }
    return plain;
}

std::vector<std::string_view> splitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t at = 0;
    while (at < line.size()) {
        const std::size_t start = line.find_first_not_of(" \t", at);
        if (start == std::string_view::npos) {
            break;
        }
        const std::size_t end = std::min(line.find_first_of(" \t", start), line.size());
        fields.push_back(line.substr(start, end - start));
        at = end;
    }
    return fields;
}

template <typename Fn>
void forEachLine(std::string_view text, Fn&& fn) {
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        fn(text.substr(at, end - at));
        at = end + 1;
    }
}

// The comma-separated options of a mount; a comma inside a name is written "\,".
std::vector<std::string_view> splitOptions(std::string_view text) {
    std::vector<std::string_view> options;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || (text[i] == ',' && (i == 0 || text[i - 1] != '\\'))) {
            options.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    return options;
}

// The whole text of a file of /proc; nothing when it does not exist and 'required' is false.
std::optional<std::string> readProcFile(const fs::path& path, bool required) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        const int error = errno;
        if (!required && error == ENOENT) {
            return std::nullopt;
        }
        throw std::runtime_error("the system's mounts cannot be read from " + path.string() + " (" +
                                 std::strerror(error) + ")");
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A block device as the resolution of mounts to disks needs it.
struct BlockNode {
    std::string deviceNumber;  // "8:17"; empty when sysfs does not say
    std::string disk;          // the whole disk: the parent of a partition, else the name itself
    std::string mapperName;    // the device-mapper name (/dev/mapper/NAME)
    std::vector<std::string> slaves;   // the devices a device-mapper or md device is made of
    std::vector<std::string> holders;  // the device-mapper or md devices made of this one
    std::string backingFile;           // the file behind a loop device
    std::string fileSystem;            // udev's ID_FS_TYPE ("zfs_member", "btrfs")
    std::string fileSystemName;        // a ZFS pool's name (ID_FS_LABEL), a btrfs UUID
};

using BlockGraph = std::map<std::string, BlockNode>;

// The names in a sysfs folder such as slaves/ or holders/; none when it does not exist.
std::vector<std::string> entriesOf(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

// A sysfs value without the line end the kernel writes after it.
std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

BlockGraph readBlockGraph(udev* context) {
    BlockGraph graph;
    udevh::forEachDevice(context, "block", [&](udev_device* device) {
        const std::string name = udevh::text(udev_device_get_sysname(device));
        BlockNode node;
        node.deviceNumber = udevh::text(udev_device_get_sysattr_value(device, "dev"));
        const dev_t number = udev_device_get_devnum(device);
        if (node.deviceNumber.empty() && number != 0) {
            node.deviceNumber = std::to_string(major(number)) + ":" + std::to_string(minor(number));
        }
        node.disk = name;
        if (udevh::text(udev_device_get_devtype(device)) == "partition") {
            udev_device* parent =
                udev_device_get_parent_with_subsystem_devtype(device, "block", "disk");
            if (parent != nullptr) {
                node.disk = udevh::text(udev_device_get_sysname(parent));
            }
        }
        node.mapperName = udevh::text(udev_device_get_sysattr_value(device, "dm/name"));
        const fs::path syspath = udevh::text(udev_device_get_syspath(device));
        node.slaves = entriesOf(syspath / "slaves");
        node.holders = entriesOf(syspath / "holders");
        node.backingFile =
            trimmed(udevh::text(udev_device_get_sysattr_value(device, "loop/backing_file")));
        node.fileSystem = udevh::text(udev_device_get_property_value(device, "ID_FS_TYPE"));
        node.fileSystemName = udevh::text(udev_device_get_property_value(
            device, node.fileSystem == "btrfs" ? "ID_FS_UUID" : "ID_FS_LABEL"));
        graph.emplace(name, std::move(node));
    });
    return graph;
}

// The block device a mount or swap names: by device number, else by the /dev path it gives.
std::optional<std::string> resolveDevice(const BlockGraph& graph, const std::string& deviceNumber,
                                         const std::string& source) {
    if (!deviceNumber.empty()) {
        for (const auto& [name, node] : graph) {
            if (node.deviceNumber == deviceNumber) {
                return name;
            }
        }
    }
    if (source.starts_with(kMapperDirectory)) {
        const std::string mapped = source.substr(kMapperDirectory.size());
        for (const auto& [name, node] : graph) {
            if (!node.mapperName.empty() && node.mapperName == mapped) {
                return name;
            }
        }
    }
    if (source.starts_with(kDevDirectory)) {
        std::error_code error;
        const fs::path real = fs::canonical(source, error);
        for (const fs::path& path : {real, fs::path(source)}) {
            const std::string name = path.filename().string();
            if (!name.empty() && graph.contains(name)) {
                return name;
            }
        }
    }
    return std::nullopt;
}

// The mount that holds a file: the one whose mount point is the longest leading part of its path.
const MountEntry* mountHolding(const std::vector<MountEntry>& mounts, const std::string& file) {
    const MountEntry* best = nullptr;
    for (const MountEntry& mount : mounts) {
        const std::string& point = mount.mountPoint;
        const bool under =
            file.starts_with(point) &&
            (point == "/" || file.size() == point.size() || file[point.size()] == '/');
        if (under && (best == nullptr || point.size() >= best->mountPoint.size())) {
            best = &mount;
        }
    }
    return best;
}

// The folders of an overlay's lowerdir=A:B and upperdir=C options (a colon inside a name is
// written "\:").
std::vector<std::string> overlayLayers(const std::string& superOptions) {
    std::vector<std::string> layers;
    for (const std::string_view option : splitOptions(superOptions)) {
        for (const std::string_view key : {kLowerDirOption, kUpperDirOption}) {
            if (!option.starts_with(key)) {
                continue;
            }
            std::string layer;
            const std::string_view value = option.substr(key.size());
            for (std::size_t i = 0; i < value.size(); ++i) {
                if (value[i] == '\\' && i + 1 < value.size()) {
                    layer += value[++i];
                } else if (value[i] == ':') {
                    layers.push_back(std::exchange(layer, {}));
                } else {
                    layer += value[i];
                }
            }
            layers.push_back(layer);
        }
    }
    return layers;
}

// Traces mounts, swaps and block devices down to the whole disks beneath them: through
// device-mapper and md slaves, a loop device's backing file and the mount that holds it, an
// overlay's layers, a ZFS pool's and a btrfs file system's member devices.
class DiskTracer {
  public:
    DiskTracer(const BlockGraph& graph, const std::vector<MountEntry>& mounts)
        : graph_(graph), mounts_(mounts) {}

    std::set<std::string> disksOfMount(const MountEntry& mount) const {
        tracedMounts_.clear();
        std::set<std::string> disks;
        traceMount(mount, 0, disks);
        return disks;
    }
    std::set<std::string> disksOfDevice(const std::string& device) const {
        tracedMounts_.clear();
        std::set<std::string> disks;
        traceDevice(device, 0, disks);
        return disks;
    }
    std::set<std::string> disksOfFile(const std::string& file) const {
        tracedMounts_.clear();
        std::set<std::string> disks;
        traceFile(file, 0, disks);
        return disks;
    }

  private:
    void traceFile(const std::string& file, int depth, std::set<std::string>& disks) const {
        if (const MountEntry* mount = mountHolding(mounts_, file)) {
            traceMount(*mount, depth + 1, disks);
        }
    }

    void traceMount(const MountEntry& mount, int depth, std::set<std::string>& disks) const {
        // An overlay whose layers lie on itself (or on each other) is followed once.
        if (depth > kMaxStackDepth || !tracedMounts_.insert(&mount).second) {
            return;
        }
        if (mount.fileSystem == "overlay") {
            for (const std::string& layer : overlayLayers(mount.superOptions)) {
                traceFile(layer, depth, disks);
            }
            return;
        }
        if (mount.fileSystem == "zfs") {
            // The pool's name leads the data set's (rpool/ROOT/debian).
            tracePool("zfs_member", mount.source.substr(0, mount.source.find('/')), depth, disks);
            return;
        }
        if (const auto device = resolveDevice(graph_, mount.deviceNumber, mount.source)) {
            traceDevice(*device, depth + 1, disks);
            const BlockNode& node = graph_.at(*device);
            if (mount.fileSystem == "btrfs" && node.fileSystem == "btrfs") {
                tracePool("btrfs", node.fileSystemName, depth, disks);
            }
        }
    }

    // Every device udev found a member of the pool (or multi-device file system) 'name' on.
    void tracePool(const std::string& type, const std::string& name, int depth,
                   std::set<std::string>& disks) const {
        if (name.empty()) {
            return;
        }
        for (const auto& [device, node] : graph_) {
            if (node.fileSystem == type && node.fileSystemName == name) {
                traceDevice(device, depth + 1, disks);
            }
        }
    }

    void traceDevice(const std::string& name, int depth, std::set<std::string>& disks) const {
        const auto node = graph_.find(name);
        if (node == graph_.end() || depth > kMaxStackDepth) {
            return;
        }
        if (!node->second.backingFile.empty()) {
            traceFile(node->second.backingFile, depth, disks);
        }
        if (node->second.slaves.empty()) {
            disks.insert(node->second.disk);
            return;
        }
        for (const std::string& slave : node->second.slaves) {
            traceDevice(slave, depth + 1, disks);
        }
    }

    const BlockGraph& graph_;
    const std::vector<MountEntry>& mounts_;
    mutable std::set<const MountEntry*> tracedMounts_;  // of the trace under way
};

}  // namespace

std::optional<char> driveLetterOfDiskName(std::string_view name) {
    if (name.size() == 3 && name.starts_with("sd") && name[2] >= 'a' && name[2] <= 'z') {
        return static_cast<char>(name[2] - 'a' + 'A');
    }
    return std::nullopt;
}

std::string diskNameOfDriveLetter(char letter) {
    if (letter >= 'a' && letter <= 'z') {
        return std::string("sd") + letter;
    }
    if (letter >= 'A' && letter <= 'Z') {
        return std::string("sd") + static_cast<char>(letter - 'A' + 'a');
    }
    return {};
}

std::vector<MountEntry> parseMountInfo(std::string_view text) {
    // ID PARENT MAJOR:MINOR ROOT MOUNT-POINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER-OPTIONS
    constexpr std::size_t kNumber = 2;
    constexpr std::size_t kMountPoint = 4;
    constexpr std::size_t kFirstOptional = 6;
    std::vector<MountEntry> mounts;
    forEachLine(text, [&](std::string_view line) {
        const auto fields = splitFields(line);
        std::size_t separator = kFirstOptional;
        while (separator < fields.size() && fields[separator] != "-") {
            ++separator;
        }
        if (separator + 2 >= fields.size()) {
            return;  // no " - TYPE SOURCE" part
        }
        MountEntry mount;
        mount.mountPoint = unescapeOctal(fields[kMountPoint]);
        mount.deviceNumber = std::string(fields[kNumber]);
        mount.fileSystem = std::string(fields[separator + 1]);
        mount.source = unescapeOctal(fields[separator + 2]);
        if (separator + 3 < fields.size()) {
            mount.superOptions = unescapeOctal(fields[separator + 3]);
        }
        mounts.push_back(std::move(mount));
    });
    return mounts;
}

std::vector<SwapEntry> parseSwaps(std::string_view text) {
    std::vector<SwapEntry> swaps;
    bool heading = true;
    forEachLine(text, [&](std::string_view line) {
        if (std::exchange(heading, false)) {
            return;  // Filename Type Size Used Priority
        }
        const auto fields = splitFields(line);
        if (fields.size() >= 2) {
            swaps.push_back({unescapeOctal(fields[0]), fields[1] == "file"});
        }
    });
    return swaps;
}

SystemDisks SystemDisks::read(udev* context, const SystemMountFiles& files) {
    const std::vector<MountEntry> mounts =
        parseMountInfo(readProcFile(files.mountInfo, true).value_or(""));
    // A kernel built without swap has no /proc/swaps.
    const std::vector<SwapEntry> swaps = parseSwaps(readProcFile(files.swaps, false).value_or(""));
    const BlockGraph graph = readBlockGraph(context);

    const DiskTracer tracer(graph, mounts);

    SystemDisks system;
    const auto hold = [&](const std::set<std::string>& disks, const std::string& what) {
        for (const std::string& disk : disks) {
            system.held_.emplace(disk, what);
        }
    };
    // The station mounts nothing itself: a disk with any mount is another program's. The
    // system's own mounts are named first.
    for (const std::string_view point : kSystemMountPoints) {
        for (const MountEntry& mount : mounts) {
            if (mount.mountPoint == point) {
                hold(tracer.disksOfMount(mount), "the system's " + mount.mountPoint + " mount");
            }
        }
    }
    for (const SwapEntry& swap : swaps) {
        hold(swap.isFile
                 ? tracer.disksOfFile(swap.fileName)
                 : tracer.disksOfDevice(resolveDevice(graph, "", swap.fileName).value_or("")),
             "an active swap (" + swap.fileName + ")");
    }
    for (const MountEntry& mount : mounts) {
        hold(tracer.disksOfMount(mount), "a mount on " + mount.mountPoint);
    }
    // LVM, md and dm-crypt hold their devices whether mounted or not.
    for (const auto& [name, node] : graph) {
        if (!node.holders.empty()) {
            hold({node.disk}, "/dev/" + name + ", in use by /dev/" + node.holders.front());
        }
    }
    return system;
}

std::optional<std::string> SystemDisks::holding(const std::string& diskName) const {
    const auto held = held_.find(diskName);
    if (held == held_.end()) {
        return std::nullopt;
    }
    return held->second;
}

bool attachedByUsb(udev_device* disk) {
    return udev_device_get_parent_with_subsystem_devtype(disk, "usb", "usb_device") != nullptr ||
           udevh::text(udev_device_get_property_value(disk, "ID_BUS")) == "usb";
}

std::optional<std::string> productionDiskRefusal(udev_device* disk, const SystemDisks& system) {
    if (const auto held = system.holding(udevh::text(udev_device_get_sysname(disk)))) {
        return "holds " + *held;
    }
    if (!attachedByUsb(disk)) {
        return std::string("is not attached by USB");
    }
    return std::nullopt;
}

std::optional<std::string> productionDriveRefusal(char letter, const SystemMountFiles& files) {
    const std::string name = diskNameOfDriveLetter(letter);
    if (name.empty()) {
        return "'" + std::string(1, letter) + "' is not a drive letter (A to Z)";
    }
    const std::string drive =
        std::string("drive ") + static_cast<char>(name[2] - 'a' + 'A') + " (/dev/" + name + ")";
    const udevh::Context context(udev_new());
    if (!context) {
        return drive + " cannot be checked: udev cannot be used";
    }
    const udevh::Device disk(
        udev_device_new_from_subsystem_sysname(context.get(), "block", name.c_str()));
    if (!disk) {
        return drive + " shows no disk";
    }
    try {
        if (const auto refusal =
                productionDiskRefusal(disk.get(), SystemDisks::read(context.get(), files))) {
            return drive + " " + *refusal;
        }
    } catch (const std::runtime_error& e) {
        return drive + " cannot be checked: " + e.what();
    }
    return std::nullopt;
}

std::optional<std::string> diskIdentityOfSysfsFolder(const fs::path& diskFolder) {
    struct stat node {};
    std::string number;
    if (::stat(diskFolder.c_str(), &node) != 0 || !S_ISDIR(node.st_mode) ||
        !(std::ifstream(diskFolder / "dev") >> number)) {
        return std::nullopt;
    }
    return "sysfs node " + std::to_string(node.st_ino) + ", device " + number;
}

std::optional<std::string> diskIdentityOfDriveLetter(char letter) {
    const std::string name = diskNameOfDriveLetter(letter);
    if (name.empty()) {
        return std::nullopt;
    }
    return diskIdentityOfSysfsFolder(fs::path("/sys/block") / name);
}

}  // namespace corvid
