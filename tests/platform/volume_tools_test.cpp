// The pure parts of the volume tools: the cluster size of each file-system choice, the label
// check, and (Linux) the plan mkfs.fat is given.

#include "platform/volume_tools.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include "platform/volume_tools_linux.h"
#endif

namespace corvid {
namespace {

constexpr std::uint64_t kMiB = 1ull << 20;
constexpr std::uint64_t kGiB = 1ull << 30;

TEST(ClusterBytesFor, FollowsTheSystemFormatTables) {
    struct Case {
        FileSystemChoice choice;
        std::uint64_t volumeBytes;
        std::uint32_t clusterBytes;
    };
    using C = FileSystemChoice;
    const Case cases[] = {
        {C::Fat16Unit1K, 32 * kMiB, 1024},
        {C::Fat16Unit1K, 2 * kGiB, 1024},  // the unit is the choice's, whatever the size
        {C::Fat16Unit8K, 64 * kMiB, 8192},
        {C::Fat16Unit8K, 1 * kMiB, 8192},
        {C::Fat16SystemUnit, 16 * kMiB, 2048},
        {C::Fat16SystemUnit, 128 * kMiB - 1, 2048},
        {C::Fat16SystemUnit, 128 * kMiB, 4096},
        {C::Fat16SystemUnit, 255 * kMiB, 4096},
        {C::Fat16SystemUnit, 256 * kMiB, 8192},
        {C::Fat16SystemUnit, 511 * kMiB, 8192},
        {C::Fat16SystemUnit, 512 * kMiB, 16384},
        {C::Fat16SystemUnit, 1023 * kMiB, 16384},
        {C::Fat16SystemUnit, 1024 * kMiB, 32768},
        {C::Fat16SystemUnit, 2 * kGiB - 1, 32768},
        {C::Fat16SystemUnit, 2 * kGiB, 65536},
        {C::Fat32SystemUnit, 600 * kMiB, 4096},
        {C::Fat32SystemUnit, 8 * kGiB - 1, 4096},
        {C::Fat32SystemUnit, 8 * kGiB, 8192},
        {C::Fat32SystemUnit, 16 * kGiB, 16384},
        {C::Fat32SystemUnit, 32 * kGiB - 1, 16384},
        {C::Fat32SystemUnit, 32 * kGiB, 32768},
        {C::Fat32SystemUnit, 256 * kGiB, 32768},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.choice)) + " at " +
                     std::to_string(c.volumeBytes) + " bytes");
        EXPECT_EQ(clusterBytesFor(c.choice, c.volumeBytes), c.clusterBytes);
    }
}

TEST(CheckVolumeLabel, StoresWhatFatHoldsAndRefusesTheRest) {
    struct Case {
        std::string label;
        std::optional<CodePage> codePage;
        bool ok;
        std::string stored;  // when ok; else a piece of the reason
    };
    const Case cases[] = {
        {"", std::nullopt, true, ""},
        {"du_vozer", std::nullopt, true, "DU_VOZER"},
        {"My Disk 2", std::nullopt, true, "MY DISK 2"},
        {"ELEVENBYTES", std::nullopt, true, "ELEVENBYTES"},
        {"TRAILING   ", std::nullopt, true, "TRAILING"},
        {"TWELVE BYTES", std::nullopt, false, "12 bytes"},
        {"A*B", std::nullopt, false, "character *"},
        {"A.B", std::nullopt, false, "character ."},
        {"WHAT?", std::nullopt, false, "character ?"},
        {"C:", std::nullopt, false, "character :"},
        {std::string("TAB\tX"), std::nullopt, false, "control character"},
        // GBK "中文测试" + "ab": the Chinese bytes stay, the ASCII letters are upper-cased.
        {"\xD6\xD0\xCE\xC4\xB2\xE2\xCA\xD4"
         "ab",
         CodePage::Gbk, true,
         "\xD6\xD0\xCE\xC4\xB2\xE2\xCA\xD4"
         "AB"},
        // Trail bytes that look like 'a', '\' and '|' belong to their characters.
        {"\x81\x61\x81\x5C\x81\x7C", CodePage::Gbk, true, "\x81\x61\x81\x5C\x81\x7C"},
        {"\xA4\x5C\xA4\xE5", CodePage::Big5, true, "\xA4\x5C\xA4\xE5"},  // two Big5 characters
        // Six Chinese characters are twelve bytes.
        {"\xD6\xD0\xCE\xC4\xD6\xD0\xCE\xC4\xD6\xD0\xCE\xC4", CodePage::Gbk, false, "12 bytes"},
        {"AB\xD6", CodePage::Gbk, false, "breaks off"},
        {"\xA4\x80", CodePage::Big5, false, "breaks off"},  // 0x80 is no Big5 trail byte
        // Without a double-byte code page each byte stands alone: the '\' is refused.
        {"\x81\x5C", std::nullopt, false, "character \\"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const VolumeLabelCheck check = checkVolumeLabel(c.label, c.codePage);
        EXPECT_EQ(check.ok, c.ok) << check.reason;
        if (c.ok) {
            EXPECT_EQ(check.label, c.stored);
        } else {
            EXPECT_NE(check.reason.find(c.stored), std::string::npos) << check.reason;
            EXPECT_NE(check.reason.find("volume label"), std::string::npos) << check.reason;
        }
    }
}

#ifndef _WIN32  // the format plan of the Linux volume tools (mkfs.fat)
TEST(PlanFatFormat, ChoosesFatTypeClusterAndRefusals) {
    struct Case {
        FileSystemChoice choice;
        std::uint64_t volumeBytes;
        std::uint32_t sectorSize;
        int fatBits;  // 0: refused
        std::uint32_t clusterBytes;
    };
    using C = FileSystemChoice;
    const Case cases[] = {
        {C::Fat16Unit1K, 32 * kMiB, 512, 16, 1024},
        {C::Fat16Unit1K, 32 * kMiB, 1024, 16, 1024},
        {C::Fat16Unit1K, 2 * kMiB, 512, 12, 1024},  // 2048 clusters: FAT12
        {C::Fat16Unit8K, 64 * kMiB, 512, 16, 8192},
        {C::Fat16Unit8K, 4 * kMiB, 512, 12, 8192},   // a tiny hidden part
        {C::Fat16Unit8K, 33 * kMiB, 512, 16, 8192},  // 4224 clusters
        {C::Fat16SystemUnit, 256 * kMiB, 512, 16, 8192},
        {C::Fat16SystemUnit, 100 * kMiB, 512, 16, 2048},
        {C::Fat16SystemUnit, 1 * kMiB, 512, 12, 2048},
        {C::Fat32SystemUnit, 1 * kGiB, 512, 32, 4096},
        {C::Fat32SystemUnit, 9 * kGiB, 512, 32, 8192},
        {C::Fat32SystemUnit, 100 * kMiB, 512, 32, 1024},  // halved until FAT32 has its clusters
        {C::Fat32SystemUnit, 16 * kMiB, 512, 0, 0},       // too small for FAT32 at any unit
        {C::Fat16Unit1K, 128 * kMiB, 512, 0, 0},          // too many 1 KB clusters for FAT16
        {C::Fat16Unit1K, 16 * 1024, 512, 0, 0},           // no room beside the FAT and root
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.choice)) + " at " +
                     std::to_string(c.volumeBytes) + " bytes, sector " +
                     std::to_string(c.sectorSize));
        const FatFormatPlan plan = planFatFormat(c.choice, c.volumeBytes, c.sectorSize);
        EXPECT_EQ(plan.fatBits, c.fatBits) << plan.refusal;
        if (c.fatBits == 0) {
            EXPECT_FALSE(plan.refusal.empty());
            continue;
        }
        EXPECT_EQ(plan.clusterBytes, c.clusterBytes);
        EXPECT_EQ(plan.reservedSectors % (plan.clusterBytes / c.sectorSize), 0u)
            << "the data area starts on a cluster boundary";
        if (plan.fatBits == 12) {
            EXPECT_LE(plan.clusters, 4084u);
        } else if (plan.fatBits == 16) {
            EXPECT_GE(plan.clusters, 4085u);
            EXPECT_LE(plan.clusters, 65524u);
        } else {
            EXPECT_GE(plan.clusters, 65525u);
        }
    }
}
#endif

}  // namespace
}  // namespace corvid
