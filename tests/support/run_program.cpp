#include "tests/support/run_program.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "platform/process_runner.h"
#include "tests/support/temp_dir.h"

namespace corvid::test {

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
    run.output.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return run;
}

ProgramRun runBinProgram(const std::string& name, const std::vector<std::string>& arguments,
                         std::chrono::seconds limit) {
    std::vector<std::string> argv{std::string(CORVID_BIN_DIR) + "/" + name};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runProgram(argv, limit);
}

}  // namespace corvid::test
