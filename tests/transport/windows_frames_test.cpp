// The Windows pass-through frames, byte by byte, built from the requests the command routines
// actually send.

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
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

// Little-endian bytes of a number, for the expected headers.
std::vector<std::uint8_t> le(std::uint64_t value, std::size_t width) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < width; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
    return bytes;
}

std::vector<std::uint8_t> joined(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> bytes;
    for (const auto& part : parts) {
        bytes.insert(bytes.end(), part.begin(), part.end());
    }
    return bytes;
}

// The header of either layout: the 64-bit one has 4 bytes of padding before the pointer-sized
// field, which takes 8 bytes.
std::vector<std::uint8_t> header(bool layout64, std::uint8_t cdbLength, std::uint8_t senseLength,
                                 std::uint8_t dataIn, std::uint32_t transferLength,
                                 std::uint32_t timeout, std::uint64_t bufferField,
                                 std::uint32_t senseOffset, std::vector<std::uint8_t> cdb) {
    cdb.resize(16, 0);
    return joined({le(layout64 ? 56 : 44, 2),
                   {0x00, 0x00, 0x00, 0x00},  // ScsiStatus, PathId, TargetId, Lun
                   {cdbLength, senseLength, dataIn},
                   {0x00, 0x00, 0x00},  // alignment
                   le(transferLength, 4),
                   le(timeout, 4),
                   layout64 ? std::vector<std::uint8_t>(4, 0) : std::vector<std::uint8_t>{},
                   le(bufferField, layout64 ? 8 : 4),
                   le(senseOffset, 4),
                   cdb});
}

// Each case in both layouts: the 32-bit frames (592 and 80 bytes, offsets 44/48/80) and the
// 64-bit ones (608 and 96 bytes, offsets 56/60/92).
template <typename Frame>
void expectBufferedFrame(const ScsiRequest& request, bool layout64, std::uint8_t cdbLength,
                         std::uint32_t transferLength, std::vector<std::uint8_t> cdb) {
    Frame frame;
    std::memset(&frame, 0xCC, sizeof frame);  // building must zero it first
    win::buildBufferedFrame(request, frame);
    const std::uint32_t dataOffset = layout64 ? 92 : 80;
    EXPECT_EQ(bytesOf(frame),
              expectedFrame(layout64 ? 608 : 592,
                            header(layout64, cdbLength, 0, 1, transferLength, 12, dataOffset,
                                   layout64 ? 60 : 48, std::move(cdb))));
    EXPECT_EQ(win::bufferedInputLength<Frame>(), layout64 ? 56u : 44u);
    EXPECT_EQ(win::bufferedOutputLength<Frame>(request), dataOffset + transferLength);
}

TEST(WindowsFrames, BufferedEraseBlock) {
    const ScsiRequest request = sentBy([](Transport& t) { eraseBlock(t, 1, 0xABCDEF, 0x0102); });
    const std::vector<std::uint8_t> cdb = {0xEF, 0x94, 0x00, 0xAB, 0xCD, 0xEF, 0x01, 0x02};
    expectBufferedFrame<win::BufferedFrame32>(request, false, 10, 1, cdb);
    expectBufferedFrame<win::BufferedFrame64>(request, true, 10, 1, cdb);
}

TEST(WindowsFrames, BufferedResetIsDataInWithLengthZero) {
    const ScsiRequest request = sentBy([](Transport& t) { resetDevice(t, 1); });
    expectBufferedFrame<win::BufferedFrame32>(request, false, 6, 0, {0xEF, 0x81});
    expectBufferedFrame<win::BufferedFrame64>(request, true, 6, 0, {0xEF, 0x81});
}

template <typename Frame>
void expectDirectFrame(const ScsiRequest& request, bool layout64, typename Frame::Address buffer,
                       std::uint8_t cdbLength, std::uint8_t dataIn, std::uint32_t transferLength,
                       std::uint32_t timeout, std::vector<std::uint8_t> cdb) {
    Frame frame;
    std::memset(&frame, 0xCC, sizeof frame);
    win::buildDirectFrame(request, buffer, frame);
    EXPECT_EQ(bytesOf(frame),
              expectedFrame(layout64 ? 96 : 80,
                            header(layout64, cdbLength, 24, dataIn, transferLength, timeout, buffer,
                                   layout64 ? 60 : 48, std::move(cdb))));
    EXPECT_EQ(win::directInOutLength<Frame>(), layout64 ? 96u : 80u);
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
    const std::vector<std::uint8_t> cdb = {0xEF, 0x93, 0x00, 0x01, 0x23, 0x45, 0x00, 0x01,
                                           0xAA, 0x55, 0x03, 0x03, 0x01, 0x09, 0x01, 0x00};
    expectDirectFrame<win::DirectFrame32>(request, false, 0x12345678, 16, 1, 257, 30, cdb);
    expectDirectFrame<win::DirectFrame64>(request, true, 0x00007FF612345678, 16, 1, 257, 30, cdb);
}

TEST(WindowsFrames, DirectEmptyChunkIsDataOutWithLengthZero) {
    const ScsiRequest request = sentBy([](Transport& t) { fileWrite(t, 1, {}); });
    expectDirectFrame<win::DirectFrame32>(request, false, 0x00402000, 6, 0, 0, 12, {0xEE, 0x7B});
    expectDirectFrame<win::DirectFrame64>(request, true, 0x0000000140402000, 6, 0, 0, 12,
                                          {0xEE, 0x7B});
}

TEST(WindowsFrames, RequestCodes) {
    EXPECT_EQ(win::kIoctlScsiPassThrough, 0x4D004u);
    EXPECT_EQ(win::kIoctlScsiPassThroughDirect, 0x4D014u);
}

}  // namespace
}  // namespace corvid
