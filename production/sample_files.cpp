#include "production/sample_files.h"

#include <array>
#include <fstream>
#include <stdexcept>
#include <string>

#include "station/capacity_multiplier.h"
#include "station/window_captions.h"

namespace corvid {

namespace {

constexpr std::size_t kFsmSize = 12288;
constexpr std::size_t kFirmwareSize = 65536;
constexpr std::size_t kPreferSize = 3000;
constexpr std::size_t kPassImageSize = 16384;

// A small xorshift generator: the filler of the sample files is the same on every machine.
class Filler {
  public:
    explicit Filler(std::uint32_t seed) : state_(seed) {}
    std::uint8_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return static_cast<std::uint8_t>(state_ >> 24);
    }

  private:
    std::uint32_t state_;
};

struct Patch {
    std::size_t offset;
    std::string_view bytes;
};

// Writes 'size' filler bytes, chunk by chunk, with the patches laid over them.
void writeFilled(const std::filesystem::path& path, std::size_t size, std::uint32_t seed,
                 std::initializer_list<Patch> patches) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    Filler filler(seed);
    std::array<char, 4096> chunk{};
    for (std::size_t start = 0; start < size && out; start += chunk.size()) {
        const std::size_t length = std::min(chunk.size(), size - start);
        for (std::size_t i = 0; i < length; ++i) {
            chunk[i] = static_cast<char>(filler.next());
        }
        for (const auto& patch : patches) {
            for (std::size_t i = 0; i < patch.bytes.size(); ++i) {
                const std::size_t at = patch.offset + i;
                if (at >= start && at < start + length) {
                    chunk[at - start] = patch.bytes[i];
                }
            }
        }
        out.write(chunk.data(), static_cast<std::streamsize>(length));
    }
    if (!out.flush()) {
        throw std::runtime_error("The sample file " + path.string() + " cannot be written.");
    }
}

}  // namespace

void writeSampleFsm(const std::filesystem::path& path) {
    std::string version(kSampleFsmVersion);
    version.push_back('\0');
    writeFilled(path, kFsmSize, 0x46534D31u, {{kFsmVersionOffset, version}});
}

void writeSampleFirmware(const std::filesystem::path& path, std::uint8_t capMultiplierIndex) {
    const std::string multiplier{static_cast<char>(kCapMultiplierMark0),
                                 static_cast<char>(kCapMultiplierMark1),
                                 static_cast<char>(capMultiplierIndex)};
    writeFilled(path, kFirmwareSize, 0x50524F47u,
                {{0, kFirmwareChipName}, {kCapMultiplierOffset, multiplier}});
}

void writeSamplePreferDat(const std::filesystem::path& path) {
    writeFilled(path, kPreferSize, 0x50524546u, {});
}

void writeSamplePassImage(const std::filesystem::path& path) {
    writeFilled(path, kPassImageSize, 0x50415353u, {});
}

void writeFormatResponses(const std::filesystem::path& path) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    // The format command asks for the current label, then whether to go on: an empty line, "Y".
    out << "\r\nY\r\n";
    if (!out.flush()) {
        throw std::runtime_error("The sample file " + path.string() + " cannot be written.");
    }
}

}  // namespace corvid
