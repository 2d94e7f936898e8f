// corvid-cli image as an operator runs it: exit status 0, 1 or 2 and what it prints.

#include <gtest/gtest.h>

#include <string>

#include "tests/image/image_test_support.h"

namespace corvid {
namespace {

using test::runTool;
using test::writeFile;

const std::string kCli = std::string(CORVID_BIN_DIR) + "/corvid-cli";

class ImageCliTest : public test::TempDirTest {};

TEST_F(ImageCliTest, BuildInfoAndExtract) {
    writeFile(dir_ / "tree" / "Some Folder" / "file.txt", "hello");
    const std::string image = (dir_ / "out.img").string();
    const auto built = runTool({kCli, "image", "build", "--label", "cli", "--size", "32", "--out",
                                image, (dir_ / "tree" / "Some Folder").string()},
                               dir_);
    ASSERT_EQ(built.exitCode, 0) << built.output;
    EXPECT_NE(built.output.find("Create ImageSuccess"), std::string::npos) << built.output;

    const auto info = runTool({kCli, "image", "info", image}, dir_);
    EXPECT_EQ(info.exitCode, 0) << info.output;
    EXPECT_NE(info.output.find("disk size:  32 MB"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("entry 0:    512-byte sectors"), std::string::npos);
    EXPECT_NE(info.output.find("entry 1:    1024-byte sectors"), std::string::npos);
    EXPECT_NE(info.output.find("entry 2:    empty"), std::string::npos);

    const std::string volume = (dir_ / "volume.img").string();
    const auto extracted =
        runTool({kCli, "image", "extract", image, "--sector-size", "1024", volume}, dir_);
    ASSERT_EQ(extracted.exitCode, 0) << extracted.output;
    const auto typed = runTool({"mtype", "-i", volume, "::/Some Folder/file.txt"}, dir_);
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
        {{"build", "--out", (dir_ / "none" / "x.img").string(), a}, 1, "Image outputFail"},
        {{"info", (dir_ / "text.img").string()}, 2, "is not a 5VX6 IMG image file"},
        {{"extract", (dir_ / "text.img").string(), "--sector-size", "512", out}, 2, "text.img"},
        {{"extract", out, "--sector-size", "2048", out}, 2, "--sector-size"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {kCli, "image"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto run = runTool(argv, dir_);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
        EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
    }
}

}  // namespace
}  // namespace corvid
