// The Linux volume tools on image files, with the real mkfs.fat, fsck.fat and mtools; the
// results are read back with those tools, not only with our own code.

#include "platform/volume_tools_linux.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "platform/process_runner.h"
#include "platform/text_file.h"
#include "tests/support/temp_dir.h"

namespace corvid {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::uint64_t kMiB = 1ull << 20;
constexpr std::uint64_t kGiB = 1ull << 30;
constexpr std::chrono::seconds kFormatLimit{40};

struct ToolOutput {
    int exitCode = -1;
    std::string output;
};

// A tool run for checking, with mtools reading GBK names and labels as UTF-8.
ToolOutput runTool(std::vector<std::string> argv, const fs::path& scratch) {
    for (const char* folder : {"/usr/sbin/", "/sbin/"}) {
        if (argv[0].find('/') == std::string::npos &&
            ::access((folder + argv[0]).c_str(), X_OK) == 0 &&
            ::access(("/usr/bin/" + argv[0]).c_str(), X_OK) != 0) {
            argv[0] = folder + argv[0];
            break;
        }
    }
    const fs::path config = scratch / "check-mtoolsrc";
    writeFileAtomically(config, "mtools_skip_check=1\nDEFAULT_CODEPAGE=936\n");
    const fs::path output = scratch / "check-output";
    auto child = startProcess(
        {.argv = argv,
         .outputFile = output,
         .environment = {
             {"MTOOLSRC", config.string()}, {"MTOOLS_SKIP_CHECK", "1"}, {"LC_ALL", "C.UTF-8"}}});
    ToolOutput run;
    const auto code = child->waitFor(120s);
    EXPECT_TRUE(code.has_value()) << argv[0] << " did not end";
    run.exitCode = code.value_or(-1);
    run.output = readFileBytes(output);
    return run;
}

std::string bootSector(const fs::path& image) {
    std::ifstream in(image, std::ios::binary);
    std::string sector(512, '\0');
    in.read(sector.data(), static_cast<std::streamsize>(sector.size()));
    return sector;
}

// Marks the first data cluster free in both FATs of a FAT16 volume: the chain of the file that
// starts there is broken.
void breakFirstCluster(const fs::path& image) {
    const std::string boot = bootSector(image);
    const auto word = [&](std::size_t at) {
        return static_cast<std::uint32_t>(static_cast<std::uint8_t>(boot[at]) |
                                          static_cast<std::uint8_t>(boot[at + 1]) << 8);
    };
    const std::uint32_t sectorSize = word(11);
    const std::uint32_t reserved = word(14);
    const std::uint32_t fatSectors = word(22);
    std::fstream volume(image, std::ios::in | std::ios::out | std::ios::binary);
    for (std::uint32_t copy = 0; copy < 2; ++copy) {
        volume.seekp(
            static_cast<std::streamoff>((reserved + copy * fatSectors) * sectorSize + 2 * 2));
        volume.write("\0\0", 2);
    }
}

class LinuxVolumeToolsTest : public test::TempDirTest {
  protected:
    // Drive letters reach image files of this folder.
    fs::path image(char letter, std::uint64_t bytes, std::uint32_t sectorSize = 512) {
        const fs::path path = dir_ / (std::string(1, letter) + ".img");
        fs::remove(path);
        std::ofstream(path).close();
        fs::resize_file(path, bytes);  // sparse: only what the tools write takes room
        volumes_[letter] = {path, sectorSize};
        return path;
    }

    std::unique_ptr<VolumeTools> tools(VolumePrograms programs = {},
                                       SystemMountFiles mountFiles = {}) {
        return makeLinuxVolumeTools(
            {.locate = [this](char letter) -> std::optional<VolumeLocation> {
                 const auto found = volumes_.find(letter);
                 if (found == volumes_.end()) {
                     return std::nullopt;
                 }
                 return found->second;
             },
             .programs = std::move(programs),
             .mountFiles = std::move(mountFiles)});
    }

    ToolOutput tool(std::vector<std::string> argv) { return runTool(std::move(argv), dir_); }

    fs::path sourceFile(const std::string& name, const std::string& content) {
        const fs::path path = dir_ / "source" / name;
        fs::create_directories(path.parent_path());
        writeFileAtomically(path, content);
        return path;
    }

    std::map<char, VolumeLocation> volumes_;
};

// The scratch folder is named with the process ID and removed at the end; one left by a process
// that has ended is removed when the next tools start, while a running process's folder and
// folders named otherwise stay.
TEST_F(LinuxVolumeToolsTest, ScratchFoldersOfEndedProcessesAreRemovedAtStart) {
    const auto ended = startProcess({.argv = {"true"}});
    ASSERT_TRUE(ended->waitFor(10s));
    const std::string own = "corvid-volume-" + std::to_string(::getpid()) + "-";
    const fs::path stale = dir_ / ("corvid-volume-" + std::to_string(ended->id()) + "-a1b2c3");
    const fs::path running = dir_ / (own + "d4e5f6");
    const fs::path unnamed = dir_ / "corvid-volume-g7h8i9";
    for (const fs::path& folder : {stale, running, unnamed}) {
        fs::create_directories(folder);
        writeFileAtomically(folder / "mtoolsrc", "mtools_skip_check=1\n");
    }
    const auto scratchFolders = [&] {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            if (entry.path().filename().string().rfind("corvid-volume-", 0) == 0) {
                names.insert(entry.path().filename().string());
            }
        }
        return names;
    };
    const char* before = std::getenv("TMPDIR");
    const std::string kept = before != nullptr ? before : "";
    ::setenv("TMPDIR", dir_.c_str(), 1);
    {
        const auto made = tools();
        const auto names = scratchFolders();
        EXPECT_FALSE(names.contains(stale.filename().string()));
        EXPECT_TRUE(names.contains(running.filename().string()));
        EXPECT_TRUE(names.contains(unnamed.filename().string()));
        EXPECT_EQ(names.size(), 3u) << "its own folder, named with its process ID";
    }
    EXPECT_EQ(scratchFolders(),
              (std::set<std::string>{running.filename().string(), unnamed.filename().string()}));
    if (before != nullptr) {
        ::setenv("TMPDIR", kept.c_str(), 1);
    } else {
        ::unsetenv("TMPDIR");
    }
}

TEST_F(LinuxVolumeToolsTest, FormatsWithTheChoicesFatTypeAndClusterSize) {
    struct Case {
        FileSystemChoice choice;
        std::uint64_t volumeBytes;
        std::uint32_t sectorSize;
        const char* fatType;  // as the boot sector names it
        int clusterBytes;
    };
    using C = FileSystemChoice;
    const Case cases[] = {
        {C::Fat16Unit1K, 32 * kMiB, 512, "FAT16", 1024},
        {C::Fat16Unit8K, 64 * kMiB, 512, "FAT16", 8192},
        {C::Fat16SystemUnit, 256 * kMiB, 512, "FAT16", 8192},
        {C::Fat16SystemUnit, 100 * kMiB, 512, "FAT16", 2048},
        {C::Fat32SystemUnit, 1 * kGiB, 512, "FAT32", 4096},
        {C::Fat32SystemUnit, 9 * kGiB, 512, "FAT32", 8192},
        // A tiny hidden part: FAT16 is impossible at 8 KB, FAT12 takes it.
        {C::Fat16Unit8K, 4 * kMiB, 512, "FAT12", 8192},
        {C::Fat16Unit1K, 2 * kMiB, 512, "FAT12", 1024},
        // A device with 1024-byte sectors: the unit is one sector.
        {C::Fat16Unit1K, 16 * kMiB, 1024, "FAT16", 1024},
    };
    auto volumeTools = tools();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.fatType) + " " + std::to_string(c.volumeBytes) + " bytes");
        const fs::path path = image('E', c.volumeBytes, c.sectorSize);
        const VolumeResult result = volumeTools->format('E', c.choice, true, kFormatLimit);
        ASSERT_TRUE(result) << result.reason;

        const ToolOutput info = tool({"minfo", "-i", path.string(), "::"});
        ASSERT_EQ(info.exitCode, 0) << info.output;
        EXPECT_NE(info.output.find("disk type=\"" + std::string(c.fatType)), std::string::npos)
            << info.output;
        EXPECT_NE(info.output.find("sector size: " + std::to_string(c.sectorSize) + " bytes"),
                  std::string::npos)
            << info.output;
        EXPECT_NE(info.output.find("cluster size: " +
                                   std::to_string(c.clusterBytes / static_cast<int>(c.sectorSize)) +
                                   " sectors"),
                  std::string::npos)
            << info.output;
        const ToolOutput check = tool({"fsck.fat", "-n", path.string()});
        EXPECT_EQ(check.exitCode, 0) << check.output;
        // No label from the format, and no partition table written into the boot sector.
        EXPECT_EQ(volumeTools->label('E'), "");
        EXPECT_EQ(bootSector(path).substr(446, 64), std::string(64, '\0'));

        const VolumeProbe probe = volumeTools->probe('E');
        EXPECT_EQ(probe.state, VolumeState::Fat) << probe.reason;
        EXPECT_GT(probe.freeBytes, c.volumeBytes * 9 / 10);
        EXPECT_LE(probe.freeBytes, c.volumeBytes);
    }
}

TEST_F(LinuxVolumeToolsTest, MkfsTakesThePlanAtTheLimitBetweenFat12AndFat16) {
    // Around the volume size where the plan turns from FAT12 to FAT16, one cluster at a time:
    // mkfs.fat refuses both types a little above its FAT12 limit unless the plan makes room.
    auto volumeTools = tools();
    for (const FileSystemChoice choice :
         {FileSystemChoice::Fat16Unit1K, FileSystemChoice::Fat16Unit8K}) {
        for (const std::uint32_t sectorSize : {512u, 1024u}) {
            const std::uint32_t cluster = clusterBytesFor(choice, 0);
            std::uint64_t turn = 4000ull * cluster;
            while (planFatFormat(choice, turn, sectorSize).fatBits != 16) {
                turn += sectorSize;
            }
            for (std::uint64_t bytes = turn - 16ull * cluster; bytes <= turn + 4ull * cluster;
                 bytes += cluster / 2) {
                SCOPED_TRACE(std::to_string(bytes) + " bytes, unit " + std::to_string(cluster) +
                             ", sector " + std::to_string(sectorSize));
                const fs::path path = image('E', bytes, sectorSize);
                const VolumeResult result = volumeTools->format('E', choice, true, kFormatLimit);
                ASSERT_TRUE(result) << result.reason;
                const int bits = planFatFormat(choice, bytes, sectorSize).fatBits;
                const std::string type = bootSector(path).substr(54, 5);
                EXPECT_EQ(type, "FAT" + std::to_string(bits));
            }
        }
    }
}

TEST_F(LinuxVolumeToolsTest, RefusedFormatNamesTheVolumeAndWritesNothing) {
    const fs::path path = image('E', 16 * kMiB);
    const VolumeResult result =
        tools()->format('E', FileSystemChoice::Fat32SystemUnit, true, kFormatLimit);
    EXPECT_FALSE(result);
    EXPECT_NE(result.reason.find(path.string()), std::string::npos) << result.reason;
    EXPECT_NE(result.reason.find("FAT32"), std::string::npos) << result.reason;
    EXPECT_EQ(bootSector(path), std::string(512, '\0'));
}

// The 11 name bytes of the root directory's label entry, found with the boot sector's own
// numbers (the root directory's first 16 KB), independently of the code under test.
std::string rawRootLabel(const fs::path& image) {
    const std::string boot = bootSector(image);
    const auto number = [&](std::size_t at, int bytes) {
        std::uint64_t value = 0;
        for (int i = bytes - 1; i >= 0; --i) {
            value = value << 8 | static_cast<std::uint8_t>(boot[at + static_cast<std::size_t>(i)]);
        }
        return value;
    };
    const std::uint64_t sectorSize = number(11, 2);
    const std::uint64_t sectorsPerCluster = number(13, 1);
    const std::uint64_t reserved = number(14, 2);
    const std::uint64_t fats = number(16, 1);
    const std::uint64_t fatSectors = number(22, 2) != 0 ? number(22, 2) : number(36, 4);
    std::uint64_t root = (reserved + fats * fatSectors) * sectorSize;
    if (number(22, 2) == 0) {  // FAT32: the root directory is a cluster of the data area
        root += (number(44, 4) - 2) * sectorsPerCluster * sectorSize;
    }
    std::ifstream in(image, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(root));
    std::string area(16384, '\0');
    in.read(area.data(), static_cast<std::streamsize>(area.size()));
    for (std::size_t at = 0; at + 32 <= area.size() && area[at] != '\0'; at += 32) {
        if (area[at + 11] == '\x08' && static_cast<std::uint8_t>(area[at]) != 0xE5) {
            return area.substr(at, 11);
        }
    }
    return "";
}

TEST_F(LinuxVolumeToolsTest, LabelsAreWrittenAndReadBackByteForByte) {
    struct Case {
        const char* name;
        FileSystemChoice choice;
        std::uint64_t volumeBytes;
        std::string label;
        std::optional<CodePage> codePage;
        std::string stored;  // what label() gives back
        std::string onDisk;  // the entry's 11 bytes
    };
    using C = FileSystemChoice;
    const std::string gbk = "\xD6\xD0\xCE\xC4\xB2\xE2\xCA\xD4";  // 中文测试
    const Case cases[] = {
        {"ASCII on FAT16", C::Fat16Unit8K, 64 * kMiB, "du_vozer", std::nullopt, "DU_VOZER",
         "DU_VOZER   "},
        {"GBK on FAT16", C::Fat16Unit8K, 64 * kMiB, gbk + "ab", CodePage::Gbk, gbk + "AB",
         gbk + "AB "},
        {"GBK on FAT12", C::Fat16Unit8K, 4 * kMiB, gbk, CodePage::Gbk, gbk, gbk + "   "},
        {"GBK on FAT32", C::Fat32SystemUnit, 1 * kGiB, "U" + gbk + "DI", CodePage::Gbk,
         "U" + gbk + "DI", "U" + gbk + "DI"},
        // A first byte 0xE5 is stored as 0x05 (0xE5 marks a free entry) and reads back as 0xE5.
        {"lead byte E5", C::Fat16Unit8K, 64 * kMiB, "\xE5\xB0", CodePage::Gbk, "\xE5\xB0",
         "\x05\xB0         "},
    };
    auto volumeTools = tools();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path path = image('F', c.volumeBytes);
        ASSERT_TRUE(volumeTools->format('F', c.choice, true, kFormatLimit));
        // An entry before the label: the label goes into the first free slot.
        ASSERT_TRUE(volumeTools->copyFiles('F', {sourceFile("first.txt", "1")}, ""));

        const VolumeResult set = volumeTools->setLabel('F', c.label, c.codePage);
        ASSERT_TRUE(set) << set.reason;
        EXPECT_EQ(volumeTools->label('F'), c.stored);
        EXPECT_EQ(rawRootLabel(path), c.onDisk);
        EXPECT_EQ(bootSector(path).substr(c.choice == C::Fat32SystemUnit ? 71 : 43, 11), c.onDisk)
            << "the boot sector's copy of the label";
        // mtools still reads the volume and its files.
        const ToolOutput listing = tool({"mdir", "-i", path.string(), "-b", "::/"});
        EXPECT_EQ(listing.output, "::/first.txt\n");
        const VolumeResult check = volumeTools->checkDisk('F', 15s);
        EXPECT_TRUE(check) << check.reason;

        // Set again (the entry is rewritten, not added), then removed.
        ASSERT_TRUE(volumeTools->setLabel('F', "other", std::nullopt));
        EXPECT_EQ(volumeTools->label('F'), "OTHER");
        const ToolOutput relabelled = tool({"mdir", "-i", path.string(), "::/"});
        EXPECT_NE(relabelled.output.find("Volume in drive : is OTHER"), std::string::npos)
            << relabelled.output;
        EXPECT_EQ(tool({"fsck.fat", "-n", path.string()}).exitCode, 0);
        ASSERT_TRUE(volumeTools->setLabel('F', "", std::nullopt));
        EXPECT_EQ(volumeTools->label('F'), "");
        EXPECT_EQ(rawRootLabel(path), "");
        const ToolOutput unlabelled = tool({"mdir", "-i", path.string(), "::/"});
        EXPECT_NE(unlabelled.output.find("has no label"), std::string::npos) << unlabelled.output;
        EXPECT_EQ(tool({"fsck.fat", "-n", path.string()}).exitCode, 0);
    }
}

TEST_F(LinuxVolumeToolsTest, CheckDiskCountsEveryFindingBesidesAHighByteLabel) {
    // dosfstools refuses label bytes above 0x7F; a GBK label passes the check, but a broken
    // file beside it still fails it.
    const fs::path path = image('E', 64 * kMiB);
    auto volumeTools = tools();
    ASSERT_TRUE(volumeTools->format('E', FileSystemChoice::Fat16Unit1K, true, kFormatLimit));
    ASSERT_TRUE(volumeTools->copyFiles('E', {sourceFile("song.mp3", std::string(5000, 's'))}, ""));
    ASSERT_TRUE(volumeTools->setLabel('E', "\xD6\xD0\xCE\xC4", CodePage::Gbk));
    EXPECT_EQ(tool({"fsck.fat", "-n", path.string()}).exitCode, 1) << "dosfstools' own verdict";
    EXPECT_TRUE(volumeTools->checkDisk('E', 15s));
    breakFirstCluster(path);
    EXPECT_FALSE(volumeTools->checkDisk('E', 15s));
}

TEST_F(LinuxVolumeToolsTest, LabelFatCannotHoldIsRefusedAndLeavesTheOldOne) {
    image('E', 64 * kMiB);
    auto volumeTools = tools();
    ASSERT_TRUE(volumeTools->format('E', FileSystemChoice::Fat16Unit8K, true, kFormatLimit));
    ASSERT_TRUE(volumeTools->setLabel('E', "KEEP", std::nullopt));
    for (const std::string& label : {std::string("A*B"), std::string("TWELVE BYTES")}) {
        SCOPED_TRACE(label);
        const VolumeResult result = volumeTools->setLabel('E', label, std::nullopt);
        EXPECT_FALSE(result);
        EXPECT_NE(result.reason.find(label), std::string::npos) << result.reason;
        EXPECT_EQ(volumeTools->label('E'), "KEEP");
    }
}

TEST_F(LinuxVolumeToolsTest, FoldersAndFilesLandInTheGivenOrder) {
    const fs::path path = image('E', 64 * kMiB);
    auto volumeTools = tools();
    ASSERT_TRUE(volumeTools->format('E', FileSystemChoice::Fat16Unit8K, true, kFormatLimit));
    ASSERT_TRUE(volumeTools->makeFolder('E', "Music/Album"));
    ASSERT_TRUE(volumeTools->makeFolder('E', "Music/Album")) << "an existing folder is fine";
    const std::vector<fs::path> files = {sourceFile("b.mp3", "bb"), sourceFile("A.mp3", "a"),
                                         sourceFile("Long name 10.txt", "ten"),
                                         sourceFile("c.mp3", "c")};
    const VolumeResult copied = volumeTools->copyFiles('E', files, "Music/Album");
    ASSERT_TRUE(copied) << copied.reason;

    const ToolOutput listing = tool({"mdir", "-i", path.string(), "-b", "::/Music/Album"});
    EXPECT_EQ(listing.output,
              "::/Music/Album/b.mp3\n::/Music/Album/A.mp3\n::/Music/Album/Long name 10.txt\n"
              "::/Music/Album/c.mp3\n");
    EXPECT_EQ(tool({"fsck.fat", "-n", path.string()}).exitCode, 0);

    // A file of the same name is replaced, not added beside.
    const fs::path newer = dir_ / "newer" / "b.mp3";
    fs::create_directories(newer.parent_path());
    writeFileAtomically(newer, "newer content");
    ASSERT_TRUE(volumeTools->copyFiles('E', {newer}, "Music/Album/"));
    EXPECT_EQ(tool({"mtype", "-i", path.string(), "::/Music/Album/b.mp3"}).output, "newer content");
    EXPECT_EQ(tool({"mdir", "-i", path.string(), "-b", "::/Music/Album"}).output, listing.output);

    // Into the root, too.
    ASSERT_TRUE(volumeTools->copyFiles('E', {sourceFile("root.txt", "r")}, ""));
    EXPECT_EQ(tool({"mtype", "-i", path.string(), "::/root.txt"}).output, "r");
}

TEST_F(LinuxVolumeToolsTest, CopiedFilesReadBackEqualOrTheDifferenceIsNamed) {
    image('E', 64 * kMiB);
    auto volumeTools = tools();
    ASSERT_TRUE(volumeTools->format('E', FileSystemChoice::Fat16Unit8K, true, kFormatLimit));
    ASSERT_TRUE(volumeTools->makeFolder('E', "Music"));
    const std::vector<fs::path> files = {sourceFile("one.mp3", std::string(70000, '1')),
                                         sourceFile("two.mp3", "2"), sourceFile("empty.mp3", "")};
    ASSERT_TRUE(volumeTools->copyFiles('E', files, "Music"));
    const VolumeResult same = volumeTools->verifyFiles('E', files, "Music");
    EXPECT_TRUE(same) << same.reason;

    // The source changes after the copy at its second 64 KiB: the read-back no longer matches.
    writeFileAtomically(files[0], std::string(69999, '1') + "x");
    const VolumeResult differs = volumeTools->verifyFiles('E', files, "Music");
    EXPECT_FALSE(differs);
    EXPECT_NE(differs.reason.find("one.mp3 read back differs"), std::string::npos)
        << differs.reason;
    EXPECT_NE(differs.reason.find("from byte 65536"), std::string::npos) << differs.reason;

    const VolumeResult missing = volumeTools->verifyFiles('E', {sourceFile("never.mp3", "n")}, "");
    EXPECT_FALSE(missing);
}

TEST_F(LinuxVolumeToolsTest, FolderAndCopyFailuresNameWhatFailed) {
    image('E', 64 * kMiB);
    auto volumeTools = tools();
    ASSERT_TRUE(volumeTools->format('E', FileSystemChoice::Fat16Unit8K, true, kFormatLimit));
    ASSERT_TRUE(volumeTools->copyFiles('E', {sourceFile("taken", "a file")}, ""));

    const VolumeResult folder = volumeTools->makeFolder('E', "taken/inner");
    EXPECT_FALSE(folder);
    EXPECT_NE(folder.reason.find("taken/inner"), std::string::npos) << folder.reason;

    const VolumeResult copy =
        volumeTools->copyFiles('E', {dir_ / "source" / "no-such-file.mp3"}, "");
    EXPECT_FALSE(copy);
    EXPECT_NE(copy.reason.find("no-such-file.mp3"), std::string::npos) << copy.reason;
}

TEST_F(LinuxVolumeToolsTest, ProbeTellsFatFromOtherFileSystemsFromNoneFromUnreadable) {
    auto volumeTools = tools();
    image('E', 64 * kMiB);  // zeros: reads, but holds no file system
    ASSERT_TRUE(fs::create_directory(dir_ / "not-a-volume"));
    volumes_['G'] = {dir_ / "not-a-volume", 512};  // cannot be read
    volumes_['H'] = {dir_ / "gone.img", 512};      // the disk went away

    // An exFAT disk: somebody's data in another file system.
    const fs::path exfat = image('F', 64 * kMiB);
    ASSERT_EQ(tool({"mkfs.exfat", exfat.string()}).exitCode, 0);

    struct Case {
        char letter;
        VolumeState state;
    };
    const Case cases[] = {
        {'E', VolumeState::NoFat},      {'F', VolumeState::OtherFileSystem},
        {'G', VolumeState::Unreadable}, {'H', VolumeState::Unreadable},
        {'Q', VolumeState::Unreadable},  // the drive shows no disk
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.letter);
        const VolumeProbe probe = volumeTools->probe(c.letter);
        EXPECT_EQ(probe.state, c.state) << probe.reason;
        EXPECT_FALSE(probe.reason.empty());
        EXPECT_EQ(volumeTools->label(c.letter), "");
    }
    EXPECT_EQ(volumeTools->probe('F').fileSystem, "exfat");
    ASSERT_TRUE(volumeTools->format('E', FileSystemChoice::Fat16Unit8K, true, kFormatLimit));
    EXPECT_EQ(volumeTools->probe('E').state, VolumeState::Fat);
}

TEST_F(LinuxVolumeToolsTest, CheckDiskPassesASoundVolumeAndFailsABrokenOne) {
    const fs::path path = image('E', 64 * kMiB);
    auto volumeTools = tools();
    ASSERT_TRUE(volumeTools->format('E', FileSystemChoice::Fat16Unit1K, true, kFormatLimit));
    ASSERT_TRUE(volumeTools->copyFiles('E', {sourceFile("song.mp3", std::string(5000, 's'))}, ""));
    const VolumeResult sound = volumeTools->checkDisk('E', 15s);
    EXPECT_TRUE(sound) << sound.reason;

    breakFirstCluster(path);
    const VolumeResult broken = volumeTools->checkDisk('E', 15s);
    EXPECT_FALSE(broken);
    EXPECT_NE(broken.reason.find("fsck.fat"), std::string::npos) << broken.reason;
    EXPECT_NE(broken.reason.find(path.string()), std::string::npos) << broken.reason;
    // Check only: the volume is left as it was.
    EXPECT_FALSE(volumeTools->checkDisk('E', 15s));
}

// True when the process is gone or only waits to be reaped by its new parent.
bool ended(long pid) {
    std::string stat;
    try {
        stat = readFileBytes("/proc/" + std::to_string(pid) + "/stat");
    } catch (const std::exception&) {
        return true;
    }
    const auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

TEST_F(LinuxVolumeToolsTest, FormatOrCheckPastItsLimitIsEndedWithItsHelpers) {
    image('E', 64 * kMiB);
    // A tool that hangs in a helper of its own, as a stuck format may.
    const fs::path helperId = dir_ / "helper.pid";
    const fs::path hanging = dir_ / "hanging-tool";
    writeFileAtomically(hanging,
                        "#!/bin/sh\nsleep 60 &\necho $! > '" + helperId.string() + "'\nwait\n");
    fs::permissions(hanging, fs::perms::owner_all);
    VolumePrograms programs;
    programs.mkfsFat = hanging.string();
    programs.fsckFat = hanging.string();
    auto volumeTools = tools(programs);

    for (const bool format : {true, false}) {
        SCOPED_TRACE(format ? "format" : "check disk");
        fs::remove(helperId);
        const auto start = std::chrono::steady_clock::now();
        const VolumeResult result =
            format ? volumeTools->format('E', FileSystemChoice::Fat16Unit8K, true, 1s)
                   : volumeTools->checkDisk('E', 1s);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
        EXPECT_FALSE(result);
        EXPECT_NE(result.reason.find("did not end within 1 s"), std::string::npos) << result.reason;
        ASSERT_TRUE(fs::exists(helperId));
        const long helper = std::stol(readFileBytes(helperId));
        for (int i = 0; i < 200 && !ended(helper); ++i) {
            std::this_thread::sleep_for(5ms);
        }
        EXPECT_TRUE(ended(helper)) << "the tool's helper still runs";
    }
}

TEST_F(LinuxVolumeToolsTest, PlainFileNeedsNoRefresh) {
    image('E', 4 * kMiB);
    auto volumeTools = tools();
    EXPECT_TRUE(volumeTools->refresh('E'));
    const VolumeResult absent = volumeTools->refresh('Q');
    EXPECT_FALSE(absent);
    EXPECT_NE(absent.reason.find("Drive Q"), std::string::npos) << absent.reason;
}

// A loop device over an image file of the test's, detached at the end; empty where loop devices
// cannot be made (no permission, no loop driver).
class LoopDevice {
  public:
    LoopDevice(const fs::path& image, const fs::path& scratch) : scratch_(scratch) {
        const ToolOutput made = runTool({"losetup", "--find", "--show", image.string()}, scratch);
        if (made.exitCode == 0 && made.output.rfind("/dev/loop", 0) == 0) {
            path_ = made.output.substr(0, made.output.find('\n'));
        } else {
            why_ = made.output;
        }
    }
    ~LoopDevice() {
        if (!path_.empty()) {
            runTool({"losetup", "--detach", path_.string()}, scratch_);
        }
    }
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;

    const fs::path& path() const { return path_; }
    const std::string& why() const { return why_; }

  private:
    fs::path scratch_;
    fs::path path_;
    std::string why_;
};

// The run holds its disk open from the copies to the check, so the system keeps the disk's
// blocks between the tools: the check and the read-back must read the device, not those blocks.
// Here the medium under a loop device loses its first MiB after the copies; both must see it.
TEST_F(LinuxVolumeToolsTest, CheckAndReadBackReadTheDeviceNotTheSystemsCache) {
    const fs::path backing = image('X', 64 * kMiB);
    LoopDevice loop(backing, dir_);
    if (loop.path().empty()) {
        GTEST_SKIP() << "no loop device can be made here: " << loop.why();
    }
    volumes_['E'] = {loop.path(), 512};
    auto volumeTools = tools();
    ASSERT_TRUE(volumeTools->format('E', FileSystemChoice::Fat16Unit1K, true, kFormatLimit));
    const fs::path song = sourceFile("song.mp3", std::string(300000, 's'));
    ASSERT_TRUE(volumeTools->copyFiles('E', {song}, ""));
    const int held = ::open(loop.path().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_TRUE(volumeTools->flush('E'));
    ASSERT_TRUE(volumeTools->checkDisk('E', 15s));
    ASSERT_TRUE(volumeTools->verifyFiles('E', {song}, ""));
    // The device's cached blocks are read once more, then the medium is destroyed beneath them.
    std::string cached(kMiB, '\0');
    ASSERT_EQ(::pread(held, cached.data(), cached.size(), 0), static_cast<ssize_t>(kMiB));
    {
        std::fstream medium(backing, std::ios::in | std::ios::out | std::ios::binary);
        medium.write(std::string(kMiB, '\0').data(), static_cast<std::streamsize>(kMiB));
    }
    EXPECT_FALSE(volumeTools->checkDisk('E', 15s));
    EXPECT_FALSE(volumeTools->verifyFiles('E', {song}, ""));
    ::close(held);
}

// The tools unmount by the mount table the system-disk guard reads (here a file of the test's): a
// mount of the volume there that cannot be undone stops the format, which names its mount point
// and writes nothing.
TEST_F(LinuxVolumeToolsTest, AMountThatCannotBeUndoneStopsTheFormatAndIsNamed) {
    const fs::path backing = image('X', 64 * kMiB);
    LoopDevice loop(backing, dir_);
    if (loop.path().empty()) {
        GTEST_SKIP() << "no loop device can be made here: " << loop.why();
    }
    struct stat info {};
    ASSERT_EQ(::stat(loop.path().c_str(), &info), 0);
    const fs::path table = dir_ / "mountinfo";
    std::ofstream(table) << "36 25 " << major(info.st_rdev) << ":" << minor(info.st_rdev)
                         << " / /media/user/MY\\040STICK rw,nosuid shared:1 - vfat "
                         << loop.path().string() << " rw\n";
    volumes_['E'] = {loop.path(), 512};
    const auto volumeTools =
        tools({.umount = "/bin/false", .udisksctl = "no-udisksctl"}, {table, dir_ / "swaps"});
    const VolumeResult formatted =
        volumeTools->format('E', FileSystemChoice::Fat16Unit1K, true, kFormatLimit);
    EXPECT_FALSE(formatted);
    EXPECT_NE(formatted.reason.find("is mounted on /media/user/MY STICK"), std::string::npos)
        << formatted.reason;
    EXPECT_EQ(bootSector(backing), std::string(512, '\0')) << "nothing was written";
}

}  // namespace
}  // namespace corvid
