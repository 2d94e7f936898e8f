#include "production/file_downloads.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/support/recording_transport.h"
#include "tests/support/temp_dir.h"

namespace corvid {
namespace {

using test::RecordedRequest;
using test::RecordingTransport;
using test::Reply;

constexpr char kLetter = 'E';

class FileDownloadsTest : public test::TempDirTest {
  protected:
    std::filesystem::path writeFile(const std::string& name, const std::string& bytes) {
        const auto path = dir_ / name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    std::filesystem::path writeFile(const std::string& name, std::size_t size) {
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i) {
            bytes[i] = static_cast<char>(i * 7 + 3);
        }
        return writeFile(name, bytes);
    }
    // Every vendor command answers with its status bit set.
    void answerSuccess() {
        fake_.setResponder([](const RecordedRequest&) { return Reply{true, {0x01}}; });
    }
    std::vector<RecordedRequest> withSubCode(std::uint8_t subCode) const {
        std::vector<RecordedRequest> found;
        for (const auto& request : fake_.requests()) {
            if (request.cdb[1] == subCode) {
                found.push_back(request);
            }
        }
        return found;
    }

    RecordingTransport fake_;
    DeviceHandle handle_ = RecordingTransport::handleFor(kLetter);
};

// The end of a file counts only after a short read: sizes that are a multiple of 2048 end with
// an empty chunk.
TEST_F(FileDownloadsTest, SendsChunksOf2048WithTheEmptyLastChunk) {
    struct Case {
        std::size_t size;
        std::vector<std::uint32_t> chunks;
    };
    const Case cases[] = {
        {0, {0}},
        {1, {1}},
        {2047, {2047}},
        {2048, {2048, 0}},
        {4096, {2048, 2048, 0}},
        {4097, {2048, 2048, 1}},
    };
    answerSuccess();
    for (const auto& c : cases) {
        fake_.clear();
        const auto file = writeFile("f" + std::to_string(c.size), c.size);
        ASSERT_TRUE(bSendFileChunks(fake_, handle_, file, SUB_SCSI_OP_FILE_WRITE)) << c.size;
        std::vector<std::uint32_t> lengths;
        std::string sent;
        for (const auto& request : fake_.requests()) {
            EXPECT_EQ(request.cdb[0], kVendorOpcodeOut);
            EXPECT_EQ(request.cdb[1], SUB_SCSI_OP_FILE_WRITE);
            lengths.push_back(request.transferLength);
            sent.append(request.dataOut.begin(), request.dataOut.end());
        }
        EXPECT_EQ(lengths, c.chunks) << c.size;
        std::ifstream in(file, std::ios::binary);
        const std::string original((std::istreambuf_iterator<char>(in)), {});
        EXPECT_EQ(sent, original) << c.size;
    }
}

TEST_F(FileDownloadsTest, ChunksGoOutWithTheCommandTheCallerNames) {
    answerSuccess();
    const auto file = writeFile("cfg.txt", 512);
    ASSERT_TRUE(bSendFileChunks(fake_, handle_, file, SUB_SCSI_OP_WRITE_CFG));
    ASSERT_EQ(fake_.requests().size(), 1u);
    EXPECT_EQ(fake_.requests()[0].cdb[1], SUB_SCSI_OP_WRITE_CFG);
}

TEST_F(FileDownloadsTest, AMissingFileSendsNothingAndAFailedChunkStops) {
    answerSuccess();
    EXPECT_FALSE(bSendFileChunks(fake_, handle_, dir_ / "missing.bin", SUB_SCSI_OP_FILE_WRITE));
    EXPECT_TRUE(fake_.requests().empty());

    const auto file = writeFile("big.bin", 3 * 2048 + 5);
    fake_.queueReply({true, {}});
    fake_.queueReply({false, {}});
    EXPECT_FALSE(bSendFileChunks(fake_, handle_, file, SUB_SCSI_OP_FILE_WRITE));
    EXPECT_EQ(fake_.requests().size(), 2u);
}

TEST_F(FileDownloadsTest, FsmDownloadAnnouncesSendsAndSumsOnOneHandle) {
    answerSuccess();
    const auto fsm = writeFile("FSM.bin", "abc");
    ASSERT_TRUE(bDownloadFsm(fake_, kLetter, fsm, 3));
    const auto requests = fake_.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].cdbBytes(),
              (std::vector<std::uint8_t>{0xEF, SUB_SCSI_OP_FSM_WRITE_SETUP, 0, 0, 0, 3}));
    EXPECT_EQ(requests[1].cdb[1], SUB_SCSI_OP_FSM_WRITE);
    EXPECT_EQ(requests[1].dataOut, (std::vector<std::uint8_t>{'a', 'b', 'c'}));
    // 'a' + 'b' + 'c' = 0x0126
    EXPECT_EQ(requests[2].cdb[1], SUB_SCSI_OP_FSM_CHECKSUM);
    EXPECT_EQ(requests[2].cdb[2], 0x01);
    EXPECT_EQ(requests[2].cdb[3], 0x26);
    for (const auto& request : requests) {
        EXPECT_EQ(request.handle, handle_);
    }
    EXPECT_EQ(fake_.closedHandles(), std::vector<DeviceHandle>{handle_});
}

TEST_F(FileDownloadsTest, FsmChecksumWrapsAt65536) {
    answerSuccess();
    const auto fsm = writeFile("FSM.bin", std::string(300, '\xFF'));
    ASSERT_TRUE(bDownloadFsm(fake_, kLetter, fsm, 300));
    const auto sums = withSubCode(SUB_SCSI_OP_FSM_CHECKSUM);
    ASSERT_EQ(sums.size(), 1u);
    EXPECT_EQ(sums[0].cdb[2], 0x2A);  // 300 x 255 - 65536 = 0x2AD4
    EXPECT_EQ(sums[0].cdb[3], 0xD4);
}

TEST_F(FileDownloadsTest, FsmDownloadStopsAtTheFirstFailure) {
    const auto fsm = writeFile("FSM.bin", 5000);

    fake_.failOpen(kLetter);
    EXPECT_FALSE(bDownloadFsm(fake_, kLetter, fsm, 5000));
    EXPECT_TRUE(fake_.requests().empty());

    RecordingTransport setupFails;
    setupFails.queueReply({false, {}});
    EXPECT_FALSE(bDownloadFsm(setupFails, kLetter, fsm, 5000));
    EXPECT_EQ(setupFails.requests().size(), 1u);
    EXPECT_EQ(setupFails.closedHandles().size(), 1u);

    RecordingTransport missingFile;
    EXPECT_FALSE(bDownloadFsm(missingFile, kLetter, dir_ / "none.bin", 5000));
    EXPECT_EQ(missingFile.requests().size(), 1u);  // the setup only
}

TEST_F(FileDownloadsTest, FileWriteSetupAnnouncesTheLengthOrAllOnesForAMissingFile) {
    answerSuccess();
    const auto file = writeFile("program.bin", 70000);
    EXPECT_TRUE(bFileWriteSetup(fake_, handle_, file));
    EXPECT_TRUE(bFileWriteSetup(fake_, handle_, dir_ / "absent.bin"));
    const auto setups = withSubCode(SUB_SCSI_OP_FILE_WRITE_SETUP);
    ASSERT_EQ(setups.size(), 2u);
    EXPECT_EQ(setups[0].cdbBytes(),
              (std::vector<std::uint8_t>{0xEF, 0x7A, 0x00, 0x01, 0x11, 0x70}));
    EXPECT_EQ(setups[1].cdbBytes(),
              (std::vector<std::uint8_t>{0xEF, 0x7A, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST_F(FileDownloadsTest, SetupEndAndParityCheckGiveTheStatusVerdict) {
    const auto file = writeFile("program.bin", 10);
    fake_.queueReply({true, {0x00}});  // status bit 0 clear
    EXPECT_FALSE(bFileWriteSetup(fake_, handle_, file));
    fake_.queueReply({true, {0x01}});
    EXPECT_TRUE(bFileWriteEnd(fake_, handle_));
    fake_.queueReply({true, {0x02}});
    EXPECT_FALSE(bFwParityCheck(fake_, handle_));
    fake_.queueReply({false, {0x01}});
    EXPECT_FALSE(bFwParityCheck(fake_, handle_));
    const auto requests = fake_.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[1].cdb[1], SUB_SCSI_OP_FILE_WRITE_END);
    EXPECT_EQ(requests[2].cdb[1], SUB_SCSI_OP_FW_PARITY_CHECK);
}

}  // namespace
}  // namespace corvid
