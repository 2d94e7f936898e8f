// corvid-cli image as an operator runs it: exit status 0, 1 or 2 and what it prints.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/image/image_test_support.h"

namespace corvid {
namespace {

using test::readFile;
using test::runTool;
using test::writeFile;

const std::string kCli = std::string(CORVID_BIN_DIR) + "/corvid-cli";

class ImageCliTest : public test::TempDirTest {};

TEST_F(ImageCliTest, BuildInfoAndExtract) {
    writeFile(dir_ / "tree" / "Some Folder" / "file.txt", "hello");
    const std::string image = (dir_ / "out.img").string();
    const auto built = runTool({kCli, "image", "build", "--label", "cli", "--size", "32", "--out",
                                image, (dir_ / "tree" / "Some Folder").string()});
    ASSERT_EQ(built.exitCode, 0) << built.output;
    EXPECT_NE(built.output.find("Create ImageSuccess"), std::string::npos) << built.output;

    const auto info = runTool({kCli, "image", "info", image});
    EXPECT_EQ(info.exitCode, 0) << info.output;
    EXPECT_NE(info.output.find("disk size:  32 MB"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("entry 0:    512-byte sectors"), std::string::npos);
    EXPECT_NE(info.output.find("entry 1:    1024-byte sectors"), std::string::npos);
    EXPECT_NE(info.output.find("entry 2:    empty"), std::string::npos);

    const std::string volume = (dir_ / "volume.img").string();
    const auto extracted =
        runTool({kCli, "image", "extract", image, "--sector-size", "1024", volume});
    ASSERT_EQ(extracted.exitCode, 0) << extracted.output;
    const auto typed = runTool({"mtype", "-i", volume, "::/Some Folder/file.txt"});
    EXPECT_EQ(typed.output, "hello");
}

TEST_F(ImageCliTest, ExitStatusForBadInputAndFailedJobs) {
    writeFile(dir_ / "a.txt", "a");
    writeFile(dir_ / "text.img", "not an image");
    const std::string a = (dir_ / "a.txt").string();
    const std::string out = (dir_ / "out.img").string();
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string says;
    };
    const std::vector<Case> cases = {
        {{"build", "--size", "100", "--out", out, a}, 2, "multiple of 8"},
        {{"build", "--size", "4096", "--out", out, a}, 2, "--size"},
        {{"build", "--out", out, (dir_ / "missing").string()}, 2, "does not exist"},
        {{"build", "--label", "TOO LONG 9", "--out", out, a}, 2, "longer than 8"},
        {{"build", "--out", (dir_ / "none" / "x.img").string(), a},
         2,
         "image build: the folder " + (dir_ / "none").string() +
             " of the image file does not exist"},
        {{"build", "--out", dir_.string(), a},
         1,
         "image build: the image file " + dir_.string() + " cannot be written"},
        {{"info", (dir_ / "text.img").string()}, 2, "is not a 5VX6 IMG image file"},
        {{"extract", (dir_ / "text.img").string(), "--sector-size", "512", out}, 2, "text.img"},
        {{"extract", out, "--sector-size", "2048", out}, 2, "--sector-size"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {kCli, "image"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto run = runTool(argv);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
        EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
    }
}

// Inputs that once ended in an abort or in a damaged file: each is refused with one line and
// status 2, and the image is left as it was.
TEST_F(ImageCliTest, UnsafeExtractsAndOddInputsAreRefusedLeavingTheImageWhole) {
    writeFile(dir_ / "tree" / "a.txt", "a");
    const std::filesystem::path image = dir_ / "out.img";
    ASSERT_EQ(runTool({kCli, "image", "build", "--size", "32", "--out", image.string(),
                       (dir_ / "tree").string()})
                  .exitCode,
              0);
    const std::string bytes = readFile(image);
    std::filesystem::create_symlink(image, dir_ / "link.img");
    ASSERT_EQ(::mkfifo((dir_ / "pipe.img").c_str(), 0600), 0);
    writeFile(dir_ / "header-only.img", bytes.substr(0, 100));
    std::string huge = bytes;
    huge[12] = '\x80';  // 10,000,000 MB is 0x00989680
    huge[13] = '\x96';
    huge[14] = '\x98';
    huge[15] = '\x00';
    writeFile(dir_ / "huge.img", huge);
    const std::string fresh = (dir_ / "fresh.img").string();

    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    const std::vector<Case> cases = {
        {{"image", "extract", image.string(), "--sector-size", "512", image.string()}, "itself"},
        {{"image", "extract", image.string(), "--sector-size", "512", (dir_ / "link.img").string()},
         "itself"},
        {{"image", "info", (dir_ / "pipe.img").string()}, "is not a regular file"},
        {{"image", "extract", (dir_ / "pipe.img").string(), "--sector-size", "512", fresh},
         "is not a regular file"},
        {{"image", "info", (dir_ / "header-only.img").string()}, "is cut short"},
        {{"image", "extract", (dir_ / "huge.img").string(), "--sector-size", "512", fresh},
         "10000000 MB"},
        {{"init-home", ""}, "empty"},
        {{"bogus"}, "\"bogus\" is not a subcommand of the program (choose one of settings"},
        {{"image", "bild"}, "\"bild\" is not a subcommand of image (choose one of build, info"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {kCli};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto run = runTool(argv);
        EXPECT_EQ(run.exitCode, 2) << c.args.back() << ": " << run.output;
        EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
        EXPECT_EQ(run.output.find("terminate"), std::string::npos) << run.output;
    }
    EXPECT_EQ(readFile(image), bytes);
    EXPECT_FALSE(std::filesystem::exists(fresh));
}

// An extract that fails half-way leaves an existing output as it was and no working file.
TEST_F(ImageCliTest, AFailedExtractKeepsTheOldOutput) {
    writeFile(dir_ / "tree" / "a.txt", "a");
    const std::filesystem::path image = dir_ / "out.img";
    ASSERT_EQ(runTool({kCli, "image", "build", "--size", "32", "--out", image.string(),
                       (dir_ / "tree").string()})
                  .exitCode,
              0);
    std::string bytes = readFile(image);
    // The first record of entry 0 names a sector far beyond the 32 MB volume.
    const std::size_t first = 512;
    bytes[first + 3] = '\x7f';
    writeFile(dir_ / "bad.img", bytes);
    writeFile(dir_ / "volume.img", "the old volume");
    const auto run = runTool({kCli, "image", "extract", (dir_ / "bad.img").string(),
                              "--sector-size", "512", (dir_ / "volume.img").string()});
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_NE(run.output.find("beyond its volume"), std::string::npos) << run.output;
    EXPECT_EQ(readFile(dir_ / "volume.img"), "the old volume");
    EXPECT_FALSE(std::filesystem::exists(dir_ / "volume.img.partial"));
}

// File data stream through the build: the program's peak resident memory stays within 64 MiB
// plus 1 KiB per file even when the files hold more than that, and both volumes hold them.
TEST_F(ImageCliTest, ATreeLargerThanTheMemoryBoundIsBuiltWithinIt) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer's shadow memory and quarantine are not the program's own";
#endif
    // Small files alone hold more than the bound (a build that kept them would exceed it), and
    // a few large ones come on top.
    const auto tree = dir_ / "tree";
    constexpr std::size_t kLargeFiles = 4;     // 4 MiB each
    constexpr std::size_t kSmallFiles = 2200;  // 32 KiB each
    const std::string large = test::patternBytes(4u << 20, 1);
    const std::string small = test::patternBytes(32u << 10, 2);
    for (std::size_t i = 0; i < kLargeFiles; ++i) {
        // Each file differs from the others in its first bytes.
        const std::string mark = std::to_string(i) + ":";
        writeFile(tree / "large" / ("clip" + std::to_string(i) + ".bin"),
                  mark + large.substr(mark.size()));
    }
    for (std::size_t i = 0; i < kSmallFiles; ++i) {
        const std::string mark = std::to_string(i) + ":";
        writeFile(tree / "small" / std::to_string(i / 100) / ("note " + std::to_string(i) + ".txt"),
                  mark + small.substr(mark.size()));
    }
    const std::uint64_t boundKb = 64 * 1024 + kSmallFiles + kLargeFiles;
    const std::uint64_t dataKb = kLargeFiles * 4096 + kSmallFiles * 32;
    ASSERT_GT(kSmallFiles * 32, boundKb);

    const std::string image = (dir_ / "out.img").string();
    const auto peakFile = dir_ / "peak.txt";
    const auto built = runTool({"/usr/bin/time", "-f", "%M", "-o", peakFile.string(), kCli, "image",
                                "build", "--size", "256", "--out", image, (tree / "large").string(),
                                (tree / "small").string()});
    ASSERT_EQ(built.exitCode, 0) << built.output;
    const std::uint64_t peakKb = std::stoull(test::readFile(peakFile));
    EXPECT_LE(peakKb, boundKb) << "peak resident memory " << peakKb << " KiB, data " << dataKb
                               << " KiB";

    for (const char* sectorSize : {"512", "1024"}) {
        SCOPED_TRACE(sectorSize);
        const auto volume = dir_ / "volume.img";
        const auto extracted = runTool(
            {kCli, "image", "extract", image, "--sector-size", sectorSize, volume.string()});
        ASSERT_EQ(extracted.exitCode, 0) << extracted.output;
        int exitCode = 0;
        const auto faults = test::fsckFaultsBeyondLabel(volume, "PASS WD", exitCode);
        EXPECT_TRUE(faults.empty()) << testing::PrintToString(faults);
        const auto back = dir_ / "back";
        std::filesystem::remove_all(back);
        std::filesystem::create_directories(back);
        const auto copied =
            runTool({"mcopy", "-s", "-n", "-i", volume.string(), "::/*", back.string()});
        ASSERT_EQ(copied.exitCode, 0) << copied.output;
        const auto compared = runTool({"diff", "-r", "-q", tree.string(), back.string()});
        EXPECT_EQ(compared.exitCode, 0) << compared.output;
    }
}

}  // namespace
}  // namespace corvid
