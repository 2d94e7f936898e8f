// The Windows rule for which drives the station may produce.

#include <windows.h>

#include <gtest/gtest.h>

#include "platform/production_disk_win32.h"

namespace corvid {
namespace {

TEST(ProductionDiskWin32, RefusalsNameTheDriveAndTheReason) {
    const auto facts = [](char letter) {
        WindowsVolumeFacts f;
        f.letter = letter;
        f.present = true;
        f.usb = true;
        f.diskNumber = 2;
        f.systemDiskNumber = 0;
        f.systemLetter = 'C';
        return f;
    };
    struct Case {
        const char* name;
        WindowsVolumeFacts facts;
        std::optional<std::string> refusal;
    };
    WindowsVolumeFacts system = facts('C');
    WindowsVolumeFacts absent = facts('F');
    absent.present = false;
    WindowsVolumeFacts silent = facts('G');
    silent.queryFailure = "does not say its bus (error 1)";
    WindowsVolumeFacts sameDisk = facts('D');
    sameDisk.diskNumber = 0;
    WindowsVolumeFacts sata = facts('H');
    sata.usb = false;
    const Case cases[] = {
        {"a USB disk", facts('E'), std::nullopt},
        {"the Windows folder's drive", system, "drive C (\\\\.\\C:) holds the Windows folder"},
        {"no volume", absent, "drive F (\\\\.\\F:) has no volume"},
        {"no answer", silent, "drive G (\\\\.\\G:) does not say its bus (error 1)"},
        {"a USB partition of the system's disk", sameDisk,
         "drive D (\\\\.\\D:) is on the disk that holds the Windows folder"},
        {"not USB", sata, "drive H (\\\\.\\H:) is not attached by USB"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(windowsVolumeRefusal(c.facts), c.refusal);
    }
}

TEST(ProductionDiskWin32, TheSystemsOwnDrivesAreRefused) {
    char folder[MAX_PATH] = {};
    ASSERT_GT(GetSystemWindowsDirectoryA(folder, MAX_PATH), 0u);
    const char systemLetter = folder[0];
    const auto refusal = productionDriveRefusal(systemLetter);
    ASSERT_TRUE(refusal.has_value());
    EXPECT_NE(refusal->find("holds the Windows folder"), std::string::npos) << *refusal;
    EXPECT_EQ(productionDriveRefusal('1'), "\"1\" is no drive letter");
    // Every drive of this machine (Wine's are folders of the host) is refused, each by name.
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        if ((GetLogicalDrives() & (1u << (letter - 'A'))) != 0) {
            const auto why = productionDriveRefusal(letter);
            ASSERT_TRUE(why.has_value()) << letter;
            EXPECT_EQ(why->rfind(std::string("drive ") + letter, 0), 0u) << *why;
        }
    }
}

}  // namespace
}  // namespace corvid
