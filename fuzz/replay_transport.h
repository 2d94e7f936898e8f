#pragma once

// A transport that answers every command with the next piece of the fuzz input, as a device that
// lies could.
//
// Input: pieces of a 2-byte little-endian length, one status byte (bit 0: the call succeeds) and
// that many reply bytes. When the input runs out every call fails, as after an unplug.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "transport/transport.h"

namespace corvid::fuzz {

class ReplayTransport : public Transport {
  public:
    explicit ReplayTransport(std::span<const std::uint8_t> input) : input_(input) {}

    DeviceHandle open(char) override { return input_.empty() ? kInvalidHandle : 1; }
    void close(DeviceHandle) override {}
    bool sendBuffered(DeviceHandle handle, const ScsiRequest& request) override {
        return sendDirect(handle, request);
    }
    bool sendDirect(DeviceHandle, const ScsiRequest& request) override {
        if (input_.size() < 3) {
            return false;
        }
        const std::size_t length =
            std::min<std::size_t>(input_[0] | input_[1] << 8, input_.size() - 3);
        const bool ok = (input_[2] & 1) != 0;
        const auto reply = input_.subspan(3, length);
        input_ = input_.subspan(3 + length);
        if (request.direction == DataDirection::In && request.data != nullptr && !reply.empty()) {
            // A reply longer than the request is cut as the pass-through call cuts it; a
            // shorter one leaves the rest of the buffer as it was.
            std::memcpy(request.data, reply.data(),
                        std::min<std::size_t>(reply.size(), request.transferLength));
        }
        return ok;
    }

  private:
    std::span<const std::uint8_t> input_;
};

// One piece of a replay input, as a recorded device answered.
inline void appendReply(std::vector<std::uint8_t>& replay, std::span<const std::uint8_t> data,
                        bool ok) {
    const auto length = static_cast<std::uint16_t>(std::min<std::size_t>(data.size(), 0xFFFF));
    replay.push_back(static_cast<std::uint8_t>(length));
    replay.push_back(static_cast<std::uint8_t>(length >> 8));
    replay.push_back(ok ? 1 : 0);
    replay.insert(replay.end(), data.begin(), data.begin() + length);
}

}  // namespace corvid::fuzz
