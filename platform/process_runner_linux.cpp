#include "platform/process_runner.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace corvid {

namespace {

int niceValue(ProcessPriority priority) {
    switch (priority) {
        case ProcessPriority::Idle:
            return 19;
        case ProcessPriority::BelowNormal:
            return 10;
        case ProcessPriority::Normal:
            return 0;
        case ProcessPriority::AboveNormal:
            return -5;
        case ProcessPriority::High:
            return -10;
    }
    return 0;
}

int exitCodeOf(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}

// The posix_spawn attribute and file-action objects, released on every path.
class SpawnSetup {
  public:
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions_);
        posix_spawnattr_init(&attr_);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions_);
        posix_spawnattr_destroy(&attr_);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawn_file_actions_t* actions() { return &actions_; }
    posix_spawnattr_t* attr() { return &attr_; }

  private:
    posix_spawn_file_actions_t actions_;
    posix_spawnattr_t attr_;
};

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

class PosixChildProcess : public ChildProcess {
  public:
    // The process descriptor wakes a wait the moment the child ends; without one (a kernel
    // before 5.3) the wait polls. (The system call itself: glibc 2.36's pidfd.h cannot be
    // included from C++.)
    PosixChildProcess(pid_t pid, bool leadsGroup)
        : pid_(pid),
          leadsGroup_(leadsGroup),
          exited_(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))) {}
    ~PosixChildProcess() override { kill(); }

    long id() const override { return static_cast<long>(pid_); }

    std::optional<int> poll() override {
        if (!exitCode_) {
            int status = 0;
            pid_t rc;
            do {
                rc = ::waitpid(pid_, &status, WNOHANG);
            } while (rc < 0 && errno == EINTR);
            if (rc == pid_) {
                exitCode_ = exitCodeOf(status);
            } else if (rc < 0) {
                // Reaped elsewhere (e.g. SIGCHLD ignored): the child is gone all the same.
                exitCode_ = -1;
            }
        }
        return exitCode_;
    }

    std::optional<int> waitFor(std::chrono::milliseconds limit) override {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        std::chrono::milliseconds pause{1};
        while (!poll()) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline) {
                return std::nullopt;
            }
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
            if (exited_.get() >= 0) {
                pollfd ended{exited_.get(), POLLIN, 0};
                ::poll(&ended, 1, static_cast<int>(std::min<std::int64_t>(left.count(), 60000)));
                continue;
            }
            std::this_thread::sleep_for(std::min(pause, left));
            pause = std::min(pause * 2, std::chrono::milliseconds(20));
        }
        return exitCode_;
    }

    void kill() override {
        if (poll()) {
            return;
        }
        // While the leader is not reaped its group ID cannot be reused, so the signal reaches
        // only this child's own group.
        if (leadsGroup_) {
            ::killpg(pid_, SIGKILL);
        } else {
            ::kill(pid_, SIGKILL);
        }
        int status = 0;
        pid_t rc;
        do {
            rc = ::waitpid(pid_, &status, 0);
        } while (rc < 0 && errno == EINTR);
        exitCode_ = rc == pid_ ? exitCodeOf(status) : -1;
    }

  private:
    pid_t pid_;
    bool leadsGroup_;
    FileDescriptor exited_;  // the child's process descriptor, -1 without one
    std::optional<int> exitCode_;
};

// The station's environment with 'extra' set on top of it, as "NAME=value" texts.
std::vector<std::string> childEnvironment(
    const std::vector<std::pair<std::string, std::string>>& extra) {
    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view variable(*entry);
        const auto replaced = std::any_of(extra.begin(), extra.end(), [&](const auto& setting) {
            return variable.size() > setting.first.size() &&
                   variable.compare(0, setting.first.size(), setting.first) == 0 &&
                   variable[setting.first.size()] == '=';
        });
        if (!replaced) {
            variables.emplace_back(variable);
        }
    }
    for (const auto& [name, value] : extra) {
        variables.push_back(name + "=" + value);
    }
    return variables;
}

ProcessStartError startError(const std::string& program, const std::string& why) {
    return ProcessStartError("the program \"" + program + "\" cannot be started: " + why);
}

}  // namespace

std::unique_ptr<ChildProcess> startProcess(const ProcessOptions& options) {
    if (options.argv.empty() || options.argv.front().empty()) {
        throw ProcessStartError("a program cannot be started without a program name");
    }
    const std::string& program = options.argv.front();

    SpawnSetup setup;
    std::optional<FileDescriptor> input;
    if (options.stdinFile) {
        input.emplace(::open(options.stdinFile->c_str(), O_RDONLY | O_CLOEXEC));
        if (input->get() < 0) {
            throw startError(program, "its input file " + options.stdinFile->string() +
                                          " cannot be opened: " + std::strerror(errno));
        }
        posix_spawn_file_actions_adddup2(setup.actions(), input->get(), STDIN_FILENO);
    }
    if (options.outputFile) {
        posix_spawn_file_actions_addopen(setup.actions(), STDOUT_FILENO,
                                         options.outputFile->c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        if (options.errorFile) {
            posix_spawn_file_actions_addopen(setup.actions(), STDERR_FILENO,
                                             options.errorFile->c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
        } else {
            posix_spawn_file_actions_adddup2(setup.actions(), STDOUT_FILENO, STDERR_FILENO);
        }
    } else if (options.hidden) {
        posix_spawn_file_actions_addopen(setup.actions(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(setup.actions(), STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Device handles and other files of the station stay out of the child.
    posix_spawn_file_actions_addclosefrom_np(setup.actions(), STDERR_FILENO + 1);
#endif
    // The child starts with default signal handling, whatever the station ignores.
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigdefault(setup.attr(), &all);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(setup.attr(), &none);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (options.newProcessGroup) {
        posix_spawnattr_setpgroup(setup.attr(), 0);
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    posix_spawnattr_setflags(setup.attr(), flags);

    std::vector<char*> argv;
    argv.reserve(options.argv.size() + 1);
    for (const std::string& arg : options.argv) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);

    char** envp = environ;
    std::vector<std::string> variables;
    std::vector<char*> variablePointers;
    if (!options.environment.empty()) {
        variables = childEnvironment(options.environment);
        for (std::string& variable : variables) {
            variablePointers.push_back(variable.data());
        }
        variablePointers.push_back(nullptr);
        envp = variablePointers.data();
    }

    pid_t pid = 0;
    const int rc =
        ::posix_spawnp(&pid, program.c_str(), setup.actions(), setup.attr(), argv.data(), envp);
    if (rc != 0) {
        throw startError(program, std::strerror(rc));
    }
    if (options.priority != ProcessPriority::Normal) {
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(pid), niceValue(options.priority));
    }
    return std::make_unique<PosixChildProcess>(pid, options.newProcessGroup);
}

}  // namespace corvid
