#include "platform/volume_tools_win32.h"

#include <windows.h>

#include <cctype>
#include <optional>
#include <string>
#include <vector>

#include "platform/ascii_text.h"
#include "platform/production_disk_win32.h"

namespace corvid {

namespace fs = std::filesystem;

namespace {

std::string lastErrorText() {
    const DWORD code = GetLastError();
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message =
        length != 0 && text != nullptr ? std::string(text, length) : std::string();
    if (text != nullptr) {
        LocalFree(text);
    }
    while (!message.empty() && (message.back() == '\r' || message.back() == '\n' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    return "error " + std::to_string(code) + (message.empty() ? "" : " (" + message + ")");
}

std::string rootOf(char letter) {
    return std::string(1, asciiUpper(letter)) + ":\\";
}

class Handle {
  public:
    explicit Handle(HANDLE handle = nullptr) : handle_(handle) {}
    ~Handle() {
        if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle_; }

  private:
    HANDLE handle_;
};

fs::path besideExecutable(const char* relative) {
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return fs::path(std::string(path, length)).parent_path() / relative;
}

struct ChildRun {
    bool started = false;
    bool overran = false;
    DWORD exitCode = 1;
    std::string startError;
};

// Starts the line hidden, in a job of its own, and waits at most 'limit'; past it the job is
// ended: the command processor with the program it started, and nothing else of the station.
ChildRun runLine(std::string line, DWORD priorityClass, std::chrono::seconds limit) {
    ChildRun run;
    Handle job(CreateJobObjectA(nullptr, nullptr));
    if (job.get() == nullptr) {
        run.startError = "no job object for \"" + line + "\": " + lastErrorText();
        return run;
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process{};
    std::vector<char> commandLine(line.begin(), line.end());
    commandLine.push_back('\0');
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                        priorityClass | CREATE_SUSPENDED, nullptr, nullptr, &startup, &process)) {
        run.startError = "\"" + line + "\" cannot be started: " + lastErrorText();
        return run;
    }
    Handle processHandle(process.hProcess);
    Handle threadHandle(process.hThread);
    if (!AssignProcessToJobObject(job.get(), process.hProcess)) {
        run.startError = "\"" + line + "\" cannot be put in a job: " + lastErrorText();
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
        return run;
    }
    ResumeThread(process.hThread);
    run.started = true;
    const DWORD waited =
        WaitForSingleObject(process.hProcess, static_cast<DWORD>(limit.count() * 1000));
    if (waited != WAIT_OBJECT_0) {
        run.overran = true;
        TerminateJobObject(job.get(), 1);
        WaitForSingleObject(process.hProcess, INFINITE);
        return run;
    }
    if (!GetExitCodeProcess(process.hProcess, &run.exitCode)) {
        run.exitCode = 1;
    }
    return run;
}

std::string describe(const ChildRun& run, std::chrono::seconds limit) {
    if (!run.startError.empty()) {
        return run.startError;
    }
    if (run.overran) {
        return "it did not end within " + std::to_string(limit.count()) + " s and was ended";
    }
    return "exit code " + std::to_string(run.exitCode);
}

std::string formatArguments(FileSystemChoice choice) {
    switch (choice) {
        case FileSystemChoice::Fat16Unit1K:
            return " /FS:FAT /A:1024";
        case FileSystemChoice::Fat16Unit8K:
            return " /FS:FAT /A:8192";
        case FileSystemChoice::Fat16SystemUnit:
            return " /FS:FAT";
        case FileSystemChoice::Fat32SystemUnit:
            return " /FS:FAT32";
    }
    return " /FS:FAT";
}

}  // namespace

std::string commandProcessor() {
    char folder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
    return std::string(folder, length) + "\\cmd.exe /c ";
}

std::string formatCommandLine(const std::string& processor, char letter, bool quick,
                              FileSystemChoice choice, const fs::path& responseFile) {
    return processor + "format.com " + asciiUpper(letter) + ":" + (quick ? " /Q" : "") +
           formatArguments(choice) + " < \"" + responseFile.string() + "\"";
}

std::string checkDiskCommandLine(const std::string& processor, char letter) {
    return processor + "chkdsk.exe " + asciiUpper(letter) + ": /X";
}

namespace {

class Win32VolumeTools : public VolumeTools {
  public:
    explicit Win32VolumeTools(fs::path responseFile)
        : responseFile_(responseFile.empty() ? besideExecutable("misc\\response.txt")
                                             : std::move(responseFile)) {}

    VolumeProbe probe(char letter) override {
        const std::string root = rootOf(letter);
        ULARGE_INTEGER available{}, total{}, free{};
        if (!GetDiskFreeSpaceExA(root.c_str(), &available, &total, &free)) {
            const DWORD code = GetLastError();
            const std::string reason =
                "The free space of " + root + " cannot be read: " + lastErrorText() + ".";
            // A volume the system cannot recognise reads, but holds no file system.
            return {
                code == ERROR_UNRECOGNIZED_VOLUME ? VolumeState::NoFat : VolumeState::Unreadable, 0,
                reason};
        }
        char fileSystem[MAX_PATH + 1] = {};
        if (!GetVolumeInformationA(root.c_str(), nullptr, 0, nullptr, nullptr, nullptr, fileSystem,
                                   sizeof fileSystem)) {
            return {VolumeState::Unreadable, 0,
                    "The volume " + root + " cannot be read: " + lastErrorText() + "."};
        }
        if (std::string(fileSystem).rfind("FAT", 0) != 0) {
            return {VolumeState::OtherFileSystem, 0,
                    "The volume " + root + " holds " + fileSystem + ", not FAT.", fileSystem};
        }
        return {VolumeState::Fat, free.QuadPart, {}};
    }

    VolumeResult refresh(char) override {
        return VolumeResult::success();  // the system notices the disk's change by itself
    }

    VolumeResult format(char letter, FileSystemChoice choice, bool quick,
                        std::chrono::seconds limit) override {
        if (auto refusal = refused(letter)) {
            return *refusal;
        }
        const std::string line =
            formatCommandLine(commandProcessor(), letter, quick, choice, responseFile_);
        const ChildRun run = runLine(line, HIGH_PRIORITY_CLASS, limit);
        if (run.started && !run.overran && run.exitCode == 0) {
            return VolumeResult::success();
        }
        return VolumeResult::failure("format.com could not format drive " +
                                     std::string(1, asciiUpper(letter)) + ": " +
                                     describe(run, limit) + ".");
    }

    std::string label(char letter) override {
        char name[MAX_PATH + 1] = {};
        if (!GetVolumeInformationA(rootOf(letter).c_str(), name, sizeof name, nullptr, nullptr,
                                   nullptr, nullptr, 0)) {
            return {};
        }
        return name;
    }

    VolumeResult setLabel(char letter, const std::string& label,
                          std::optional<CodePage> codePage) override {
        if (auto refusal = refused(letter)) {
            return *refusal;
        }
        const VolumeLabelCheck check = checkVolumeLabel(label, codePage);
        if (!check.ok) {
            return VolumeResult::failure(check.reason);
        }
        const std::string root = rootOf(letter);
        if (!SetVolumeLabelA(root.c_str(), check.label.empty() ? nullptr : check.label.c_str())) {
            return VolumeResult::failure("The label of " + root + " cannot be set to \"" +
                                         check.label + "\": " + lastErrorText() + ".");
        }
        return VolumeResult::success();
    }

    VolumeResult makeFolder(char letter, const std::string& folder) override {
        if (auto refusal = refused(letter)) {
            return *refusal;
        }
        std::string path = rootOf(letter);
        std::string part;
        for (std::size_t i = 0; i <= folder.size(); ++i) {
            if (i < folder.size() && folder[i] != '/' && folder[i] != '\\') {
                part += folder[i];
                continue;
            }
            if (part.empty()) {
                continue;
            }
            path += part;
            part.clear();
            if (!CreateDirectoryA(path.c_str(), nullptr)) {
                const std::string why = lastErrorText();  // before another call replaces it
                const DWORD attributes = GetFileAttributesA(path.c_str());
                if (attributes == INVALID_FILE_ATTRIBUTES ||
                    (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                    return VolumeResult::failure("The folder " + path + " cannot be made: " + why +
                                                 ".");
                }
            }
            path += "\\";
        }
        return VolumeResult::success();
    }

    // E:\Music\Album\ for the folder "Music/Album", E:\ for the root.
    static std::string folderPath(char letter, const std::string& folder) {
        std::string path = rootOf(letter);
        for (char c : folder) {
            path += c == '/' ? '\\' : c;
        }
        if (path.back() != '\\') {
            path += '\\';
        }
        return path;
    }

    VolumeResult copyFiles(char letter, const std::vector<fs::path>& files,
                           const std::string& folder) override {
        if (auto refusal = refused(letter)) {
            return *refusal;
        }
        const std::string target = folderPath(letter, folder);
        for (const fs::path& file : files) {
            const std::string destination = target + file.filename().string();
            if (!CopyFileA(file.string().c_str(), destination.c_str(), FALSE)) {
                return VolumeResult::failure("The file " + file.string() + " cannot be copied to " +
                                             destination + ": " + lastErrorText() + ".");
            }
        }
        return VolumeResult::success();
    }

    VolumeResult verifyFiles(char letter, const std::vector<fs::path>& files,
                             const std::string& folder) override {
        const std::string target = folderPath(letter, folder);
        std::string why;
        for (const fs::path& file : files) {
            if (!sameFileContents(file, target + file.filename().string(), why)) {
                return VolumeResult::failure("Read back from drive " +
                                             std::string(1, asciiUpper(letter)) + ": " + why + ".");
            }
        }
        return VolumeResult::success();
    }

    VolumeResult checkDisk(char letter, std::chrono::seconds limit) override {
        if (auto refusal = refused(letter)) {
            return *refusal;
        }
        const std::string line = checkDiskCommandLine(commandProcessor(), letter);
        const ChildRun run = runLine(line, NORMAL_PRIORITY_CLASS, limit);
        if (run.started && !run.overran && run.exitCode == 0) {
            return VolumeResult::success();
        }
        return VolumeResult::failure("chkdsk.exe finds drive " +
                                     std::string(1, asciiUpper(letter)) +
                                     " not sound: " + describe(run, limit) + ".");
    }

    // The volume's own handle: FlushFileBuffers on it writes out every cached block of it.
    VolumeResult flush(char letter) override {
        if (auto refusal = refused(letter)) {
            return *refusal;
        }
        const std::string volume = std::string("\\\\.\\") + asciiUpper(letter) + ":";
        HANDLE handle =
            CreateFileA(volume.c_str(), GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            return VolumeResult::failure(volume + " cannot be opened: " + lastErrorText() + ".");
        }
        const bool flushed = FlushFileBuffers(handle) != 0;
        const std::string why = flushed ? std::string() : lastErrorText();
        CloseHandle(handle);
        if (!flushed) {
            return VolumeResult::failure("What was written to drive " +
                                         std::string(1, asciiUpper(letter)) +
                                         " did not all reach the device: " + why + ".");
        }
        return VolumeResult::success();
    }

  private:
    // format.com or a copy on the system's disk is the worst the station could do: every call
    // that writes or dismounts asks the drive rule first, as the transport does at every open.
    static std::optional<VolumeResult> refused(char letter) {
        if (const auto why = productionDriveRefusal(letter)) {
            return VolumeResult::failure("Nothing was done on " + *why + ".");
        }
        return std::nullopt;
    }

    fs::path responseFile_;
};

}  // namespace

std::unique_ptr<VolumeTools> makeWin32VolumeTools(fs::path responseFile) {
    return std::make_unique<Win32VolumeTools>(std::move(responseFile));
}

}  // namespace corvid
