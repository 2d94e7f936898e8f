#include "transport/windows_frames.h"

#include <algorithm>
#include <cstring>

namespace corvid::win {

namespace {

template <typename Frame>
void fillCommon(const ScsiRequest& request, Frame& frame) {
    std::memset(&frame, 0, sizeof frame);
    auto& header = frame.header;
    header.length = Frame::kHeaderSize;
    header.cdbLength = request.cdbLength;
    header.dataTransferLength = request.transferLength;
    header.timeOutValue = request.timeoutSeconds;
    header.senseInfoOffset = Frame::kSenseOffset;
    std::copy_n(request.cdb.begin(), std::min<std::size_t>(request.cdbLength, sizeof header.cdb),
                header.cdb);
}

template <typename Frame>
void fillBuffered(const ScsiRequest& request, Frame& frame) {
    fillCommon(request, frame);
    // No sense data is asked for; every buffered command is data-in, length 0 included.
    frame.header.senseInfoLength = 0;
    frame.header.dataIn = kScsiIoctlDataIn;
    frame.header.dataBufferOffset = Frame::kDataOffset;
}

template <typename Frame>
void fillDirect(const ScsiRequest& request, typename Frame::Address dataBufferAddress,
                Frame& frame) {
    fillCommon(request, frame);
    frame.header.senseInfoLength = kDirectSenseLength;
    frame.header.dataIn =
        request.direction == DataDirection::In ? kScsiIoctlDataIn : kScsiIoctlDataOut;
    frame.header.dataBuffer = dataBufferAddress;
}

}  // namespace

void buildBufferedFrame(const ScsiRequest& request, BufferedFrame32& frame) {
    fillBuffered(request, frame);
}

void buildBufferedFrame(const ScsiRequest& request, BufferedFrame64& frame) {
    fillBuffered(request, frame);
}

void buildDirectFrame(const ScsiRequest& request, std::uint32_t dataBufferAddress,
                      DirectFrame32& frame) {
    fillDirect(request, dataBufferAddress, frame);
}

void buildDirectFrame(const ScsiRequest& request, std::uint64_t dataBufferAddress,
                      DirectFrame64& frame) {
    fillDirect(request, dataBufferAddress, frame);
}

}  // namespace corvid::win
