#include "platform/process_runner.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
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
    explicit PosixChildProcess(pid_t pid) : pid_(pid) {}
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
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
            std::this_thread::sleep_for(std::min({pause, left + std::chrono::milliseconds(1)}));
            pause = std::min(pause * 2, std::chrono::milliseconds(20));
        }
        return exitCode_;
    }

    void kill() override {
        if (poll()) {
            return;
        }
        ::kill(pid_, SIGKILL);
        int status = 0;
        pid_t rc;
        do {
            rc = ::waitpid(pid_, &status, 0);
        } while (rc < 0 && errno == EINTR);
        exitCode_ = rc == pid_ ? exitCodeOf(status) : -1;
    }

  private:
    pid_t pid_;
    std::optional<int> exitCode_;
};

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
    posix_spawnattr_setflags(setup.attr(), POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<char*> argv;
    argv.reserve(options.argv.size() + 1);
    for (const std::string& arg : options.argv) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);

    pid_t pid = 0;
    const int rc =
        ::posix_spawnp(&pid, program.c_str(), setup.actions(), setup.attr(), argv.data(), environ);
    if (rc != 0) {
        throw startError(program, std::strerror(rc));
    }
    if (options.priority != ProcessPriority::Normal) {
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(pid), niceValue(options.priority));
    }
    return std::make_unique<PosixChildProcess>(pid);
}

}  // namespace corvid
