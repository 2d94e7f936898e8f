#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "devsim/profile.h"

namespace corvid::devsim {
namespace {

namespace fs = std::filesystem;

class TempDir {
  public:
    TempDir() {
        std::random_device random;
        path_ = fs::temp_directory_path() / ("devsim-profile-" + std::to_string(random()));
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code error;
        fs::remove_all(path_, error);
    }
    fs::path write(const std::string& name, const std::string& text) const {
        std::ofstream(path_ / name) << text;
        return path_ / name;
    }

  private:
    fs::path path_;
};

TEST(FlashIdGeometry, DecodesDeviceCodeAndIdByte3) {
    struct Case {
        FlashIdBytes id;
        NandGeometry expected;
    };
    const Case cases[] = {
        {{0xEC, 0xDA, 0x10, 0x95, 0x44}, {2048, 64, 2048}},   // 256 MiB, 2 KiB pages
        {{0xEC, 0x75, 0x00, 0x00, 0x00}, {512, 32, 2048}},    // 32 MiB small pages
        {{0xEC, 0xD7, 0x94, 0xB6, 0x74}, {4096, 128, 8192}},  // 4 GiB, 512 KiB blocks
        {{0xEC, 0xF1, 0x00, 0x95, 0x40}, {2048, 64, 1024}},   // 128 MiB
    };
    for (const Case& c : cases) {
        const auto geometry = geometryFromFlashId(c.id);
        ASSERT_TRUE(geometry.has_value()) << flashIdText(c.id);
        EXPECT_EQ(*geometry, c.expected) << flashIdText(c.id);
    }
    EXPECT_FALSE(geometryFromFlashId({0xEC, 0x12, 0, 0, 0}).has_value());
}

TEST(BuiltinProfiles, AllValidAndAsTheIssueAsks) {
    for (const auto& summary : builtinProfiles()) {
        EXPECT_NO_THROW(resolveProfile(summary.name).validate()) << summary.name;
    }
    EXPECT_EQ(flashIdText(resolveProfile("nand-2k").flashId), "ID:ECDA109544");
    EXPECT_EQ(resolveProfile("nand-512").flashId[1], 0x75);
    EXPECT_EQ(resolveProfile("nand-2chip").chips, 2u);
    EXPECT_TRUE(resolveProfile("needs-reset").needsReset);
    EXPECT_TRUE(resolveProfile("spi").isSerialFlash());
    EXPECT_TRUE(resolveProfile("foreign").isForeign());

    const auto bad = resolveProfile("nand-bad").badBlockTable();
    const auto count = std::count(bad.begin(), bad.end(), true);
    EXPECT_GT(count, 2048 * 20 / 100);
    EXPECT_LT(count, 2048 * 30 / 100);
    EXPECT_FALSE(bad[0]) << "block 0 of a chip is guaranteed good";
    EXPECT_EQ(bad, resolveProfile("nand-bad").badBlockTable()) << "seeded: the same every time";

    const auto twoChips = resolveProfile("nand-2chip").badBlockTable();
    EXPECT_TRUE(twoChips[9]);
    EXPECT_TRUE(twoChips[2048 + 1]);
    EXPECT_TRUE(twoChips[2048 + 2047]);
    EXPECT_EQ(std::count(twoChips.begin(), twoChips.end(), true), 3);
}

TEST(WeakPages, LowestMatchingResultWins) {
    const DeviceProfile weak = resolveProfile("nand-weak");
    EXPECT_EQ(weak.pageResult(0, 0), 0xFF);
    EXPECT_EQ(weak.pageResult(0, 1), 0xF0);
    EXPECT_EQ(weak.pageResult(100, 2), 0xFC);
    EXPECT_EQ(weak.pageResult(100, 3), 0xF0);
    EXPECT_EQ(weak.pageResult(110, 2), 0xFF);
}

TEST(ProfileFile, RoundTripsEveryBuiltin) {
    TempDir dir;
    for (const auto& summary : builtinProfiles()) {
        const DeviceProfile original = resolveProfile(summary.name);
        const DeviceProfile loaded =
            loadProfileFile(dir.write(summary.name + ".ini", profileToIni(original)));
        EXPECT_EQ(loaded.name, original.name);
        EXPECT_EQ(loaded.flashId, original.flashId);
        EXPECT_EQ(loaded.chips, original.chips);
        EXPECT_EQ(loaded.geometry, original.geometry);
        EXPECT_EQ(loaded.inquiry, original.inquiry);
        EXPECT_EQ(loaded.needsReset, original.needsReset);
        EXPECT_EQ(loaded.unreadableDisk, original.unreadableDisk);
        EXPECT_EQ(loaded.serialFlashSize, original.serialFlashSize);
        EXPECT_EQ(loaded.foreignDiskMiB, original.foreignDiskMiB);
        if (!original.isForeign() && !original.isSerialFlash()) {
            EXPECT_EQ(loaded.badBlockTable(), original.badBlockTable()) << summary.name;
            for (std::uint32_t page = 0; page < 8; ++page) {
                EXPECT_EQ(loaded.pageResult(100, page), original.pageResult(100, page));
            }
        }
    }
}

TEST(ProfileFile, BaseProfileWithChangesAndChipSections) {
    TempDir dir;
    const DeviceProfile profile = loadProfileFile(dir.write("mine.ini", R"([device]
base = nand-2k
name = my-flash
chips = 2
bad-blocks = 10, 2050-2051
port = 9
inquiry = 16.2
weak-pages = 7:0-3:E8
[chip1]
bad-block-rate = 0
)"));
    EXPECT_EQ(profile.name, "my-flash");
    EXPECT_EQ(profile.chips, 2u);
    EXPECT_EQ(profile.port, 9);
    EXPECT_EQ(profile.inquiry, InquiryVariant::V16_2);
    const auto bad = profile.badBlockTable();
    EXPECT_EQ(std::count(bad.begin(), bad.end(), true), 3);
    EXPECT_TRUE(bad[10] && bad[2050] && bad[2051]);
    EXPECT_EQ(profile.pageResult(7, 3), 0xE8);
    EXPECT_EQ(profile.pageResult(7, 4), 0xFF);
}

TEST(ProfileFile, BadFilesNameTheirFault) {
    struct Case {
        const char* text;
        const char* mentions;
    };
    const Case cases[] = {
        {"[device]\nflash-id = EC DA 10\n", "flash-id"},
        {"[device]\nflash-id = EC 12 00 00 00\n", "no known NAND device code"},
        {"[device]\nbase = nand-2k\nchips = many\n", "chips"},
        {"[device]\nbase = nand-2k\nbad-blocks = 5000\n", "beyond the last block"},
        {"[device]\nbase = nand-2k\ninquiry = X\n", "inquiry"},
        {"[device]\nbase = nand-2k\ncolour = red\n", "colour"},
        {"[devise]\nbase = nand-2k\n", "[devise]"},
        {"[device]\nbase = nand-9k\n", "nand-9k"},
        {"[device]\nbase = nand-2k\nweak-pages = 1:2\n", "weak-pages"},
        {"[device]\nbase = nand-2k\npage-size = 3000\n", "page-size"},
        {"[device]\nbase = spi\nserial-flash-size = 100000\n", "serial-flash-size"},
    };
    TempDir dir;
    for (const Case& c : cases) {
        const fs::path file = dir.write("bad.ini", c.text);
        try {
            loadProfileFile(file);
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const ProfileError& e) {
            EXPECT_NE(std::string(e.what()).find(c.mentions), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(file.string()), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW(resolveProfile("no-such-profile"), ProfileError);
}

TEST(ProfileFile, LimitsOfTheKeyTableAreNamedWhenBroken) {
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"[device]\nbase = nand-2k\nchips = 0\n", "chips must be from 1 to 16"},
        {"[device]\nbase = nand-2k\npages-per-block = 24\n",
         "pages-per-block must be a power of two from 16 to 512"},
        {"[device]\nbase = nand-2k\nblocks-per-chip = 2044\n",
         "blocks-per-chip must be a multiple of 8 from 8 to 65536"},
        {"[device]\nbase = nand-2k\nchips = 16\nblocks-per-chip = 8192\n",
         "all chips together must have at most 65536 blocks"},
        {"[device]\nbase = foreign\ndisk-size-mb = 0\n", "disk-size-mb must be from 1 to 65536"},
        {"[device]\nbase = spi\nserial-flash-size = 96K\n",
         "serial-flash-size must be a multiple of 64K from 64K to 16M"},
        {"[device]\nbase = nand-2k\nport = 128\n", "device/port has the value \"128\""},
        {"[device]\nbase = nand-2k\n[chip0]\nbad-block-rate = 101\n",
         "chip0/bad-block-rate must be a percentage from 0 to 100"},
        {"[device]\nbase = nand-2k\n[chip0]\ncolour = red\n", "chip0/colour is not a known key"},
    };
    TempDir dir;
    for (const Case& c : cases) {
        try {
            loadProfileFile(dir.write("limits.ini", c.text));
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const ProfileError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

TEST(ProfileFile, AWrittenProfileExplainsEveryKeyAProfileFileMayHold) {
    for (const auto& summary : builtinProfiles()) {
        const std::string text = profileToIni(resolveProfile(summary.name));
        std::istringstream lines(text);
        std::string line;
        std::string section;
        while (std::getline(lines, line)) {
            if (line.starts_with("[")) {
                section = line.starts_with("[chip") ? "[chipN]" : line;
                continue;
            }
            const auto equals = line.find(" = ");
            if (line.starts_with(";") || equals == std::string::npos) {
                continue;
            }
            // Every written key has its line of explanation in the comments above.
            const std::string explained = ";   " + section + " " + line.substr(0, equals) + ": ";
            EXPECT_NE(text.find(explained), std::string::npos) << summary.name << ": " << line;
        }
    }
    // Keys that are read but never written are explained too.
    const std::string text = profileToIni(resolveProfile("nand-2k"));
    for (const char* key : {";   [device] base: ", ";   [device] bad-blocks: ",
                            ";   [device] bad-block-rate: ", ";   [chipN] bad-block-rate: "}) {
        EXPECT_NE(text.find(key), std::string::npos) << key;
    }
}

}  // namespace
}  // namespace corvid::devsim
