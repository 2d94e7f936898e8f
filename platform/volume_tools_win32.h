#pragma once

// The volume tools on Windows: format.com and chkdsk.exe started through the command processor
// as hidden children, and the file-system calls on the drive's root "E:\" for the free space,
// the label, folders and copies. Every call that writes or dismounts first asks the drive rule of
// production_disk_win32.h. Built only on Windows.
//
// Each child runs in a job object of its own: a format or check past its limit is ended with
// everything it started, and no other check of the station is touched.

#include <filesystem>
#include <memory>

#include "platform/volume_tools.h"

namespace corvid {

// 'responseFile' answers format.com's questions (its standard input); empty for
// "misc\response.txt" beside the executable.
std::unique_ptr<VolumeTools> makeWin32VolumeTools(std::filesystem::path responseFile = {});

// The command processor of an NT-class system: the system folder's "cmd.exe /c ".
std::string commandProcessor();

// processor + "format.com E:" + " /Q" when quick + the choice's arguments (" /FS:FAT /A:1024",
// " /FS:FAT /A:8192", " /FS:FAT", " /FS:FAT32") + " < " + the response file in double quotes.
std::string formatCommandLine(const std::string& processor, char letter, bool quick,
                              FileSystemChoice choice, const std::filesystem::path& responseFile);

// processor + "chkdsk.exe E: /X".
std::string checkDiskCommandLine(const std::string& processor, char letter);

}  // namespace corvid
