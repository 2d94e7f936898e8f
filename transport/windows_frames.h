#pragma once

// The two Windows pass-through frames, built without any Windows header so their bytes can be
// checked anywhere. A frame is the driver kit's SCSI_PASS_THROUGH or SCSI_PASS_THROUGH_DIRECT
// header followed by a filler, a 32-byte sense area and (buffered form) a 512-byte data area, as
// in the kit's pass-through-with-buffers sample. The header has two layouts: the 32-bit one
// (44 bytes; frames of 592 and 80 bytes, offsets 44/48/80), which a 32-bit program hands the
// driver, and the 64-bit one (56 bytes: DataBufferOffset and DataBuffer are pointer-sized and
// 8-aligned), which a 64-bit program must hand it. transport_win32.cpp checks each layout against
// the kit's own structures of its program. All fields are little-endian, as on every host we
// build for.

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

inline constexpr std::size_t kSenseAreaSize = 32;
// The direct form asks for sense bytes it never reads.
inline constexpr std::uint8_t kDirectSenseLength = 24;

#pragma pack(push, 1)

// SCSI_PASS_THROUGH, 32-bit layout. DataBufferOffset is the offset of the data area in the frame.
struct ScsiPassThrough32 {
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

// SCSI_PASS_THROUGH_DIRECT, 32-bit layout. DataBuffer is the caller's buffer address.
struct ScsiPassThroughDirect32 {
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

// SCSI_PASS_THROUGH, 64-bit layout: the pointer-sized DataBufferOffset is aligned to 8, and the
// structure is padded to a multiple of 8.
struct ScsiPassThrough64 {
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
    std::uint8_t padding[4];
    std::uint64_t dataBufferOffset;
    std::uint32_t senseInfoOffset;
    std::uint8_t cdb[16];
    std::uint8_t tail[4];
};

// SCSI_PASS_THROUGH_DIRECT, 64-bit layout.
struct ScsiPassThroughDirect64 {
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
    std::uint8_t padding[4];
    std::uint64_t dataBuffer;
    std::uint32_t senseInfoOffset;
    std::uint8_t cdb[16];
    std::uint8_t tail[4];
};

// The pass-through-with-buffers frame: header, filler, sense area, data area.
struct BufferedFrame32 {
    using Address = std::uint32_t;
    static constexpr std::uint32_t kHeaderSize = 44;
    static constexpr std::uint32_t kSenseOffset = 48;
    static constexpr std::uint32_t kDataOffset = 80;

    ScsiPassThrough32 header;
    std::uint8_t filler[4];
    std::uint8_t sense[kSenseAreaSize];
    std::uint8_t data[kBufferedDataAreaSize];
};

struct DirectFrame32 {
    using Address = std::uint32_t;
    static constexpr std::uint32_t kHeaderSize = 44;
    static constexpr std::uint32_t kSenseOffset = 48;

    ScsiPassThroughDirect32 header;
    std::uint8_t filler[4];
    std::uint8_t sense[kSenseAreaSize];
};

struct BufferedFrame64 {
    using Address = std::uint64_t;
    static constexpr std::uint32_t kHeaderSize = 56;
    static constexpr std::uint32_t kSenseOffset = 60;
    static constexpr std::uint32_t kDataOffset = 92;

    ScsiPassThrough64 header;
    std::uint8_t filler[4];
    std::uint8_t sense[kSenseAreaSize];
    std::uint8_t data[kBufferedDataAreaSize];
    std::uint8_t tail[4];  // the 8-byte multiple of the kit's structure
};

struct DirectFrame64 {
    using Address = std::uint64_t;
    static constexpr std::uint32_t kHeaderSize = 56;
    static constexpr std::uint32_t kSenseOffset = 60;

    ScsiPassThroughDirect64 header;
    std::uint8_t filler[4];
    std::uint8_t sense[kSenseAreaSize];
    std::uint8_t tail[4];
};

#pragma pack(pop)

static_assert(sizeof(ScsiPassThrough32) == BufferedFrame32::kHeaderSize);
static_assert(sizeof(ScsiPassThroughDirect32) == DirectFrame32::kHeaderSize);
static_assert(offsetof(ScsiPassThrough32, dataTransferLength) == 12);
static_assert(offsetof(ScsiPassThrough32, cdb) == 28);
static_assert(offsetof(ScsiPassThroughDirect32, dataBuffer) == 20);
static_assert(sizeof(BufferedFrame32) == 592);
static_assert(offsetof(BufferedFrame32, sense) == BufferedFrame32::kSenseOffset);
static_assert(offsetof(BufferedFrame32, data) == BufferedFrame32::kDataOffset);
static_assert(sizeof(DirectFrame32) == 80);
static_assert(offsetof(DirectFrame32, sense) == DirectFrame32::kSenseOffset);

static_assert(sizeof(ScsiPassThrough64) == BufferedFrame64::kHeaderSize);
static_assert(sizeof(ScsiPassThroughDirect64) == DirectFrame64::kHeaderSize);
static_assert(offsetof(ScsiPassThrough64, dataBufferOffset) == 24);
static_assert(offsetof(ScsiPassThrough64, senseInfoOffset) == 32);
static_assert(offsetof(ScsiPassThrough64, cdb) == 36);
static_assert(offsetof(ScsiPassThroughDirect64, dataBuffer) == 24);
static_assert(sizeof(BufferedFrame64) == 608);
static_assert(offsetof(BufferedFrame64, sense) == BufferedFrame64::kSenseOffset);
static_assert(offsetof(BufferedFrame64, data) == BufferedFrame64::kDataOffset);
static_assert(sizeof(DirectFrame64) == 96);
static_assert(offsetof(DirectFrame64, sense) == DirectFrame64::kSenseOffset);

// Zeroes the frame and fills it for a buffered request (always data-in; request.data unused).
void buildBufferedFrame(const ScsiRequest& request, BufferedFrame32& frame);
void buildBufferedFrame(const ScsiRequest& request, BufferedFrame64& frame);

// The call hands the header alone as input, and the header to the end of the data as output.
template <typename Frame>
constexpr std::uint32_t bufferedInputLength() {
    return Frame::kHeaderSize;
}
template <typename Frame>
constexpr std::uint32_t bufferedOutputLength(const ScsiRequest& request) {
    return Frame::kDataOffset + request.transferLength;
}

// Zeroes the frame and fills it for a direct request whose buffer is at dataBufferAddress.
void buildDirectFrame(const ScsiRequest& request, std::uint32_t dataBufferAddress,
                      DirectFrame32& frame);
void buildDirectFrame(const ScsiRequest& request, std::uint64_t dataBufferAddress,
                      DirectFrame64& frame);

// The direct frame goes in and comes back whole.
template <typename Frame>
constexpr std::uint32_t directInOutLength() {
    return sizeof(Frame);
}

}  // namespace corvid::win
