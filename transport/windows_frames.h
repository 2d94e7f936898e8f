#pragma once

// The two Windows pass-through frames, built without any Windows header so their bytes can be
// checked anywhere. The layout is the 32-bit one of the driver kit's SCSI_PASS_THROUGH and
// SCSI_PASS_THROUGH_DIRECT (44-byte header), which the station uses; the Windows backend is
// therefore a 32-bit program. All fields are little-endian, as on every host we build for.

#include <bit>
#include <cstddef>
#include <cstdint>

#include "transport/scsi_request.h"

namespace corvid::win {

static_assert(std::endian::native == std::endian::little,
              "the frames are written in host byte order, which must be little-endian");

inline constexpr std::uint32_t kIoctlScsiPassThrough = 0x4D004;
inline constexpr std::uint32_t kIoctlScsiPassThroughDirect = 0x4D014;

inline constexpr std::uint8_t kScsiIoctlDataOut = 0;
inline constexpr std::uint8_t kScsiIoctlDataIn = 1;

inline constexpr std::size_t kHeaderSize = 44;
inline constexpr std::size_t kSenseOffset = 48;
inline constexpr std::size_t kSenseAreaSize = 32;
inline constexpr std::size_t kBufferedDataOffset = 80;
inline constexpr std::size_t kBufferedFrameSize = 592;
inline constexpr std::size_t kDirectFrameSize = 80;
// The direct form asks for sense bytes it never reads.
inline constexpr std::uint8_t kDirectSenseLength = 24;

#pragma pack(push, 1)

// SCSI_PASS_THROUGH (32-bit layout). DataBufferOffset is the offset of the data area in the frame.
struct ScsiPassThrough {
    std::uint16_t length;
    std::uint8_t scsiStatus;
    std::uint8_t pathId;
    std::uint8_t targetId;
    std::uint8_t lun;
    std::uint8_t cdbLength;
    std::uint8_t senseInfoLength;
    std::uint8_t dataIn;
    std::uint8_t alignment[3];
    std::uint32_t dataTransferLength;
    std::uint32_t timeOutValue;
    std::uint32_t dataBufferOffset;
    std::uint32_t senseInfoOffset;
    std::uint8_t cdb[16];
};

// SCSI_PASS_THROUGH_DIRECT (32-bit layout). DataBuffer is the caller's buffer address.
struct ScsiPassThroughDirect {
    std::uint16_t length;
    std::uint8_t scsiStatus;
    std::uint8_t pathId;
    std::uint8_t targetId;
    std::uint8_t lun;
    std::uint8_t cdbLength;
    std::uint8_t senseInfoLength;
    std::uint8_t dataIn;
    std::uint8_t alignment[3];
    std::uint32_t dataTransferLength;
    std::uint32_t timeOutValue;
    std::uint32_t dataBuffer;
    std::uint32_t senseInfoOffset;
    std::uint8_t cdb[16];
};

// The pass-through-with-buffers frame: header, filler, sense area, data area.
struct BufferedFrame {
    ScsiPassThrough header;
    std::uint8_t filler[4];
    std::uint8_t sense[kSenseAreaSize];
    std::uint8_t data[kBufferedDataAreaSize];
};

struct DirectFrame {
    ScsiPassThroughDirect header;
    std::uint8_t filler[4];
    std::uint8_t sense[kSenseAreaSize];
};

#pragma pack(pop)

static_assert(sizeof(ScsiPassThrough) == kHeaderSize);
static_assert(sizeof(ScsiPassThroughDirect) == kHeaderSize);
static_assert(offsetof(ScsiPassThrough, dataTransferLength) == 12);
static_assert(offsetof(ScsiPassThrough, cdb) == 28);
static_assert(offsetof(ScsiPassThroughDirect, dataBuffer) == 20);
static_assert(sizeof(BufferedFrame) == kBufferedFrameSize);
static_assert(offsetof(BufferedFrame, sense) == kSenseOffset);
static_assert(offsetof(BufferedFrame, data) == kBufferedDataOffset);
static_assert(sizeof(DirectFrame) == kDirectFrameSize);
static_assert(offsetof(DirectFrame, sense) == kSenseOffset);

// Zeroes the frame and fills it for a buffered request (always data-in; request.data unused).
void buildBufferedFrame(const ScsiRequest& request, BufferedFrame& frame);
// The call hands the header alone as input and the header to the end of the data as output.
inline constexpr std::uint32_t kBufferedInputLength = kHeaderSize;
constexpr std::uint32_t bufferedOutputLength(const ScsiRequest& request) {
    return kBufferedDataOffset + request.transferLength;
}

// Zeroes the frame and fills it for a direct request whose buffer is at dataBufferAddress.
void buildDirectFrame(const ScsiRequest& request, std::uint32_t dataBufferAddress,
                      DirectFrame& frame);
// The direct frame goes in and comes back whole.
inline constexpr std::uint32_t kDirectInOutLength = kDirectFrameSize;

}  // namespace corvid::win
