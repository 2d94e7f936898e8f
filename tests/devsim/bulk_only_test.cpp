#include "devsim/bulk_only.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "devsim/profile.h"
#include "tests/support/temp_dir.h"

namespace corvid::devsim {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes cbwBytes(const Cbw& cbw) {
    Bytes bytes(sizeof(cbw));
    std::memcpy(bytes.data(), &cbw, sizeof(cbw));
    return bytes;
}

// A CBW for 'cdb' with the host expecting 'length' bytes in (or out).
Cbw cbwFor(const Bytes& cdb, std::uint32_t length, bool in = true) {
    Cbw cbw{};
    cbw.signature = kCbwSignature;
    cbw.tag = 0x1234;
    cbw.dataTransferLength = length;
    cbw.flags = in ? kCbwFlagDataIn : 0;
    cbw.cbLength = static_cast<std::uint8_t>(cdb.size());
    std::memcpy(cbw.cb, cdb.data(), cdb.size());
    return cbw;
}

Bytes rw10(std::uint8_t opcode, std::uint32_t lba, std::uint16_t count) {
    return {opcode,
            0,
            static_cast<std::uint8_t>(lba >> 24),
            static_cast<std::uint8_t>(lba >> 16),
            static_cast<std::uint8_t>(lba >> 8),
            static_cast<std::uint8_t>(lba),
            0,
            static_cast<std::uint8_t>(count >> 8),
            static_cast<std::uint8_t>(count),
            0};
}

TEST(BulkOnlyTest, OnlyAMeaningfulCbwIsTaken) {
    const Cbw good = cbwFor({0x00, 0, 0, 0, 0, 0}, 0);
    struct Case {
        const char* what;
        Bytes bytes;
        bool taken;
    };
    Bytes badSignature = cbwBytes(good);
    badSignature[0] ^= 1;
    Bytes secondLun = cbwBytes(good);
    secondLun[13] = 1;
    Bytes noCommand = cbwBytes(good);
    noCommand[14] = 0;
    Bytes longCommand = cbwBytes(good);
    longCommand[14] = 17;
    Bytes shorter = cbwBytes(good);
    shorter.pop_back();
    Bytes longer = cbwBytes(good);
    longer.push_back(0);
    const Case cases[] = {
        {"31 bytes with the signature", cbwBytes(good), true},
        {"a wrong signature", badSignature, false},
        {"LUN 1 of a device with one", secondLun, false},
        {"no command block", noCommand, false},
        {"a command block of 17 bytes", longCommand, false},
        {"30 bytes", shorter, false},
        {"32 bytes", longer, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto cbw = parseCbw(c.bytes);
        ASSERT_EQ(cbw.has_value(), c.taken);
        if (cbw) {
            EXPECT_EQ(std::uint32_t{cbw->tag}, 0x1234u);
        }
    }
}

class MassStorageTest : public test::TempDirTest {
  protected:
    void plug(const std::string& profile) {
        storage_.reset();
        DeviceSettings settings;
        settings.profile = resolveProfile(profile);
        settings.stateDir = dir_ / profile;
        device_ = std::make_unique<Device>(settings);
        storage_ = std::make_unique<MassStorage>(*device_);
    }
    BulkReply run(const Bytes& cdb, std::uint32_t length, bool in = true, const Bytes& out = {}) {
        return storage_->command(cbwFor(cdb, length, in), out);
    }
    Sense sense() {
        const BulkReply reply = run({0x03, 0, 0, 0, 18, 0}, 18);
        EXPECT_EQ(reply.csw.status, static_cast<std::uint8_t>(CswStatus::Passed));
        return Sense{reply.dataIn.at(2), reply.dataIn.at(12), reply.dataIn.at(13)};
    }

    std::unique_ptr<Device> device_;
    std::unique_ptr<MassStorage> storage_;
};

// What the kernel's disk driver sends to every stick, and what a failure leaves for REQUEST
// SENSE. 'foreign' shows its disk at once; a blank nand-2k has none until its disk is started.
TEST_F(MassStorageTest, AnswersTheKernelsCommandsWithResidueStallAndSense) {
    struct Case {
        const char* what;
        const char* profile;
        Bytes cdb;
        std::uint32_t hostLength;
        CswStatus status;
        std::uint32_t residue;
        bool stallIn;
        Sense sense;  // after the command
    };
    const Case cases[] = {
        {"inquiry", "foreign", {0x12, 0, 0, 0, 36, 0}, 36, CswStatus::Passed, 0, false, {}},
        {"capacity",
         "foreign",
         {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         8,
         CswStatus::Passed,
         0,
         false,
         {}},
        {"mode sense padded to the host's length",
         "foreign",
         {0x1A, 0, 0x3F, 0, 192, 0},
         192,
         CswStatus::Passed,
         188,
         false,
         {}},
        {"medium removal", "foreign", {0x1E, 0, 0, 0, 1, 0}, 0, CswStatus::Passed, 0, false, {}},
        {"ready", "foreign", {0x00, 0, 0, 0, 0, 0}, 0, CswStatus::Passed, 0, false, {}},
        {"not ready without a disk",
         "nand-2k",
         {0x00, 0, 0, 0, 0, 0},
         0,
         CswStatus::Failed,
         0,
         false,
         {0x02, 0x3A, 0x00}},
        {"capacity without a disk",
         "nand-2k",
         {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         8,
         CswStatus::Failed,
         8,
         true,
         {0x02, 0x3A, 0x00}},
        {"read beyond the disk",
         "foreign",
         rw10(0x28, 0x7FFFFFFF, 1),
         512,
         CswStatus::Failed,
         512,
         true,
         {0x05, 0x21, 0x00}},
        {"an opcode nobody knows",
         "foreign",
         {0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0, 0},
         16,
         CswStatus::Failed,
         16,
         true,
         {0x05, 0x20, 0x00}},
        {"a vendor command of the model",
         "nand-2k",
         {kVendorOpcodeIn, SUB_SCSI_OP_GET_CHIP_NAME, 0, 0, 0, 0},
         4,
         CswStatus::Passed,
         0,
         false,
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        plug(c.profile);
        const BulkReply reply = run(c.cdb, c.hostLength);
        EXPECT_EQ(std::uint32_t{reply.csw.signature}, kCswSignature);
        EXPECT_EQ(std::uint32_t{reply.csw.tag}, 0x1234u);
        EXPECT_EQ(reply.csw.status, static_cast<std::uint8_t>(c.status));
        EXPECT_EQ(std::uint32_t{reply.csw.dataResidue}, c.residue);
        EXPECT_EQ(reply.stallIn, c.stallIn);
        // Data-in goes as one transfer of the host's length, or not at all after a failure.
        EXPECT_EQ(reply.dataIn.size(), c.status == CswStatus::Passed ? c.hostLength : 0u);
        const Sense after = sense();
        EXPECT_EQ(after.key, c.sense.key);
        EXPECT_EQ(after.asc, c.sense.asc);
        EXPECT_EQ(after.ascq, c.sense.ascq);
        // REQUEST SENSE hands the sense over once.
        EXPECT_EQ(sense().key, 0);
    }
}

TEST_F(MassStorageTest, SectorsWrittenReadBackThroughTheModel) {
    plug("foreign");
    Bytes sectors(1024);
    for (std::size_t i = 0; i < sectors.size(); ++i) {
        sectors[i] = static_cast<std::uint8_t>(i * 7);
    }
    const BulkReply written = run(rw10(0x2A, 100, 2), 1024, false, sectors);
    EXPECT_EQ(written.csw.status, static_cast<std::uint8_t>(CswStatus::Passed));
    EXPECT_EQ(std::uint32_t{written.csw.dataResidue}, 0u);
    const BulkReply read = run(rw10(0x28, 100, 2), 1024);
    EXPECT_EQ(read.csw.status, static_cast<std::uint8_t>(CswStatus::Passed));
    EXPECT_EQ(read.dataIn, sectors);
}

}  // namespace
}  // namespace corvid::devsim
