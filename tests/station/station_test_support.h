#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "station/station_folder.h"
#include "tests/support/temp_dir.h"

namespace corvid::test {

// A fresh station folder with an empty misc folder.
class StationFolderTest : public TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        std::filesystem::create_directories(dir_ / "misc");
    }
    StationFolder folder() const { return StationFolder(dir_); }

    static void writeBytes(const std::filesystem::path& path, const std::string& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << bytes;
    }
    static std::string readBytes(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
};

}  // namespace corvid::test
