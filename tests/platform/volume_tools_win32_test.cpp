// The command lines of the Windows volume tools, and their answers for a drive with nothing.

#include <windows.h>

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

TEST(VolumeToolsWin32, NothingIsWrittenToADriveTheStationMustNotTouch) {
    auto tools = makeWin32VolumeTools("response.txt");
    char folder[MAX_PATH] = {};
    ASSERT_GT(GetSystemWindowsDirectoryA(folder, MAX_PATH), 0u);
    const char system = folder[0];
    const std::vector<VolumeResult> results = {
        tools->format(system, FileSystemChoice::Fat32SystemUnit, true, std::chrono::seconds(5)),
        tools->setLabel(system, "STATION", std::nullopt),
        tools->makeFolder(system, "corvid-never"),
        tools->copyFiles(system, {"C:\\nothing.bin"}, ""),
        tools->checkDisk(system, std::chrono::seconds(5)),
    };
    for (const VolumeResult& result : results) {
        EXPECT_FALSE(result.ok);
        EXPECT_NE(result.reason.find("holds the Windows folder"), std::string::npos)
            << result.reason;
    }
    EXPECT_FALSE(std::filesystem::exists(std::string(1, system) + ":\\corvid-never"));
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
    EXPECT_NE(copy.reason.find("drive Q (\\\\.\\Q:) has no volume"), std::string::npos)
        << copy.reason;
}

}  // namespace
}  // namespace corvid
