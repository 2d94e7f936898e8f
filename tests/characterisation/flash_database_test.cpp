#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <fstream>
#include <vector>

#include "characterisation/flash_database.h"
#include "station/station_registry.h"
#include "tests/characterisation/worker_fixture.h"

namespace corvid::test {
namespace {

// The CFG the device-code table must give, written out field by field.
struct ExpectedCfg {
    std::array<std::uint8_t, 5> id;
    std::uint8_t chips;
    std::uint8_t log2Page, log2Block, log2Chip, log2PagesPerBlock;
    std::uint16_t blocksPerChipMinus1;
    std::uint8_t log2BlocksPerChip;
    std::uint32_t pagesPerChipMinus1;
    std::uint8_t largePage, pageBlockCode, pageGroupsMinus1, sectorsPerPage, cellCode;
};

Bytes expectedCfg(const ExpectedCfg& e) {
    Bytes b(512, 0);
    for (int i = 0; i < 64; i += 4) {
        std::memcpy(&b[static_cast<std::size_t>(i)], "5V16", 4);
    }
    for (int i = 64; i < 80; ++i) {
        b[static_cast<std::size_t>(i)] = 0xA0;
    }
    b[82] = e.chips;
    b[83] = 9;
    b[84] = e.log2Page;
    b[85] = e.log2Block;
    b[86] = e.log2Chip;
    b[87] = e.log2PagesPerBlock;
    b[88] = static_cast<std::uint8_t>(e.blocksPerChipMinus1 >> 8);
    b[89] = static_cast<std::uint8_t>(e.blocksPerChipMinus1);
    b[90] = e.log2BlocksPerChip;
    for (int i = 0; i < 4; ++i) {
        b[static_cast<std::size_t>(91 + i)] =
            static_cast<std::uint8_t>(e.pagesPerChipMinus1 >> (24 - 8 * i));
    }
    b[95] = e.largePage;
    b[97] = 0x60;
    b[98] = 6;
    b[99] = e.pageBlockCode;
    b[100] = e.pageGroupsMinus1;
    b[101] = e.sectorsPerPage;
    const std::uint8_t fixed[] = {0x11, 0x01, 0x02, 0x04, 0x04, 0x01, 0x00,
                                  0x33, 0x03, 0x06, 0x0C, 0x0C, 0x03, 0x00};
    std::memcpy(&b[102], fixed, sizeof fixed);
    b[116] = e.cellCode;
    b[117] = 2;
    b[126] = 1;
    std::memcpy(&b[127], e.id.data(), 5);
    putCfgChecksum(b);
    return b;
}

class FlashDatabaseTest : public WorkerTest {
  protected:
    std::filesystem::path flashDir() const { return dir_ / "flash"; }
    // A description file whose ID bytes are 'id' and whose name field holds 'name'.
    void writeDescription(const std::string& file, std::array<std::uint8_t, 5> id,
                          std::size_t size = 512, const std::string& name = "") {
        std::filesystem::create_directories(flashDir());
        Bytes bytes(size, 0);
        for (std::size_t i = 0; i < 5 && 127 + i < size; ++i) {
            bytes[127 + i] = id[i];
        }
        if (size >= 512) {
            std::memcpy(&bytes[480], name.data(), std::min<std::size_t>(name.size(), 32));
        }
        std::ofstream(flashDir() / file, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(size));
    }
    void writeFlashIni(const std::string& text) {
        std::filesystem::create_directories(flashDir());
        std::ofstream(flashDir() / "flash.ini") << text;
    }
};

TEST_F(FlashDatabaseTest, CreatedCfgOfTheWorkedExampleIsByteExactAndParses) {
    setFlashId({0xEC, 0xDA, 0x10, 0x95, 0x44});
    ASSERT_TRUE(createCfg(*w));
    EXPECT_EQ(cfg(), expectedCfg({{0xEC, 0xDA, 0x10, 0x95, 0x44},
                                  1,
                                  11,
                                  17,
                                  28,
                                  6,
                                  0x07FF,
                                  11,
                                  0x1FFFF,
                                  0,
                                  0xFD,
                                  0,
                                  4,
                                  2}));
    ASSERT_TRUE(checkAndParseCfg(*w));
    EXPECT_EQ(w->FlashInfo.iBlocksPerChip, 2048);
    EXPECT_EQ(w->FlashInfo.iPageSize, 2048);
    EXPECT_EQ(w->FlashInfo.iPagesPerBlock, 64);
    EXPECT_EQ(w->FlashInfo.iSectorSize, 512);
    EXPECT_EQ(w->FlashInfo.iTypeEcc, 6);
    EXPECT_EQ(w->FlashInfo.iPermitEcc, 1);  // iEccLevel 2 is ECC level 1
    EXPECT_EQ(w->bPageMapValid, 0);
    EXPECT_EQ(w->bFixedBlocks, 0);
}

TEST_F(FlashDatabaseTest, CreatedCfgOfSmallPageDeviceIsByteExact) {
    setFlashId({0xEC, 0x75, 0xA5, 0xBD, 0x00}, 2);
    ASSERT_TRUE(createCfg(*w));
    EXPECT_EQ(cfg(), expectedCfg({{0xEC, 0x75, 0xA5, 0xBD, 0x00},
                                  2,
                                  9,
                                  14,
                                  25,
                                  5,
                                  0x07FF,
                                  11,
                                  0xFFFF,
                                  0,
                                  0x7D,
                                  0,
                                  1,
                                  3}));
    ASSERT_TRUE(checkAndParseCfg(*w));
    EXPECT_EQ(w->FlashInfo.iPageSize, 512);
    EXPECT_EQ(w->FlashInfo.iPagesPerBlock, 32);
    EXPECT_EQ(w->FlashInfo.iPageSize * w->FlashInfo.iPagesPerBlock, 16384);
    EXPECT_EQ(w->FlashInfo.iBlocksPerChip, 2048);
}

TEST_F(FlashDatabaseTest, CellCodeAndPageCodesFollowTheId) {
    struct Case {
        std::array<std::uint8_t, 5> id;
        std::uint8_t cellCode, log2Page, log2Block, largePage, pageBlockCode;
    };
    const Case cases[] = {
        {{0xEC, 0xD3, 0x14, 0x25, 0x00}, 3, 11, 18, 0, 0xFD},  // multi-level cells
        {{0x2C, 0xD5, 0x84, 0x26, 0x00}, 0, 12, 18, 0, 0xFE},  // Micron, 4 KiB pages
        {{0xAD, 0xD5, 0x84, 0x26, 0x00}, 3, 12, 18, 0, 0xFE},
        {{0xEC, 0xD7, 0x00, 0x23, 0x00}, 2, 13, 18, 1, 0x7F},  // 8 KiB pages, 32 per block
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id[1]);
        setFlashId(c.id);
        ASSERT_TRUE(createCfg(*w));
        EXPECT_EQ(w->Cfg.cfg[116], c.cellCode);
        EXPECT_EQ(w->Cfg.cfg[84], c.log2Page);
        EXPECT_EQ(w->Cfg.cfg[85], c.log2Block);
        EXPECT_EQ(w->Cfg.cfg[95], c.largePage);
        EXPECT_EQ(w->Cfg.cfg[99], c.pageBlockCode);
    }
}

TEST_F(FlashDatabaseTest, UnknownOrImpossibleDeviceCodesCreateNoCfg) {
    setFlashId({0xEC, 0x12, 0x10, 0x95, 0x44});
    EXPECT_FALSE(createCfg(*w));
    // Page code 3 with block bits 0: the block code wraps below zero.
    setFlashId({0xEC, 0xDA, 0x10, 0x03, 0x44});
    EXPECT_FALSE(createCfg(*w));
}

TEST_F(FlashDatabaseTest, CheckRejectsUnknownSignatureAndGeometryOutOfRange) {
    struct Case {
        const char* what;
        std::size_t at;
        std::uint8_t value;
    };
    const Case cases[] = {
        {"signature", 1, 'X' + 1},
        {"16384-byte pages", 85, 20},  // with byte 84 = 14 below
        {"256 pages per block", 85, 19},
        {"16 pages per block", 85, 15},
        {"flash type outside the ECC table", 96, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        setFlashId({0xEC, 0xDA, 0x10, 0x95, 0x44});
        ASSERT_TRUE(createCfg(*w));
        if (std::string(c.what) == "16384-byte pages") {
            w->Cfg.cfg[84] = 14;
        }
        w->Cfg.cfg[c.at] = c.value;
        EXPECT_FALSE(checkAndParseCfg(*w));
    }
    setFlashId({0xEC, 0xDA, 0x10, 0x95, 0x44});
    ASSERT_TRUE(createCfg(*w));
    std::memcpy(w->Cfg.cfg.data(), "5VX6", 4);
    EXPECT_TRUE(checkAndParseCfg(*w));
}

TEST_F(FlashDatabaseTest, CheckRebuildsThePageMapFromTheCfg) {
    setFlashId({0xEC, 0xDA, 0x10, 0x95, 0x44});
    ASSERT_TRUE(createCfg(*w));
    w->Cfg.cfg[132] = 1;
    w->Cfg.cfg[256] = 0x81;  // pages 0 and 7 not used
    w->Cfg.cfg[263] = 0x01;  // page 63 not used
    ASSERT_TRUE(checkAndParseCfg(*w));
    EXPECT_EQ(w->bPageMapValid, 1);
    for (int p = 0; p < 64; ++p) {
        EXPECT_EQ(w->PageMap[static_cast<std::size_t>(p)],
                  p == 0 || p == 7 || p == 63 ? 0x00 : 0xFF)
            << p;
    }
}

// The CFG a device hands back is its bad-block knowledge from an earlier production, trusted only
// with a known signature (the station's own X-marked one included) and a sane geometry.
TEST_F(FlashDatabaseTest, StoredCfgIsTakenOnlyWithAKnownSignatureAndASaneGeometry) {
    setFlashId({0xEC, 0xDA, 0x10, 0x95, 0x44});
    ASSERT_TRUE(createCfg(*w));
    ASSERT_TRUE(checkAndParseCfg(*w));
    ASSERT_EQ(w->Cfg.cfg[84], 11);  // 2048-byte pages
    ASSERT_EQ(w->Cfg.cfg[85], 17);  // 64 pages per block
    struct Case {
        const char* what;
        const char* signature;  // nullptr: as created ("5V16")
        std::uint8_t log2Page, log2Block;
        bool read;
        bool valid;
    };
    const Case cases[] = {
        {"as created", nullptr, 11, 17, true, true},
        {"read failed", nullptr, 11, 17, false, false},
        {"5VX6", "5VX6", 11, 17, true, true},
        {"written without firmware upgrade", "5X16", 11, 17, true, true},
        {"5VX6 written without firmware upgrade", "5XX6", 11, 17, true, true},
        {"unknown signature", "5Y16", 11, 17, true, false},
        {"X in another place", "5VX1", 11, 17, true, false},
        {"erased flash", "\xFF\xFF\xFF\xFF", 11, 17, true, false},
        {"256-byte pages", nullptr, 8, 14, true, false},
        {"512-byte pages", nullptr, 9, 15, true, true},
        {"8192-byte pages", nullptr, 13, 19, true, true},
        {"16384-byte pages", nullptr, 14, 20, true, false},
        {"16 pages per block", nullptr, 11, 15, true, false},
        {"32 pages per block", nullptr, 11, 16, true, true},
        {"256 pages per block", nullptr, 11, 19, true, true},
        {"512 pages per block", nullptr, 11, 20, true, false},
        {"block smaller than its page", nullptr, 11, 10, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::copy_n(w->Cfg.cfg.begin(), cfg::kSize, w->StoredCfg.begin());
        if (c.signature != nullptr) {
            std::memcpy(w->StoredCfg.data(), c.signature, 4);
        }
        w->StoredCfg[84] = c.log2Page;
        w->StoredCfg[85] = c.log2Block;
        w->StoredCfg[96] = 5;
        w->bStoredCfgValid = c.valid ? 0 : 1;
        w->iStoredFlashType = 0;
        EXPECT_EQ(takeStoredCfg(*w, c.read), c.valid);
        EXPECT_EQ(w->bStoredCfgValid, c.valid ? 1 : 0);
        EXPECT_EQ(w->iStoredFlashType, c.valid ? 5 : 0);
    }
}

// The stored page map comes back with its meaning: a set bit is a page not used.
TEST_F(FlashDatabaseTest, StoredCfgRebuildsItsPageMap) {
    setFlashId({0xEC, 0xDA, 0x10, 0x95, 0x44});
    ASSERT_TRUE(createCfg(*w));
    ASSERT_TRUE(checkAndParseCfg(*w));
    std::copy_n(w->Cfg.cfg.begin(), cfg::kSize, w->StoredCfg.begin());
    w->StoredCfg[132] = 1;
    w->StoredCfg[256] = 0x81;  // pages 0 and 7 not used
    w->StoredCfg[263] = 0x01;  // page 63 not used
    w->StoredCfg[264] = 0xFF;  // beyond the 64 pages of a block: not looked at
    ASSERT_TRUE(takeStoredCfg(*w, true));
    EXPECT_EQ(w->bStoredPageMap, 1);
    EXPECT_EQ(w->bPageMapValid, 1);
    for (std::size_t p = 0; p < 72; ++p) {
        EXPECT_EQ(w->PageMap[p], p == 0 || p == 7 || p == 63 ? 0x00 : 0xFF) << p;
    }

    // Without a page map, or from a CFG not taken, no page selection is in force.
    w->StoredCfg[132] = 0;
    ASSERT_TRUE(takeStoredCfg(*w, true));
    EXPECT_EQ(w->bStoredPageMap, 0);
    EXPECT_EQ(w->bPageMapValid, 0);
    w->StoredCfg[132] = 1;
    w->bPageMapValid = 1;
    EXPECT_FALSE(takeStoredCfg(*w, false));
    EXPECT_EQ(w->bStoredPageMap, 0);
    EXPECT_EQ(w->bPageMapValid, 0);
}

TEST_F(FlashDatabaseTest, BlocksPerChipOverrideAppliesToEveryParse) {
    registry->writeInt(kToolRegistryKey, "BlocksPerChip", 1000);
    setFlashId({0xEC, 0xDA, 0x10, 0x95, 0x44});
    ASSERT_TRUE(createCfg(*w));
    ASSERT_TRUE(checkAndParseCfg(*w));
    EXPECT_EQ(w->FlashInfo.iBlocksPerChip, 1000);
    EXPECT_EQ(w->bFixedBlocks, 1);

    writeDescription("a.txt", {0xEC, 0xDA, 0x10, 0x95, 0x44});
    w->bFixedBlocks = 0;
    ASSERT_TRUE(parseFlashFile(*w, flashDir() / "a.txt"));
    EXPECT_EQ(w->FlashInfo.iBlocksPerChip, 1000);
    EXPECT_EQ(w->bFixedBlocks, 1);

    registry->writeInt(kToolRegistryKey, "BlocksPerChip", -5);
    ASSERT_TRUE(createCfg(*w));
    ASSERT_TRUE(checkAndParseCfg(*w));
    EXPECT_EQ(w->bFixedBlocks, 0);
}

TEST_F(FlashDatabaseTest, ParseOfDescriptionFileReadsGeometryWithoutChecks) {
    std::filesystem::create_directories(flashDir());
    Bytes file(600, 0);  // no signature, no checksum: the file route tests neither
    file[64] = 0x01;
    file[84] = 12;
    file[85] = 19;
    file[90] = 12;
    file[96] = 3;
    std::ofstream(flashDir() / "x.txt", std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()),
               static_cast<std::streamsize>(file.size()));
    settings.record.iEccLevel = 0;
    ASSERT_TRUE(parseFlashFile(*w, flashDir() / "x.txt"));
    EXPECT_EQ(w->FlashInfo.iPageSize, 4096);
    EXPECT_EQ(w->FlashInfo.iPagesPerBlock, 128);
    EXPECT_EQ(w->FlashInfo.iBlocksPerChip, 4096);
    EXPECT_EQ(w->FlashInfo.iSectorSize, 1024);
    EXPECT_EQ(w->iFlashType, 3);
    EXPECT_EQ(w->FlashInfo.iTypeEcc, 13);
    EXPECT_EQ(w->FlashInfo.iPermitEcc, 2);  // "Default" on this route is 2, not the type's ECC
    EXPECT_TRUE(std::equal(file.begin(), file.begin() + 512, w->Cfg.cfg.begin()));

    writeDescription("short.txt", {1, 2, 3, 4, 5}, 127);
    EXPECT_FALSE(parseFlashFile(*w, flashDir() / "short.txt"));
    EXPECT_FALSE(parseFlashFile(*w, flashDir() / "missing.txt"));
    file[84] = 14;  // 16 KiB pages do not fit the work area
    file[85] = 21;
    std::ofstream(flashDir() / "big.txt", std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()),
               static_cast<std::streamsize>(file.size()));
    EXPECT_FALSE(parseFlashFile(*w, flashDir() / "big.txt"));
}

TEST_F(FlashDatabaseTest, LookupPrefersExactMatchOverPartialWhateverTheOrder) {
    const std::array<std::uint8_t, 5> device{0xEC, 0xD3, 0x51, 0x95, 0x58};
    writeDescription("a_partial.txt", {0xEC, 0xD3, 0x51, 0x15, 0x00});  // bit 7 of ID3, ID4
    writeDescription("b_exact.txt", device);
    writeDescription("c_partial.txt", {0xEC, 0xD3, 0x51, 0x95, 0x11});
    EXPECT_EQ(findFlashFile(flashDir(), device), "b_exact.txt");
    std::filesystem::remove(flashDir() / "b_exact.txt");
    EXPECT_EQ(findFlashFile(flashDir(), device), "a_partial.txt");
}

TEST_F(FlashDatabaseTest, LookupSkipsFilesThatCannotMatch) {
    const std::array<std::uint8_t, 5> device{0xEC, 0xD3, 0x51, 0x95, 0x58};
    writeDescription("id2.txt", {0xEC, 0xD3, 0x52, 0x95, 0x58});  // differs in ID2
    writeDescription("zero.txt", {0, 0, 0, 0, 0});                // names no flash
    writeDescription("short.txt", device, 127);                   // too short
    writeDescription(".hidden.txt", device);                      // hidden
    writeDescription("notes.bin", device);                        // not a description
    std::filesystem::create_directories(flashDir() / "dir.txt");  // a folder
    EXPECT_EQ(findFlashFile(flashDir(), device), "0");
    writeDescription("UPPER.TXT", device);
    EXPECT_EQ(findFlashFile(flashDir(), device), "UPPER.TXT");
    EXPECT_EQ(findFlashFile(dir_ / "nowhere", device), "0");
}

TEST_F(FlashDatabaseTest, DisplayNameComesFromFlashIniByChipCount) {
    writeFlashIni("[k9.txt]\n1=K9F1G08\n4=K9F4G08 quad\n[0]\n1=Unknown flash\n[empty.txt]\n1=\n");
    struct Case {
        std::string file;
        int chips;
        std::string name;
    };
    const Case cases[] = {
        {"k9.txt", 1, "K9F1G08"},  {"k9.txt", 2, "K9F1G08 x 2"}, {"k9.txt", 4, "K9F4G08 quad"},
        {"0", 1, "Unknown flash"}, {"empty.txt", 1, "DEFAULT"},  {"other.txt", 2, "DEFAULT"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(flashDisplayName(flashDir(), c.file, c.chips), c.name) << c.file << c.chips;
    }
    std::filesystem::remove(flashDir() / "flash.ini");
    EXPECT_EQ(flashDisplayName(flashDir(), "k9.txt", 1), "DEFAULT");
}

TEST_F(FlashDatabaseTest, LookUpSetsDisplayNameAndEmbeddedNameIsReadBack) {
    writeDescription("k9.txt", {0xEC, 0xDA, 0x10, 0x95, 0x44}, 512, "Samsung K9F2G08");
    writeDescription("plain.txt", {0xAD, 0xDA, 0x10, 0x95, 0x44});
    writeFlashIni("[k9.txt]\n1=From ini\n");
    setFlashId({0xEC, 0xDA, 0x10, 0x95, 0x44}, 2);
    EXPECT_EQ(lookUpFlashFile(*w), "k9.txt");
    EXPECT_EQ(w->FlashInfo.sFlashName, "From ini x 2");
    EXPECT_EQ(readEmbeddedName(flashDir() / "k9.txt"), "Samsung K9F2G08");
    EXPECT_EQ(readEmbeddedName(flashDir() / "plain.txt"), "DEFAULT");
    EXPECT_EQ(readEmbeddedName(flashDir() / "missing.txt"), "DEFAULT");

    const std::string full(40, 'N');  // 32 bytes without a terminator
    writeDescription("long.txt", {1, 2, 3, 4, 5}, 512, full);
    EXPECT_EQ(readEmbeddedName(flashDir() / "long.txt"), std::string(32, 'N'));
}

}  // namespace
}  // namespace corvid::test
