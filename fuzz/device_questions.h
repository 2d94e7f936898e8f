#pragma once

// The station's questions to a device whose replies it parses: capacity, inquiry, flash ID, flash
// count, port, CFG, block map and scan results. The capacity is asked on a handle of its own,
// the others on one handle. Both ends of the device wire are fuzzed with this
// sequence, and the seeds are recorded with it.

#include <array>
#include <cstdint>
#include <vector>

#include "transport/standard_commands.h"
#include "transport/transport.h"
#include "transport/vendor_commands.h"

namespace corvid::fuzz {

// The questions asked on an open handle.
inline void askEveryQuestion(Transport& transport, DeviceHandle handle) {
    std::array<std::uint8_t, kInquiryLength> inquiryData{};
    (void)inquiry(transport, handle, inquiryData);
    std::uint8_t maker = 0;
    std::uint32_t flashId = 0;
    if (readFlashId(transport, handle, maker, flashId)) {
        (void)formatFlashId(maker, flashId);
    }
    (void)getFlashCount(transport, handle);
    (void)getPort(transport, handle);

    std::array<std::uint8_t, kCfgBlockSize> cfg{};
    (void)readCfg(transport, handle, cfg);

    std::vector<std::uint8_t> map(2048);
    (void)readBlockMap(transport, handle, map);

    ScanBlockArgs scan;
    scan.blockCount = 4;
    std::vector<std::uint8_t> results(64);
    (void)scanBlock(transport, handle, scan, results);
    scan.resultPerPage = true;
    scan.pagesPerBlock = 64;
    (void)scanBlock(transport, handle, scan, results);
}

}  // namespace corvid::fuzz
