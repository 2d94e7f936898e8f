// The Windows pass-through frames, byte by byte, built from the requests the command routines
// actually send.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/support/recording_transport.h"
#include "transport/standard_commands.h"
#include "transport/vendor_commands.h"
#include "transport/windows_frames.h"

namespace corvid {
namespace {

using test::RecordedRequest;
using test::RecordingTransport;

// The request the routine sent, as a backend receives it.
template <typename Send>
ScsiRequest sentBy(Send send) {
    RecordingTransport fake;
    send(fake);
    const RecordedRequest r = fake.requests().at(0);
    ScsiRequest request;
    request.cdb = r.cdb;
    request.cdbLength = r.cdbLength;
    request.direction = r.direction;
    request.transferLength = r.transferLength;
    request.timeoutSeconds = r.timeoutSeconds;
    return request;
}

template <typename Frame>
std::vector<std::uint8_t> bytesOf(const Frame& frame) {
    std::vector<std::uint8_t> bytes(sizeof frame);
    std::memcpy(bytes.data(), &frame, sizeof frame);
    return bytes;
}

// Expected frame: the header bytes given, zeros after.
std::vector<std::uint8_t> expectedFrame(std::size_t size, std::vector<std::uint8_t> header) {
    header.resize(size, 0);
    return header;
}

TEST(WindowsFrames, BufferedEraseBlock) {
    const ScsiRequest request = sentBy([](Transport& t) { eraseBlock(t, 1, 0xABCDEF, 0x0102); });
    win::BufferedFrame frame;
    std::memset(&frame, 0xCC, sizeof frame);  // building must zero it first
    win::buildBufferedFrame(request, frame);
    const std::vector<std::uint8_t> header = {
        0x2C, 0x00,              // Length 44
        0x00, 0x00, 0x00, 0x00,  // ScsiStatus, PathId, TargetId, Lun
        0x0A,                    // CdbLength 10
        0x00,                    // SenseInfoLength 0
        0x01,                    // DataIn
        0x00, 0x00, 0x00,        // alignment
        0x01, 0x00, 0x00, 0x00,  // DataTransferLength 1
        0x0C, 0x00, 0x00, 0x00,  // TimeOutValue 12
        0x50, 0x00, 0x00, 0x00,  // DataBufferOffset 80
        0x30, 0x00, 0x00, 0x00,  // SenseInfoOffset 48
        0xEF, 0x94, 0x00, 0xAB, 0xCD, 0xEF, 0x01, 0x02,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // Cdb
    };
    EXPECT_EQ(bytesOf(frame), expectedFrame(592, header));
    EXPECT_EQ(win::kBufferedInputLength, 44u);
    EXPECT_EQ(win::bufferedOutputLength(request), 81u);
}

TEST(WindowsFrames, BufferedResetIsDataInWithLengthZero) {
    const ScsiRequest request = sentBy([](Transport& t) { resetDevice(t, 1); });
    win::BufferedFrame frame;
    win::buildBufferedFrame(request, frame);
    const std::vector<std::uint8_t> header = {
        0x2C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x0C, 0x00, 0x00, 0x00, 0x50, 0x00, 0x00, 0x00, 0x30, 0x00, 0x00, 0x00, 0xEF, 0x81,
    };
    EXPECT_EQ(bytesOf(frame), expectedFrame(592, header));
    EXPECT_EQ(win::bufferedOutputLength(request), 80u);
}

TEST(WindowsFrames, DirectScanBlockWithSixteenByteCdb) {
    const ScsiRequest request = sentBy([](Transport& t) {
        std::vector<std::uint8_t> results(256);
        scanBlock(t, 1,
                  {.firstBlock = 0x00012345,
                   .blockCount = 1,
                   .pattern = 0xAA55,
                   .mode = 3,
                   .phase = 3,
                   .pageSkip = 1,
                   .eccLevel = 9,
                   .resultPerPage = true,
                   .pagesPerBlock = 256},
                  results);
    });
    win::DirectFrame frame;
    std::memset(&frame, 0xCC, sizeof frame);
    win::buildDirectFrame(request, 0x12345678, frame);
    const std::vector<std::uint8_t> header = {
        0x2C, 0x00,              // Length 44
        0x00, 0x00, 0x00, 0x00,  // ScsiStatus, PathId, TargetId, Lun
        0x10,                    // CdbLength 16
        0x18,                    // SenseInfoLength 24
        0x01,                    // DataIn
        0x00, 0x00, 0x00,        // alignment
        0x01, 0x01, 0x00, 0x00,  // DataTransferLength 257
        0x1E, 0x00, 0x00, 0x00,  // TimeOutValue 30
        0x78, 0x56, 0x34, 0x12,  // DataBuffer
        0x30, 0x00, 0x00, 0x00,  // SenseInfoOffset 48
        0xEF, 0x93, 0x00, 0x01, 0x23, 0x45, 0x00, 0x01,
        0xAA, 0x55, 0x03, 0x03, 0x01, 0x09, 0x01, 0x00,  // Cdb
    };
    EXPECT_EQ(bytesOf(frame), expectedFrame(80, header));
    EXPECT_EQ(win::kDirectInOutLength, 80u);
}

TEST(WindowsFrames, DirectEmptyChunkIsDataOutWithLengthZero) {
    const ScsiRequest request = sentBy([](Transport& t) { fileWrite(t, 1, {}); });
    win::DirectFrame frame;
    win::buildDirectFrame(request, 0x00402000, frame);
    const std::vector<std::uint8_t> header = {
        0x2C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0x18, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x20, 0x40, 0x00, 0x30, 0x00, 0x00, 0x00, 0xEE, 0x7B,
    };
    EXPECT_EQ(bytesOf(frame), expectedFrame(80, header));
}

TEST(WindowsFrames, RequestCodes) {
    EXPECT_EQ(win::kIoctlScsiPassThrough, 0x4D004u);
    EXPECT_EQ(win::kIoctlScsiPassThroughDirect, 0x4D014u);
}

}  // namespace
}  // namespace corvid
