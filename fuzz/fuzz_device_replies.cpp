// The station's reading of device replies: capacity, inquiry, flash ID, CFG, block map and scan
// results. A transport of this target answers every command with the next piece of the input,
// as a device that lies could.
//
// Input: pieces of a 2-byte little-endian length, one status byte (bit 0: the call succeeds) and
// that many reply bytes.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "production/disk_size.h"
#include "transport/standard_commands.h"
#include "transport/transport.h"
#include "transport/vendor_commands.h"

namespace {

class ReplayTransport : public corvid::Transport {
  public:
    explicit ReplayTransport(std::span<const std::uint8_t> input) : input_(input) {}

    corvid::DeviceHandle open(char) override { return input_.empty() ? corvid::kInvalidHandle : 1; }
    void close(corvid::DeviceHandle) override {}
    bool sendBuffered(corvid::DeviceHandle handle, const corvid::ScsiRequest& request) override {
        return sendDirect(handle, request);
    }
    bool sendDirect(corvid::DeviceHandle, const corvid::ScsiRequest& request) override {
        if (input_.size() < 3) {
            return false;
        }
        const std::size_t length =
            std::min<std::size_t>(input_[0] | input_[1] << 8, input_.size() - 3);
        const bool ok = (input_[2] & 1) != 0;
        const auto reply = input_.subspan(3, length);
        input_ = input_.subspan(3 + length);
        if (request.direction == corvid::DataDirection::In && request.data != nullptr &&
            !reply.empty()) {
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ReplayTransport transport({data, size});
    (void)corvid::bGetDiskSizeMB(transport, 'E');
    const corvid::DeviceHandle handle = transport.open('E');

    std::array<std::uint8_t, corvid::kInquiryLength> inquiry{};
    (void)corvid::inquiry(transport, handle, inquiry);
    std::uint8_t maker = 0;
    std::uint32_t flashId = 0;
    if (corvid::readFlashId(transport, handle, maker, flashId)) {
        (void)corvid::formatFlashId(maker, flashId);
    }
    (void)corvid::getFlashCount(transport, handle);
    (void)corvid::getPort(transport, handle);

    std::array<std::uint8_t, corvid::kCfgBlockSize> cfg{};
    (void)corvid::readCfg(transport, handle, cfg);

    std::vector<std::uint8_t> map(2048);
    (void)corvid::readBlockMap(transport, handle, map);

    corvid::ScanBlockArgs scan;
    scan.blockCount = 4;
    std::vector<std::uint8_t> results(64);
    (void)corvid::scanBlock(transport, handle, scan, results);
    scan.resultPerPage = true;
    scan.pagesPerBlock = 64;
    (void)corvid::scanBlock(transport, handle, scan, results);
    return 0;
}
