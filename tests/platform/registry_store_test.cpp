#include "platform/registry_store.h"

#include <gtest/gtest.h>

#include "platform/text_file.h"
#include "tests/support/temp_dir.h"

namespace corvid {
namespace {

constexpr const char* kMpTool = "SoftWare\\ZQL5V16\\MPTool";
constexpr const char* kStation = "SoftWare\\ZQL5V16\\corvid16";

class RegistryStoreTest : public test::TempDirTest {};

// The store in the station folder's misc/registry.ini: the machine's own store on Linux, the
// same INI store by name elsewhere (Windows has the registry).
std::unique_ptr<RegistryStore> folderStore(const std::filesystem::path& home) {
#ifdef _WIN32
    return openIniRegistryStore(home / "misc" / "registry.ini");
#else
    return openRegistryStore(home.string());
#endif
}

TEST_F(RegistryStoreTest, MissingStoreGivesDefaults) {
    auto store = folderStore(dir_);
    EXPECT_EQ(store->readInt(kMpTool, "BlocksPerChip", 0), 0);
    EXPECT_EQ(store->readString(kStation, "AddDir", "none"), "none");
    EXPECT_FALSE(std::filesystem::exists(dir_ / "misc"));
}

TEST_F(RegistryStoreTest, ValuesRoundTripInMiscRegistryIni) {
    {
        auto store = folderStore(dir_);
        store->writeInt(kMpTool, "BlocksPerChip", 1000);
        store->writeInt(kMpTool, "LogBiTable", 0);
        store->writeInt(kStation, "LanguageID", 3);
        store->writeString(kStation, "AddDir", "/home/op/files");
    }
    auto store = folderStore(dir_);
    EXPECT_EQ(store->readInt(kMpTool, "BlocksPerChip", 0), 1000);
    EXPECT_EQ(store->readInt("software\\zql5v16\\mptool", "blockspERchip", 0), 1000);
    EXPECT_EQ(store->readInt(kStation, "LanguageID", 0), 3);
    EXPECT_EQ(store->readString(kStation, "AddDir", ""), "/home/op/files");
    // A value under another key path is not found.
    EXPECT_EQ(store->readInt(kStation, "BlocksPerChip", -1), -1);
    EXPECT_EQ(readFileBytes(dir_ / "misc" / "registry.ini"),
              "[SoftWare\\ZQL5V16\\MPTool]\r\nBlocksPerChip=1000\r\nLogBiTable=0\r\n\r\n"
              "[SoftWare\\ZQL5V16\\corvid16]\r\nLanguageID=3\r\nAddDir=/home/op/files\r\n");
}

}  // namespace
}  // namespace corvid
