// The Windows process runner on a child of our own (child_probe_win32.cpp), as Wine runs it.

#include <windows.h>

#include <gtest/gtest.h>

#include "platform/process_runner.h"
#include "platform/text_file.h"
#include "tests/support/temp_dir.h"

namespace corvid {
namespace {

using namespace std::chrono_literals;

constexpr std::chrono::milliseconds kGenerous = 60s;

class ProcessRunnerWin32Test : public test::TempDirTest {
  protected:
    std::vector<std::string> probe(std::vector<std::string> steps) const {
        steps.insert(steps.begin(), CORVID_CHILD_PROBE);
        return steps;
    }
};

TEST_F(ProcessRunnerWin32Test, ReportsExitCodeAndPassesArgumentsWhole) {
    struct Case {
        std::vector<std::string> steps;
        int exitCode;
        std::string output;
    };
    const Case cases[] = {
        {{"exit", "0"}, 0, ""},
        {{"exit", "42"}, 42, ""},
        // Blanks, quotes and backslashes reach the child as one argument each, unsplit.
        {{"print", "a b;*", "exit", "3"}, 3, "a b;*\r\n"},
        {{"print", "say \"hi\" \\\\server\\share\\", "print", ""},
         0,
         "say \"hi\" \\\\server\\share\\\r\n\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.steps.back());
        const auto output = dir_ / "out.txt";
        auto child = startProcess({.argv = probe(c.steps), .outputFile = output});
        EXPECT_EQ(child->waitFor(kGenerous), c.exitCode);
        EXPECT_EQ(child->poll(), c.exitCode);
        EXPECT_EQ(readFileBytes(output), c.output);
    }
}

TEST_F(ProcessRunnerWin32Test, StandardInputFromFileAndErrorsApart) {
    const auto input = dir_ / "response.txt";
    const auto output = dir_ / "out.txt";
    const auto errors = dir_ / "err.txt";
    writeFileAtomically(input, "Y\r\n");
    auto child = startProcess({.argv = probe({"copy-input", "complain", "careful"}),
                               .stdinFile = input,
                               .outputFile = output,
                               .errorFile = errors});
    EXPECT_EQ(child->waitFor(kGenerous), 0);
    EXPECT_EQ(readFileBytes(output), "Y\r\n");
    EXPECT_EQ(readFileBytes(errors), "careful\r\n");
}

// Wine's ntdll exports its version; Windows' has no such function.
bool runningUnderWine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

TEST_F(ProcessRunnerWin32Test, ChildRunsAtChosenPriorityClass) {
    if (runningUnderWine()) {
        GTEST_SKIP() << "Wine starts every process at the normal priority class, whatever "
                        "CreateProcess asks";
    }
    const std::pair<ProcessPriority, DWORD> cases[] = {
        {ProcessPriority::Idle, IDLE_PRIORITY_CLASS},
        {ProcessPriority::BelowNormal, BELOW_NORMAL_PRIORITY_CLASS},
        {ProcessPriority::High, HIGH_PRIORITY_CLASS},
    };
    for (const auto& [priority, expected] : cases) {
        SCOPED_TRACE(expected);
        auto child = startProcess({.argv = probe({"sleep", "30000"}), .priority = priority});
        const HANDLE process =
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(child->id()));
        ASSERT_NE(process, nullptr);
        EXPECT_EQ(GetPriorityClass(process), expected);
        CloseHandle(process);
        child->kill();
    }
}

TEST_F(ProcessRunnerWin32Test, TimeLimitThenKillInEitherGroup) {
    for (const bool group : {false, true}) {
        SCOPED_TRACE(group ? "own job" : "station's");
        auto child = startProcess({.argv = probe({"sleep", "30000"}), .newProcessGroup = group});
        EXPECT_EQ(child->poll(), std::nullopt);
        EXPECT_EQ(child->waitFor(50ms), std::nullopt);
        child->kill();
        EXPECT_EQ(child->poll(), 128 + 9);
        child->kill();  // already gone: nothing happens
    }
}

TEST_F(ProcessRunnerWin32Test, EnvironmentAddsAndReplacesVariables) {
    SetEnvironmentVariableA("CORVID_RUNNER_KEPT", "kept");
    SetEnvironmentVariableA("CORVID_RUNNER_REPLACED", "old");
    const auto output = dir_ / "out.txt";
    auto child = startProcess(
        {.argv = probe({"env", "CORVID_RUNNER_KEPT", "env", "CORVID_RUNNER_REPLACED", "env",
                        "CORVID_RUNNER_ADDED"}),
         .outputFile = output,
         .environment = {{"corvid_runner_replaced", "new"}, {"CORVID_RUNNER_ADDED", "a b"}}});
    EXPECT_EQ(child->waitFor(kGenerous), 0);
    EXPECT_EQ(readFileBytes(output), "kept\r\nnew\r\na b\r\n");
    SetEnvironmentVariableA("CORVID_RUNNER_KEPT", nullptr);
    SetEnvironmentVariableA("CORVID_RUNNER_REPLACED", nullptr);
}

TEST_F(ProcessRunnerWin32Test, StartFailuresNameTheProgramOrFile) {
    struct Case {
        ProcessOptions options;
        std::string expected;
    };
    const Case cases[] = {
        {{.argv = {"corvid-no-such-program.exe"}},
         "the program \"corvid-no-such-program.exe\" cannot be started: error 2"},
        {{.argv = probe({"exit", "0"}), .stdinFile = dir_ / "missing.txt"},
         "its input file " + (dir_ / "missing.txt").string() + " cannot be opened"},
        {{.argv = {}}, "a program cannot be started without a program name"},
    };
    for (const Case& c : cases) {
        try {
            startProcess(c.options);
            ADD_FAILURE() << "started: " << c.expected;
        } catch (const ProcessStartError& error) {
            EXPECT_NE(std::string(error.what()).find(c.expected), std::string::npos)
                << error.what();
        }
    }
}

}  // namespace
}  // namespace corvid
