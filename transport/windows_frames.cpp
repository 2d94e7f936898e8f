#include "transport/windows_frames.h"

#include <algorithm>
#include <cstring>

namespace corvid::win {

namespace {

template <typename Header>
void fillCommon(const ScsiRequest& request, Header& header) {
    header.length = kHeaderSize;
    header.cdbLength = request.cdbLength;
    header.dataTransferLength = request.transferLength;
    header.timeOutValue = request.timeoutSeconds;
    header.senseInfoOffset = kSenseOffset;
    std::copy_n(request.cdb.begin(), std::min<std::size_t>(request.cdbLength, sizeof header.cdb),
                header.cdb);
}

}  // namespace

void buildBufferedFrame(const ScsiRequest& request, BufferedFrame& frame) {
    std::memset(&frame, 0, sizeof frame);
    fillCommon(request, frame.header);
    // No sense data is asked for; every buffered command is data-in, length 0 included.
    frame.header.senseInfoLength = 0;
    frame.header.dataIn = kScsiIoctlDataIn;
    frame.header.dataBufferOffset = kBufferedDataOffset;
}

void buildDirectFrame(const ScsiRequest& request, std::uint32_t dataBufferAddress,
                      DirectFrame& frame) {
    std::memset(&frame, 0, sizeof frame);
    fillCommon(request, frame.header);
    frame.header.senseInfoLength = kDirectSenseLength;
    frame.header.dataIn =
        request.direction == DataDirection::In ? kScsiIoctlDataIn : kScsiIoctlDataOut;
    frame.header.dataBuffer = dataBufferAddress;
}

}  // namespace corvid::win
