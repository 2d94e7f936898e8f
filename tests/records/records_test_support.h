#pragma once

#include <string>
#include <vector>

#include "records/run_record.h"

namespace corvid::test {

// Three ended runs with every member set, texts chosen to trouble SQL and CSV: a comma, quotes,
// a line break, a leading blank, Chinese.
std::vector<RunRecord> sampleRuns();

// Runs 'program' with Python 3 (the tests' independent reader of SQLite and CSV files) and
// returns what it printed; a Python that fails fails the test.
std::string runPython(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace corvid::test
