// Images built from PC trees, checked with the FAT tools a user would use: fsck.fat and mtools.

#include "image/image_builder.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "image/image_file.h"
#include "image/pc_import.h"
#include "image/source_files.h"
#include "platform/byte_order.h"
#include "station/image_tool_messages.h"
#include "station/messages.h"
#include "tests/image/image_test_support.h"

namespace corvid {
namespace {

using test::linesOf;
using test::patternBytes;
using test::readFile;
using test::runTool;
using test::writeFile;

class ImageBuildTest : public test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        src_ = dir_ / "src";
        out_ = dir_ / "out.img";
    }

    ImageBuildResult build(const std::vector<std::filesystem::path>& items,
                           std::uint32_t sizeMb = 64, const std::string& label = "PASS WD",
                           ShortNameCodePage codePage = std::nullopt) {
        ImageBuildRequest request;
        request.label = label;
        request.diskSizeMb = sizeMb;
        request.items = items;
        request.output = out_;
        request.codePage = codePage;
        return buildImage(request);
    }

    // Writes the file under src/ and remembers where it must turn up in the volume.
    void addSource(const std::string& relative, const std::string& bytes,
                   const std::string& volumePath = "") {
        writeFile(src_ / relative, bytes);
        if (!volumePath.empty()) {
            expected_[volumePath] = bytes;
        }
    }

    std::filesystem::path extract(std::uint32_t sectorSize) {
        const auto volume = dir_ / ("volume" + std::to_string(sectorSize) + ".img");
        extractVolume(out_, sectorSize, volume);
        return volume;
    }

    // fsck.fat reports nothing but the notices of the label entry; mtools reads the label and
    // gives back every expected file unchanged, and no other file.
    void expectReadersAccept(const std::filesystem::path& volume, const std::string& label) {
        SCOPED_TRACE(volume.filename().string());
        int exitCode = 0;
        const auto faults = test::fsckFaultsBeyondLabel(volume, label, exitCode);
        EXPECT_TRUE(faults.empty()) << testing::PrintToString(faults);
        EXPECT_EQ(exitCode, 1);  // fsck.fat reports the notices it accepts

        auto labelText = runTool({"mlabel", "-i", volume.string(), "-s", "::"}).output;
        labelText.erase(labelText.find_last_not_of('\n') + 1);
        EXPECT_EQ(labelText, label.empty() ? " Volume has no label" : " Volume label is " + label);

        const auto back = dir_ / "back";
        std::filesystem::remove_all(back);
        std::filesystem::create_directories(back);
        for (const auto& line : listing(volume)) {
            if (line.back() != '/') {
                const auto run = runTool({"mcopy", "-n", "-i", volume.string(), line,
                                          (back / std::to_string(copied_++)).string()});
                ASSERT_EQ(run.exitCode, 0) << run.output;
                const auto wanted = expected_.find(line.substr(2));
                ASSERT_NE(wanted, expected_.end()) << "unexpected file " << line;
                EXPECT_EQ(readFile(back / std::to_string(copied_ - 1)), wanted->second) << line;
            }
        }
    }

    // mdir's recursive listing, one "::/path" per line: each folder's entries in directory
    // order, then those of its subfolders.
    std::vector<std::string> listing(const std::filesystem::path& volume) {
        const auto run = runTool({"mdir", "-i", volume.string(), "-b", "-/", "::"});
        if (run.output.find("File \"::\" not found") != std::string::npos) {
            return {};  // an empty root
        }
        EXPECT_EQ(run.exitCode, 0) << run.output;
        return linesOf(run.output);
    }

    std::filesystem::path src_;
    std::filesystem::path out_;
    std::map<std::string, std::string> expected_;  // volume path -> bytes
    int copied_ = 0;
};

TEST_F(ImageBuildTest, TreeWithNestedFoldersLongAndCjkNamesReadsBackInBothVolumes) {
    addSource("Folder/b.txt", "bee\n", "/Folder/b.txt");
    addSource("Folder/A.txt", "ay\n", "/Folder/A.txt");
    addSource("Folder/z/d.txt", "dee\n", "/Folder/z/d.txt");
    addSource("Folder/.hidden.txt", "not imported");
    addSource("Folder/onlyhidden/.x", "not imported");
    std::filesystem::create_directories(src_ / "Folder/nothing/deeper");
    addSource("Folder/thirteenchars", "13", "/Folder/thirteenchars");
    addSource("Folder/fourteen_chars", "14", "/Folder/fourteen_chars");
    addSource("Folder/with blanks in name.txt", "blanks", "/Folder/with blanks in name.txt");
    addSource("Folder/\xE4\xB8\xAD\xE6\x96\x87\xE6\x96\x87\xE4\xBB\xB6\xE5\x90\x8D\xE7\xA7\xB0.txt",
              "cjk",
              "/Folder/\xE4\xB8\xAD\xE6\x96\x87\xE6\x96\x87\xE4\xBB\xB6\xE5\x90\x8D"
              "\xE7\xA7\xB0.txt");
    addSource("Folder/\xE8\xB3\x87\xE6\x96\x99\xE5\xA4\xBE/\xE5\x85\xA7\xE5\xAE\xB9.bin",
              patternBytes(3000, 1),
              "/Folder/\xE8\xB3\x87\xE6\x96\x99\xE5\xA4\xBE/\xE5\x85\xA7\xE5\xAE\xB9.bin");
    addSource("Folder/empty.bin", "", "/Folder/empty.bin");
    addSource("Folder/onecluster.bin", patternBytes(2048, 2), "/Folder/onecluster.bin");
    addSource("Folder/big.bin", patternBytes(100000, 3), "/Folder/big.bin");
    addSource(".secret", "listed itself", "/.secret");
    addSource("top.txt", "top", "/top.txt");

    const auto result = build({src_ / "Folder", src_ / ".secret", src_ / "top.txt"});
    ASSERT_EQ(result.status, ImageBuildStatus::Success) << result.detail;
    const auto messages = imageToolMessages(result, kLanguageEnglish);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "Create ImageSuccess");
    EXPECT_EQ(messages[0].caption, "Success");

    const std::vector<std::string> order = {
        "::/Folder/",
        "::/.secret",
        "::/top.txt",
        "::/Folder/A.txt",
        "::/Folder/b.txt",
        "::/Folder/big.bin",
        "::/Folder/empty.bin",
        "::/Folder/fourteen_chars",
        "::/Folder/onecluster.bin",
        "::/Folder/thirteenchars",
        "::/Folder/with blanks in name.txt",
        "::/Folder/\xE4\xB8\xAD\xE6\x96\x87\xE6\x96\x87\xE4\xBB\xB6\xE5\x90\x8D\xE7\xA7\xB0.txt",
        "::/Folder/z/",
        "::/Folder/\xE8\xB3\x87\xE6\x96\x99\xE5\xA4\xBE/",
        "::/Folder/z/d.txt",
        "::/Folder/\xE8\xB3\x87\xE6\x96\x99\xE5\xA4\xBE/\xE5\x85\xA7\xE5\xAE\xB9.bin",
    };
    for (const std::uint32_t sectorSize : {512u, 1024u}) {
        const auto volume = extract(sectorSize);
        EXPECT_EQ(listing(volume), order) << sectorSize;
        expectReadersAccept(volume, "PASS WD");
    }
}

TEST_F(ImageBuildTest, The64MbLayoutAndTheTwoBlocksOfTheFile) {
    addSource("one.txt", "one");
    ASSERT_EQ(build({src_ / "one.txt"}).status, ImageBuildStatus::Success);
    const std::string bytes = readFile(out_);
    const auto le32 = [&](std::size_t offset) {
        return loadLe32(reinterpret_cast<const std::byte*>(bytes.data() + offset));
    };
    // Boot sector, FAT sectors 1-256, root sectors 257-288, then the file's one sector.
    const std::uint32_t n = le32(24);
    EXPECT_EQ(le32(16), 512u);
    EXPECT_EQ(le32(20), 512u);
    ASSERT_EQ(n, 290u);
    for (std::uint32_t i = 0; i < 289; ++i) {
        ASSERT_EQ(le32(512 + i * 516), i);
    }
    EXPECT_EQ(le32(512 + 289 * 516), 289u + 4);  // cluster 3: the label holds cluster 2
    EXPECT_EQ(bytes.substr(512 + 289 * 516 + 4, 3), "one");
    EXPECT_EQ(le32(32), 1024u);
    EXPECT_EQ(le32(36), 512u + n * 516);
    EXPECT_EQ(le32(40), 1u + 128 + 16 + 1);
    EXPECT_EQ(bytes.size(), 512u + n * 516 + le32(40) * 1028);
}

TEST_F(ImageBuildTest, FilesThenSubfoldersSortedWithoutCaseAndClustersInThatOrder) {
    addSource("F/b.txt", "b");
    addSource("F/A.txt", "a");
    addSource("F/z/d.txt", "d");
    ASSERT_EQ(build({src_ / "F"}).status, ImageBuildStatus::Success);
    const auto volume = readFile(extract(512));
    const auto cluster = [&](std::uint32_t folderCluster, std::uint32_t slot) {
        const std::size_t offset = (289 + (folderCluster - 2) * 4) * 512ull + slot * 32;
        return std::make_pair(volume.substr(offset, 11),
                              loadLe16(reinterpret_cast<const std::byte*>(&volume[offset + 26])));
    };
    // Label 2, F 3, A.txt 4, b.txt 5, z 6, d.txt 7.
    EXPECT_EQ(cluster(3, 3), std::make_pair(std::string("A       TXT"), std::uint16_t{4}));
    EXPECT_EQ(cluster(3, 5), std::make_pair(std::string("B       TXT"), std::uint16_t{5}));
    EXPECT_EQ(cluster(3, 7), std::make_pair(std::string("Z          "), std::uint16_t{6}));
    EXPECT_EQ(cluster(6, 3), std::make_pair(std::string("D       TXT"), std::uint16_t{7}));
}

TEST_F(ImageBuildTest, LargestSizeIsAFat16VolumeEveryReaderTakes) {
    addSource("Big/data.bin", patternBytes(70000, 4), "/Big/data.bin");
    addSource("Big/Sub/x.txt", "x", "/Big/Sub/x.txt");
    ASSERT_EQ(build({src_ / "Big"}, 2048).status, ImageBuildStatus::Success);
    EXPECT_EQ(ImgReadSize(out_), 2048u);
    for (const std::uint32_t sectorSize : {512u, 1024u}) {
        const auto volume = extract(sectorSize);
        const auto info = runTool({"fsck.fat", "-n", "-v", volume.string()});
        EXPECT_NE(info.output.find("2 FATs, 16 bit entries"), std::string::npos) << info.output;
        EXPECT_NE(info.output.find("32768 bytes per cluster"), std::string::npos);
        EXPECT_NE(info.output.find("65524 data clusters"), std::string::npos);
        expectReadersAccept(volume, "PASS WD");
    }
}

TEST_F(ImageBuildTest, AnEmptyListGivesTheFormattedVolumeWithItsLabel) {
    const auto result = build({}, 32, "empty1");
    ASSERT_EQ(result.status, ImageBuildStatus::Success) << result.detail;
    expectReadersAccept(extract(512), "EMPTY1");
    expectReadersAccept(extract(1024), "EMPTY1");
}

TEST_F(ImageBuildTest, NoLabelGivesNoLabelEntry) {
    addSource("a.txt", "a", "/a.txt");
    ASSERT_EQ(build({src_ / "a.txt"}, 64, "").status, ImageBuildStatus::Success);
    expectReadersAccept(extract(512), "");
}

// Folders of one name from different places meet in one volume folder, their files with distinct
// short names. (Two files of one name would be one name to every FAT reader: refused below.)
TEST_F(ImageBuildTest, SameNamesFromDifferentFoldersGetDistinctShortNames) {
    addSource("one/Long name here.txt", "1", "/Long name here.txt");
    addSource("one/Docs/Long document.txt", "d1", "/Docs/Long document.txt");
    addSource("two/Docs/Long document 2.txt", "d2", "/Docs/Long document 2.txt");
    const auto result =
        build({src_ / "one/Long name here.txt", src_ / "one/Docs", src_ / "two/Docs"});
    ASSERT_EQ(result.status, ImageBuildStatus::Success) << result.detail;
    const auto volume = extract(512);
    const std::vector<std::string> order = {"::/Long name here.txt", "::/Docs/",
                                            "::/Docs/Long document.txt",
                                            "::/Docs/Long document 2.txt"};
    EXPECT_EQ(listing(volume), order);
    int exitCode = 0;
    EXPECT_TRUE(test::fsckFaultsBeyondLabel(volume, "PASS WD", exitCode).empty());
}

// Names that differ only in case, from one Linux folder or from two inputs, are one name to every
// FAT reader: refused, naming both inputs, and no image is left.
TEST_F(ImageBuildTest, NamesThatFatTakesAsOneAreRefusedNamingBoth) {
    addSource("case/A.txt", "1");
    addSource("case/a.txt", "2");
    addSource("one/readme.txt", "1");
    addSource("two/README.TXT", "2");
    addSource("three/Docs/x.txt", "x");
    addSource("docs", "a file named as the folder");
    struct Case {
        std::vector<std::filesystem::path> items;
        std::string first;
        std::string second;
    };
    const std::vector<Case> cases = {
        {{src_ / "case"}, "A.txt", "a.txt"},
        {{src_ / "one/readme.txt", src_ / "two/README.TXT"}, "one/readme.txt", "two/README.TXT"},
        {{src_ / "three/Docs", src_ / "docs"}, "three/Docs", "src/docs"},
    };
    for (const Case& c : cases) {
        const auto result = build(c.items);
        EXPECT_EQ(result.status, ImageBuildStatus::BadInput) << c.first;
        EXPECT_NE(result.detail.find(c.first), std::string::npos) << result.detail;
        EXPECT_NE(result.detail.find(c.second), std::string::npos) << result.detail;
        EXPECT_NE(result.detail.find("do not tell case apart"), std::string::npos) << result.detail;
        EXPECT_FALSE(std::filesystem::exists(out_));
    }
}

TEST_F(ImageBuildTest, ChineseShortNamesAndTheE5FirstByte) {
    // U+6FC9 is E5 A1 in GBK, a short name whose first byte would mark a free entry.
    const std::string e5 = "\xE6\xBF\x89.txt";
    addSource("G/" + e5, "e5", "/G/" + e5);
    addSource("G/\xE4\xB8\xAD\xE6\x96\x87\xE6\x96\x87\xE4\xBB\xB6\xE5\x90\x8D.txt", "cjk",
              "/G/\xE4\xB8\xAD\xE6\x96\x87\xE6\x96\x87\xE4\xBB\xB6\xE5\x90\x8D.txt");
    const auto result = build({src_ / "G"}, 64, "PASS WD", CodePage::Gbk);
    ASSERT_EQ(result.status, ImageBuildStatus::Success) << result.detail;
    const auto volume = extract(1024);
    const std::string bytes = readFile(volume);
    // G is cluster 3; U+4E2D sorts before U+6FC9.
    const std::size_t folder = (145 + (3 - 2) * 2) * 1024ull;
    EXPECT_EQ(bytes.substr(folder + 3 * 32, 11), "\xD6\xD0\xCE\xC4\xCE\xC4~1TXT");
    EXPECT_EQ(bytes.substr(folder + 5 * 32, 11), "\x05\xA1      TXT");
    expectReadersAccept(volume, "PASS WD");
}

TEST_F(ImageBuildTest, A256thRootItemFailsTheBuildAndLeavesNoFile) {
    std::vector<std::filesystem::path> items;
    for (int i = 0; i < 256; ++i) {
        const std::string name = "file" + std::to_string(i) + ".txt";
        addSource(name, "x");
        items.push_back(src_ / name);
    }
    items.pop_back();
    ASSERT_EQ(build(items).status, ImageBuildStatus::Success);
    items.push_back(src_ / "file255.txt");
    writeFile(out_, "an earlier image");
    const auto result = build(items);
    EXPECT_EQ(result.status, ImageBuildStatus::Failed);
    const auto messages = imageToolMessages(result, kLanguageEnglish);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "Init Image DiskFail");
    EXPECT_EQ(messages[0].caption, "Fail");
    EXPECT_NE(result.detail.find("root folder is full"), std::string::npos) << result.detail;
    EXPECT_EQ(readFile(out_), "an earlier image");
    EXPECT_FALSE(std::filesystem::exists(out_.string() + ".partial"));
}

TEST_F(ImageBuildTest, FailureMessagesOfTheImageTool) {
    addSource("ok/a.txt", "a");
    addSource("bad/fine.txt", "f");
    writeFile(src_ / "bad" / "name\xFF.txt", "not UTF-8");
    writeFile(src_ / "colon" / "a:b.txt", "a colon");

    struct Case {
        const char* name;
        std::vector<std::filesystem::path> items;
        std::filesystem::path output;
        ImageBuildStatus status;
        std::vector<std::string> texts;
        std::string detail;
    };
    const std::vector<Case> cases = {
        {"bad name",
         {src_ / "bad"},
         out_,
         ImageBuildStatus::BadInput,
         {"GetShortPath name fail!\n" + (src_ / "bad" / "name\xFF.txt").string(),
          "Init Image DiskFail"},
         "cannot go into a FAT volume"},
        {"colon",
         {src_ / "colon"},
         out_,
         ImageBuildStatus::BadInput,
         {"GetShortPath name fail!\n" + (src_ / "colon" / "a:b.txt").string(),
          "Init Image DiskFail"},
         "a:b.txt"},
        {"missing",
         {src_ / "nowhere"},
         out_,
         ImageBuildStatus::BadInput,
         {"Init Image DiskFail"},
         "does not exist"},
        {"output",
         {src_ / "ok"},
         dir_ / "no-folder" / "x.img",
         ImageBuildStatus::Failed,
         {"Image outputFail"},
         "no-folder"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        out_ = c.output;
        const auto result = build(c.items);
        EXPECT_EQ(result.status, c.status);
        std::vector<std::string> texts;
        for (const auto& message : imageToolMessages(result, kLanguageEnglish)) {
            texts.push_back(message.text);
        }
        EXPECT_EQ(texts, c.texts);
        EXPECT_NE(result.detail.find(c.detail), std::string::npos) << result.detail;
        EXPECT_FALSE(std::filesystem::exists(c.output));
    }
}

TEST_F(ImageBuildTest, LabelAndSizeAreChecked) {
    struct Case {
        std::string label;
        std::uint32_t sizeMb;
        std::string detail;
    };
    const std::vector<Case> cases = {
        {"NINECHARS", 64, "longer than 8 characters"},
        {"A.B", 64, "'.'"},
        {"\xE4\xB8\xAD", 64, "beyond ASCII"},
        {"OK", 30, "30 MB"},
        {"OK", 2056, "2056 MB"},
        {"OK", 100, "100 MB"},
    };
    for (const auto& c : cases) {
        const auto result = build({}, c.sizeMb, c.label);
        EXPECT_EQ(result.status, ImageBuildStatus::BadInput) << c.label;
        EXPECT_NE(result.detail.find(c.detail), std::string::npos) << result.detail;
    }
    EXPECT_EQ(imageLabelBytes("pass wd", std::nullopt), "PASS WD");
    EXPECT_EQ(imageLabelBytes("\xE4\xB8\xAD\xE6\x96\x87", CodePage::Gbk), "\xD6\xD0\xCE\xC4");
}

TEST_F(ImageBuildTest, FilesMustStillHoldTheirBytesWhenSaved) {
    // Nothing of a file is read or kept when the tree is walked: its size then, and its bytes
    // when the image is written, which must then still be as they were.
    addSource("small.bin", patternBytes(1000, 5));
    addSource("large.bin", patternBytes(200000, 6));
    SourceFiles sources;
    const std::uint32_t folder = sources.addFolder(src_);
    const auto small = sources.add(folder, "small.bin", 1000);
    const auto large = sources.add(folder, "large.bin", 200000);
    EXPECT_EQ(sources.path(large), src_ / "large.bin");

    SourceReader reader(sources);
    const auto bytes = reader.read(large, 1000, 512);
    ASSERT_EQ(bytes.size(), 512u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data()), 512),
              patternBytes(200000, 6).substr(1000, 512));

    addSource("small.bin", "changed");
    EXPECT_TRUE(reader.read(small, 0, 512).empty());
    EXPECT_EQ(reader.failure(),
              "the file " + (src_ / "small.bin").string() + " changed while the image was built");
    const auto gone = sources.add(folder, "gone.bin", 10);
    EXPECT_TRUE(reader.read(gone, 0, 10).empty());
    EXPECT_NE(reader.failure().find("gone.bin cannot be opened"), std::string::npos)
        << reader.failure();
}

TEST_F(ImageBuildTest, AFileChangedBeforeTheImageIsWrittenFailsTheBuild) {
    addSource("F/a.txt", "as walked");
    ImportPlan plan(std::nullopt);
    plan.addList({src_ / "F"});
    addSource("F/a.txt", "short");
    SourceStream stream(plan.sources(), 1);
    const auto bytes = stream.consumer(0).read(0, 0, 9);  // as long as it was when walked
    EXPECT_TRUE(bytes.empty());
    EXPECT_EQ(stream.consumer(0).failure(),
              "the file " + (src_ / "F" / "a.txt").string() + " changed while the image was built");
}

}  // namespace
}  // namespace corvid
