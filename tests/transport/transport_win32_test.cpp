// The Windows pass-through service without a device: the drives it must never open, and the
// invalid handle. (Wine has no USB pass-through; the frames themselves are checked byte by byte
// in windows_frames_test.cpp.)

#include <gtest/gtest.h>

#include <array>

#include "transport/transport_win32.h"

namespace corvid {
namespace {

TEST(Win32Transport, OpensNoDriveTheStationMustNotTouch) {
    Win32Transport transport;
    // C: holds the Windows folder; Q: holds nothing; '1' is no drive letter.
    for (const char letter : {'C', 'Q', '1'}) {
        SCOPED_TRACE(letter);
        EXPECT_EQ(transport.open(letter), kInvalidHandle);
    }
}

TEST(Win32Transport, TheInvalidHandleSendsNothing) {
    Win32Transport transport;
    std::array<std::uint8_t, kBufferedDataAreaSize> area{};
    ScsiRequest request;
    request.cdbLength = 6;
    request.transferLength = 4;
    request.data = area.data();
    EXPECT_FALSE(transport.sendBuffered(kInvalidHandle, request));
    EXPECT_FALSE(transport.sendDirect(kInvalidHandle, request));
    transport.close(kInvalidHandle);  // nothing to close: nothing happens
}

}  // namespace
}  // namespace corvid
