#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "devsim/controller.h"
#include "tests/devsim/cfg_builder.h"
#include "tests/support/temp_dir.h"

namespace corvid::devsim {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using test::buildCfg;
using test::CfgShape;
using test::cfgWith;

constexpr auto In = simlink::WireDirection::In;
constexpr auto Out = simlink::WireDirection::Out;

void putBe16(Bytes& cdb, std::size_t at, std::uint32_t value) {
    cdb[at] = static_cast<std::uint8_t>(value >> 8);
    cdb[at + 1] = static_cast<std::uint8_t>(value);
}
void putBe32(Bytes& cdb, std::size_t at, std::uint32_t value) {
    putBe16(cdb, at, value >> 16);
    putBe16(cdb, at + 2, value & 0xFFFF);
}

Bytes vendorCdb(std::uint8_t sub, std::size_t length, bool out = false) {
    Bytes cdb(length, 0);
    cdb[0] = out ? kVendorOpcodeOut : kVendorOpcodeIn;
    cdb[1] = sub;
    return cdb;
}

class ControllerTest : public ::testing::Test {
  protected:
    ~ControllerTest() override { controller_.reset(); }

    void plug(const std::string& profile) {
        profile_ = profile;
        controller_ = std::make_unique<Controller>(resolveProfile(profile), dir_ / "state");
    }
    // Unplugged and plugged in again with the same state folder.
    void replug() {
        controller_.reset();
        plug(profile_);
    }

    Outcome run(const Bytes& cdb, simlink::WireDirection direction, std::uint32_t length,
                const Bytes& out = {}) {
        Command command;
        command.cdb = cdb;
        command.direction = direction;
        command.transferLength = length;
        command.dataOut = out;
        return controller_->execute(command);
    }
    Outcome simple(std::uint8_t sub, std::uint32_t length) {
        return run(vendorCdb(sub, 6), In, length);
    }
    static bool good(const Outcome& outcome) { return outcome.status == simlink::WireStatus::Good; }
    static bool statusOk(const Outcome& outcome) {
        return good(outcome) && !outcome.data.empty() && (outcome.data[0] & 1) != 0;
    }

    void loadFsm() {
        Bytes setup = vendorCdb(SUB_SCSI_OP_FSM_WRITE_SETUP, 6);
        putBe32(setup, 2, 3);
        ASSERT_TRUE(good(run(setup, In, 1)));
        ASSERT_TRUE(good(run(vendorCdb(SUB_SCSI_OP_FSM_WRITE, 6, true), Out, 3, {'a', 'b', 'c'})));
        Bytes checksum = vendorCdb(SUB_SCSI_OP_FSM_CHECKSUM, 6);
        putBe16(checksum, 2, 0x0126);
        ASSERT_TRUE(good(run(checksum, In, 1)));
    }

    Outcome erase(std::uint32_t block, std::uint16_t count = 1) {
        Bytes cdb = vendorCdb(SUB_SCSI_OP_ERASE_BLOCK, 10);
        putBe32(cdb, 2, block);
        putBe16(cdb, 6, count);
        return run(cdb, In, 1);
    }
    Outcome writePage(std::uint32_t page, const Bytes& data, std::uint16_t count = 1) {
        Bytes cdb = vendorCdb(SUB_SCSI_OP_WRITE_PAGE, 10, true);
        putBe32(cdb, 2, page);
        putBe16(cdb, 6, count);
        return run(cdb, Out, static_cast<std::uint32_t>(data.size()), data);
    }
    Outcome scan(std::uint32_t block, std::uint16_t count, std::uint16_t pattern, std::uint8_t mode,
                 std::uint8_t phase, bool perPage, std::uint8_t ecc, std::uint32_t length) {
        Bytes cdb = vendorCdb(SUB_SCSI_OP_SCAN_BLOCK, 16);
        putBe32(cdb, 2, block);
        putBe16(cdb, 6, count);
        putBe16(cdb, 8, pattern);
        cdb[10] = mode;
        cdb[11] = phase;
        cdb[13] = ecc;
        cdb[14] = perPage ? 1 : 0;
        return run(cdb, In, length);
    }
    Outcome readCapacity() {
        Bytes cdb(10, 0);
        cdb[0] = kScsiOpReadCapacity10;
        return run(cdb, In, 8);
    }
    Outcome disk(std::uint8_t opcode, std::uint32_t lba, std::uint16_t count, std::uint32_t length,
                 const Bytes& out = {}) {
        Bytes cdb(10, 0);
        cdb[0] = opcode;
        putBe32(cdb, 2, lba);
        putBe16(cdb, 7, count);
        return run(cdb, opcode == kScsiOpWrite10 ? Out : In, length, out);
    }
    static std::uint64_t sectorsOf(const Outcome& capacity) {
        return (std::uint64_t{capacity.data[0]} << 24 | capacity.data[1] << 16 |
                capacity.data[2] << 8 | capacity.data[3]) +
               1;
    }
    static std::uint32_t sectorSizeOf(const Outcome& capacity) {
        return std::uint32_t{capacity.data[4]} << 24 | capacity.data[5] << 16 |
               capacity.data[6] << 8 | capacity.data[7];
    }

    // The bitmap of the usable blocks of nand-2k (blocks 5, 700, 1500 bad), less 'alsoBad'.
    static Bytes blockBitmap(const std::vector<std::uint32_t>& alsoBad = {}) {
        Bytes map(256, 0xFF);
        std::vector<std::uint32_t> bad = {5, 700, 1500};
        bad.insert(bad.end(), alsoBad.begin(), alsoBad.end());
        for (const auto block : bad) {
            map[block / 8] &= static_cast<std::uint8_t>(~(0x80 >> (block % 8)));
        }
        return map;
    }

    // Writes the CFG and the bitmap into the first used pages of the blocks, as the station's
    // CFG write does.
    void writeSystem(const Bytes& cfgBytes, const Bytes& bitmap,
                     const std::vector<std::uint32_t>& blocks = {0, 1}, std::uint32_t cfgPage = 0,
                     std::uint32_t mapPage = 1) {
        for (const auto block : blocks) {
            ASSERT_TRUE(good(erase(block)));
            Bytes page(2048, 0);
            std::copy(cfgBytes.begin(), cfgBytes.end(), page.begin());
            ASSERT_TRUE(good(writePage(block * 64 + cfgPage, page)));
            Bytes mapBytes(2048, 0);
            std::copy(bitmap.begin(), bitmap.end(), mapBytes.begin());
            ASSERT_TRUE(good(writePage(block * 64 + mapPage, mapBytes)));
        }
    }

    test::TempDir temp_{"devsim-controller"};
    fs::path dir_ = temp_.path();
    std::string profile_;
    std::unique_ptr<Controller> controller_;
};

TEST_F(ControllerTest, RefusesWhatARealControllerWould) {
    plug("nand-2k");
    loadFsm();
    struct Case {
        const char* what;
        Bytes cdb;
        simlink::WireDirection direction;
        std::uint32_t length;
        const char* note;
    };
    auto with = [](Bytes cdb, std::size_t at, std::uint8_t value) {
        cdb[at] = value;
        return cdb;
    };
    Bytes scanBase = vendorCdb(SUB_SCSI_OP_SCAN_BLOCK, 16);
    scanBase[7] = 1;
    scanBase[10] = 1;
    scanBase[11] = 3;
    Bytes map = vendorCdb(SUB_SCSI_OP_READ_BLOCK_MAP, 10);
    putBe32(map, 2, 257);
    Bytes eraseBeyond = vendorCdb(SUB_SCSI_OP_ERASE_BLOCK, 10);
    putBe32(eraseBeyond, 2, 2048);
    eraseBeyond[7] = 1;
    Bytes read10(10, 0);
    read10[0] = kScsiOpRead10;
    read10[8] = 1;
    const Case cases[] = {
        {"unknown sub-code", vendorCdb(0x74, 6), In, 1, "unknown command"},
        {"data-in sub-code under 0xEE", vendorCdb(SUB_SCSI_OP_READ_FLASH_ID, 6, true), Out, 5,
         "unknown command"},
        {"unknown opcode", Bytes{0x03, 0, 0, 0, 0, 0}, In, 18, "unknown command"},
        {"wrong CDB length", vendorCdb(SUB_SCSI_OP_READ_FLASH_ID, 10), In, 5, "6-byte CDB"},
        {"wrong transfer length", vendorCdb(SUB_SCSI_OP_READ_FLASH_ID, 6), In, 4, "moves 5"},
        {"stray CDB byte", with(vendorCdb(SUB_SCSI_OP_READ_FLASH_ID, 6), 5, 1), In, 5,
         "CDB byte 5"},
        {"wrong direction", vendorCdb(SUB_SCSI_OP_READ_CFG, 10), Out, 512, "moves data in"},
        {"erase beyond the flash", eraseBeyond, In, 1, "the flash has 2048 blocks"},
        {"scan mode 4", with(scanBase, 10, 4), In, 2, "pattern mode"},
        {"scan phase 0", with(scanBase, 11, 0), In, 2, "scan phase"},
        {"scan result unit 2", with(scanBase, 14, 2), In, 2, "result unit"},
        {"scan wrong length", scanBase, In, 3, "moves 2 bytes"},
        {"scan per page of two blocks", with(with(scanBase, 14, 1), 7, 2), In, 65, "one block"},
        {"scan beyond the flash", with(scanBase, 4, 0x08), In, 2, "beyond the last block"},
        {"block map longer than the flash's", map, In, 257, "map has 256"},
        {"READ(10) without a disk", read10, In, 512, "not ready"},
        {"serial flash on a NAND device", vendorCdb(SUB_SCSI_OP_SPI_READ, 6), In, 256,
         "no serial flash"},
        {"FSM data without setup", vendorCdb(SUB_SCSI_OP_FSM_WRITE, 6, true), Out, 0,
         "without SUB_SCSI_OP_FSM_WRITE_SETUP"},
        {"vital product data", Bytes{kScsiOpInquiry, 1, 0, 0, 36, 0}, In, 36, "vital product"},
    };
    for (const Case& c : cases) {
        const Outcome outcome = run(c.cdb, c.direction, c.length, Bytes(c.length, 0));
        EXPECT_EQ(outcome.status, simlink::WireStatus::CheckCondition) << c.what;
        EXPECT_NE(outcome.note.find(c.note), std::string::npos) << c.what << ": " << outcome.note;
    }
    // Page commands: wrong length, flash type, a bad block.
    EXPECT_NE(writePage(0, Bytes(2047, 0)).note.find("moves 2048"), std::string::npos);
    Bytes badType = vendorCdb(SUB_SCSI_OP_WRITE_PAGE, 10, true);
    badType[8] = 8;
    EXPECT_EQ(run(badType, Out, 2048, Bytes(2048, 0)).status, simlink::WireStatus::CheckCondition);
    EXPECT_NE(writePage(5 * 64 + 3, Bytes(2048, 0)).note.find("bad block 5"), std::string::npos);
    EXPECT_NE(erase(4, 2).note.find("block 5 is bad"), std::string::npos);
}

TEST_F(ControllerTest, FlashCommandsNeedACheckedFsm) {
    plug("nand-2k");
    EXPECT_TRUE(good(simple(SUB_SCSI_OP_READ_FLASH_ID, 5)));
    EXPECT_NE(scan(0, 1, 1, 1, 3, false, 0, 2).note.find("needs the FSM"), std::string::npos);

    Bytes setup = vendorCdb(SUB_SCSI_OP_FSM_WRITE_SETUP, 6);
    putBe32(setup, 2, 4);
    Bytes checksum = vendorCdb(SUB_SCSI_OP_FSM_CHECKSUM, 6);
    putBe16(checksum, 2, 0x0126);
    const Bytes chunk = {'a', 'b', 'c'};
    const Bytes fsmWrite = vendorCdb(SUB_SCSI_OP_FSM_WRITE, 6, true);

    ASSERT_TRUE(good(run(setup, In, 1)));
    ASSERT_TRUE(good(run(fsmWrite, Out, 3, chunk)));
    EXPECT_NE(run(checksum, In, 1).note.find("short FSM: 3 of 4"), std::string::npos);

    ASSERT_TRUE(good(run(setup, In, 1)));
    ASSERT_TRUE(good(run(fsmWrite, Out, 3, chunk)));
    ASSERT_TRUE(good(run(fsmWrite, Out, 1, {'d'})));
    EXPECT_NE(run(checksum, In, 1).note.find("does not match"), std::string::npos);
    EXPECT_FALSE(good(scan(0, 1, 1, 1, 3, false, 0, 2)));

    ASSERT_TRUE(good(run(setup, In, 1)));
    EXPECT_FALSE(good(run(fsmWrite, Out, 5, Bytes(5, 'x')))) << "beyond the announced size";

    loadFsm();
    EXPECT_TRUE(statusOk(scan(0, 1, 1, 1, 3, false, 0, 2)));
    replug();
    EXPECT_FALSE(good(scan(0, 1, 1, 1, 3, false, 0, 2))) << "the FSM lives in RAM";
}

TEST_F(ControllerTest, ScanComparesWhatWasWritten) {
    plug("nand-2k");
    loadFsm();
    const Outcome write = scan(4, 3, 0x1234, 1, 2, false, 0, 4);
    ASSERT_TRUE(statusOk(write));
    EXPECT_EQ(scan(4, 3, 0x1234, 1, 1, false, 0, 4).data, (Bytes{0x01, 0xFF, 0x00, 0xFF}));
    EXPECT_EQ(scan(4, 3, 0x4321, 1, 1, false, 0, 4).data, (Bytes{0x01, 0x00, 0x00, 0x00}))
        << "another seed reads back wrong";
    EXPECT_EQ(scan(4, 1, 0x1234, 2, 1, false, 0, 2).data, (Bytes{0x01, 0x00})) << "another mode";
    EXPECT_EQ(scan(4, 3, 0x55AA, 2, 3, false, 0, 4).data, (Bytes{0x01, 0xFF, 0x00, 0xFF}));
    ASSERT_TRUE(good(erase(4)));
    EXPECT_EQ(scan(4, 1, 0x55AA, 2, 1, false, 0, 2).data, (Bytes{0x01, 0x00})) << "erased";
}

TEST_F(ControllerTest, PageResultsFollowWeakPagesAndEccLevel) {
    plug("nand-weak");
    loadFsm();
    const Outcome pages = scan(100, 1, 0x55AA, 2, 3, true, 0, 65);
    ASSERT_TRUE(statusOk(pages));
    EXPECT_EQ(pages.data[1], 0xFC);
    EXPECT_EQ(pages.data[2], 0xF0);
    EXPECT_EQ(pages.data[64], 0xF0);
    Bytes badBlock(65, 0x00);
    badBlock[0] = 0x01;
    EXPECT_EQ(scan(12, 1, 0x55AA, 2, 3, true, 0, 65).data, badBlock)
        << "a bad block fails every page";
    // Odd pages carry 15 corrected bits: a block passes from ECC level 15 on.
    EXPECT_EQ(scan(200, 1, 7, 1, 3, false, 14, 2).data[1], 0x00);
    EXPECT_EQ(scan(200, 1, 7, 1, 3, false, 15, 2).data[1], 0xFF);
}

TEST_F(ControllerTest, StoredCfgAndBitmapReadBack) {
    plug("nand-2k");
    loadFsm();
    // A blank flash: erased bytes for the CFG, the makers' marks for the map.
    const Outcome blank = run(vendorCdb(SUB_SCSI_OP_READ_CFG, 10), In, 512);
    ASSERT_TRUE(good(blank));
    EXPECT_EQ(blank.data, Bytes(512, 0xFF));
    Bytes mapCdb = vendorCdb(SUB_SCSI_OP_READ_BLOCK_MAP, 10);
    putBe32(mapCdb, 2, 256);
    EXPECT_EQ(run(mapCdb, In, 256).data, blockBitmap());
    EXPECT_FALSE(good(simple(SUB_SCSI_OP_FSM_INIT, 1))) << "no CFG in the flash yet";

    const Bytes cfgBytes = buildCfg(CfgShape{});
    const Bytes bitmap = blockBitmap({2000, 2001});
    writeSystem(cfgBytes, bitmap, {0, 1});
    EXPECT_EQ(run(vendorCdb(SUB_SCSI_OP_READ_CFG, 10), In, 512).data, cfgBytes);
    EXPECT_EQ(run(mapCdb, In, 256).data, bitmap);
    Bytes shortMap = mapCdb;
    putBe32(shortMap, 2, 16);
    EXPECT_EQ(run(shortMap, In, 16).data, Bytes(bitmap.begin(), bitmap.begin() + 16));
    EXPECT_TRUE(good(simple(SUB_SCSI_OP_FSM_INIT, 1)));

    // A CFG with a broken checksum is no CFG; the backup in the next block serves.
    Bytes broken = cfgBytes;
    broken[81] ^= 1;
    writeSystem(broken, bitmap, {0});
    EXPECT_EQ(run(vendorCdb(SUB_SCSI_OP_READ_CFG, 10), In, 512).data, cfgBytes);
    // A scan over the system blocks destroys them, as on the hardware.
    ASSERT_TRUE(statusOk(scan(0, 2, 9, 1, 3, false, 0, 3)));
    EXPECT_EQ(run(vendorCdb(SUB_SCSI_OP_READ_CFG, 10), In, 512).data, Bytes(512, 0xFF));
}

TEST_F(ControllerTest, DiskCapacityFollowsTheStoredCfg) {
    // nand-2k: 2045 usable blocks of 128 KiB; one 4 MiB unit of system area is 32 blocks.
    struct Case {
        const char* what;
        CfgShape cfg;
        std::uint8_t multiplier;
        std::uint32_t sectorSize;
        std::uint64_t normal, hidden;
    };
    std::vector<std::uint32_t> oddPages;
    for (std::uint32_t p = 1; p < 64; p += 2) {
        oddPages.push_back(p);
    }
    const std::uint64_t full = 2013ull * 128 * 1024 / 512;  // 515,328 sectors
    const Case cases[] = {
        {"whole disk", CfgShape{}, 0, 512, full, 0},
        {"split 128/256", cfgWith(1, 128), 0, 512, full - full / 2, full / 2},
        {"split 25/256", cfgWith(1, 25), 0, 512, full - full * 25 / 256, full * 25 / 256},
        {"1024-byte sectors", cfgWith(1, 0, true), 0, 1024, full / 2, 0},
        {"system area of 4 units", cfgWith(4, 0), 0, 512, 1917ull * 256, 0},
        {"multiplier index 2", CfgShape{}, 2, 512, full * 4, 0},
        {"half the pages used", cfgWith(1, 0, false, oddPages), 0, 512, full / 2, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::error_code error;
        controller_.reset();
        fs::remove_all(dir_, error);
        plug("nand-2k");
        loadFsm();
        // With odd pages unused the bitmap goes to page 2, the next used page.
        writeSystem(buildCfg(c.cfg), blockBitmap(), {0, 1}, 0, c.cfg.unusedPages.empty() ? 1 : 2);
        Bytes multiplier = vendorCdb(SUB_SCSI_OP_SET_CAP_MULTIPLIER, 6);
        multiplier[2] = c.multiplier;
        ASSERT_TRUE(statusOk(run(multiplier, In, 1)));
        ASSERT_TRUE(good(simple(SUB_SCSI_OP_START_DISK, 2)));
        const Outcome capacity = readCapacity();
        ASSERT_TRUE(good(capacity));
        EXPECT_EQ(sectorsOf(capacity), c.normal);
        EXPECT_EQ(sectorSizeOf(capacity), c.sectorSize);
        // Without a second part (split byte 0) the switch leaves the whole disk shown.
        const Outcome switched = simple(SUB_SCSI_OP_SWITCH_HIDDEN_DISK, 1);
        EXPECT_TRUE(statusOk(switched)) << switched.note;
        EXPECT_EQ(sectorsOf(readCapacity()), c.hidden > 0 ? c.hidden : c.normal);
    }
}

TEST_F(ControllerTest, DiskPartsKeepTheirDataAcrossSwitchAndReplug) {
    plug("nand-2k");
    loadFsm();
    writeSystem(buildCfg(cfgWith(1, 64)), blockBitmap());
    ASSERT_TRUE(good(simple(SUB_SCSI_OP_START_DISK, 2)));
    const auto normalVolume = controller_->shownVolume();
    ASSERT_TRUE(normalVolume.has_value());
    ASSERT_TRUE(good(disk(kScsiOpWrite10, 7, 1, 512, Bytes(512, 'N'))));
    ASSERT_TRUE(statusOk(simple(SUB_SCSI_OP_SWITCH_HIDDEN_DISK, 1)));
    ASSERT_NE(controller_->shownVolume(), normalVolume);
    ASSERT_TRUE(good(disk(kScsiOpWrite10, 7, 1, 512, Bytes(512, 'H'))));
    const std::uint64_t hidden = sectorsOf(readCapacity());
    EXPECT_NE(disk(kScsiOpWrite10, static_cast<std::uint32_t>(hidden - 1), 2, 1024, Bytes(1024, 0))
                  .note.find("beyond the disk"),
              std::string::npos);
    ASSERT_TRUE(statusOk(simple(SUB_SCSI_OP_SWITCH_HIDDEN_DISK, 1)));
    EXPECT_EQ(disk(kScsiOpRead10, 7, 1, 512).data, Bytes(512, 'N'));

    replug();
    EXPECT_EQ(controller_->shownVolume(), normalVolume) << "a produced device shows its disk";
    EXPECT_EQ(disk(kScsiOpRead10, 7, 1, 512).data, Bytes(512, 'N'));
    loadFsm();
    ASSERT_TRUE(statusOk(simple(SUB_SCSI_OP_SWITCH_HIDDEN_DISK, 1)));
    EXPECT_EQ(disk(kScsiOpRead10, 7, 1, 512).data, Bytes(512, 'H'));

    // Changing the flash takes the disk away until it is started again.
    ASSERT_TRUE(good(erase(9)));
    EXPECT_FALSE(good(readCapacity()));
    EXPECT_FALSE(controller_->shownVolume().has_value());
    ASSERT_TRUE(good(simple(SUB_SCSI_OP_START_DISK, 2)));
    EXPECT_EQ(disk(kScsiOpRead10, 7, 1, 512).data, Bytes(512, 'N'));
}

TEST_F(ControllerTest, FileDownloadsCheckSizeRoomAndFirmware) {
    plug("nand-2k");
    loadFsm();
    auto setup = [&](std::uint32_t size) {
        Bytes cdb = vendorCdb(SUB_SCSI_OP_FILE_WRITE_SETUP, 6);
        putBe32(cdb, 2, size);
        return run(cdb, In, 1);
    };
    auto chunk = [&](const Bytes& data) {
        return run(vendorCdb(SUB_SCSI_OP_FILE_WRITE, 6, true), Out,
                   static_cast<std::uint32_t>(data.size()), data);
    };
    EXPECT_FALSE(statusOk(setup(100))) << "no system area before a CFG is written";
    writeSystem(buildCfg(cfgWith(1, 0)), blockBitmap());

    EXPECT_FALSE(statusOk(setup(0xFFFFFFFF)));
    EXPECT_FALSE(statusOk(setup((4u << 20) + 1))) << "larger than the system area";
    EXPECT_FALSE(statusOk(simple(SUB_SCSI_OP_FW_PARITY_CHECK, 2))) << "no firmware yet";

    Bytes firmware(4097, 0x11);
    std::memcpy(firmware.data(), "5V16", 4);
    ASSERT_TRUE(statusOk(setup(4097)));
    ASSERT_TRUE(good(chunk(Bytes(firmware.begin(), firmware.begin() + 2048))));
    ASSERT_TRUE(good(chunk(Bytes(firmware.begin() + 2048, firmware.begin() + 4096))));
    EXPECT_FALSE(statusOk(simple(SUB_SCSI_OP_FILE_WRITE_END, 1))) << "one byte short";

    ASSERT_TRUE(statusOk(setup(4097)));
    ASSERT_TRUE(good(chunk(Bytes(firmware.begin(), firmware.begin() + 2048))));
    ASSERT_TRUE(good(chunk(Bytes(firmware.begin() + 2048, firmware.begin() + 4096))));
    EXPECT_FALSE(good(chunk(Bytes(2, 0)))) << "beyond the announced size";

    ASSERT_TRUE(statusOk(setup(4097)));
    ASSERT_TRUE(good(chunk(Bytes(firmware.begin(), firmware.begin() + 2048))));
    ASSERT_TRUE(good(chunk(Bytes(firmware.begin() + 2048, firmware.begin() + 4096))));
    ASSERT_TRUE(good(chunk(Bytes(firmware.begin() + 4096, firmware.end()))));
    ASSERT_TRUE(statusOk(simple(SUB_SCSI_OP_FILE_WRITE_END, 1)));
    EXPECT_TRUE(statusOk(simple(SUB_SCSI_OP_FW_PARITY_CHECK, 2)));
    EXPECT_FALSE(statusOk(setup(4u << 20))) << "the firmware takes part of the room";

    // A new CFG is a new layout: the downloads are gone.
    ASSERT_TRUE(
        good(run(vendorCdb(SUB_SCSI_OP_WRITE_CFG, 6, true), Out, 512, buildCfg(CfgShape{}))));
    EXPECT_FALSE(statusOk(simple(SUB_SCSI_OP_FW_PARITY_CHECK, 2)));
    EXPECT_EQ(run(vendorCdb(SUB_SCSI_OP_99, 10), In, 512).data, buildCfg(CfgShape{}));
}

TEST_F(ControllerTest, WriteCfgKeepsTheFirst512BytesOfEachFileSent) {
    plug("nand-2k");
    loadFsm();
    const Bytes writeCfgCdb = vendorCdb(SUB_SCSI_OP_WRITE_CFG, 6, true);
    const Bytes read99 = vendorCdb(SUB_SCSI_OP_99, 10);
    // Two CFGs one after the other: each is a file of its own.
    ASSERT_TRUE(good(run(writeCfgCdb, Out, 512, Bytes(512, 0x11))));
    ASSERT_TRUE(good(run(writeCfgCdb, Out, 512, Bytes(512, 0x22))));
    EXPECT_EQ(run(read99, In, 512).data, Bytes(512, 0x22));
    // A description file of 2100 bytes: a full chunk, then the rest of the same file.
    Bytes file(2048, 0x33);
    ASSERT_TRUE(good(run(writeCfgCdb, Out, 2048, file)));
    ASSERT_TRUE(good(run(writeCfgCdb, Out, 52, Bytes(52, 0x44))));
    EXPECT_EQ(run(read99, In, 512).data, Bytes(512, 0x33));
    EXPECT_FALSE(good(run(writeCfgCdb, Out, 2049, Bytes(2049, 0)))) << "larger than a chunk";
}

TEST_F(ControllerTest, SerialFlashDeviceKeepsItsFilesInTheSerialFlash) {
    plug("spi");
    loadFsm();
    EXPECT_EQ(simple(SUB_SCSI_OP_READ_FLASH_ID, 5).data, (Bytes{0xFF, 0x00, 0xFF, 0x00, 0xFF}));
    EXPECT_TRUE(statusOk(simple(SUB_SCSI_OP_SPI_FLASH_CHECK, 1)));
    EXPECT_FALSE(good(scan(0, 1, 1, 1, 3, false, 0, 2))) << "no NAND flash";
    auto download = [&](const Bytes& file) {
        Bytes cdb = vendorCdb(SUB_SCSI_OP_FILE_WRITE_SETUP, 6);
        putBe32(cdb, 2, static_cast<std::uint32_t>(file.size()));
        EXPECT_TRUE(statusOk(run(cdb, In, 1)));
        for (std::size_t at = 0; at < file.size(); at += 2048) {
            const Bytes piece(
                file.begin() + static_cast<std::ptrdiff_t>(at),
                file.begin() + static_cast<std::ptrdiff_t>(std::min(at + 2048, file.size())));
            EXPECT_TRUE(good(run(vendorCdb(SUB_SCSI_OP_FILE_WRITE, 6, true), Out,
                                 static_cast<std::uint32_t>(piece.size()), piece)));
        }
        return simple(SUB_SCSI_OP_FILE_WRITE_END, 1);
    };
    auto spiRead = [&](std::uint16_t unit, std::uint16_t count) {
        Bytes cdb = vendorCdb(SUB_SCSI_OP_SPI_READ, 6);
        putBe16(cdb, 2, unit);
        putBe16(cdb, 4, count);
        return run(cdb, In, count * 256u);
    };
    Bytes firmware(3000, 0x42);
    std::memcpy(firmware.data(), "5V16", 4);
    ASSERT_TRUE(statusOk(download(firmware)));
    EXPECT_TRUE(statusOk(simple(SUB_SCSI_OP_FW_PARITY_CHECK, 2)));
    const Outcome head = spiRead(0, 16);
    ASSERT_TRUE(good(head));
    EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), head.data.begin()));
    EXPECT_EQ(head.data[3000], 0xFF) << "erased beyond the firmware";

    // An SPI file behind its 2048-byte header, whose size field must match.
    Bytes song(2048 + 10000, 0x33);
    std::fill(song.begin(), song.begin() + 2048, 0);
    std::memcpy(song.data(), "5V06", 4);
    song[4] = 0x83;
    song[5] = 0x00, song[6] = 0x00, song[7] = 0x27, song[8] = 0x10;  // 10,000
    ASSERT_TRUE(statusOk(download(song)));
    EXPECT_EQ(spiRead(256, 1).data[0], '5') << "the next 64 KiB sector";
    song[8] = 0x11;
    EXPECT_FALSE(statusOk(download(song)));

    EXPECT_FALSE(good(spiRead(8191, 2))) << "beyond the 2 MiB serial flash";
    EXPECT_TRUE(good(simple(SUB_SCSI_OP_START_DISK, 2)));
    EXPECT_FALSE(controller_->shownVolume().has_value()) << "a player without NAND shows no disk";
}

TEST_F(ControllerTest, NeedsResetUntilResetAndAgainAfterAPowerCycle) {
    plug("needs-reset");
    EXPECT_EQ(simple(SUB_SCSI_OP_GET_CHIP_NAME, 4).data, (Bytes{'5', 'V', '1', '6'}));
    EXPECT_NE(simple(SUB_SCSI_OP_READ_FLASH_ID, 5).note.find("needs SUB_SCSI_OP_RESET"),
              std::string::npos);
    const Outcome reset = simple(SUB_SCSI_OP_RESET, 0);
    ASSERT_TRUE(good(reset));
    EXPECT_TRUE(reset.leaves);
    controller_->powerUp(true);
    EXPECT_NE(simple(SUB_SCSI_OP_GET_CHIP_NAME, 4).data, (Bytes{'5', 'V', '1', '6'}));
    EXPECT_TRUE(good(simple(SUB_SCSI_OP_READ_FLASH_ID, 5)));
    replug();
    EXPECT_EQ(simple(SUB_SCSI_OP_GET_CHIP_NAME, 4).data, (Bytes{'5', 'V', '1', '6'}));
}

TEST_F(ControllerTest, InquiryVariantsAndForeignDisk) {
    struct Case {
        const char* profile;
        Bytes prefix;
    };
    const Case cases[] = {
        {"nand-2k", {0x00, 0x80, 0x02, 0x02, 0x04, 0x00, 0x00, 0x00, 'G'}},
        {"nand-512", {0x00, 0x80, 0x02, 0x02, 0x07, 0x00, 0x00, 0x00, '1', '6', '.', '1'}},
        {"nand-2chip", {0x00, 0x80, 0x02, 0x02, 0x07, 0x00, 0x00, 0x00, '1', '6', '.', '2'}},
    };
    const Bytes inquiry = {kScsiOpInquiry, 0, 0, 0, 36, 0};
    for (const Case& c : cases) {
        std::error_code error;
        controller_.reset();
        fs::remove_all(dir_, error);
        plug(c.profile);
        const Outcome answer = run(inquiry, In, 36);
        ASSERT_EQ(answer.data.size(), 36u);
        EXPECT_TRUE(std::equal(c.prefix.begin(), c.prefix.end(), answer.data.begin())) << c.profile;
    }
    controller_.reset();
    std::error_code error;
    fs::remove_all(dir_, error);
    plug("foreign");
    const Outcome answer = run(inquiry, In, 36);
    EXPECT_EQ(answer.data[4], 0x1F);
    EXPECT_NE(simple(SUB_SCSI_OP_GET_CHIP_NAME, 4).note.find("not a ZQL5Vxx"), std::string::npos);
    EXPECT_EQ(sectorsOf(readCapacity()), 64ull * 2048);
}

TEST_F(ControllerTest, StateFolderHoldsOneDevice) {
    plug("nand-2k");
    controller_.reset();
    try {
        plug("nand-512");
        FAIL() << "another device was accepted on the same state folder";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("holds another device"), std::string::npos);
    }
    EXPECT_NO_THROW(plug("needs-reset")) << "same flash, another profile: the same device";
}

}  // namespace
}  // namespace corvid::devsim
