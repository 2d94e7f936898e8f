// corvid-devsim: hosts simulated ZQL5Vxx devices for the station to find on its bus.

#include <signal.h>
#include <unistd.h>
#include <cerrno>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "apps/subcommand_words.h"
#include "devsim/command_set.h"
#include "devsim/device.h"
#include "devsim/host.h"
#include "devsim/profile.h"
#include "simlink/control.h"
#include "simlink/sim_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace corvid::devsim;
namespace simlink = corvid::simlink;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitBadInput = 2;
constexpr auto kControlTimeout = std::chrono::seconds(30);

fs::path simDirOf(const std::string& option) {
    return option.empty() ? simlink::defaultSimDir() : fs::absolute(option);
}

void addDirOption(CLI::App& command, std::string& dir) {
    command.add_option("--dir", dir,
                       "simulator directory (default: $CORVID_SIM_DIR, else "
                       "$XDG_RUNTIME_DIR/corvid-devsim)");
}

// Runs the host in this process until it is stopped. 'ready' is told once it serves.
// With an owner, the host also ends when that process is gone, however it ended: a test or
// benchmark that crashes leaves no simulator serving.
int runHost(const fs::path& dir, bool quiet, long owner,
            const std::function<void(const std::string&)>& ready) {
    // Signals are taken by one thread, so every other thread runs undisturbed.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
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

int control(const std::string& dirOption, const std::vector<std::string>& words) {
    const fs::path dir = simDirOf(dirOption);
    try {
        const simlink::ControlReply reply = simlink::sendControl(dir, words, kControlTimeout);
        (reply.code == simlink::ControlCode::Ok ? std::cout : std::cerr)
            << (reply.code == simlink::ControlCode::Ok ? "" : "corvid-devsim: ") << reply.text;
        return static_cast<int>(reply.code);
    } catch (const std::exception& e) {
        std::cerr << "corvid-devsim: " << e.what() << std::endl;
        return kExitFailed;
    }
}

struct FaultOptions {
    std::vector<std::string> fail, unplugDuring, silent;
    std::string lie;

    void add(CLI::App& command) {
        command.footer("Command names for NAME: " + faultCommandNames() +
                       " (the SUB_SCSI_OP_ prefix may be written or left out; case does not "
                       "matter).");
        command.add_option("--fail", fail,
                           "make a command fail: NAME[@N][:call|:status] (every time, or the N-th "
                           "time; the call fails, or bit 0 of the status byte is clear)");
        command.add_option("--unplug-during", unplugDuring,
                           "pull the device out while it works on a command: NAME[@N]");
        command.add_option("--silent", silent,
                           "stop answering from a command on (the caller's timeout runs out): "
                           "NAME[@N]");
        command.add_option("--lie", lie,
                           "answer commands with random data, lengths and status bits: "
                           "SEED[:PERCENT] (PERCENT of the commands lie, default 100; the same "
                           "seed gives the same lies)");
    }

    // Checked here so that a typing error is reported before the simulator is asked.
    void appendWords(std::vector<std::string>& words) const {
        for (const auto& rule : fail) {
            parseFaultRule(FaultRule::Kind::FailCall, rule);
            words.push_back("fail=" + rule);
        }
        for (const auto& rule : unplugDuring) {
            parseFaultRule(FaultRule::Kind::UnplugDuring, rule);
            words.push_back("unplug-during=" + rule);
        }
        for (const auto& rule : silent) {
            parseFaultRule(FaultRule::Kind::Silent, rule);
            words.push_back("silent=" + rule);
        }
        if (!lie.empty()) {
            parseLieMode(lie);
            words.push_back("lie=" + lie);
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"corvid-devsim: simulated ZQL5Vxx USB flash devices for the Corvid station"};
    app.failure_message([](const CLI::App*, const CLI::Error& error) {
        return std::string("corvid-devsim: ") + error.what() +
               "\nRun with --help for more information.\n";
    });
    app.require_subcommand(1);
    app.footer(
        "Exit status: 0 done, 1 the simulator failed or did not answer, 2 bad usage or "
        "input.");
    std::string dir;

    auto* serveCommand = app.add_subcommand("serve", "run the simulator host in this directory");
    bool daemon = false;
    addDirOption(*serveCommand, dir);
    serveCommand->add_flag("--daemon", daemon, "run in the background; return once it serves");
    long owner = 0;
    serveCommand
        ->add_option("--owner", owner,
                     "end by itself once the process of this ID is gone (a test or benchmark "
                     "that starts the simulator passes its own)")
        ->check(CLI::PositiveNumber);

    auto* plugCommand = app.add_subcommand("plug", "plug a simulated device in");
    addDirOption(*plugCommand, dir);
    std::string letter, profile, state, trace;
    int port = -1;
    double latencyMs = -1, scanMs = -1, resetMs = -1;
    std::string bandwidth;
    FaultOptions plugFaults;
    plugCommand->add_option("--letter", letter, "drive letter A to Z")->required();
    plugCommand
        ->add_option("--profile", profile,
                     "built-in profile name (corvid-devsim profiles) or INI profile file")
        ->required();
    plugCommand->add_option("--state", state,
                            "state folder: the device's flash and disk (default: "
                            "DIR/state/LETTER-PROFILE); the same folder gives the same device");
    plugCommand->add_option("--trace", trace,
                            "trace file, one line per command (default DIR/LETTER.trace; "
                            "\"none\" for no trace)");
    plugCommand->add_option("--port", port, "port number the device reports (0 to 127)");
    plugCommand->add_option("--latency-ms", latencyMs, "time every command takes")
        ->check(CLI::NonNegativeNumber);
    plugCommand->add_option("--bandwidth", bandwidth, "data rate, bytes per second (e.g. 20M)");
    plugCommand->add_option("--scan-ms", scanMs, "time a block scan takes per block")
        ->check(CLI::NonNegativeNumber);
    plugCommand
        ->add_option("--reset-ms", resetMs,
                     "how long the device stays away after a reset (default 100)")
        ->check(CLI::NonNegativeNumber);
    plugFaults.add(*plugCommand);

    auto* unplugCommand = app.add_subcommand("unplug", "pull a simulated device out");
    addDirOption(*unplugCommand, dir);
    std::string unplugLetter;
    unplugCommand->add_option("letter", unplugLetter, "drive letter")->required();

    auto* faultCommand =
        app.add_subcommand("fault", "replace the fault rules of a plugged device (none: clear)");
    addDirOption(*faultCommand, dir);
    std::string faultLetter;
    FaultOptions faultRules;
    faultCommand->add_option("letter", faultLetter, "drive letter")->required();
    std::string clearWord;
    faultCommand->add_option("none", clearWord, "the word none: clear every rule")
        ->check(CLI::IsMember({"none"}));
    faultRules.add(*faultCommand);

    auto* listCommand = app.add_subcommand("list", "list the plugged devices");
    addDirOption(*listCommand, dir);
    auto* stopCommand = app.add_subcommand("stop", "unplug every device and end the simulator");
    addDirOption(*stopCommand, dir);

    auto* profilesCommand = app.add_subcommand("profiles", "list the built-in device profiles");
    std::string showProfile;
    profilesCommand->add_option("--show", showProfile,
                                "print a profile as an INI file, a start for your own");

    try {
        app.parse(argc, argv);
    } catch (const CLI::RequiredError& e) {
        if (const auto text = corvid::apps::unknownSubcommandText(app, e)) {
            std::cerr << "corvid-devsim: " << *text << ".\n";
            return kExitBadInput;
        }
        const int code = app.exit(e);
        return code == 0 ? kExitOk : kExitBadInput;
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? kExitOk : kExitBadInput;
    }

    try {
        if (serveCommand->parsed()) {
            return serve(dir, daemon, owner);
        }
        if (plugCommand->parsed()) {
            std::vector<std::string> words = {"plug", "letter=" + letter};
            // A profile file is read by the simulator, which may run in another folder.
            std::error_code error;
            DeviceProfile resolved = resolveProfile(profile);
            const bool builtin = fs::path(profile).filename() == profile &&
                                 !fs::is_regular_file(profile, error) && resolved.name == profile;
            words.push_back("profile=" + (builtin ? profile : fs::absolute(profile).string()));
            if (!state.empty()) {
                words.push_back("state=" + fs::absolute(state).string());
            }
            if (!trace.empty()) {
                words.push_back("trace=" +
                                (trace == "none" ? trace : fs::absolute(trace).string()));
            }
            if (port >= 0) {
                words.push_back("port=" + std::to_string(port));
            }
            if (latencyMs >= 0) {
                words.push_back("latency-ms=" + std::to_string(latencyMs));
            }
            if (!bandwidth.empty()) {
                parseBandwidth(bandwidth);
                words.push_back("bandwidth=" + bandwidth);
            }
            if (scanMs >= 0) {
                words.push_back("scan-ms=" + std::to_string(scanMs));
            }
            if (resetMs >= 0) {
                words.push_back("reset-ms=" + std::to_string(resetMs));
            }
            plugFaults.appendWords(words);
            return control(dir, words);
        }
        if (unplugCommand->parsed()) {
            return control(dir, {"unplug", unplugLetter});
        }
        if (faultCommand->parsed()) {
            std::vector<std::string> words = {"fault", faultLetter};
            if (!clearWord.empty() &&
                (!faultRules.fail.empty() || !faultRules.unplugDuring.empty() ||
                 !faultRules.silent.empty())) {
                std::cerr << "corvid-devsim fault: \"none\" clears every rule; it takes no "
                             "rules beside it.\n";
                return kExitBadInput;
            }
            faultRules.appendWords(words);
            return control(dir, words);
        }
        if (listCommand->parsed()) {
            return control(dir, {"list"});
        }
        if (stopCommand->parsed()) {
            return control(dir, {"stop"});
        }
        if (profilesCommand->parsed()) {
            if (!showProfile.empty()) {
                std::cout << profileToIni(resolveProfile(showProfile));
                return kExitOk;
            }
            for (const auto& summary : builtinProfiles()) {
                std::printf("%-12s %s\n", summary.name.c_str(), summary.description.c_str());
            }
            return kExitOk;
        }
    } catch (const ProfileError& e) {
        std::cerr << "corvid-devsim: " << e.what() << std::endl;
        return kExitBadInput;
    } catch (const std::invalid_argument& e) {
        std::cerr << "corvid-devsim: " << e.what() << std::endl;
        return kExitBadInput;
    } catch (const std::exception& e) {
        std::cerr << "corvid-devsim: " << e.what() << std::endl;
        return kExitFailed;
    } catch (...) {
        std::cerr << "corvid-devsim: the command ended with an error of unknown kind" << std::endl;
        return kExitFailed;
    }
    return kExitBadInput;
}
