#include "production/disk_size.h"

#include <limits>

#include "transport/standard_commands.h"

namespace corvid {

namespace {
constexpr std::uint64_t kSectorsPerMB = 2048;  // of 512 bytes
constexpr std::uint32_t kSectorBytes = 512;
}  // namespace

std::int32_t diskSizeMB(std::uint32_t lastBlockAddress, std::uint32_t blockLength) {
    // Computed in 64 bits: a large disk with 4096-byte blocks would wrap in 32.
    const std::uint64_t sizeMB =
        static_cast<std::uint64_t>(blockLength / kSectorBytes) * lastBlockAddress / kSectorsPerMB;
    const auto limit = static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
    return static_cast<std::int32_t>(sizeMB > limit ? limit : sizeMB);
}

std::int32_t bGetDiskSizeMB(Transport& transport, char driveLetter) {
    ScopedDevice device(transport, driveLetter);
    if (!device.isOpen()) {
        return 0;
    }
    std::uint32_t lastBlockAddress = 0;
    std::uint32_t blockLength = 0;
    if (!readCapacity10(transport, device.handle(), lastBlockAddress, blockLength) ||
        lastBlockAddress == 0 || blockLength == 0) {
        return 0;
    }
    return diskSizeMB(lastBlockAddress, blockLength);
}

}  // namespace corvid
