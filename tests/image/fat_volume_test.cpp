#include "image/fat_volume.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/byte_order.h"

namespace corvid {
namespace {

std::vector<std::byte> readSector(RamDisk& disk, std::uint32_t sector) {
    std::vector<std::byte> data(disk.sectorSize());
    EXPECT_TRUE(disk.RamDiskRead(sector, 1, data.data()));
    return data;
}

std::uint8_t u8(const std::vector<std::byte>& bytes, std::size_t offset) {
    return std::to_integer<std::uint8_t>(bytes.at(offset));
}

std::string text(const std::vector<std::byte>& bytes, std::size_t offset, std::size_t length) {
    return std::string(reinterpret_cast<const char*>(bytes.data() + offset), length);
}

// A fresh volume over its own store.
struct Volume {
    Volume(std::uint32_t sizeMb, std::uint32_t sectorSize, ShortNameCodePage codePage = {})
        : fat(disk, codePage) {
        EXPECT_TRUE(fat.ImgDiskCreate(
            static_cast<std::uint32_t>((std::uint64_t{sizeMb} << 20) / sectorSize), sectorSize))
            << fat.failure();
    }

    // 32 bytes of the directory entry at a slot of a directory starting at 'sector'.
    std::vector<std::byte> entry(std::uint32_t sector, std::uint32_t slot) {
        const std::uint32_t perSector = fat.bytesPerSector() / 32;
        const auto data = readSector(disk, sector + slot / perSector);
        const auto begin = data.begin() + (slot % perSector) * 32;
        return std::vector<std::byte>(begin, begin + 32);
    }
    std::uint32_t rootSector() const { return fat.fatStart() + fat.fatCount() * fat.fatSize(); }
    std::vector<std::byte> rootEntry(std::uint32_t slot) { return entry(rootSector(), slot); }
    std::vector<std::byte> folderEntry(std::uint32_t cluster, std::uint32_t slot) {
        return entry(fat.clusterSector(cluster), slot);
    }

    // Creates a file holding 'size' bytes of 'fill' and closes it.
    bool addFile(const std::u16string& longPath, const std::string& shortPath, std::size_t size,
                 std::uint8_t fill = 0x5A) {
        auto file = fat.ImgCreateFile(longPath, shortPath);
        if (!file) {
            return false;
        }
        const std::vector<std::byte> piece(fat.bytesPerSector(), std::byte{fill});
        for (std::size_t done = 0; done < size;) {
            const std::size_t n = std::min<std::size_t>(piece.size(), size - done);
            if (fat.ImgWriteFile(*file, std::span<const std::byte>(piece.data(), n)) != n) {
                return false;
            }
            done += n;
        }
        file->entry.fileSize = static_cast<std::uint32_t>(size);
        return fat.ImgCloseFile(std::move(file));
    }

    RamDisk disk;
    FAT_VOLUME fat;
};

std::uint32_t clusterOf(const std::vector<std::byte>& entry) {
    return loadLe16(entry.data() + 26) | (std::uint32_t{loadLe16(entry.data() + 20)} << 16);
}

struct GeometryCase {
    std::uint32_t sizeMb;
    std::uint32_t sectorSize;
    FatType type;
    std::uint32_t sectorsPerCluster;
    std::uint32_t fatStart;
    std::uint32_t fatSize;
    std::uint32_t firstDataSector;
    std::uint32_t clusterCount;
};

TEST(FatVolumeTest, FormatLaysOutTheVolumeByItsSize) {
    const std::vector<GeometryCase> cases = {
        {64, 512, FatType::Fat16, 4, 1, 128, 289, 32695},
        {64, 1024, FatType::Fat16, 2, 1, 64, 145, 32695},
        {32, 512, FatType::Fat16, 4, 1, 64, 161, 16343},
        // The edges of the cluster-size bands (1, 2, 4, 8, 16 KB from 16, 128, 256, 512 MB),
        // with the size just below each.
        {15, 512, FatType::Fat16, 2, 1, 60, 153, 15283},
        {15, 1024, FatType::Fat16, 1, 1, 30, 77, 15283},
        {16, 512, FatType::Fat16, 4, 1, 32, 97, 8167},
        {16, 1024, FatType::Fat16, 2, 1, 16, 49, 8167},
        {127, 512, FatType::Fat16, 4, 1, 254, 541, 64888},
        {127, 1024, FatType::Fat16, 2, 1, 127, 271, 64888},
        {128, 512, FatType::Fat16, 8, 1, 128, 289, 32731},
        {128, 1024, FatType::Fat16, 4, 1, 64, 145, 32731},
        {255, 512, FatType::Fat16, 8, 1, 255, 543, 65212},
        {255, 1024, FatType::Fat16, 4, 1, 128, 273, 65211},
        {256, 512, FatType::Fat16, 16, 1, 128, 289, 32749},
        {256, 1024, FatType::Fat16, 8, 1, 64, 145, 32749},
        {511, 512, FatType::Fat16, 16, 1, 256, 545, 65373},
        {511, 1024, FatType::Fat16, 8, 1, 128, 273, 65373},
        {512, 512, FatType::Fat16, 32, 1, 128, 289, 32758},
        {512, 1024, FatType::Fat16, 16, 1, 64, 145, 32758},
        {1024, 512, FatType::Fat16, 64, 1, 128, 289, 32763},
        // 2048 MB: 32 KB clusters, the reserved area grown to bring the count to 65,524.
        {2048, 512, FatType::Fat16, 64, 161, 256, 705, 65524},
        {2048, 1024, FatType::Fat16, 32, 81, 128, 353, 65524},
        {2056, 512, FatType::Fat32, 32, 32, 1028, 2088, 131518},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.sizeMb) + " MB, " + std::to_string(c.sectorSize));
        Volume v(c.sizeMb, c.sectorSize);
        EXPECT_EQ(v.fat.fatType(), c.type);
        EXPECT_EQ(v.fat.sectorsPerCluster(), c.sectorsPerCluster);
        EXPECT_EQ(v.fat.fatStart(), c.fatStart);
        EXPECT_EQ(v.fat.fatCount(), 2u);
        EXPECT_EQ(v.fat.fatSize(), c.fatSize);
        EXPECT_EQ(v.fat.firstDataSector(), c.firstDataSector);
        EXPECT_EQ(v.fat.clusterCount(), c.clusterCount);
        EXPECT_EQ(v.fat.rootEntryCount(), c.type == FatType::Fat16 ? 512u : 0u);
        EXPECT_EQ(v.fat.rootCluster(), c.type == FatType::Fat32 ? 2u : 0u);
    }
}

TEST(FatVolumeTest, VolumesTooSmallOrTooLargeAreRefused) {
    RamDisk disk;
    FAT_VOLUME fat(disk);
    EXPECT_FALSE(fat.ImgDiskCreate(2048, 512));      // 1 MB: too few clusters for FAT16
    EXPECT_FALSE(fat.ImgDiskCreate(8u << 20, 512));  // 4 GiB
    EXPECT_FALSE(fat.ImgDiskCreate(65536, 768));
    EXPECT_EQ(fat.fatType(), FatType::None);
    EXPECT_EQ(fat.ImgCreateFile(u"\\a", "\\A"), nullptr);
}

TEST(FatVolumeTest, BootSectorBytes) {
    for (const std::uint32_t sectorSize : {512u, 1024u}) {
        Volume v(64, sectorSize);
        const auto boot = readSector(v.disk, 0);
        EXPECT_EQ(u8(boot, 0), 0xEB);
        EXPECT_EQ(u8(boot, 1), 0x00);
        EXPECT_EQ(u8(boot, 2), 0x90);
        EXPECT_EQ(text(boot, 3, 8), std::string("ZQL5Vx6\0", 8));
        EXPECT_EQ(loadLe16(boot.data() + 11), sectorSize);
        EXPECT_EQ(u8(boot, 13), 2048 / sectorSize);
        EXPECT_EQ(loadLe16(boot.data() + 14), 1);
        EXPECT_EQ(u8(boot, 16), 2);
        EXPECT_EQ(loadLe16(boot.data() + 17), 512);
        EXPECT_EQ(loadLe16(boot.data() + 19), 0);
        EXPECT_EQ(u8(boot, 21), 0xF8);
        EXPECT_EQ(loadLe16(boot.data() + 22), 65536 / sectorSize);
        EXPECT_EQ(loadLe32(boot.data() + 32), (64u << 20) / sectorSize);
        // No drive number, no extended boot signature, no serial number, no label.
        EXPECT_EQ(std::vector<std::byte>(boot.begin() + 24, boot.begin() + 32),
                  std::vector<std::byte>(8));
        EXPECT_EQ(std::vector<std::byte>(boot.begin() + 36, boot.begin() + 54),
                  std::vector<std::byte>(18));
        EXPECT_EQ(text(boot, 54, 8), "FAT16   ");
        EXPECT_EQ(std::vector<std::byte>(boot.begin() + 62, boot.begin() + 90),
                  std::vector<std::byte>(28));
        EXPECT_EQ(std::vector<std::byte>(boot.begin() + 90, boot.begin() + 510),
                  std::vector<std::byte>(420, std::byte{0xFF}));
        EXPECT_EQ(u8(boot, 510), 0x55);
        EXPECT_EQ(u8(boot, 511), 0xAA);
        EXPECT_EQ(std::vector<std::byte>(boot.begin() + 512, boot.end()),
                  std::vector<std::byte>(sectorSize - 512));
    }
}

TEST(FatVolumeTest, ReservedFatEntriesInBothFats) {
    Volume fat16(64, 512);
    for (const std::uint32_t sector : {1u, 129u}) {
        const auto fat = readSector(fat16.disk, sector);
        EXPECT_EQ(loadLe32(fat.data()), 0xFFFFFFF8u) << sector;
        EXPECT_EQ(loadLe16(fat.data() + 4), 0u);
    }
    Volume fat32(2056, 512);
    for (const std::uint32_t sector : {32u, 32u + 1028}) {
        const auto fat = readSector(fat32.disk, sector);
        EXPECT_EQ(loadLe32(fat.data()), 0x0FFFFFF8u);
        EXPECT_EQ(loadLe32(fat.data() + 4), 0xFFFFFFFFu);
        EXPECT_EQ(loadLe32(fat.data() + 8), 0x0FFFFFF8u);
    }
    const auto boot = readSector(fat32.disk, 0);
    EXPECT_EQ(text(boot, 82, 8), "FAT32   ");
    EXPECT_EQ(loadLe32(boot.data() + 44), 2u);
    EXPECT_EQ(loadLe16(boot.data() + 48), 1u);
    EXPECT_EQ(loadLe16(boot.data() + 50), 6u);
    // The FS information sector and the backup boot sector it names exist.
    const auto info = readSector(fat32.disk, 1);
    EXPECT_EQ(loadLe32(info.data()), 0x41615252u);
    EXPECT_EQ(loadLe32(info.data() + 484), 0x61417272u);
    EXPECT_EQ(loadLe32(info.data() + 508), 0xAA550000u);
    EXPECT_EQ(readSector(fat32.disk, 6), boot);
}

TEST(FatVolumeTest, LabelEntryIsZeroPaddedAndHoldsACluster) {
    Volume v(64, 512);
    ASSERT_TRUE(v.fat.ImgSetLabel("PASS WD"));
    const auto label = v.rootEntry(0);
    EXPECT_EQ(text(label, 0, 11), std::string("PASS WD\0\0\0\0", 11));
    EXPECT_EQ(u8(label, 11), 0x08);
    EXPECT_EQ(clusterOf(label), 2u);
    EXPECT_EQ(loadLe32(label.data() + 28), 0u);
    EXPECT_EQ(loadLe16(label.data() + 16), 0x3221);
    EXPECT_EQ(loadLe16(label.data() + 18), 0x3221);
    EXPECT_EQ(loadLe16(label.data() + 24), 0x3221);
    EXPECT_EQ(v.fat.fatEntry(2), 0xFFF8u);
    ASSERT_TRUE(v.addFile(u"\\a.txt", "\\A.TXT", 10));
    EXPECT_EQ(clusterOf(v.rootEntry(2)), 3u);  // after the label and a long-name entry
}

TEST(FatVolumeTest, SettingTheLabelAgainReplacesIt) {
    Volume v(64, 512);
    ASSERT_TRUE(v.fat.ImgSetLabel("OLD"));
    ASSERT_TRUE(v.fat.ImgSetLabel("NEW"));
    const auto label = v.rootEntry(0);
    EXPECT_EQ(text(label, 0, 11), std::string("NEW\0\0\0\0\0\0\0\0", 11));
    EXPECT_EQ(clusterOf(label), 2u);  // the old label's cluster came free and was taken again
    EXPECT_EQ(u8(v.rootEntry(1), 0), 0x00);
    // No label: the entry goes and its cluster with it.
    ASSERT_TRUE(v.fat.ImgSetLabel(""));
    EXPECT_EQ(u8(v.rootEntry(0), 0), 0xE5);
    EXPECT_EQ(v.fat.fatEntry(2), 0u);
    ASSERT_TRUE(v.addFile(u"\\a.txt", "\\A.TXT", 1));
    EXPECT_EQ(u8(v.rootEntry(0), 0), 0x41);  // the free slot is used again
    EXPECT_EQ(clusterOf(v.rootEntry(1)), 2u);
}

TEST(FatVolumeTest, LongNameEntriesOfThirteenAndFourteenCharacters) {
    Volume v(64, 512);
    ASSERT_TRUE(v.addFile(u"\\ABCDEFGHIJKLM", "\\ABCDEF~1", 0));
    ASSERT_TRUE(v.addFile(u"\\ABCDEFGHIJKLMN", "\\ABCDEF~2", 0));

    const auto one = v.rootEntry(0);
    EXPECT_EQ(u8(one, 0), 0x41);
    EXPECT_EQ(u8(one, 11), 0x0F);
    EXPECT_EQ(u8(one, 12), 0x00);
    EXPECT_EQ(loadLe16(one.data() + 26), 0);
    std::u16string units;
    for (std::size_t offset : {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30}) {
        units.push_back(static_cast<char16_t>(loadLe16(one.data() + offset)));
    }
    EXPECT_EQ(units, u"ABCDEFGHIJKLM");  // no terminator, no filler
    const auto shortOne = v.rootEntry(1);
    EXPECT_EQ(text(shortOne, 0, 11), "ABCDEF~1   ");
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < 11; ++i) {
        sum = static_cast<std::uint8_t>(((sum >> 1) | (sum << 7)) + u8(shortOne, i));
    }
    EXPECT_EQ(u8(one, 13), sum);

    const auto last = v.rootEntry(2);
    EXPECT_EQ(u8(last, 0), 0x42);
    EXPECT_EQ(loadLe16(last.data() + 1), u'N');
    EXPECT_EQ(loadLe16(last.data() + 3), 0);
    for (std::size_t offset : {5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30}) {
        EXPECT_EQ(loadLe16(last.data() + offset), 0xFFFF) << offset;
    }
    const auto first = v.rootEntry(3);
    EXPECT_EQ(u8(first, 0), 0x01);
    EXPECT_EQ(loadLe16(first.data() + 1), u'A');
    EXPECT_EQ(loadLe16(first.data() + 30), u'M');
    EXPECT_EQ(text(v.rootEntry(4), 0, 11), "ABCDEF~2   ");
}

TEST(FatVolumeTest, LabelAnd255ShortNamedItemsFillTheRoot) {
    Volume v(64, 512);
    ASSERT_TRUE(v.fat.ImgSetLabel("PASS WD"));
    for (int i = 0; i < 255; ++i) {
        const std::string name = "F" + std::to_string(i);
        ASSERT_TRUE(v.addFile(std::u16string(name.begin(), name.end()), "\\" + name, 1)) << i;
    }
    EXPECT_FALSE(v.addFile(u"\\LAST", "\\LAST", 1));
    EXPECT_EQ(v.fat.lastError(), kFatErrorRootEnd);
    EXPECT_NE(v.fat.failure().find("root folder is full"), std::string::npos);
}

TEST(FatVolumeTest, EmptyFileAndFileOfExactlyOneCluster) {
    Volume v(64, 512);  // 2 KB clusters
    ASSERT_TRUE(v.addFile(u"\\empty", "\\EMPTY", 0));
    ASSERT_TRUE(v.addFile(u"\\one", "\\ONE", 2048));
    ASSERT_TRUE(v.addFile(u"\\more", "\\MORE", 2049));
    ASSERT_TRUE(v.addFile(u"\\next", "\\NEXT", 1));

    // The empty file's cluster came back and went to the next file.
    const auto empty = v.rootEntry(1);
    EXPECT_EQ(loadLe32(empty.data() + 28), 0u);
    EXPECT_EQ(clusterOf(empty), 0u);

    const auto one = v.rootEntry(3);
    EXPECT_EQ(loadLe32(one.data() + 28), 2048u);
    EXPECT_EQ(clusterOf(one), 2u);
    EXPECT_EQ(v.fat.fatEntry(2), 0xFFF8u);
    EXPECT_EQ(clusterOf(v.rootEntry(5)), 3u);
    EXPECT_EQ(v.fat.fatEntry(3), 4u);
    EXPECT_EQ(v.fat.fatEntry(4), 0xFFF8u);
    EXPECT_EQ(clusterOf(v.rootEntry(7)), 5u);
    EXPECT_FALSE(v.disk.isUsed(v.fat.clusterSector(6)));  // never written: not in the image

    // The second FAT follows the first.
    EXPECT_EQ(readSector(v.disk, 1), readSector(v.disk, 1 + v.fat.fatSize()));
}

TEST(FatVolumeTest, TheLastSectorOfAFileIsZeroPastItsEnd) {
    Volume v(64, 512);
    ASSERT_TRUE(v.addFile(u"\\a", "\\A", 1000, 0x77));
    const auto second = readSector(v.disk, v.fat.clusterSector(2) + 1);
    EXPECT_EQ(u8(second, 487), 0x77);
    EXPECT_EQ(u8(second, 488), 0x00);
    EXPECT_EQ(u8(second, 511), 0x00);
}

TEST(FatVolumeTest, PathsWithoutLeadingBackslashAreRefusedUnlessBare) {
    Volume v(64, 512);
    testing::internal::CaptureStdout();
    EXPECT_EQ(v.fat.ImgCreateFile(u"Folder\\Name.txt", "FOLDER\\NAME.TXT"), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Illegal file path Folder\\Name.txt\n");
    EXPECT_NE(v.fat.failure().find("Folder\\Name.txt"), std::string::npos);
    ASSERT_TRUE(v.addFile(u"Name.txt", "NAME.TXT", 3));
    EXPECT_EQ(text(v.rootEntry(1), 0, 11), "NAME    TXT");
}

TEST(FatVolumeTest, TwoFilesOfTheSameNameBothGetEntries) {
    Volume v(64, 512);
    ASSERT_TRUE(v.addFile(u"\\same.txt", "\\SAME.TXT", 1));
    ASSERT_TRUE(v.addFile(u"\\same.txt", "\\SAME~1.TXT", 1));
    EXPECT_EQ(text(v.rootEntry(1), 0, 11), "SAME    TXT");
    EXPECT_EQ(text(v.rootEntry(3), 0, 11), "SAME~1  TXT");
}

TEST(FatVolumeTest, FoldersGetDotEntriesAndAreFoundAgainByLongName) {
    Volume v(64, 512);
    ASSERT_TRUE(v.addFile(u"\\Docs\\Sub\\a.txt", "\\DOCS\\SUB\\A.TXT", 1));
    ASSERT_TRUE(v.addFile(u"\\Docs\\b.txt", "\\DOCS\\B.TXT", 1));
    ASSERT_TRUE(v.addFile(u"\\Docs\\Sub\\c.txt", "\\IGNORED\\IGNORED\\C.TXT", 1));

    const auto docs = v.rootEntry(1);
    EXPECT_EQ(text(docs, 0, 11), "DOCS       ");
    EXPECT_EQ(u8(docs, 11), 0x10);
    const std::uint32_t docsCluster = clusterOf(docs);
    EXPECT_EQ(docsCluster, 2u);
    const auto dot = v.folderEntry(docsCluster, 0);
    EXPECT_EQ(text(dot, 0, 11), ".          ");
    EXPECT_EQ(clusterOf(dot), docsCluster);
    const auto dotDot = v.folderEntry(docsCluster, 1);
    EXPECT_EQ(text(dotDot, 0, 11), "..         ");
    EXPECT_EQ(clusterOf(dotDot), 0u);  // the root

    const auto sub = v.folderEntry(docsCluster, 3);
    EXPECT_EQ(text(sub, 0, 11), "SUB        ");
    const std::uint32_t subCluster = clusterOf(sub);
    EXPECT_EQ(clusterOf(v.folderEntry(subCluster, 1)), docsCluster);
    EXPECT_EQ(text(v.folderEntry(subCluster, 3), 0, 11), "A       TXT");
    EXPECT_EQ(text(v.folderEntry(subCluster, 5), 0, 11), "C       TXT");
    EXPECT_EQ(text(v.folderEntry(docsCluster, 5), 0, 11), "B       TXT");
    EXPECT_EQ(u8(v.rootEntry(2), 0), 0x00);  // one folder only
}

TEST(FatVolumeTest, AFileIsNeverTakenForAFolderOfTheSameName) {
    Volume v(64, 512);
    ASSERT_TRUE(v.addFile(u"\\x", "\\X", 100, 0x11));
    ASSERT_TRUE(v.addFile(u"\\x\\y.txt", "\\X~1\\Y.TXT", 1));
    const auto file = v.rootEntry(1);
    const auto folder = v.rootEntry(3);
    EXPECT_EQ(u8(file, 11), 0x00);
    EXPECT_EQ(u8(folder, 11), 0x10);
    EXPECT_EQ(text(folder, 0, 11), "X~1        ");
    EXPECT_EQ(u8(readSector(v.disk, v.fat.clusterSector(clusterOf(file))), 0), 0x11);
}

TEST(FatVolumeTest, FoldersGrowIntoFurtherClusters) {
    Volume v(64, 512);  // 64 slots per cluster: "." "..", then 31 two-slot files
    for (int i = 0; i < 40; ++i) {
        const std::string name = "F" + std::to_string(i);
        ASSERT_TRUE(
            v.addFile(u"\\D\\" + std::u16string(name.begin(), name.end()), "\\D\\" + name, 1));
    }
    const std::uint32_t folder = clusterOf(v.rootEntry(1));
    // Cluster 2 the folder, 3..33 its first 31 files, 34 the 32nd file, 35 the folder's growth.
    EXPECT_EQ(v.fat.fatEntry(folder), 35u);
    EXPECT_EQ(v.fat.fatEntry(35), 0xFFF8u);
    EXPECT_EQ(text(v.folderEntry(35, 1), 0, 11), "F31        ");
    EXPECT_EQ(clusterOf(v.folderEntry(35, 1)), 34u);
}

TEST(FatVolumeTest, AFolderStopsAtTheEntriesAFatFolderCanHold) {
    Volume v(2048, 512);  // 32 KB clusters, 1024 slots each
    std::size_t created = 0;
    for (int i = 0; i < 40000; ++i) {
        const std::string name = "F" + std::to_string(i);
        if (!v.addFile(u"\\D\\" + std::u16string(name.begin(), name.end()), "\\D\\" + name, 0)) {
            break;
        }
        ++created;
    }
    EXPECT_EQ(created, (65536u - 2) / 2);
    EXPECT_NE(v.fat.failure().find("65,536"), std::string::npos) << v.fat.failure();
}

TEST(FatVolumeTest, ShortNamesStartingWithE5AreStoredAs05) {
    Volume v(64, 512, CodePage::Gbk);
    ASSERT_TRUE(v.addFile(u"\\\u6fc9.txt", "\\\xE5\xA1.TXT", 1));
    ASSERT_TRUE(v.addFile(u"\\next.txt", "\\NEXT.TXT", 1));
    const auto entry = v.rootEntry(1);
    EXPECT_EQ(u8(entry, 0), 0x05);
    EXPECT_EQ(u8(entry, 1), 0xA1);
    EXPECT_EQ(text(v.rootEntry(3), 0, 11), "NEXT    TXT");  // not written over it
}

TEST(FatVolumeTest, WriteFailures) {
    Volume v(32, 512);
    IMG_FILE noCluster;
    const std::vector<std::byte> sector(512, std::byte{1});
    EXPECT_EQ(v.fat.ImgWriteFile(noCluster, sector), 0u);
    EXPECT_EQ(v.fat.lastError(), kFatErrorNoCluster);

    auto file = v.fat.ImgCreateFile(u"\\big", "\\BIG");
    ASSERT_NE(file, nullptr);
    std::uint64_t written = 0;
    while (v.fat.ImgWriteFile(*file, sector) == 512) {
        written += 512;
    }
    EXPECT_EQ(v.fat.lastError(), kFatErrorVolumeFull);
    EXPECT_EQ(written, std::uint64_t{v.fat.clusterCount()} * 2048);
    EXPECT_EQ(v.fat.failure(), "the volume is full");

    v.disk.ImgDiskClose();
    EXPECT_EQ(v.fat.ImgCreateFile(u"\\a", "\\A"), nullptr);
}

TEST(FatVolumeTest, MountFindsAVolumeThroughThePartitionTable) {
    Volume source(64, 512);
    ASSERT_TRUE(source.addFile(u"\\Docs\\a.txt", "\\DOCS\\A.TXT", 5));

    // The same volume behind a partition table, starting at sector 63.
    RamDisk disk;
    ASSERT_TRUE(disk.start(512));
    for (std::uint32_t sector = 0; sector < 400; ++sector) {
        const auto data = readSector(source.disk, sector);
        ASSERT_TRUE(disk.RamDiskWrite(63 + sector, 1, data.data()));
    }
    std::vector<std::byte> table(512);
    table[446 + 0] = std::byte{0x01};  // no valid boot flag: skipped
    table[446 + 16] = std::byte{0x80};
    storeLe32(table.data() + 446 + 16 + 8, 63);
    table[510] = std::byte{0x55};
    table[511] = std::byte{0xAA};
    ASSERT_TRUE(disk.RamDiskWrite(0, 1, table.data()));

    FAT_VOLUME fat(disk);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(fat.mount()) << fat.failure();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "bPTinfo\n");
    EXPECT_EQ(fat.fatStart(), 64u);
    EXPECT_EQ(fat.fatType(), FatType::Fat16);

    // The folder is read back from the volume and the new file lands after its entries.
    auto file = fat.ImgCreateFile(u"\\Docs\\b.txt", "\\DOCS\\B.TXT");
    ASSERT_NE(file, nullptr) << fat.failure();
    ASSERT_TRUE(fat.ImgCloseFile(std::move(file)));
    const auto folderSector = readSector(disk, 63 + source.fat.clusterSector(2));
    EXPECT_EQ(text(folderSector, 5 * 32, 11), "B       TXT");

    std::vector<std::byte> noTable(512);
    ASSERT_TRUE(disk.RamDiskWrite(0, 1, noTable.data()));
    EXPECT_FALSE(fat.mount());
}

}  // namespace
}  // namespace corvid
