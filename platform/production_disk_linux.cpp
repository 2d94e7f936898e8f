#include "platform/production_disk_linux.h"

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

// The mounts that make their disk the system's own, in the order a refusal names them.
constexpr std::array<std::string_view, 5> kSystemMountPoints = {"/", "/boot", "/usr", "/var",
                                                                "/home"};
// A device-mapper or md device stacked this deep is taken for a loop in sysfs.
constexpr int kMaxStackDepth = 16;
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
    std::vector<std::string> slaves;  // the devices a device-mapper or md device is made of
};

using BlockGraph = std::map<std::string, BlockNode>;

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
        std::error_code error;
        const fs::path slaves = fs::path(udevh::text(udev_device_get_syspath(device))) / "slaves";
        for (const auto& slave : fs::directory_iterator(slaves, error)) {
            node.slaves.push_back(slave.path().filename().string());
        }
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

// The whole disks beneath a block device: its own disk, or those of its slaves.
void collectDisks(const BlockGraph& graph, const std::string& name, int depth,
                  std::set<std::string>& disks) {
    const auto node = graph.find(name);
    if (node == graph.end() || depth > kMaxStackDepth) {
        return;
    }
    if (node->second.slaves.empty()) {
        disks.insert(node->second.disk);
        return;
    }
    for (const std::string& slave : node->second.slaves) {
        collectDisks(graph, slave, depth + 1, disks);
    }
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
        mount.source = unescapeOctal(fields[separator + 2]);
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

    SystemDisks system;
    const auto hold = [&](const std::optional<std::string>& device, const std::string& what) {
        if (!device) {
            return;
        }
        std::set<std::string> disks;
        collectDisks(graph, *device, 0, disks);
        for (const std::string& disk : disks) {
            system.held_.emplace(disk, what);
        }
    };
    for (const std::string_view point : kSystemMountPoints) {
        for (const MountEntry& mount : mounts) {
            if (mount.mountPoint == point) {
                hold(resolveDevice(graph, mount.deviceNumber, mount.source),
                     "the system's " + mount.mountPoint + " mount");
            }
        }
    }
    for (const SwapEntry& swap : swaps) {
        const std::string what = "an active swap (" + swap.fileName + ")";
        if (!swap.isFile) {
            hold(resolveDevice(graph, "", swap.fileName), what);
        } else if (const MountEntry* mount = mountHolding(mounts, swap.fileName)) {
            hold(resolveDevice(graph, mount->deviceNumber, mount->source), what);
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

std::optional<std::string> diskIdentityOfDriveLetter(char letter) {
    const std::string name = diskNameOfDriveLetter(letter);
    if (name.empty()) {
        return std::nullopt;
    }
    const fs::path block = fs::path("/sys/block") / name;
    std::string sequence;
    if (std::ifstream(block / "diskseq") >> sequence) {
        return "diskseq " + sequence;
    }
    std::error_code error;
    const fs::path place = fs::canonical(block, error);
    std::string number;
    if (error || !(std::ifstream(block / "dev") >> number)) {
        return std::nullopt;
    }
    return place.string() + " " + number;
}

}  // namespace corvid
