// The operations of the disk finishing with the recording volume tools: the file-system choice of
// a disk size, and the copy of files and folders onto a disk with its order, the entries it
// leaves out and the names that would land on one name on the disk.
#include "production/disk_finishing.h"

#include <gtest/gtest.h>

#include <cctype>
#include <clocale>
#include <cstdlib>
#include <fstream>

#include "tests/support/recording_transport.h"
#include "tests/support/recording_volume_tools.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace corvid {
namespace {

namespace fs = std::filesystem;
using test::RecordingVolumeTools;
using test::VolumeCall;

constexpr char kDrive = 'E';

TEST(FileSystemChoiceTest, FollowsTheDiskSizeInMB) {
    struct Case {
        std::uint64_t sizeMB;
        FileSystemChoice choice;
    };
    const Case cases[] = {
        {1, FileSystemChoice::Fat16Unit1K},        {32, FileSystemChoice::Fat16Unit1K},
        {33, FileSystemChoice::Fat16Unit8K},       {64, FileSystemChoice::Fat16Unit8K},
        {127, FileSystemChoice::Fat16Unit8K},      {128, FileSystemChoice::Fat16SystemUnit},
        {256, FileSystemChoice::Fat16SystemUnit},  {512, FileSystemChoice::Fat16SystemUnit},
        {0, FileSystemChoice::Fat16SystemUnit},    {513, FileSystemChoice::Fat32SystemUnit},
        {1024, FileSystemChoice::Fat32SystemUnit}, {8192, FileSystemChoice::Fat32SystemUnit},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(static_cast<int>(fileSystemChoiceForSize(c.sizeMB)), static_cast<int>(c.choice))
            << c.sizeMB << " MB";
    }
}

std::vector<std::uint8_t> be32Pair(std::uint32_t first, std::uint32_t second) {
    return {static_cast<std::uint8_t>(first >> 24),  static_cast<std::uint8_t>(first >> 16),
            static_cast<std::uint8_t>(first >> 8),   static_cast<std::uint8_t>(first),
            static_cast<std::uint8_t>(second >> 24), static_cast<std::uint8_t>(second >> 16),
            static_cast<std::uint8_t>(second >> 8),  static_cast<std::uint8_t>(second)};
}

// The choice and the capacity come from READ CAPACITY(10) on a handle of their own, closed
// again. The capacity counts the last block too, so an image of exactly the disk's size fits.
TEST(DiskCapacityTest, FromReadCapacityOnAHandleOfItsOwn) {
    struct Case {
        const char* what;
        bool opens;
        bool answers;
        std::uint32_t lastBlock;
        std::uint32_t blockLength;
        FileSystemChoice choice;
        std::uint64_t bytes;
    };
    const Case cases[] = {
        {"exactly 64 MB", true, true, 131071, 512, FileSystemChoice::Fat16Unit8K, 64ull << 20},
        {"exactly 32 MB", true, true, 65535, 512, FileSystemChoice::Fat16Unit1K, 32ull << 20},
        {"1024-byte blocks", true, true, 262143, 1024, FileSystemChoice::Fat16SystemUnit,
         256ull << 20},
        {"4 GB", true, true, 0x7FFFFF, 512, FileSystemChoice::Fat32SystemUnit, 4ull << 30},
        {"last block 0", true, true, 0, 512, FileSystemChoice::Fat16SystemUnit, 512},
        {"the command fails", true, false, 131071, 512, FileSystemChoice::Fat16SystemUnit, 0},
        {"the device does not open", false, true, 131071, 512, FileSystemChoice::Fat16SystemUnit,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::RecordingTransport transport;
        if (!c.opens) {
            transport.failOpen(kDrive);
        }
        transport.setResponder([&](const test::RecordedRequest&) {
            return test::Reply{c.answers, be32Pair(c.lastBlock, c.blockLength)};
        });
        EXPECT_EQ(static_cast<int>(iChooseFileSystem(transport, kDrive)),
                  static_cast<int>(c.choice));
        EXPECT_EQ(diskCapacityBytes(transport, kDrive), c.bytes);
        EXPECT_EQ(transport.openedLetters(), (std::vector<char>{kDrive, kDrive}));
        EXPECT_EQ(transport.closedHandles().size(), c.opens ? 2u : 0u);
        for (const auto& request : transport.requests()) {
            EXPECT_EQ(request.cdb[0], 0x25);  // READ CAPACITY(10)
        }
    }
}

// A folder tree under a temporary folder, copied with DiskCopy onto the recording volume tools.
// The calls are compared as lines: "makeFolder Music", "copyFiles Music <- Music/A.mp3 ...",
// with the source files relative to the tree ("/" is the root of the disk).
class DiskCopyTest : public test::TempDirTest {
  protected:
    void file(const std::string& relative, const std::string& content = "x") {
        const fs::path path = dir_ / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }
    void folder(const std::string& relative) { fs::create_directories(dir_ / relative); }

    // Copies the entries in order, as a list is copied; false at the first that fails.
    bool copy(const std::vector<std::string>& entries) {
        DiskCopy diskCopy(volumes_, kDrive, [this](const std::string& why) { reasons_ += why; });
        for (const std::string& entry : entries) {
            if (!diskCopy.copyEntry(dir_ / entry)) {
                return false;
            }
        }
        return true;
    }

    std::vector<std::string> callLines() const {
        std::vector<std::string> lines;
        for (const auto& call : volumes_.calls()) {
            EXPECT_EQ(call.letter, kDrive);
            if (call.kind == VolumeCall::MakeFolder) {
                lines.push_back("makeFolder " + call.folder);
            } else if (call.kind == VolumeCall::CopyFiles) {
                std::string line = "copyFiles " + (call.folder.empty() ? "/" : call.folder) + " <-";
                for (const fs::path& source : call.files) {
                    line += " " + source.lexically_relative(dir_).generic_string();
                }
                lines.push_back(line);
            } else {
                lines.push_back("unexpected call");
            }
        }
        return lines;
    }

    RecordingVolumeTools volumes_;
    std::string reasons_;
};

using Lines = std::vector<std::string>;

// A folder's files go first, in name order without regard to case, in one call; then its
// subfolders in the same order, each the same way.
TEST_F(DiskCopyTest, AFolderGivesItsFilesInNameOrderThenItsSubfolders) {
    file("Music/b.mp3");
    file("Music/A.mp3");
    file("Music/z/d.mp3");
    for (const char* entry : {"Music", "Music/"}) {
        SCOPED_TRACE(entry);
        volumes_.clear();
        EXPECT_TRUE(copy({entry})) << reasons_;
        EXPECT_EQ(callLines(),
                  (Lines{"makeFolder Music", "copyFiles Music <- Music/A.mp3 Music/b.mp3",
                         "makeFolder Music/z", "copyFiles Music/z <- Music/z/d.mp3"}));
    }
}

TEST_F(DiskCopyTest, SubfoldersFollowInNameOrderAndAnEmptyFolderIsMadeToo) {
    file("Docs/readme.txt");
    file("Docs/zeta/1.txt");
    file("Docs/Alpha/2.txt");
    folder("Docs/empty");
    file("top.txt");
    EXPECT_TRUE(copy({"top.txt", "Docs"})) << reasons_;
    EXPECT_EQ(callLines(),
              (Lines{"copyFiles / <- top.txt", "makeFolder Docs",
                     "copyFiles Docs <- Docs/readme.txt", "makeFolder Docs/Alpha",
                     "copyFiles Docs/Alpha <- Docs/Alpha/2.txt", "makeFolder Docs/empty",
                     "makeFolder Docs/zeta", "copyFiles Docs/zeta <- Docs/zeta/1.txt"}));
}

// Names starting with '.' are the hidden entries: left out inside a folder (files and folders),
// copied when the list names them itself.
TEST_F(DiskCopyTest, HiddenEntriesAreLeftOutInsideFoldersAndCopiedWhenListed) {
    file("Music/A.mp3");
    file("Music/.thumbs");
    file("Music/.cache/c.mp3");
    file(".profile");
    EXPECT_TRUE(copy({"Music", ".profile"})) << reasons_;
    EXPECT_EQ(callLines(), (Lines{"makeFolder Music", "copyFiles Music <- Music/A.mp3",
                                  "copyFiles / <- .profile"}));
}

// A link to a folder is not followed (it may loop back), a FIFO is no file to copy: each is left
// out and named; a link to a file is copied as the file; a link to nothing fails the copy.
TEST_F(DiskCopyTest, LinksToFoldersAndFifosAreLeftOutAndNamedABrokenLinkFails) {
    file("Music/A.mp3");
    fs::create_directory_symlink(dir_ / "Music", dir_ / "Music/loop");
    fs::create_symlink(dir_ / "Music/A.mp3", dir_ / "Music/B-link.mp3");
    const auto fifo = test::runProgram({"mkfifo", (dir_ / "Music/pipe").string()});
    ASSERT_EQ(fifo.exitCode, 0) << fifo.output;
    DiskCopy diskCopy(volumes_, kDrive, [this](const std::string& why) { reasons_ += why + "\n"; });
    EXPECT_TRUE(diskCopy.copyEntry(dir_ / "Music")) << reasons_;
    EXPECT_EQ(callLines(),
              (Lines{"makeFolder Music", "copyFiles Music <- Music/A.mp3 Music/B-link.mp3"}));
    EXPECT_EQ(diskCopy.skippedEntries(), 2);
    EXPECT_NE(reasons_.find("Music/loop is left out: a link to a folder is not copied."),
              std::string::npos)
        << reasons_;
    EXPECT_NE(reasons_.find("Music/pipe is left out: a FIFO is not copied."), std::string::npos)
        << reasons_;

    volumes_.clear();
    reasons_.clear();
    fs::create_symlink(dir_ / "gone.mp3", dir_ / "Music/C-link.mp3");
    EXPECT_FALSE(copy({"Music"}));
    EXPECT_NE(reasons_.find("Music/C-link.mp3 is a link to " + (dir_ / "gone.mp3").string() +
                            ", which does not exist."),
              std::string::npos)
        << reasons_;
    EXPECT_TRUE(callLines().empty()) << "nothing of the folder is copied";
}

// FAT names ignore case: two entries that would land on one name fail the copy, and nothing of
// the folder that holds them is copied, rather than one silently replacing the other.
TEST_F(DiskCopyTest, EntriesLandingOnOneNameFailTheCopy) {
    struct Case {
        const char* what;
        std::vector<std::string> files;
        std::vector<std::string> entries;
        Lines calls;  // what was done before the failure
    };
    const Case cases[] = {
        {"A.txt and a.txt in one folder", {"Docs/A.txt", "Docs/a.txt", "Docs/b.txt"}, {"Docs"}, {}},
        {"a file and a subfolder differing in case",
         {"Docs/notes", "Docs/NOTES/1.txt"},
         {"Docs"},
         {}},
        {"a clash in a subfolder",
         {"Docs/1.txt", "Docs/sub/x.txt", "Docs/sub/X.TXT"},
         {"Docs"},
         {"makeFolder Docs", "copyFiles Docs <- Docs/1.txt"}},
        {"two list entries named readme.txt",
         {"one/readme.txt", "two/readme.txt"},
         {"one/readme.txt", "two/readme.txt"},
         {"copyFiles / <- one/readme.txt"}},
        {"a listed file and a listed folder of one name",
         {"one/Music", "Music/a.mp3"},
         {"one/Music", "Music"},
         {"copyFiles / <- one/Music"}},
        {"a listed folder twice",
         {"Music/a.mp3"},
         {"Music", "Music"},
         {"makeFolder Music", "copyFiles Music <- Music/a.mp3"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        for (const auto& name : c.files) {
            file(name);
        }
        volumes_.clear();
        reasons_.clear();
        EXPECT_FALSE(copy(c.entries));
        EXPECT_EQ(callLines(), c.calls);
        EXPECT_NE(reasons_.find("another copied entry already takes"), std::string::npos)
            << reasons_;
    }
}

TEST_F(DiskCopyTest, TheFirstFailedCallEndsTheCopyWithItsReason) {
    file("Docs/1.txt");
    file("Docs/sub/2.txt");
    volumes_.failNext(VolumeCall::CopyFiles, "the disk is full");
    EXPECT_FALSE(copy({"Docs"}));
    EXPECT_EQ(callLines(), (Lines{"makeFolder Docs", "copyFiles Docs <- Docs/1.txt"}));
    EXPECT_EQ(reasons_, "the disk is full");
}

TEST_F(DiskCopyTest, AnEntryThatIsNeitherFileNorFolderFailsNamingIt) {
    EXPECT_FALSE(copy({"missing.txt"}));
    EXPECT_TRUE(callLines().empty());
    EXPECT_NE(reasons_.find((dir_ / "missing.txt").string()), std::string::npos) << reasons_;
}

// The C library's case mapping follows the locale: in a Turkish one 'i' upper-cases to a dotted
// capital I. The order and the clash check of the copy do not follow it.
class TurkishLocale {
  public:
    explicit TurkishLocale(const fs::path& folder) {
        const auto made = test::runProgram(
            {"localedef", "-i", "tr_TR", "-f", "ISO-8859-9", (folder / kName).string()});
        if (made.exitCode != 0) {
            ADD_FAILURE() << "localedef could not make " << kName << ": " << made.output;
            return;
        }
        ::setenv("LOCPATH", folder.c_str(), 1);
        taken_ = std::setlocale(LC_ALL, kName) != nullptr;
        EXPECT_TRUE(taken_) << "the locale " << kName << " made in " << folder << " is not taken";
    }
    ~TurkishLocale() {
        std::setlocale(LC_ALL, "C");
        ::unsetenv("LOCPATH");
    }
    TurkishLocale(const TurkishLocale&) = delete;
    TurkishLocale& operator=(const TurkishLocale&) = delete;

    bool taken() const { return taken_; }

    static constexpr const char* kName = "tr_TR.ISO-8859-9";

  private:
    bool taken_ = false;
};

TEST_F(DiskCopyTest, OrderAndClashesDoNotFollowTheLocale) {
    if (!fs::exists("/usr/share/i18n/locales/tr_TR")) {
        GTEST_SKIP() << "the locale sources (Debian package locales) are not installed";
    }
    const test::TempDir locales("corvid-locale");
    const TurkishLocale turkish(locales.path());
    ASSERT_TRUE(turkish.taken());
    ASSERT_NE(std::toupper('i'), 'I') << "the locale does not show the difference";

    file("Music/J.mp3");
    file("Music/i2.mp3");
    file("Music/I1.mp3");
    file("Music/h.mp3");
    EXPECT_TRUE(copy({"Music"})) << reasons_;
    EXPECT_EQ(callLines(),
              (Lines{"makeFolder Music",
                     "copyFiles Music <- Music/h.mp3 Music/I1.mp3 Music/i2.mp3 Music/J.mp3"}));

    file("Docs/file.txt");
    file("Docs/FILE.TXT");
    volumes_.clear();
    EXPECT_FALSE(copy({"Docs"}));
    EXPECT_TRUE(callLines().empty());
}

}  // namespace
}  // namespace corvid
