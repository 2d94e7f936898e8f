// corvid-devsim serve: the simulator host, in this process or in the background.

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <thread>

#include "apps/devsim/commands.h"
#include "devsim/host.h"

namespace corvid::devsim_cli {

namespace {

namespace fs = std::filesystem;
using corvid::devsim::Host;

// Runs the host in this process until it is stopped. 'ready' is told once it serves.
// With an owner, the host also ends when that process is gone, however it ended: a test or
// benchmark that crashes leaves no simulator serving.
int runHost(const fs::path& dir, bool quiet, long owner,
            const std::function<void(const std::string&)>& ready) {
    const sigset_t stopSignals = blockStopSignals();
    ::signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<Host> host;
    try {
        host = std::make_unique<Host>(dir, [quiet](const std::string& line) {
            if (!quiet) {
                std::cout << "corvid-devsim: " << line << std::endl;
            }
        });
    } catch (const std::exception& e) {
        ready(std::string("E") + e.what());
        return kExitFailed;
    }
    std::thread([&host, stopSignals] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        host->requestStop();
    }).detach();
    if (owner > 0) {
        std::thread([owner] {
            while (::kill(static_cast<pid_t>(owner), 0) == 0 || errno != ESRCH) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
            ::kill(::getpid(), SIGTERM);  // taken by the signal thread above
        }).detach();
    }
    ready("R");
    host->serve();
    host.reset();
    return kExitOk;
}

int serve(const std::string& dirOption, bool daemon, long owner) {
    const fs::path dir = simDirOf(dirOption);
    if (!daemon) {
        return runHost(dir, false, owner, [&](const std::string& state) {
            if (state[0] == 'E') {
                std::cerr << "corvid-devsim: " << state.substr(1) << std::endl;
            } else {
                std::cout << "corvid-devsim: serving " << dir.string() << std::endl;
            }
        });
    }
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) {
        std::cerr << "corvid-devsim: cannot create a pipe to start the simulator.\n";
        return kExitFailed;
    }
    const pid_t child = ::fork();
    if (child < 0) {
        std::cerr << "corvid-devsim: cannot start the simulator in the background.\n";
        return kExitFailed;
    }
    if (child == 0) {
        ::close(pipeFds[0]);
        ::setsid();
        std::error_code error;
        fs::create_directories(dir, error);
        const fs::path log = dir / "devsim.log";
        std::freopen("/dev/null", "r", stdin);
        if (std::freopen(log.c_str(), "a", stdout) == nullptr) {
            std::freopen("/dev/null", "w", stdout);
        }
        ::dup2(::fileno(stdout), ::fileno(stderr));
        const int status = runHost(dir, false, owner, [&](const std::string& state) {
            [[maybe_unused]] auto written = ::write(pipeFds[1], state.data(), state.size());
            ::close(pipeFds[1]);
        });
        std::_Exit(status);
    }
    ::close(pipeFds[1]);
    std::string state;
    char buffer[512];
    ssize_t got = 0;
    while ((got = ::read(pipeFds[0], buffer, sizeof(buffer))) > 0) {
        state.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(pipeFds[0]);
    if (state.empty() || state[0] != 'R') {
        std::cerr << "corvid-devsim: "
                  << (state.size() > 1 ? state.substr(1)
                                       : "the simulator ended before it was ready.")
                  << std::endl;
        return kExitFailed;
    }
    std::cout << "corvid-devsim: serving " << dir.string() << " (process " << child << ")"
              << std::endl;
    return kExitOk;
}

}  // namespace

void addServeCommand(CLI::App& app, int& exitStatus) {
    auto* command = app.add_subcommand("serve", "run the simulator host in this directory");
    auto dir = std::make_shared<std::string>();
    auto daemon = std::make_shared<bool>(false);
    auto owner = std::make_shared<long>(0);
    addDirOption(*command, *dir);
    command->add_flag("--daemon", *daemon, "run in the background; return once it serves");
    command
        ->add_option("--owner", *owner,
                     "end by itself once the process of this ID is gone (a test or benchmark "
                     "that starts the simulator passes its own)")
        ->check(CLI::PositiveNumber);
    command->callback(
        [&exitStatus, dir, daemon, owner] { exitStatus = serve(*dir, *daemon, *owner); });
}

}  // namespace corvid::devsim_cli
