#include "image/ram_disk.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/byte_order.h"

namespace corvid {
namespace {

std::vector<std::byte> filled(std::size_t size, std::uint8_t value) {
    return std::vector<std::byte>(size, std::byte{value});
}

// The records the store would save, as (sector, sector bytes) in file order.
std::vector<std::pair<std::uint32_t, std::vector<std::byte>>> drainAll(RamDisk& disk) {
    std::vector<std::pair<std::uint32_t, std::vector<std::byte>>> records;
    std::uint32_t count = 0;
    const std::size_t recordBytes = 4 + disk.sectorSize();
    const Result drained = disk.drainRecords(
        [&](std::span<const std::byte> bytes, std::uint32_t n) {
            EXPECT_EQ(bytes.size(), n * recordBytes);
            for (std::uint32_t i = 0; i < n; ++i) {
                const std::byte* record = bytes.data() + i * recordBytes;
                records.emplace_back(loadLe32(record),
                                     std::vector<std::byte>(record + 4, record + recordBytes));
            }
            return true;
        },
        count);
    EXPECT_TRUE(drained) << drained.reason;
    EXPECT_EQ(count, records.size());
    return records;
}

// (sector, first data byte) of each record.
std::vector<std::pair<std::uint32_t, std::uint8_t>> drain(RamDisk& disk) {
    std::vector<std::pair<std::uint32_t, std::uint8_t>> out;
    for (const auto& [sector, bytes] : drainAll(disk)) {
        out.emplace_back(sector, std::to_integer<std::uint8_t>(bytes[0]));
    }
    return out;
}

// File data whose byte at offset o of source s is (s * 16 + o) & 0xFF, handed out whole; it
// counts the reads.
class PatternSource : public SectorSource {
  public:
    std::span<const std::byte> read(std::uint32_t source, std::uint64_t offset,
                                    std::size_t length) override {
        ++reads;
        if (source == kBroken) {
            return {};
        }
        bytes_.resize(length);
        for (std::size_t i = 0; i < length; ++i) {
            bytes_[i] = static_cast<std::byte>((source * 16 + offset + i) & 0xFF);
        }
        return bytes_;
    }
    const std::string& failure() const override { return failure_; }

    static constexpr std::uint32_t kBroken = 99;
    int reads = 0;

  private:
    std::vector<std::byte> bytes_;
    std::string failure_ = "the file broken.bin cannot be read to its end";
};

std::byte patternAt(std::uint32_t source, std::uint64_t offset) {
    return static_cast<std::byte>((source * 16 + offset) & 0xFF);
}

TEST(RamDiskTest, StartsWithOneWindowOfEightMebibytesAtSectorZero) {
    for (const std::uint32_t sectorSize : {512u, 1024u}) {
        RamDisk disk;
        ASSERT_TRUE(disk.start(sectorSize));
        ASSERT_EQ(disk.windowCount(), 1u);
        EXPECT_EQ(disk.windowRange(0).first, 0u);
        EXPECT_EQ(disk.windowRange(0).last, 8u * 1024 * 1024 / sectorSize - 1);
    }
}

TEST(RamDiskTest, RefusesSectorSizesOtherThanPowersOfTwoFrom512To4096) {
    RamDisk disk;
    for (const std::uint32_t bad : {0u, 256u, 768u, 8192u}) {
        EXPECT_FALSE(disk.start(bad)) << bad;
        EXPECT_FALSE(disk.started());
    }
    EXPECT_TRUE(disk.start(4096));
}

TEST(RamDiskTest, NewWindowStopsBeforeTheWindowItWouldRunInto) {
    RamDisk disk;
    ASSERT_TRUE(disk.start(512));
    const auto data = filled(512, 0xAB);
    ASSERT_TRUE(disk.RamDiskWrite(20000, 1, data.data()));
    ASSERT_TRUE(disk.RamDiskWrite(17000, 1, data.data()));
    ASSERT_EQ(disk.windowCount(), 3u);
    EXPECT_EQ(disk.windowRange(1).first, 20000u);
    EXPECT_EQ(disk.windowRange(1).last, 20000u + 16383);
    EXPECT_EQ(disk.windowRange(2).first, 17000u);
    EXPECT_EQ(disk.windowRange(2).last, 19999u);
}

TEST(RamDiskTest, OverlappingWindowsLeaveTheOverlapToTheOlderWindow) {
    RamDisk disk;
    ASSERT_TRUE(disk.start(512));
    const auto a = filled(512, 0xA1);
    const auto b = filled(512, 0xB2);
    ASSERT_TRUE(disk.RamDiskWrite(20000, 1, a.data()));  // window 1: 20000 ...
    ASSERT_TRUE(disk.RamDiskWrite(17000, 1, a.data()));  // window 2: 17000-19999
    ASSERT_TRUE(disk.RamDiskWrite(16500, 1, a.data()));  // window 3: 16500-19999, over window 2
    ASSERT_EQ(disk.windowRange(3).last, 19999u);
    ASSERT_TRUE(disk.RamDiskWrite(18000, 1, b.data()));  // lands in window 2
    EXPECT_EQ(disk.windowCount(), 4u);

    const auto records = drain(disk);
    const std::vector<std::pair<std::uint32_t, std::uint8_t>> expected = {
        {20000, 0xA1}, {17000, 0xA1}, {18000, 0xB2}, {16500, 0xA1}};
    EXPECT_EQ(records, expected);
}

TEST(RamDiskTest, SectorOnlyReadBecomesAZeroRecord) {
    RamDisk disk;
    ASSERT_TRUE(disk.start(1024));
    auto buffer = filled(1024, 0xEE);
    ASSERT_TRUE(disk.RamDiskRead(5, 1, buffer.data()));
    EXPECT_EQ(buffer, filled(1024, 0));
    EXPECT_TRUE(disk.isUsed(5));
    EXPECT_FALSE(disk.isUsed(6));
    const auto records = drain(disk);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].first, 5u);
}

TEST(RamDiskTest, RecordsGoByWindowInCreationOrderThenAscendingAndClearTheirMarks) {
    RamDisk disk;
    ASSERT_TRUE(disk.start(512));
    for (const std::uint32_t sector : {40000u, 3u, 1u, 40002u, 2u}) {
        const auto data = filled(512, static_cast<std::uint8_t>(sector));
        ASSERT_TRUE(disk.RamDiskWrite(sector, 1, data.data()));
    }
    const auto records = drain(disk);
    std::vector<std::uint32_t> sectors;
    for (const auto& record : records) {
        sectors.push_back(record.first);
    }
    EXPECT_EQ(sectors, (std::vector<std::uint32_t>{1, 2, 3, 40000, 40002}));
    EXPECT_TRUE(drain(disk).empty());
}

TEST(RamDiskTest, LocatingFailsOnceTheTableHolds1024Windows) {
    RamDisk disk;
    ASSERT_TRUE(disk.start(4096));  // 2048 sectors per window
    const auto data = filled(4096, 1);
    for (std::uint32_t i = 1; i < RamDisk::kMaxWindows; ++i) {
        ASSERT_TRUE(disk.RamDiskWrite(i * 2048, 1, data.data())) << i;
    }
    EXPECT_EQ(disk.windowCount(), RamDisk::kMaxWindows);
    EXPECT_TRUE(disk.RamDiskWrite(5, 1, data.data()));  // inside window 0
    EXPECT_FALSE(disk.RamDiskWrite(RamDisk::kMaxWindows * 2048, 1, data.data()));
    auto buffer = filled(4096, 0);
    EXPECT_FALSE(disk.RamDiskRead(RamDisk::kMaxWindows * 2048 + 7, 1, buffer.data()));
}

TEST(RamDiskTest, NothingWorksBeforeStartOrAfterClose) {
    RamDisk disk;
    auto buffer = filled(512, 0);
    EXPECT_FALSE(disk.RamDiskWrite(0, 1, buffer.data()));
    ASSERT_TRUE(disk.start(512));
    const auto generation = disk.generation();
    disk.ImgDiskClose();
    EXPECT_NE(disk.generation(), generation);
    EXPECT_EQ(disk.windowCount(), 0u);
    EXPECT_FALSE(disk.RamDiskRead(0, 1, buffer.data()));
}

TEST(RamDiskTest, RangesPastTheLastSectorNumberFail) {
    RamDisk disk;
    ASSERT_TRUE(disk.start(512));
    auto buffer = filled(1024, 0);
    EXPECT_FALSE(disk.RamDiskWrite(0xFFFFFFFFu, 2, buffer.data()));
    EXPECT_TRUE(disk.RamDiskWrite(0xFFFFFFFEu, 2, buffer.data()));
}

}  // namespace
}  // namespace corvid

namespace corvid {
namespace {

TEST(RamDiskTest, FileDataComeFromTheirSourceWhenSaved) {
    RamDisk disk;
    PatternSource source;
    disk.setSectorSource(&source);
    ASSERT_TRUE(disk.start(512));
    // A file of 1300 bytes in sectors 100-102, another of 10 bytes in sector 104.
    ASSERT_TRUE(disk.placeFromSource(100, 1, 0, 512));
    ASSERT_TRUE(disk.placeFromSource(101, 1, 512, 512));
    ASSERT_TRUE(disk.placeFromSource(102, 1, 1024, 276));
    ASSERT_TRUE(disk.placeFromSource(104, 2, 0, 10));
    const auto data = filled(512, 0x44);
    ASSERT_TRUE(disk.RamDiskWrite(103, 1, data.data()));
    EXPECT_EQ(source.reads, 0);

    const auto records = drainAll(disk);
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(source.reads, 2);  // one read per run of a file's sectors
    EXPECT_EQ(records[0].first, 100u);
    EXPECT_EQ(records[1].second[0], patternAt(1, 512));
    EXPECT_EQ(records[2].second[275], patternAt(1, 1299));
    EXPECT_EQ(records[2].second[276], std::byte{0});  // past the end of the file
    EXPECT_EQ(records[3].second, data);
    EXPECT_EQ(records[4].second[9], patternAt(2, 9));
    EXPECT_EQ(records[4].second[10], std::byte{0});
}

TEST(RamDiskTest, SourceSectorsReadOrWrittenInPlaceLeaveTheirSource) {
    RamDisk disk;
    PatternSource source;
    disk.setSectorSource(&source);
    ASSERT_TRUE(disk.start(1024));
    for (std::uint32_t i = 0; i < 4; ++i) {
        ASSERT_TRUE(disk.placeFromSource(10 + i, 3, i * 1024, 1024));
    }
    auto buffer = filled(1024, 0);
    ASSERT_TRUE(disk.RamDiskRead(11, 1, buffer.data()));
    EXPECT_EQ(buffer[0], patternAt(3, 1024));
    const auto data = filled(1024, 0x55);
    ASSERT_TRUE(disk.RamDiskWrite(12, 1, data.data()));

    const auto records = drainAll(disk);
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].second[1], patternAt(3, 1));
    EXPECT_EQ(records[1].second[1], patternAt(3, 1025));
    EXPECT_EQ(records[2].second, data);
    EXPECT_EQ(records[3].second[1023], patternAt(3, 4095));
}

TEST(RamDiskTest, ASourceThatCannotGiveItsBytesFailsTheSave) {
    RamDisk disk;
    PatternSource source;
    disk.setSectorSource(&source);
    ASSERT_TRUE(disk.start(512));
    ASSERT_TRUE(disk.placeFromSource(7, PatternSource::kBroken, 0, 512));
    std::uint32_t count = 0;
    const Result drained =
        disk.drainRecords([](std::span<const std::byte>, std::uint32_t) { return true; }, count);
    EXPECT_FALSE(drained);
    EXPECT_EQ(drained.reason, "the file broken.bin cannot be read to its end");
}

}  // namespace
}  // namespace corvid
