#include "tests/support/run_program.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <thread>

#include "platform/process_runner.h"
#include "tests/support/temp_dir.h"

namespace corvid::test {

std::string printedText(std::string bytes) {
#ifdef _WIN32
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')) {
            text += bytes[i];
        }
    }
    return text;
#else
    return bytes;
#endif
}

ProgramRun runProgram(const std::vector<std::string>& argv, std::chrono::seconds limit,
                      const ProgramEnvironment& environment) {
    const TempDir scratch("corvid-run");
    const std::filesystem::path outputFile = scratch.path() / "output";
    ProgramRun run;
    auto child = startProcess({.argv = argv, .outputFile = outputFile, .environment = environment});
    if (const auto code = child->waitFor(limit)) {
        run.exitCode = *code;
    } else {
        child->kill();
        ADD_FAILURE() << argv.front() << " did not end within " << limit.count() << " s";
    }
    std::ifstream in(outputFile, std::ios::binary);
    run.output = printedText(
        std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    return run;
}

ProgramRun runBinProgram(const std::string& name, const std::vector<std::string>& arguments,
                         std::chrono::seconds limit) {
    std::vector<std::string> argv{std::string(CORVID_BIN_DIR) + "/" + name};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runProgram(argv, limit);
}

BackgroundProgram::BackgroundProgram(const std::string& name,
                                     const std::vector<std::string>& arguments)
    : scratch_("corvid-background") {
    std::ofstream(scratch_.path() / "input").flush();
    std::vector<std::string> argv{std::string(CORVID_BIN_DIR) + "/" + name};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    child_ = startProcess({.argv = argv,
                           .stdinFile = scratch_.path() / "input",
                           .outputFile = scratch_.path() / "output"});
}

BackgroundProgram::~BackgroundProgram() {
    if (!child_->poll()) {
        child_->kill();
    }
}

std::string BackgroundProgram::output() const {
    std::ifstream in(scratch_.path() / "output", std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool BackgroundProgram::waitForOutput(const std::string& text, std::chrono::seconds limit) const {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (output().find(text) != std::string::npos) {
            return true;
        }
        if (child_->poll()) {
            return output().find(text) != std::string::npos;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

long BackgroundProgram::id() const {
    return child_->id();
}

void BackgroundProgram::type(const std::string& keys) {
    std::ofstream(scratch_.path() / "input", std::ios::binary | std::ios::app) << keys;
}

int BackgroundProgram::waitForExit(std::chrono::seconds limit) {
    if (const auto code = child_->waitFor(limit)) {
        return *code;
    }
    child_->kill();
    ADD_FAILURE() << "the program did not end within " << limit.count() << " s; it printed:\n"
                  << output();
    return -1;
}

}  // namespace corvid::test
