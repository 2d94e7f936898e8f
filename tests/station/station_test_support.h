#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "station/capacity_multiplier.h"
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

    // A firmware file of 'size' bytes starting with 'chip' and holding 'field' at the capacity
    // multiplier's offset (or as much of it as fits); returns its full path.
    std::string firmware(const std::string& name, const std::string& chip, const std::string& field,
                         std::size_t size = 40000) {
        std::string bytes(std::max(size, kCapMultiplierOffset + field.size()), '\0');
        bytes.replace(0, chip.size(), chip);
        bytes.replace(kCapMultiplierOffset, field.size(), field);
        bytes.resize(size);
        writeBytes(dir_ / name, bytes);
        return (dir_ / name).string();
    }
    static int multiplierByte(const std::string& path) {
        return static_cast<unsigned char>(readBytes(path).at(kCapMultiplierOffset + 2));
    }
};

}  // namespace corvid::test
