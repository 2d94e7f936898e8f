#include "platform/volume_tools.h"

#include <algorithm>
#include <fstream>
#include <vector>

#include <array>
#include <string>

namespace corvid {

namespace {

constexpr std::uint64_t kMiB = 1ull << 20;
constexpr std::uint64_t kGiB = 1ull << 30;
constexpr std::size_t kLabelBytes = 11;

struct SizeStep {
    std::uint64_t below;  // volumes smaller than this
    std::uint32_t clusterBytes;
};

// What a system format picks for FAT16 and FAT32 when no unit is given.
constexpr std::array<SizeStep, 5> kFat16Steps{{
    {128 * kMiB, 2048},
    {256 * kMiB, 4096},
    {512 * kMiB, 8192},
    {1024 * kMiB, 16384},
    {2048 * kMiB, 32768},
}};
constexpr std::uint32_t kFat16LargestCluster = 65536;

constexpr std::array<SizeStep, 3> kFat32Steps{{
    {8 * kGiB, 4096},
    {16 * kGiB, 8192},
    {32 * kGiB, 16384},
}};
constexpr std::uint32_t kFat32LargestCluster = 32768;

template <std::size_t N>
std::uint32_t pick(const std::array<SizeStep, N>& steps, std::uint32_t largest,
                   std::uint64_t volumeBytes) {
    for (const SizeStep& step : steps) {
        if (volumeBytes < step.below) {
            return step.clusterBytes;
        }
    }
    return largest;
}

bool isLeadByte(unsigned char byte) {
    return byte >= 0x81 && byte <= 0xFE;
}

bool isTrailByte(unsigned char byte, CodePage codePage) {
    if (codePage == CodePage::Big5) {
        return (byte >= 0x40 && byte <= 0x7E) || (byte >= 0xA1 && byte <= 0xFE);
    }
    return byte >= 0x40 && byte <= 0xFE && byte != 0x7F;
}

bool isDoubleByte(std::optional<CodePage> codePage) {
    return codePage == CodePage::Gbk || codePage == CodePage::Big5;
}

// What FAT and the system's set-label call refuse in a label.
bool isForbidden(unsigned char byte) {
    constexpr std::string_view kForbidden = "*?/\\|.,;:+=[]<>\"";
    return byte < 0x20 || byte == 0x7F ||
           kForbidden.find(static_cast<char>(byte)) != std::string_view::npos;
}

VolumeLabelCheck refused(std::string_view label, const std::string& why) {
    return {false, {}, "The volume label \"" + std::string(label) + "\" " + why + "."};
}

}  // namespace

std::uint32_t clusterBytesFor(FileSystemChoice choice, std::uint64_t volumeBytes) {
    switch (choice) {
        case FileSystemChoice::Fat16Unit1K:
            return 1024;
        case FileSystemChoice::Fat16Unit8K:
            return 8192;
        case FileSystemChoice::Fat16SystemUnit:
            return pick(kFat16Steps, kFat16LargestCluster, volumeBytes);
        case FileSystemChoice::Fat32SystemUnit:
            return pick(kFat32Steps, kFat32LargestCluster, volumeBytes);
    }
    return pick(kFat16Steps, kFat16LargestCluster, volumeBytes);
}

VolumeLabelCheck checkVolumeLabel(std::string_view label, std::optional<CodePage> codePage) {
    std::string_view text = label;
    while (!text.empty() && text.back() == ' ') {
        text.remove_suffix(1);
    }
    if (text.size() > kLabelBytes) {
        return refused(label, "is " + std::to_string(text.size()) +
                                  " bytes long; a FAT volume label holds at most 11");
    }
    std::string stored;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (isDoubleByte(codePage) && isLeadByte(byte)) {
            if (i + 1 >= text.size() ||
                !isTrailByte(static_cast<unsigned char>(text[i + 1]), *codePage)) {
                return refused(label, "breaks off inside a character of " +
                                          codePageName(*codePage) + " at byte " +
                                          std::to_string(i + 1));
            }
            stored += text.substr(i, 2);
            ++i;
            continue;
        }
        if (isForbidden(byte)) {
            const std::string shown = byte < 0x20 || byte == 0x7F
                                          ? "a control character"
                                          : "the character " + std::string(1, text[i]);
            return refused(label, "holds " + shown + ", which a FAT volume label cannot hold");
        }
        stored += byte >= 'a' && byte <= 'z' ? static_cast<char>(byte - 'a' + 'A') : text[i];
    }
    return {true, stored, {}};
}

bool sameFileContents(const std::filesystem::path& source, const std::filesystem::path& copy,
                      std::string& why) {
    std::ifstream a(source, std::ios::binary);
    std::ifstream b(copy, std::ios::binary);
    if (!a || !b) {
        why = "cannot read " + (!a ? source : copy).string() + " to compare it";
        return false;
    }
    constexpr std::size_t kChunk = 1 << 16;
    std::vector<char> bufferA(kChunk);
    std::vector<char> bufferB(kChunk);
    for (std::uint64_t offset = 0;; offset += kChunk) {
        a.read(bufferA.data(), kChunk);
        b.read(bufferB.data(), kChunk);
        const auto gotA = a.gcount();
        const auto gotB = b.gcount();
        if (gotA != gotB || !std::equal(bufferA.begin(), bufferA.begin() + gotA, bufferB.begin())) {
            why = copy.filename().string() + " read back differs from " + source.string() +
                  " within the 64 KiB from byte " + std::to_string(offset);
            return false;
        }
        if (gotA < static_cast<std::streamsize>(kChunk)) {
            return true;
        }
    }
}

}  // namespace corvid
