#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace corvid::test {

// A fresh folder under the system's temporary folder, removed with everything in it when the
// object goes (also when the test fails).
class TempDir {
  public:
    explicit TempDir(const std::string& prefix = "corvid");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// A fresh folder per test, removed afterwards.
class TempDirTest : public ::testing::Test {
  protected:
    TempDir temp_;
    const std::filesystem::path dir_ = temp_.path();
};

}  // namespace corvid::test
