#pragma once

// The input of one fuzz run as a file, for the readers that take a file name. Each process writes
// to a folder of its own under the temporary folder, so several fuzzers never share a file; the
// folder goes when the process ends normally.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

namespace corvid::fuzz {

class ScratchFolder {
  public:
    ScratchFolder() {
        std::random_device random;
        const auto name = "corvid-fuzz-" + std::to_string(random()) + std::to_string(random());
        path_ = std::filesystem::temp_directory_path() / name;
        std::filesystem::create_directories(path_);
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// The folder of this process, made at first use.
inline const std::filesystem::path& scratch() {
    static const ScratchFolder folder;
    return folder.path();
}

// Replaces 'file' with the bytes of the input.
inline void writeInput(const std::filesystem::path& file, const std::uint8_t* data,
                       std::size_t size) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out.flush()) {
        throw std::runtime_error("cannot write the fuzz input " + file.string());
    }
}

}  // namespace corvid::fuzz
