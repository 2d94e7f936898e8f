// Libraries loaded while the program runs: what a caller needs to tell the operator when one is
// missing or is not the version expected.
#include "platform/shared_library.h"

#include <gtest/gtest.h>

#include <functional>

namespace corvid {
namespace {

std::string errorOf(const std::function<void()>& load) {
    try {
        load();
    } catch (const SharedLibraryError& error) {
        return error.what();
    }
    return "";
}

TEST(SharedLibraryTest, FindsAFunctionAndNamesWhatIsMissing) {
    const SharedLibrary c("libc.so.6");
    const auto length = c.function<std::size_t (*)(const char*)>("strlen");
    EXPECT_EQ(length("corvid"), 6u);

    const std::string noLibrary = errorOf([] { SharedLibrary("libcorvid-absent.so.9"); });
    EXPECT_EQ(noLibrary.rfind("libcorvid-absent.so.9 cannot be loaded (", 0), 0u) << noLibrary;
    const std::string noFunction = errorOf([&] { c.function<void (*)()>("corvid_absent"); });
    EXPECT_EQ(noFunction.rfind("libc.so.6 has no corvid_absent (", 0), 0u) << noFunction;
}

}  // namespace
}  // namespace corvid
