#include "production/file_downloads.h"

#include <array>
#include <fstream>
#include <limits>
#include <span>
#include <system_error>

namespace corvid {

namespace {

constexpr std::uint32_t kUnannouncedSize = 0xFFFFFFFF;

// The 16-bit byte sum of a whole file, read chunk by chunk; false when it cannot be read.
bool fileByteSum(const std::filesystem::path& file, std::uint16_t& sum) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return false;
    }
    std::array<std::uint8_t, kDownloadChunkSize> chunk{};
    sum = 0;
    while (in) {
        in.read(reinterpret_cast<char*>(chunk.data()), chunk.size());
        const auto got = static_cast<std::size_t>(in.gcount());
        sum = byteSum16(std::span(chunk.data(), got), sum);
    }
    return in.eof();
}

}  // namespace

bool sendStreamChunks(Transport& transport, DeviceHandle handle, std::istream& in,
                      VendorSubCode command) {
    std::array<std::uint8_t, kDownloadChunkSize> chunk{};
    while (!in.eof()) {
        in.read(reinterpret_cast<char*>(chunk.data()), chunk.size());
        if (in.bad()) {
            return false;
        }
        const auto got = static_cast<std::size_t>(in.gcount());
        if (!sendDataOut(transport, handle, command,
                         std::span<const std::uint8_t>(chunk.data(), got))) {
            return false;
        }
    }
    return true;
}

bool bSendFileChunks(Transport& transport, DeviceHandle handle, const std::filesystem::path& file,
                     VendorSubCode command) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return false;
    }
    return sendStreamChunks(transport, handle, in, command);
}

bool bDownloadFsm(Transport& transport, char driveLetter, const std::filesystem::path& fsmFile,
                  std::uint32_t fsmSize) {
    ScopedDevice device(transport, driveLetter);
    if (!device.isOpen()) {
        return false;
    }
    if (!fsmWriteSetup(transport, device.handle(), fsmSize)) {
        return false;
    }
    if (!bSendFileChunks(transport, device.handle(), fsmFile, SUB_SCSI_OP_FSM_WRITE)) {
        return false;
    }
    std::uint16_t sum = 0;
    if (!fileByteSum(fsmFile, sum)) {
        return false;
    }
    return fsmChecksum(transport, device.handle(), sum);
}

std::uint32_t announcedFileSize(const std::filesystem::path& file) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error)) {
        return kUnannouncedSize;
    }
    const auto size = std::filesystem::file_size(file, error);
    if (error || size >= kUnannouncedSize) {
        return kUnannouncedSize;
    }
    return static_cast<std::uint32_t>(size);
}

bool bFileWriteSetup(Transport& transport, DeviceHandle handle, const std::filesystem::path& file) {
    return fileWriteSetup(transport, handle, announcedFileSize(file));
}

}  // namespace corvid
