#include "image/image_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <vector>

#include "platform/byte_order.h"
#include "tests/image/image_test_support.h"

namespace corvid {
namespace {

using test::readFile;
using test::writeFile;

std::uint32_t le32At(const std::string& bytes, std::size_t offset) {
    return loadLe32(reinterpret_cast<const std::byte*>(bytes.data() + offset));
}

void writeSector(RamDisk& disk, std::uint32_t sector, std::uint8_t value) {
    const std::vector<std::byte> data(disk.sectorSize(), std::byte{value});
    ASSERT_TRUE(disk.RamDiskWrite(sector, 1, data.data()));
}

class ImageFileTest : public test::TempDirTest {};

TEST_F(ImageFileTest, CreateThenAppendWritesHeaderEntriesAndRecords) {
    const auto path = dir_ / "a.img";
    RamDisk disk;
    ASSERT_TRUE(disk.start(512));
    writeSector(disk, 0, 0x11);
    writeSector(disk, 3, 0x33);
    ASSERT_TRUE(ImgSave(disk, path, false, 64));
    EXPECT_FALSE(disk.started());
    ASSERT_TRUE(disk.start(1024));
    writeSector(disk, 7, 0x77);
    ASSERT_TRUE(ImgSave(disk, path, true, 64));

    const std::string bytes = readFile(path);
    ASSERT_EQ(bytes.size(), 512u + 2 * 516 + 1028);
    EXPECT_EQ(bytes.substr(0, 12), std::string("5VX6 IMG\0\0\0\0", 12));
    EXPECT_EQ(le32At(bytes, 12), 64u);
    EXPECT_EQ(le32At(bytes, 16), 512u);
    EXPECT_EQ(le32At(bytes, 20), 512u);
    EXPECT_EQ(le32At(bytes, 24), 2u);
    EXPECT_EQ(le32At(bytes, 28), 0u);
    EXPECT_EQ(le32At(bytes, 32), 1024u);
    EXPECT_EQ(le32At(bytes, 36), 512u + 2 * 516);
    EXPECT_EQ(le32At(bytes, 40), 1u);
    EXPECT_EQ(bytes.substr(48, 512 - 48), std::string(512 - 48, '\0'));
    EXPECT_EQ(le32At(bytes, 512), 0u);
    EXPECT_EQ(static_cast<std::uint8_t>(bytes[516]), 0x11);
    EXPECT_EQ(le32At(bytes, 512 + 516), 3u);
    EXPECT_EQ(le32At(bytes, 512 + 2 * 516), 7u);
    EXPECT_EQ(static_cast<std::uint8_t>(bytes[512 + 2 * 516 + 4]), 0x77);

    EXPECT_EQ(ImgReadSize(path), 64u);
    const ImageHeader header = readImageHeader(path);
    EXPECT_EQ(findImageEntry(header, 512), 0u);
    EXPECT_EQ(findImageEntry(header, 1024), 1u);
    // A device with 2048-byte sectors finds nothing for it.
    EXPECT_EQ(findImageEntry(header, 2048), std::nullopt);
}

TEST_F(ImageFileTest, SaveFailuresNameTheFile) {
    RamDisk disk;
    ASSERT_TRUE(disk.start(512));
    writeSector(disk, 0, 1);
    const Result missing = ImgSave(disk, dir_ / "missing" / "a.img", false, 64);
    EXPECT_FALSE(missing);
    EXPECT_NE(missing.reason.find((std::filesystem::path("missing") / "a.img").string()),
              std::string::npos)
        << missing.reason;
    const Result absent = ImgSave(disk, dir_ / "absent.img", true, 64);  // append needs the file
    EXPECT_FALSE(absent);
    EXPECT_NE(absent.reason.find("absent.img"), std::string::npos) << absent.reason;
}

TEST_F(ImageFileTest, ReadSizeWantsTheMagicAsAZeroEndedText) {
    struct Case {
        const char* name;
        std::string bytes;
        std::optional<std::uint32_t> size;
    };
    const std::string sizeBytes("\x00\x08\x00\x00", 4);  // 2048
    const std::vector<Case> cases = {
        {"valid", std::string("5VX6 IMG\0\0\0\0", 12) + sizeBytes, 2048},
        {"magic not ended", std::string("5VX6 IMGX\0\0\0", 12) + sizeBytes, std::nullopt},
        {"other magic", std::string("5VX7 IMG\0\0\0\0", 12) + sizeBytes, std::nullopt},
        {"too short", std::string("5VX6 IMG\0\0\0\0", 12), std::nullopt},
    };
    for (const auto& c : cases) {
        const auto path = dir_ / (std::string(c.name) + ".img");
        writeFile(path, c.bytes);
        EXPECT_EQ(ImgReadSize(path), c.size) << c.name;
    }
    EXPECT_EQ(ImgReadSize(dir_ / "none.img"), std::nullopt);
}

TEST_F(ImageFileTest, ReaderPlacesRecordsBySectorNumberAndExtractsAFlatVolume) {
    const auto path = dir_ / "a.img";
    RamDisk disk;
    ASSERT_TRUE(disk.start(1024));
    writeSector(disk, 30000, 0x30);  // a window of its own, saved after window 0
    writeSector(disk, 2, 0x02);
    ASSERT_TRUE(ImgSave(disk, path, false, 32));

    std::map<std::uint32_t, std::uint8_t> seen;
    std::vector<std::uint32_t> order;
    readImageRecords(path, readImageHeader(path).entries[0],
                     [&](std::uint32_t sector, std::span<const std::byte> data) {
                         ASSERT_EQ(data.size(), 1024u);
                         seen[sector] = std::to_integer<std::uint8_t>(data[0]);
                         order.push_back(sector);
                     });
    EXPECT_EQ(order, (std::vector<std::uint32_t>{2, 30000}));
    EXPECT_EQ(seen[30000], 0x30);

    const auto flat = dir_ / "flat.img";
    extractVolume(path, 1024, flat);
    const std::string volume = readFile(flat);
    ASSERT_EQ(volume.size(), 32u << 20);
    EXPECT_EQ(static_cast<std::uint8_t>(volume[2 * 1024]), 0x02);
    EXPECT_EQ(static_cast<std::uint8_t>(volume[30000ull * 1024 + 1023]), 0x30);
    EXPECT_EQ(volume[1024], '\0');
    EXPECT_THROW(extractVolume(path, 512, dir_ / "no.img"), ImageFileError);
}

TEST_F(ImageFileTest, ReaderRefusesFilesThatAreCutShortOrWrong) {
    const auto path = dir_ / "a.img";
    RamDisk disk;
    ASSERT_TRUE(disk.start(512));
    writeSector(disk, 1, 1);
    writeSector(disk, 2, 2);
    ASSERT_TRUE(ImgSave(disk, path, false, 32));
    std::string bytes = readFile(path);
    writeFile(dir_ / "short.img", bytes.substr(0, bytes.size() - 1));
    EXPECT_THROW(readImageHeader(dir_ / "short.img"), ImageFileError);
    writeFile(dir_ / "text.img", "not an image at all");
    EXPECT_THROW(readImageHeader(dir_ / "text.img"), ImageFileError);
    EXPECT_THROW(readImageHeader(dir_ / "none.img"), ImageFileError);

    // A record beyond the volume's size is refused when extracting.
    storeLe32(reinterpret_cast<std::byte*>(bytes.data() + 512 + 516), 40u << 20);
    writeFile(dir_ / "beyond.img", bytes);
    try {
        extractVolume(dir_ / "beyond.img", 512, dir_ / "flat.img");
        FAIL() << "no error";
    } catch (const ImageFileError& e) {
        EXPECT_NE(std::string(e.what()).find("beyond its volume"), std::string::npos) << e.what();
    }
}

}  // namespace
}  // namespace corvid
