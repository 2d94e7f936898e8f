// The Windows registry store, under a key of the test's own in HKEY_CURRENT_USER so the station's
// values under HKEY_LOCAL_MACHINE are never touched.

#include <windows.h>

#include <gtest/gtest.h>

#include "platform/registry_store_win32.h"

namespace corvid {
namespace {

constexpr const char* kMpTool = "SoftWare\\ZQL5V16\\MPTool";
constexpr const char* kStation = "SoftWare\\ZQL5V16\\corvid16";

class RegistryStoreWin32Test : public ::testing::Test {
  protected:
    void SetUp() override { deleteWindowsRegistryTree(RegistryRoot::CurrentUser, under_); }
    void TearDown() override { deleteWindowsRegistryTree(RegistryRoot::CurrentUser, under_); }

    const std::string under_ = "Software\\CorvidTests\\" + std::to_string(GetCurrentProcessId());
};

TEST_F(RegistryStoreWin32Test, MissingKeysGiveDefaults) {
    auto store = openWindowsRegistryStore(RegistryRoot::CurrentUser, under_);
    EXPECT_EQ(store->readInt(kMpTool, "BlocksPerChip", 7), 7);
    EXPECT_EQ(store->readString(kStation, "AddDir", "none"), "none");
}

TEST_F(RegistryStoreWin32Test, ValuesRoundTripAsDwordsAndStrings) {
    {
        auto store = openWindowsRegistryStore(RegistryRoot::CurrentUser, under_);
        store->writeInt(kMpTool, "BlocksPerChip", 1000);
        store->writeInt(kMpTool, "LogBiTable", -1);
        store->writeString(kStation, "AddDir", "D:\\files\\music");
    }
    auto store = openWindowsRegistryStore(RegistryRoot::CurrentUser, under_);
    EXPECT_EQ(store->readInt(kMpTool, "BlocksPerChip", 0), 1000);
    // Key and value names are the registry's: letter case does not matter.
    EXPECT_EQ(store->readInt("software\\zql5v16\\mptool", "blockspERchip", 0), 1000);
    EXPECT_EQ(store->readInt(kMpTool, "LogBiTable", 0), -1);
    EXPECT_EQ(store->readString(kStation, "AddDir", ""), "D:\\files\\music");
    EXPECT_EQ(store->readInt(kStation, "BlocksPerChip", -1), -1);
    // A value of the other type is not taken for this one.
    EXPECT_EQ(store->readInt(kStation, "AddDir", 5), 5);
    EXPECT_EQ(store->readString(kMpTool, "BlocksPerChip", "x"), "x");

    // The values are real registry values of their types.
    DWORD value = 0;
    DWORD size = sizeof value;
    const std::string key = under_ + "\\" + kMpTool;
    ASSERT_EQ(RegGetValueA(HKEY_CURRENT_USER, key.c_str(), "BlocksPerChip", RRF_RT_REG_DWORD,
                           nullptr, &value, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, 1000u);
}

}  // namespace
}  // namespace corvid
