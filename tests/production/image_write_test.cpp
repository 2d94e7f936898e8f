#include "production/image_write.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "tests/production/worker_harness.h"
#include "tests/support/recording_transport.h"
#include "transport/standard_commands.h"

namespace corvid {
namespace {

using test::RecordedRequest;
using test::Reply;
using test::WorkerHarnessTest;

struct Record {
    std::uint32_t sector;
    std::uint8_t fill;
};

struct Block {
    std::uint32_t sectorSize;
    std::vector<Record> records;
    std::uint64_t offset = 0;  // 0: right after the previous block
};

void putLe32(std::ostream& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.put(static_cast<char>(value >> (8 * i)));
    }
}

// A "5VX6 IMG" file: 512-byte header, up to three entries, blocks of records.
void writeImage(const std::filesystem::path& path, std::uint32_t diskMB,
                const std::vector<Block>& blocks, const char* magic = "5VX6 IMG") {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::string header(512, '\0');
    std::copy(magic, magic + std::strlen(magic), header.begin());
    out.write(header.data(), header.size());
    std::uint64_t next = 512;
    std::vector<std::uint64_t> offsets;
    for (const auto& block : blocks) {
        const std::uint64_t at = block.offset != 0 ? block.offset : next;
        offsets.push_back(at);
        out.seekp(static_cast<std::streamoff>(at));
        for (const auto& record : block.records) {
            putLe32(out, record.sector);
            out << std::string(block.sectorSize, static_cast<char>(record.fill));
        }
        next = at + block.records.size() * (4 + block.sectorSize);
    }
    out.seekp(12);
    putLe32(out, diskMB);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        out.seekp(static_cast<std::streamoff>(16 + 16 * i));
        putLe32(out, blocks[i].sectorSize);
        putLe32(out, static_cast<std::uint32_t>(offsets[i]));
        putLe32(out, static_cast<std::uint32_t>(blocks[i].records.size()));
    }
}

std::uint32_t lbaOf(const RecordedRequest& request) {
    return static_cast<std::uint32_t>(request.cdb[2]) << 24 | request.cdb[3] << 16 |
           request.cdb[4] << 8 | request.cdb[5];
}

class ImageWriteTest : public WorkerHarnessTest {
  protected:
    void SetUp() override {
        WorkerHarnessTest::SetUp();
        fake_.setResponder([](const RecordedRequest&) { return Reply{true, {}}; });
    }
    std::unique_ptr<WorkerState> openState(int sectorSize) {
        auto w = openWorker('G');
        w->FlashInfo.iSectorSize = sectorSize;
        return w;
    }
};

TEST_F(ImageWriteTest, DiskSizeComesFromTheHeaderOfARealImageOnly) {
    writeImage(dir_ / "good.img", 64, {});
    writeImage(dir_ / "other.img", 64, {}, "5VX6 IMX");
    writeImage(dir_ / "unterminated.img", 64, {}, "5VX6 IMG0123");
    std::ofstream(dir_ / "short.img") << "5VX6";
    EXPECT_EQ(iImageDiskSize(dir_ / "good.img"), 64);
    EXPECT_EQ(iImageDiskSize(dir_ / "other.img"), -1);
    EXPECT_EQ(iImageDiskSize(dir_ / "unterminated.img"), -1);
    EXPECT_EQ(iImageDiskSize(dir_ / "short.img"), -1);
    EXPECT_EQ(iImageDiskSize(dir_ / "missing.img"), -1);
}

// The entry for the device's sector size is written record by record, in file order, with the
// progress moved per record, and the last record's sector read back.
TEST_F(ImageWriteTest, WritesTheEntryOfTheDeviceSectorSize) {
    writeImage(
        dir_ / "hidden.img", 64,
        {{512, {{0, 0x11}, {9, 0x12}}}, {1024, {{7, 0x21}, {2, 0x22}, {5, 0x23}, {1, 0x24}}}});
    auto w = openState(1024);
    ASSERT_TRUE(bWriteImageFile(*w, dir_ / "hidden.img", 90, 98));

    const auto requests = fake_.requests();
    ASSERT_EQ(requests.size(), 5u);
    const std::uint32_t sectors[] = {7, 2, 5, 1};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(requests[i].cdb[0], kScsiOpWrite10);
        EXPECT_EQ(lbaOf(requests[i]), sectors[i]);
        EXPECT_EQ(requests[i].cdb[8], 1);  // one block
        ASSERT_EQ(requests[i].dataOut.size(), 1024u);
        EXPECT_EQ(requests[i].dataOut.front(), 0x21 + i);
    }
    EXPECT_EQ(requests[4].cdb[0], kScsiOpRead10);
    EXPECT_EQ(lbaOf(requests[4]), 1u);
    EXPECT_EQ(requests[4].transferLength, 1024u);
    // 90, then 90 + 8 x i / 4 per record
    EXPECT_EQ(harness_->slot.progress(), (std::vector<int>{90, 90, 92, 94, 96}));
}

TEST_F(ImageWriteTest, FailsWithoutAMatchingEntryOrOnAFailedCommand) {
    writeImage(dir_ / "512only.img", 64, {{512, {{0, 1}, {1, 2}}}});
    auto w = openState(1024);
    EXPECT_FALSE(bWriteImageFile(*w, dir_ / "512only.img", 90, 98));
    EXPECT_TRUE(fake_.requests().empty());
    EXPECT_FALSE(bWriteImageFile(*w, dir_ / "missing.img", 90, 98));

    auto w512 = openState(512);
    fake_.queueReply({true, {}});
    fake_.queueReply({false, {}});
    EXPECT_FALSE(bWriteImageFile(*w512, dir_ / "512only.img", 90, 98));
    EXPECT_EQ(fake_.requests().size(), 2u);

    fake_.clear();
    fake_.queueReply({true, {}});
    fake_.queueReply({true, {}});
    fake_.queueReply({false, {}});  // the read-back
    EXPECT_FALSE(bWriteImageFile(*w512, dir_ / "512only.img", 90, 98));
    EXPECT_EQ(fake_.requests().size(), 3u);
}

TEST_F(ImageWriteTest, ARecordCutShortIsNotWritten) {
    writeImage(dir_ / "cut.img", 64, {{512, {{3, 1}, {4, 2}}}});
    std::filesystem::resize_file(dir_ / "cut.img", 512 + 516 + 4 + 100);
    auto w = openState(512);
    EXPECT_FALSE(bWriteImageFile(*w, dir_ / "cut.img", 0, 10));
    EXPECT_EQ(fake_.requests().size(), 1u);
}

TEST_F(ImageWriteTest, ReachesRecordsBeyondTwoBillionBytes) {
    const std::uint64_t far = 3000000000ull;
    writeImage(dir_ / "far.img", 64, {{512, {{42, 0x5A}}, far}});
    auto w = openState(512);
    ASSERT_TRUE(bWriteImageFile(*w, dir_ / "far.img", 0, 10));
    const auto requests = fake_.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(lbaOf(requests[0]), 42u);
    EXPECT_EQ(requests[0].dataOut.front(), 0x5A);
}

}  // namespace
}  // namespace corvid
