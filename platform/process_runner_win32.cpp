#include <windows.h>

#include <algorithm>
#include <cctype>
#include <string_view>

#include "platform/ascii_text.h"
#include "platform/process_runner.h"

namespace corvid {

namespace {

// What kill() leaves as the exit code: the value a shell reports for a killed process, as on
// Linux, so callers read one number on both systems.
constexpr UINT kKilledExitCode = 128 + 9;

DWORD priorityClass(ProcessPriority priority) {
    switch (priority) {
        case ProcessPriority::Idle:
            return IDLE_PRIORITY_CLASS;
        case ProcessPriority::BelowNormal:
            return BELOW_NORMAL_PRIORITY_CLASS;
        case ProcessPriority::Normal:
            return NORMAL_PRIORITY_CLASS;
        case ProcessPriority::AboveNormal:
            return ABOVE_NORMAL_PRIORITY_CLASS;
        case ProcessPriority::High:
            return HIGH_PRIORITY_CLASS;
    }
    return NORMAL_PRIORITY_CLASS;
}

std::string errorText(DWORD code) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = length != 0 && text != nullptr ? std::string(text, length) : "";
    if (text != nullptr) {
        LocalFree(text);
    }
    while (!message.empty() && std::isspace(static_cast<unsigned char>(message.back()))) {
        message.pop_back();
    }
    return "error " + std::to_string(code) + (message.empty() ? "" : " (" + message + ")");
}

class OwnedHandle {
  public:
    explicit OwnedHandle(HANDLE handle = nullptr) : handle_(handle) {}
    ~OwnedHandle() { reset(); }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE release() {
        HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }
    void reset(HANDLE handle = nullptr) {
        if (valid()) {
            CloseHandle(handle_);
        }
        handle_ = handle;
    }

  private:
    HANDLE handle_;
};

// One argument as the C runtime's command-line parser reads it back: quoted when it holds a
// blank, a tab or a quote, backslashes doubled only before a quote.
void appendArgument(std::string& line, const std::string& argument) {
    if (!line.empty()) {
        line += ' ';
    }
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) {
        line += argument;
        return;
    }
    line += '"';
    std::size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            line.append(backslashes * 2 + 1, '\\');
        } else {
            line.append(backslashes, '\\');
        }
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, '\\');
    line += '"';
}

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return asciiUpper(x) == asciiUpper(y);
           });
}

// The station's environment with 'extra' set on top (names compared without letter case, as
// Windows does), as the block CreateProcessA takes: "NAME=value\0...\0\0".
std::string environmentBlock(const std::vector<std::pair<std::string, std::string>>& extra) {
    std::string block;
    char* strings = GetEnvironmentStringsA();
    for (const char* entry = strings; entry != nullptr && *entry != '\0';
         entry += std::char_traits<char>::length(entry) + 1) {
        const std::string_view variable(entry);
        // Entries such as "=C:=C:\" name no variable; they are kept as they are.
        const auto equals = variable.find('=', 1);
        const std::string_view name = variable.substr(0, equals);
        const bool replaced = std::any_of(extra.begin(), extra.end(), [&](const auto& setting) {
            return sameName(name, setting.first);
        });
        if (!replaced) {
            block.append(variable);
            block += '\0';
        }
    }
    if (strings != nullptr) {
        FreeEnvironmentStringsA(strings);
    }
    for (const auto& [name, value] : extra) {
        block += name + "=" + value;
        block += '\0';
    }
    block += '\0';
    return block;
}

class Win32ChildProcess : public ChildProcess {
  public:
    Win32ChildProcess(HANDLE process, DWORD id, HANDLE job)
        : process_(process), job_(job), id_(id) {}
    ~Win32ChildProcess() override { kill(); }

    long id() const override { return static_cast<long>(id_); }

    std::optional<int> poll() override { return waitFor(std::chrono::milliseconds(0)); }

    std::optional<int> waitFor(std::chrono::milliseconds limit) override {
        if (exitCode_) {
            return exitCode_;
        }
        if (WaitForSingleObject(process_.get(), static_cast<DWORD>(limit.count())) !=
            WAIT_OBJECT_0) {
            return std::nullopt;
        }
        DWORD code = 0;
        exitCode_ = GetExitCodeProcess(process_.get(), &code) ? static_cast<int>(code) : -1;
        return exitCode_;
    }

    void kill() override {
        if (exitCode_) {
            return;
        }
        if (job_.valid()) {
            TerminateJobObject(job_.get(), kKilledExitCode);
        } else {
            TerminateProcess(process_.get(), kKilledExitCode);
        }
        waitFor(std::chrono::milliseconds(INFINITE));
    }

  private:
    OwnedHandle process_;
    OwnedHandle job_;
    DWORD id_;
    std::optional<int> exitCode_;
};

ProcessStartError startError(const std::string& program, const std::string& why) {
    return ProcessStartError("the program \"" + program + "\" cannot be started: " + why);
}

// A file handle the child inherits: only the handles named in its start list are passed on.
HANDLE openForChild(const std::filesystem::path& file, bool write) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileA(file.string().c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE duplicateForChild(HANDLE handle) {
    HANDLE copy = nullptr;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE,
                         DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    return copy;
}

// The child's standard handles: files of the options, the null device for a hidden child's
// output, the station's own otherwise. Each is an inheritable copy that only this child gets.
struct ChildHandles {
    OwnedHandle input;
    OwnedHandle output;
    OwnedHandle error;
};

void openChildHandles(const ProcessOptions& options, const std::string& program,
                      ChildHandles& child) {
    if (options.stdinFile) {
        child.input.reset(openForChild(*options.stdinFile, false));
        if (!child.input.valid()) {
            throw startError(program, "its input file " + options.stdinFile->string() +
                                          " cannot be opened: " + errorText(GetLastError()));
        }
    } else {
        child.input.reset(duplicateForChild(GetStdHandle(STD_INPUT_HANDLE)));
    }
    const std::optional<std::filesystem::path> outputFile =
        options.outputFile
            ? options.outputFile
            : (options.hidden ? std::optional<std::filesystem::path>("NUL") : std::nullopt);
    if (!outputFile) {
        child.output.reset(duplicateForChild(GetStdHandle(STD_OUTPUT_HANDLE)));
        child.error.reset(duplicateForChild(GetStdHandle(STD_ERROR_HANDLE)));
        return;
    }
    child.output.reset(openForChild(*outputFile, true));
    if (!child.output.valid()) {
        throw startError(program, "its output file " + outputFile->string() +
                                      " cannot be opened: " + errorText(GetLastError()));
    }
    child.error.reset(options.errorFile ? openForChild(*options.errorFile, true)
                                        : duplicateForChild(child.output.get()));
    if (!child.error.valid()) {
        throw startError(program, "its error file " +
                                      options.errorFile.value_or(*outputFile).string() +
                                      " cannot be opened: " + errorText(GetLastError()));
    }
}

// The attribute list that names the only handles the child inherits.
class InheritedHandleList {
  public:
    InheritedHandleList(const ChildHandles& child, const std::string& program) {
        for (const OwnedHandle* handle : {&child.input, &child.output, &child.error}) {
            if (handle->valid()) {
                handles_.push_back(handle->get());
            }
        }
        SIZE_T listSize = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
        memory_.resize(listSize);
        if (!InitializeProcThreadAttributeList(list(), 1, 0, &listSize)) {
            throw startError(program,
                             "its handle list cannot be made: " + errorText(GetLastError()));
        }
        if (!handles_.empty() && !UpdateProcThreadAttribute(
                                     list(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                     handles_.size() * sizeof(HANDLE), nullptr, nullptr)) {
            const std::string why = errorText(GetLastError());
            DeleteProcThreadAttributeList(list());
            throw startError(program, "its handle list cannot be set: " + why);
        }
    }
    ~InheritedHandleList() { DeleteProcThreadAttributeList(list()); }
    InheritedHandleList(const InheritedHandleList&) = delete;
    InheritedHandleList& operator=(const InheritedHandleList&) = delete;

    LPPROC_THREAD_ATTRIBUTE_LIST list() {
        return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(memory_.data());
    }

  private:
    std::vector<HANDLE> handles_;
    std::vector<char> memory_;
};

std::vector<char> commandLineOf(const std::vector<std::string>& argv) {
    std::string line;
    for (const std::string& argument : argv) {
        appendArgument(line, argument);
    }
    std::vector<char> commandLine(line.begin(), line.end());
    commandLine.push_back('\0');
    return commandLine;
}

}  // namespace

std::unique_ptr<ChildProcess> startProcess(const ProcessOptions& options) {
    if (options.argv.empty() || options.argv.front().empty()) {
        throw ProcessStartError("a program cannot be started without a program name");
    }
    const std::string& program = options.argv.front();
    ChildHandles child;
    openChildHandles(options, program, child);
    InheritedHandleList inherited(child, program);

    STARTUPINFOEXA startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = child.input.get();
    startup.StartupInfo.hStdOutput = child.output.get();
    startup.StartupInfo.hStdError = child.error.get();
    if (options.hidden) {
        startup.StartupInfo.dwFlags |= STARTF_USESHOWWINDOW;
        startup.StartupInfo.wShowWindow = SW_HIDE;
    }
    startup.lpAttributeList = inherited.list();
    std::vector<char> commandLine = commandLineOf(options.argv);
    std::string environment;
    if (!options.environment.empty()) {
        environment = environmentBlock(options.environment);
    }

    // A child that leads a group of its own is started suspended and put in a job first, so
    // whatever it starts belongs to the job that kill() ends.
    OwnedHandle job;
    DWORD flags = priorityClass(options.priority) | EXTENDED_STARTUPINFO_PRESENT;
    if (options.newProcessGroup) {
        job.reset(CreateJobObjectA(nullptr, nullptr));
        if (!job.valid()) {
            throw startError(program, "no job object for it: " + errorText(GetLastError()));
        }
        flags |= CREATE_SUSPENDED;
    }
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, flags,
                        environment.empty() ? nullptr : environment.data(), nullptr,
                        &startup.StartupInfo, &process)) {
        throw startError(program, errorText(GetLastError()));
    }
    OwnedHandle thread(process.hThread);
    if (options.newProcessGroup) {
        if (!AssignProcessToJobObject(job.get(), process.hProcess)) {
            const std::string why = errorText(GetLastError());
            TerminateProcess(process.hProcess, kKilledExitCode);
            WaitForSingleObject(process.hProcess, INFINITE);
            CloseHandle(process.hProcess);
            throw startError(program, "it cannot be put in a job: " + why);
        }
        ResumeThread(process.hThread);
    }
    return std::make_unique<Win32ChildProcess>(process.hProcess, process.dwProcessId,
                                               job.release());
}

}  // namespace corvid
