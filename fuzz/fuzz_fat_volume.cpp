// The FAT engine on a volume it did not make: mount, then the directory walk of a file creation
// (each folder of the path searched, long names compared, free slots found) and its write.
//
// Input: records of a 4-byte little-endian sector number and 512 bytes, as an image block holds
// them; sectors without a record read as zeros.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "image/fat_volume.h"
#include "image/ram_disk.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kSector = 512;
    // Records far apart would only measure the sector store; keep them within 64 MiB.
    constexpr std::uint32_t kLastSector = 131071;
    corvid::RamDisk disk;
    if (!disk.start(kSector)) {
        return 0;
    }
    for (std::size_t at = 0; at + 4 + kSector <= size; at += 4 + kSector) {
        const std::uint32_t sector =
            (static_cast<std::uint32_t>(data[at]) | static_cast<std::uint32_t>(data[at + 1]) << 8 |
             static_cast<std::uint32_t>(data[at + 2]) << 16 |
             static_cast<std::uint32_t>(data[at + 3]) << 24) &
            kLastSector;
        if (!disk.RamDiskWrite(sector, 1, reinterpret_cast<const std::byte*>(data + at + 4))) {
            return 0;
        }
    }
    corvid::FAT_VOLUME volume(disk);
    if (!volume.mount()) {
        return 0;
    }
    (void)volume.ImgSetLabel("FUZZ");
    for (const auto& [longPath, shortPath] :
         {std::pair{u"\\Folder one\\A long file name.txt", "\\FOLDER~1\\ALONGF~1.TXT"},
          std::pair{u"\\README.TXT", "\\README.TXT"}}) {
        auto file = volume.ImgCreateFile(longPath, shortPath);
        if (!file) {
            continue;
        }
        std::array<std::byte, kSector> sector{};
        std::memset(sector.data(), 'x', sector.size());
        (void)volume.ImgWriteFile(*file, sector);
        (void)volume.ImgCloseFile(std::move(file));
    }
    return 0;
}
