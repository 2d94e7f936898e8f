#include "production/spi_downloads.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <limits>
#include <span>
#include <system_error>

#include "characterisation/worker_state.h"
#include "platform/ascii_text.h"
#include "production/file_downloads.h"
#include "station/station_folder.h"
#include "transport/vendor_commands.h"

namespace corvid {

namespace {

constexpr std::string_view kSpiHeaderMagic = "5V06";
constexpr std::uint8_t kSpiIndexBias = 3;
constexpr std::uint8_t kSpiIndexMask = 0x3F;
constexpr std::uint64_t kSpiImageAlignment = 65536;
constexpr std::uint64_t kSpiImageExtra = 131072;
constexpr std::uint16_t kSpiUnitsPerRead = kDownloadChunkSize / kSpiUnitSize;
constexpr std::uint64_t kSpiMaxUnits = 0x10000;  // the first unit travels in 16 bits
constexpr char kOpenFileFail[] = "Open file fail!";

std::string lowerExtension(const std::filesystem::path& file) {
    return asciiLower(file.extension().string());
}

// Writes one list entry; false (with the status set) on failure.
bool writeSpiFile(WorkerState& w, const std::filesystem::path& file, std::uint8_t fileType,
                  const std::string& failText) {
    std::ifstream in(file, std::ios::binary);
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    if (!in || error || size > std::numeric_limits<std::uint32_t>::max() - sizeof(SpiFileHeader)) {
        w.setStatus(failText);
        return false;
    }
    const auto fileSize = static_cast<std::uint32_t>(size);
    if (!fileWriteSetup(w.transport, w.hDevice, fileSize + sizeof(SpiFileHeader))) {
        w.setStatus(failText);
        return false;
    }
    const SpiFileHeader header = makeSpiFileHeader(fileType, fileSize);
    const std::span<const std::uint8_t> headerBytes(reinterpret_cast<const std::uint8_t*>(&header),
                                                    sizeof(header));
    if (!fileWrite(w.transport, w.hDevice, headerBytes) ||
        !sendStreamChunks(w.transport, w.hDevice, in, SUB_SCSI_OP_FILE_WRITE)) {
        w.setStatus(failText);
        return false;
    }
    in.close();
    if (!bFileWriteEnd(w.transport, w.hDevice)) {
        w.setStatus(failText);
        w.setStatusColour(StatusColour::Red);
        return false;
    }
    return true;
}

}  // namespace

std::optional<std::uint8_t> spiFileType(const std::filesystem::path& file, std::size_t index) {
    const std::string extension = lowerExtension(file);
    std::uint8_t type = 0;
    if (extension == ".wma") {
        type = kSpiTypeWma;
    } else if (extension == ".mp3") {
        type = kSpiTypeMp3;
    } else {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(type | ((index + kSpiIndexBias) & kSpiIndexMask));
}

SpiFileHeader makeSpiFileHeader(std::uint8_t fileType, std::uint32_t fileSize) {
    SpiFileHeader header{};
    std::memcpy(header.magic.data(), kSpiHeaderMagic.data(), header.magic.size());
    header.fileType = fileType;
    for (std::size_t i = 0; i < header.sizeBigEndian.size(); ++i) {
        header.sizeBigEndian[i] = static_cast<std::uint8_t>(fileSize >> (8 * (3 - i)));
    }
    return header;
}

bool bWriteSpiFiles(WorkerState& w) {
    const StationFolder folder(w.seams.home);
    const std::string title = w.fixed(FixedText::SpiHiddenFilesWrite);
    const std::string failText = title + w.message(MessageKey::FailMsg);
    const auto& list = w.seams.settings.record.SpiFileList;
    for (std::size_t i = 0; i < list.size(); ++i) {
        w.pause(std::chrono::milliseconds(100));
        w.setStatus(title + " " + std::to_string(i));
        w.setStatusColour(StatusColour::WindowText);
        const std::filesystem::path file = folder.resolve(list[i]);
        std::error_code error;
        if (!std::filesystem::exists(file, error)) {
            continue;
        }
        const auto type = spiFileType(file, i);
        if (!type) {
            continue;
        }
        if (!writeSpiFile(w, file, *type, failText)) {
            return false;
        }
    }
    return true;
}

std::uint64_t spiImageSize(std::uint64_t firmwareSize) {
    return (firmwareSize + kSpiImageAlignment - 1) / kSpiImageAlignment * kSpiImageAlignment +
           kSpiImageExtra;
}

bool bSaveSpiImage(WorkerState& w, const std::filesystem::path& output) {
    // The read goes to a name of its own and replaces the last good image only when complete:
    // a device pulled out half-way leaves the old file.
    std::filesystem::path partial = output;
    partial += ".partial";
    const auto abandon = [&partial](std::ofstream& file) {
        file.close();
        std::error_code ignored;
        std::filesystem::remove(partial, ignored);
        return false;
    };
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    if (!out) {
        w.setStatus(kOpenFileFail);
        return false;
    }
    std::error_code error;
    const auto firmwareSize = std::filesystem::file_size(w.sProgramPath, error);
    std::ifstream firmware(w.sProgramPath, std::ios::binary);
    if (error || !firmware) {
        w.setStatus(kOpenFileFail);
        return abandon(out);
    }
    firmware.close();
    const std::uint64_t units = spiImageSize(firmwareSize) / kSpiUnitSize;
    if (units > kSpiMaxUnits) {
        // Beyond what a read can address: say so rather than read the wrong units.
        w.setStatus(w.fixed(FixedText::FlashSizeError));
        return abandon(out);
    }
    std::array<std::uint8_t, kDownloadChunkSize> chunk{};
    for (std::uint64_t unit = 0; unit < units; unit += kSpiUnitsPerRead) {
        if (!spiRead(w.transport, w.hDevice, static_cast<std::uint16_t>(unit), kSpiUnitsPerRead,
                     chunk)) {
            w.setStatus(w.fixed(FixedText::SpiReadError));
            return abandon(out);
        }
        if (!out.write(reinterpret_cast<const char*>(chunk.data()), chunk.size())) {
            w.setStatus(kOpenFileFail);
            return abandon(out);
        }
    }
    out.close();
    if (out.fail()) {
        w.setStatus(kOpenFileFail);
        return abandon(out);
    }
    std::filesystem::rename(partial, output, error);
    if (error) {
        w.setStatus(kOpenFileFail);
        return abandon(out);
    }
    return true;
}

}  // namespace corvid
