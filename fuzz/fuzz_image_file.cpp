// The image file reader: the header with its checks, the records of each block, and the block
// reader a device writer uses.

#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_input.h"
#include "image/image_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto image = corvid::fuzz::scratch() / "input.img";
    corvid::fuzz::writeInput(image, data, size);

    (void)corvid::ImgReadSize(image);
    try {
        const corvid::ImageHeader header = corvid::readImageHeader(image);
        for (const std::uint32_t sectorSize : {512u, 2048u, 4096u}) {
            const auto index = corvid::findImageEntry(header, sectorSize);
            if (!index) {
                continue;
            }
            std::size_t bytes = 0;
            corvid::readImageRecords(
                image, header.entries[*index],
                [&](std::uint32_t, std::span<const std::byte> record) { bytes += record.size(); });
        }
    } catch (const corvid::ImageFileError&) {
    }

    for (const std::uint32_t sectorSize : {512u, 4096u}) {
        corvid::ImageRecordReader reader;
        if (!reader.open(image, sectorSize)) {
            continue;
        }
        corvid::ImageRecordReader::Record record;
        for (std::uint32_t i = 0; i < reader.recordCount(); ++i) {
            if (reader.next(record) != corvid::ImageRecordReader::Read::Whole) {
                break;
            }
        }
    }
    return 0;
}
