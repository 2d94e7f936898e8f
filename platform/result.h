#pragma once

// The result of a library call that can fail: ok, or the reason in one sentence naming the file,
// device or value at fault (for standard error and logs; the operator sees the station's own
// failure text).

#include <string>
#include <utility>

namespace corvid {

struct Result {
    bool ok = false;
    std::string reason;

    explicit operator bool() const { return ok; }
    static Result success() { return {true, {}}; }
    static Result failure(std::string why) { return {false, std::move(why)}; }
};

}  // namespace corvid
