// The command lines of the Windows volume tools, and their answers for a drive with nothing.

#include <gtest/gtest.h>

#include "platform/volume_tools_win32.h"

namespace corvid {
namespace {

TEST(VolumeToolsWin32, FormatAndCheckDiskCommandLines) {
    const std::string cmd = "C:\\windows\\system32\\cmd.exe /c ";
    const std::filesystem::path response = "C:\\Station\\misc\\response.txt";
    struct Case {
        FileSystemChoice choice;
        bool quick;
        const char* line;
    };
    const Case cases[] = {
        {FileSystemChoice::Fat16Unit1K, true,
         "format.com E: /Q /FS:FAT /A:1024 < \"C:\\Station\\misc\\response.txt\""},
        {FileSystemChoice::Fat16Unit8K, true,
         "format.com E: /Q /FS:FAT /A:8192 < \"C:\\Station\\misc\\response.txt\""},
        {FileSystemChoice::Fat16SystemUnit, true,
         "format.com E: /Q /FS:FAT < \"C:\\Station\\misc\\response.txt\""},
        {FileSystemChoice::Fat32SystemUnit, false,
         "format.com E: /FS:FAT32 < \"C:\\Station\\misc\\response.txt\""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(formatCommandLine(cmd, 'e', c.quick, c.choice, response), cmd + c.line);
    }
    EXPECT_EQ(checkDiskCommandLine(cmd, 'e'), cmd + "chkdsk.exe E: /X");
    const std::string processor = commandProcessor();
    EXPECT_NE(processor.find("\\cmd.exe /c "), std::string::npos) << processor;
}

TEST(VolumeToolsWin32, ADriveWithNothingIsUnreadableAndNamed) {
    auto tools = makeWin32VolumeTools("response.txt");
    // Q: is no drive under Wine's default prefix, nor on a station PC as a rule.
    const VolumeProbe probe = tools->probe('Q');
    EXPECT_EQ(probe.state, VolumeState::Unreadable);
    EXPECT_NE(probe.reason.find("Q:\\"), std::string::npos) << probe.reason;
    EXPECT_EQ(tools->label('Q'), "");
    const VolumeResult copy = tools->copyFiles('Q', {"C:\\nothing.bin"}, "");
    EXPECT_FALSE(copy.ok);
    EXPECT_NE(copy.reason.find("Q:\\nothing.bin"), std::string::npos) << copy.reason;
}

}  // namespace
}  // namespace corvid
