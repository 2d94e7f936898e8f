#include "platform/process_runner.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <thread>

#include <utility>

#include "platform/text_file.h"
#include "tests/support/temp_dir.h"

namespace corvid {
namespace {

using namespace std::chrono_literals;

class ProcessRunnerTest : public test::TempDirTest {};

// Far longer than any of these children needs; it only bounds a broken test.
constexpr std::chrono::milliseconds kGenerous = 20s;

TEST_F(ProcessRunnerTest, ReportsExitCode) {
    struct Case {
        std::vector<std::string> argv;
        int exitCode;
    };
    const Case cases[] = {
        {{"true"}, 0},
        {{"false"}, 1},
        {{"/bin/sh", "-c", "exit 42"}, 42},
        {{"/bin/sh", "-c", "kill -9 $$"}, 128 + 9},
        // Arguments go as they are: no shell splits or expands them.
        {{"test", "a b;*", "=", "a b;*"}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argv.back());
        auto child = startProcess({.argv = c.argv});
        EXPECT_EQ(child->waitFor(kGenerous), c.exitCode);
        EXPECT_EQ(child->poll(), c.exitCode);
    }
}

TEST_F(ProcessRunnerTest, StandardInputFromFileAndHiddenOutput) {
    const auto input = dir_ / "response.txt";
    writeFileAtomically(input, "7\n");
    auto child = startProcess({.argv = {"/bin/sh", "-c", "read x; echo noise; exit $x"},
                               .stdinFile = input,
                               .priority = ProcessPriority::BelowNormal});
    EXPECT_EQ(child->waitFor(kGenerous), 7);
}

TEST_F(ProcessRunnerTest, ChildRunsAtChosenPriority) {
    const std::pair<ProcessPriority, int> cases[] = {
        {ProcessPriority::Idle, 19},
        {ProcessPriority::BelowNormal, 10},
        {ProcessPriority::Normal, getpriority(PRIO_PROCESS, 0)},
    };
    for (const auto& [priority, niceValue] : cases) {
        SCOPED_TRACE(niceValue);
        auto child = startProcess({.argv = {"sleep", "30"}, .priority = priority});
        EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(child->id())), niceValue);
        child->kill();
    }
}

TEST_F(ProcessRunnerTest, TimeLimitThenKill) {
    auto child = startProcess({.argv = {"sleep", "30"}});
    EXPECT_EQ(child->poll(), std::nullopt);
    EXPECT_EQ(child->waitFor(50ms), std::nullopt);
    child->kill();
    EXPECT_EQ(child->poll(), 128 + 9);
    child->kill();  // already gone: nothing happens
}

TEST_F(ProcessRunnerTest, EnvironmentAddsAndReplacesVariables) {
    setenv("CORVID_RUNNER_KEPT", "kept", 1);
    setenv("CORVID_RUNNER_REPLACED", "old", 1);
    auto child = startProcess(
        {.argv = {"/bin/sh", "-c",
                  "test \"$CORVID_RUNNER_KEPT\" = kept && test \"$CORVID_RUNNER_REPLACED\" = new "
                  "&& test \"$CORVID_RUNNER_ADDED\" = 'a b'"},
         .environment = {{"CORVID_RUNNER_REPLACED", "new"}, {"CORVID_RUNNER_ADDED", "a b"}}});
    EXPECT_EQ(child->waitFor(kGenerous), 0);
    unsetenv("CORVID_RUNNER_KEPT");
    unsetenv("CORVID_RUNNER_REPLACED");
}

// True when the process is gone or only waits to be reaped by its new parent.
bool ended(long pid) {
    std::string stat;
    try {
        stat = readFileBytes("/proc/" + std::to_string(pid) + "/stat");
    } catch (const std::exception&) {
        return true;
    }
    const auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

TEST_F(ProcessRunnerTest, KillEndsTheChildsWholeGroup) {
    // The child starts a helper and waits for it, as a format command may do.
    const auto helperId = dir_ / "helper.pid";
    for (const bool group : {true, false}) {
        SCOPED_TRACE(group ? "own group" : "station's group");
        auto child = startProcess(
            {.argv = {"/bin/sh", "-c", "sleep 30 & echo $! > \"$0\"; wait", helperId.string()},
             .newProcessGroup = group});
        const auto deadline = std::chrono::steady_clock::now() + kGenerous;
        std::string text;
        while (text.empty() || text.back() != '\n') {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline);
            std::this_thread::sleep_for(5ms);
            std::error_code error;
            if (std::filesystem::exists(helperId, error)) {
                text = readFileBytes(helperId);
            }
        }
        const long helper = std::stol(text);
        EXPECT_EQ(getpgid(static_cast<pid_t>(child->id())), group ? child->id() : getpgid(0));
        child->kill();
        EXPECT_EQ(child->poll(), 128 + 9);
        // SIGKILL is delivered at once; give the scheduler a moment all the same.
        for (int i = 0; i < 200 && !ended(helper); ++i) {
            std::this_thread::sleep_for(5ms);
        }
        EXPECT_EQ(ended(helper), group);
        if (!group) {
            ::kill(static_cast<pid_t>(helper), SIGKILL);
        }
        std::filesystem::remove(helperId);
    }
}

TEST_F(ProcessRunnerTest, ProgramThatCannotStartIsReported) {
    const auto notExecutable = dir_ / "usbdos";
    writeFileAtomically(notExecutable, "#!/bin/sh\nexit 0\n");
    struct Case {
        ProcessOptions options;
        std::string named;
    };
    const Case cases[] = {
        {{.argv = {"corvid-no-such-program"}}, "corvid-no-such-program"},
        {{.argv = {(dir_ / "missing").string()}}, (dir_ / "missing").string()},
        {{.argv = {notExecutable.string()}}, notExecutable.string()},
        {{.argv = {"true"}, .stdinFile = dir_ / "no-response.txt"}, "no-response.txt"},
        {{.argv = {}}, "without a program"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.named);
        try {
            startProcess(c.options);
            ADD_FAILURE() << "started";
        } catch (const ProcessStartError& e) {
            const std::string message = e.what();
            EXPECT_NE(message.find("cannot be started"), std::string::npos) << message;
            EXPECT_NE(message.find(c.named), std::string::npos) << message;
        }
    }
}

}  // namespace
}  // namespace corvid
