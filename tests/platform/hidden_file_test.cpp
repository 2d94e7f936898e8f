#include "platform/hidden_file.h"

#include <gtest/gtest.h>

#include <fstream>

#ifdef _WIN32
#include <windows.h>
#endif

#include "tests/support/temp_dir.h"

namespace corvid {
namespace {

class HiddenFileTest : public test::TempDirTest {
  protected:
    std::filesystem::path touch(const std::string& name) {
        const auto path = dir_ / name;
        std::ofstream(path) << "x";
        return path;
    }
};

TEST_F(HiddenFileTest, TheSystemsOwnMarkOfAHiddenEntry) {
    const auto plain = touch("song.mp3");
    EXPECT_FALSE(isHiddenEntry(plain));
#ifdef _WIN32
    // Windows: the attribute, whatever the name.
    const auto marked = touch("cover.jpg");
    ASSERT_TRUE(SetFileAttributesW(marked.c_str(), FILE_ATTRIBUTE_HIDDEN));
    EXPECT_TRUE(isHiddenEntry(marked));
#else
    // Linux: a name starting with '.'.
    EXPECT_TRUE(isHiddenEntry(touch(".cover.jpg")));
    EXPECT_FALSE(isHiddenEntry(touch("a.b")));
#endif
}

}  // namespace
}  // namespace corvid
