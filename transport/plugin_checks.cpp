#include "transport/plugin_checks.h"

#include <algorithm>
#include <array>
#include <span>

#include "transport/standard_commands.h"
#include "transport/vendor_commands.h"

namespace corvid {

namespace {

// The beginnings of the INQUIRY data of the station's devices.
constexpr std::array<std::uint8_t, 9> kInquiryG = {0x00, 0x80, 0x02, 0x02, 0x04,
                                                   0x00, 0x00, 0x00, 'G'};
constexpr std::array<std::uint8_t, 12> kInquiry161 = {0x00, 0x80, 0x02, 0x02, 0x07, 0x00,
                                                      0x00, 0x00, '1',  '6',  '.',  '1'};
constexpr std::array<std::uint8_t, 12> kInquiry162 = {0x00, 0x80, 0x02, 0x02, 0x07, 0x00,
                                                      0x00, 0x00, '1',  '6',  '.',  '2'};

bool beginsWith(std::span<const std::uint8_t> data, std::span<const std::uint8_t> prefix) {
    return data.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), data.begin());
}

}  // namespace

bool needsReset(Transport& transport, char driveLetter) {
    const ScopedDevice device(transport, driveLetter);
    return device.isOpen() && getChipName(transport, device.handle());
}

bool resetByLetter(Transport& transport, char driveLetter) {
    const ScopedDevice device(transport, driveLetter);
    return device.isOpen() && resetDevice(transport, device.handle());
}

bool cmd_bInquiry(Transport& transport, char driveLetter) {
    std::array<std::uint8_t, kInquiryLength> data{};
    bool call = false;
    {
        const ScopedDevice device(transport, driveLetter);
        if (!device.isOpen()) {
            return false;
        }
        call = inquiry(transport, device.handle(), data);
    }
    // A device that does not answer INQUIRY through the pass-through service is still taken;
    // only an answer that names another device is refused.
    if (!call) {
        return true;
    }
    return beginsWith(data, kInquiryG) || beginsWith(data, kInquiry161) ||
           beginsWith(data, kInquiry162);
}

bool readFlashIdByLetter(Transport& transport, char driveLetter, std::uint8_t& maker,
                         std::uint32_t& flashId) {
    maker = 0;
    flashId = 0;
    const ScopedDevice device(transport, driveLetter);
    return device.isOpen() && readFlashId(transport, device.handle(), maker, flashId);
}

}  // namespace corvid
