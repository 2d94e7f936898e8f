#include "production/image_write.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <tuple>

#include "production/file_downloads.h"
#include "tests/production/worker_harness.h"
#include "tests/support/recording_transport.h"
#include "tests/support/run_program.h"
#include "transport/standard_commands.h"
#include "transport/vendor_commands.h"
#ifndef _WIN32
#include "simlink/sim_transport.h"
#endif

namespace corvid {
namespace {

using test::RecordedRequest;
using test::Reply;
using test::WorkerHarness;
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
    // Sectors apart, so each record is a command of its own.
    writeImage(dir_ / "512only.img", 64, {{512, {{0, 1}, {5, 2}}}});
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

// Records of consecutive sectors go out as one WRITE(10) of up to 64 KiB; the progress moves
// through the same positions as with one command per record, those of a run's later records once
// the run is written.
TEST_F(ImageWriteTest, RunsOfConsecutiveSectorsGoOutTogether) {
    struct Case {
        std::uint32_t sectorSize;
        std::vector<Record> records;
        std::vector<std::pair<std::uint32_t, int>> writes;  // (first sector, blocks)
    };
    std::vector<Record> long512;  // 300 sectors from 100: 128 + 128 + 44
    for (std::uint32_t i = 0; i < 300; ++i) {
        long512.push_back({100 + i, static_cast<std::uint8_t>(i)});
    }
    std::vector<Record> long1024;  // 70 sectors from 8: 64 + 6
    for (std::uint32_t i = 0; i < 70; ++i) {
        long1024.push_back({8 + i, static_cast<std::uint8_t>(i)});
    }
    const std::vector<Case> cases = {
        {512,
         {{10, 1}, {11, 2}, {12, 3}, {20, 4}, {21, 5}, {5, 6}, {4, 7}, {6, 8}},
         {{10, 3}, {20, 2}, {5, 1}, {4, 1}, {6, 1}}},
        {512, long512, {{100, 128}, {228, 128}, {356, 44}}},
        {1024, long1024, {{8, 64}, {72, 6}}},
        {1024, {{3, 9}, {3, 8}, {4, 7}}, {{3, 1}, {3, 2}}},  // a sector again starts a new run
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.sectorSize) + "-byte sectors, " +
                     std::to_string(c.records.size()) + " records");
        fake_.clear();
        harness_->slot.clear();
        writeImage(dir_ / "runs.img", 64, {{c.sectorSize, c.records}});
        auto w = openState(static_cast<int>(c.sectorSize));
        ASSERT_TRUE(bWriteImageFile(*w, dir_ / "runs.img", 10, 90));

        const auto requests = fake_.requests();
        ASSERT_EQ(requests.size(), c.writes.size() + 1);
        std::size_t record = 0;
        for (std::size_t i = 0; i < c.writes.size(); ++i) {
            const auto& request = requests[i];
            EXPECT_EQ(request.cdb[0], kScsiOpWrite10);
            EXPECT_EQ(lbaOf(request), c.writes[i].first);
            EXPECT_EQ(request.cdb[7] << 8 | request.cdb[8], c.writes[i].second);
            ASSERT_EQ(request.dataOut.size(), c.writes[i].second * c.sectorSize);
            for (int k = 0; k < c.writes[i].second; ++k, ++record) {
                EXPECT_EQ(request.dataOut[k * c.sectorSize], c.records[record].fill);
                EXPECT_EQ(request.dataOut[(k + 1) * c.sectorSize - 1], c.records[record].fill);
            }
        }
        EXPECT_EQ(requests.back().cdb[0], kScsiOpRead10);
        EXPECT_EQ(lbaOf(requests.back()), c.records.back().sector);
        std::vector<int> progress = {10};
        for (std::size_t i = 0; i < c.records.size(); ++i) {
            progress.push_back(10 + static_cast<int>(80 * i / c.records.size()));
        }
        EXPECT_EQ(harness_->slot.progress(), progress);
    }
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

#ifndef _WIN32

// The hidden-disk write against corvid-devsim: what lands on a simulated disk of each sector
// size, and the commands that carry it.
class ImageWriteSimTest : public test::TempDirTest {
  protected:
    static constexpr char kDisk512 = 'E';
    static constexpr char kDisk1024 = 'F';

    void SetUp() override {
        TempDirTest::SetUp();
        simDir_ = dir_ / "sim";
        // Ends with this test process, also when it ends without its TearDown.
        ASSERT_EQ(devsim({"serve", "--daemon", "--owner", std::to_string(::getpid())}), 0);
        for (const char letter : {kDisk512, kDisk1024}) {
            ASSERT_EQ(devsim({"plug", "--letter", std::string(1, letter), "--profile", "nand-2k",
                              "--trace", tracePath(letter).string()}),
                      0);
        }
        transport_ = std::make_unique<SimTransport>(SimTransportOptions{simDir_, 1.0});
        harness_ = std::make_unique<WorkerHarness>(*transport_, dir_ / "home");
        ASSERT_TRUE(startDisk(kDisk512, false));
        ASSERT_TRUE(startDisk(kDisk1024, true));
    }
    void TearDown() override {
        harness_.reset();
        transport_.reset();
        devsim({"stop"});
        TempDirTest::TearDown();
    }

    int devsim(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin() + 1, {"--dir", simDir_.string()});
        return test::runBinProgram("corvid-devsim", arguments).exitCode;
    }
    std::filesystem::path tracePath(char letter) const {
        return dir_ / (std::string(1, letter) + ".trace");
    }

    // The FSM, a CFG (1024-byte sectors when asked) and a block map, then the disk is started.
    bool startDisk(char letter, bool sectors1024) {
        const auto fsm = dir_ / "FSM.bin";
        std::ofstream(fsm) << "abc";
        if (!bDownloadFsm(*transport_, letter, fsm, 3)) {
            return false;
        }
        const ScopedDevice device(*transport_, letter);
        std::vector<std::uint8_t> cfg(2048, 0);
        for (int group = 0; group < 16; ++group) {
            std::copy_n("5V16", 4, cfg.begin() + group * 4);
        }
        cfg[64] = sectors1024 ? 1 : 0;  // the sector size flag
        cfg[82] = 1;                    // chips
        cfg[84] = 11;                   // log2 of the page size
        cfg[85] = 17;                   // log2 of the block size
        cfg[133] = 1;                   // system area: 4 MiB
        std::uint16_t sum = 0;
        for (int i = 82; i <= 254; ++i) {
            sum = static_cast<std::uint16_t>(sum + cfg[i]);
        }
        cfg[80] = static_cast<std::uint8_t>(sum >> 8);
        cfg[81] = static_cast<std::uint8_t>(sum);
        std::vector<std::uint8_t> map(2048, 0);
        std::fill(map.begin(), map.begin() + 256, 0xFF);
        return eraseBlock(*transport_, device.handle(), 0, 1) &&
               writePage(*transport_, device.handle(), 0, 1, 0, cfg) &&
               writePage(*transport_, device.handle(), 1, 1, 0, map) &&
               ::corvid::startDisk(*transport_, device.handle());
    }

    // The WRITE(10) and READ(10) commands of a device's trace from line 'from' on: (opcode,
    // first sector, blocks). 'lines' gets the number of lines of the trace.
    std::vector<std::tuple<std::uint8_t, std::uint32_t, int>> diskCommands(char letter,
                                                                           std::size_t from,
                                                                           std::size_t& lines) {
        std::vector<std::tuple<std::uint8_t, std::uint32_t, int>> commands;
        std::ifstream in(tracePath(letter));
        std::string time;
        std::string device;
        std::string cdb;
        std::string rest;
        for (lines = 0; in >> time >> device >> cdb && std::getline(in, rest); ++lines) {
            if (lines < from) {
                continue;
            }
            const auto byte = [&](std::size_t i) {
                return static_cast<std::uint32_t>(std::stoul(cdb.substr(2 * i, 2), nullptr, 16));
            };
            if (cdb.size() == 20 && (byte(0) == kScsiOpWrite10 || byte(0) == kScsiOpRead10)) {
                commands.emplace_back(static_cast<std::uint8_t>(byte(0)),
                                      byte(2) << 24 | byte(3) << 16 | byte(4) << 8 | byte(5),
                                      static_cast<int>(byte(7) << 8 | byte(8)));
            }
        }
        return commands;
    }

    std::filesystem::path simDir_;
    std::unique_ptr<SimTransport> transport_;
    std::unique_ptr<WorkerHarness> harness_;
};

TEST_F(ImageWriteSimTest, RunsOfRecordsLandOnTheDiskAsOneWriteEach) {
    struct Case {
        char letter;
        std::uint32_t sectorSize;
        std::uint64_t offset;  // of the block in the image file; 0: after the header
    };
    const std::vector<Case> cases = {
        {kDisk512, 512, 0},
        {kDisk1024, 1024, 0},
        {kDisk512, 512, 3000000000ull},  // reached by a seek to 2,000,000,000 and one on
        {kDisk1024, 1024, 2000000001ull},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(1, c.letter) + ", block at " + std::to_string(c.offset));
        // Runs longer than 64 KiB, gaps, sectors going down, a sector written twice (the later
        // record wins), a lone sector far out.
        const std::uint32_t perWrite = 65536 / c.sectorSize;
        std::vector<Record> records;
        std::vector<std::pair<std::uint32_t, int>> writes;
        const auto run = [&](std::uint32_t first, std::uint32_t count) {
            for (std::uint32_t i = 0; i < count; ++i) {
                records.push_back({first + i, static_cast<std::uint8_t>(records.size() * 7 + 1)});
            }
        };
        run(40, 2 * perWrite + 5);
        writes.insert(writes.end(),
                      {{40, perWrite}, {40 + perWrite, perWrite}, {40 + 2 * perWrite, 5}});
        run(1000, 3);
        writes.push_back({1000, 3});
        run(30, 1);
        run(29, 1);
        writes.insert(writes.end(), {{30, 1}, {29, 1}});
        run(1001, 1);
        writes.push_back({1001, 1});
        run(250000, 1);
        writes.push_back({250000, 1});

        const auto image = dir_ / "hidden.img";
        writeImage(image, 64, {{c.sectorSize, records, c.offset}});
        harness_->slot.clear();
        std::size_t before = 0;
        diskCommands(c.letter, 0, before);
        auto w = harness_->state(c.letter);
        const ScopedDevice device(*transport_, c.letter);
        w->hDevice = device.handle();
        w->FlashInfo.iSectorSize = static_cast<int>(c.sectorSize);
        ASSERT_TRUE(bWriteImageFile(*w, image, 90, 98));

        std::size_t lines = 0;
        const auto commands = diskCommands(c.letter, before, lines);
        ASSERT_EQ(commands.size(), writes.size() + 1);
        for (std::size_t i = 0; i < writes.size(); ++i) {
            EXPECT_EQ(commands[i], std::make_tuple(std::uint8_t{kScsiOpWrite10}, writes[i].first,
                                                   writes[i].second));
        }
        EXPECT_EQ(commands.back(), std::make_tuple(std::uint8_t{kScsiOpRead10}, 250000u, 1));

        // Each sector holds its last record; the sector between the runs stays as it was.
        std::map<std::uint32_t, std::uint8_t> expected;
        for (const auto& record : records) {
            expected[record.sector] = record.fill;
        }
        expected[35] = 0;
        std::vector<std::uint8_t> sector(c.sectorSize);
        for (const auto& [number, fill] : expected) {
            ASSERT_TRUE(read10(*transport_, device.handle(), number, sector, c.sectorSize, 1));
            EXPECT_EQ(sector, std::vector<std::uint8_t>(c.sectorSize, fill)) << number;
        }
        std::vector<int> progress = {90};
        for (std::size_t i = 0; i < records.size(); ++i) {
            progress.push_back(90 + static_cast<int>(8 * i / records.size()));
        }
        EXPECT_EQ(harness_->slot.progress(), progress);
    }
}

// Verify=1: what the image wrote reads back equal; a sector changed on the disk afterwards is
// found, also inside a run of 64 KiB.
TEST_F(ImageWriteSimTest, ReadBackFindsASectorThatDiffersFromTheImage) {
    for (const auto& [letter, sectorSize] : {std::pair{kDisk512, 512u}, {kDisk1024, 1024u}}) {
        SCOPED_TRACE(sectorSize);
        std::vector<Record> records;
        for (std::uint32_t i = 0; i < 200; ++i) {
            records.push_back({100 + i, static_cast<std::uint8_t>(i + 1)});
        }
        records.push_back({5000, 0x77});
        const auto image = dir_ / "verified.img";
        writeImage(image, 64, {{sectorSize, records, 0}});
        auto w = harness_->state(letter);
        const ScopedDevice device(*transport_, letter);
        w->hDevice = device.handle();
        w->FlashInfo.iSectorSize = static_cast<int>(sectorSize);
        ASSERT_TRUE(bWriteImageFile(*w, image, 90, 98));
        EXPECT_EQ(verifyImageFile(*w, image), ReadBack::Same);

        const std::vector<std::uint8_t> other(sectorSize, 0xEE);
        ASSERT_TRUE(write10(*transport_, device.handle(), 250, other, sectorSize, 1));
        EXPECT_EQ(verifyImageFile(*w, image), ReadBack::Differs);
        EXPECT_EQ(verifyImageFile(*w, dir_ / "missing.img"), ReadBack::Failed);
    }
}

#endif

}  // namespace
}  // namespace corvid
