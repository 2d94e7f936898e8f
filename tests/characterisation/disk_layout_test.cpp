#include <gtest/gtest.h>

#include <algorithm>

#include "characterisation/disk_layout.h"
#include "tests/characterisation/worker_fixture.h"
#include "transport/vendor_commands.h"

namespace corvid::test {
namespace {

class DiskLayoutTest : public WorkerTest {};

TEST_F(DiskLayoutTest, SystemAreaOfTheWorkedExampleIsOneUnit) {
    setGeometry(1, 2048, 128, 2048);
    settings.iProgramSize = 300000;
    settings.iPreferSize = 5000;
    settings.iIsoSize = 50'000'000;  // not counted without the ISO upgrade
    chooseSystemArea(*w);
    EXPECT_EQ(w->iSysAreaUnits, 1);
    EXPECT_EQ(station.systemAreaLabel(), "System Area Size: 4MB");
    EXPECT_TRUE(prompt.shown().empty());

    settings.chkISOupgrade = true;  // 50 MB more, rounded to blocks, doubled
    chooseSystemArea(*w);
    EXPECT_EQ(w->iSysAreaUnits, 25);
    EXPECT_EQ(station.systemAreaLabel(), "System Area Size: 100MB");
}

TEST_F(DiskLayoutTest, OperatorSizeIsUsedEvenWhenTooSmall) {
    FLASH_INFO info;
    info.iBlockSize = 2048 * 128;
    settings.iProgramSize = 4'000'000;  // minimum 3 units
    settings.iPreferSize = 5000;
    settings.SystemAreachk = true;
    struct Case {
        int item;
        int units;
        std::uint64_t megabytes;
        bool tooSmall;
    };
    const Case cases[] = {
        {1, 2, 8, true},
        {15, 16, 64, false},
        {-1, 0, 1, true},
        {2, 3, 12, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.item);
        settings.SystemAreaComBo = c.item;
        const SystemArea area = systemAreaSize(info, settings);
        EXPECT_EQ(area.units, c.units);
        EXPECT_EQ(area.megabytes, c.megabytes);
        EXPECT_EQ(area.tooSmall, c.tooSmall);
    }
}

TEST_F(DiskLayoutTest, AFixedSizeTooSmallWarnsTheOperator) {
    setGeometry(1, 2048, 128, 2048);
    settings.iProgramSize = 4'000'000;  // minimum 3 units
    settings.SystemAreachk = true;
    settings.SystemAreaComBo = 1;
    chooseSystemArea(*w);
    EXPECT_EQ(w->iSysAreaUnits, 2);
    EXPECT_EQ(station.systemAreaLabel(), "System Area Size: 8MB");
    const auto shown = prompt.shown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "The system area size you set is too small!");
    EXPECT_EQ(shown[0].caption, "Warning");
    EXPECT_EQ(shown[0].icon, PromptIcon::Warning);
}

// The CFG carries the system area in one byte: 255 units (1020 MB) is the most it can describe.
// A larger area, as a CD-ROM image of 650 MB needs, fails the device rather than being cut to its
// low 8 bits (326 units would go out as 70, a 280 MB area for 1304 MB of files).
TEST_F(DiskLayoutTest, SystemAreaBeyondItsCfgByteFailsTheDevice) {
    setGeometry(1, 2048, 128, 2048);
    settings.iProgramSize = 300000;
    settings.iPreferSize = 5000;
    settings.chkISOupgrade = true;
    struct Case {
        std::int32_t isoSize;
        int units;
        const char* status;  // nullptr: it fits
    };
    const Case cases[] = {
        {533'463'040, 255, nullptr},
        {533'463'041, 256, "System area too large: 1024MB"},
        {650 * 1024 * 1024, 326, "System area too large: 1304MB"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.isoSize);
        slot.clear();
        w->bPass = 1;
        settings.iIsoSize = c.isoSize;
        chooseSystemArea(*w);
        EXPECT_EQ(w->iSysAreaUnits, c.units);
        EXPECT_EQ(systemAreaFits(*w), c.status == nullptr);
        if (c.status == nullptr) {
            EXPECT_TRUE(slot.statuses().empty());
            EXPECT_EQ(w->bPass, 1);
        } else {
            EXPECT_EQ(slot.status(), c.status);
            EXPECT_EQ(slot.colour(), StatusColour::Red);
            EXPECT_EQ(w->bPass, 0);
        }
    }
}

TEST_F(DiskLayoutTest, CapacityRuleKeepsFailsOrIgnoresAShortFlash) {
    struct Case {
        int good;
        int rate;
        CapErrorDeal deal;
        bool result;
        bool degraded;
        bool failText;
    };
    const Case cases[] = {
        {4000, 2, CapErrorDeal::ShowError, false, false, true},   // 4000 < 4014: Cap halves
        {3000, 30, CapErrorDeal::ShowError, true, false, false},  // 3000 >= 2867
        {2048, 2, CapErrorDeal::DoNotCare, true, false, false},
        {4096, 2, CapErrorDeal::Degrade, true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.good);
        setGeometry(1, 4096, 64);
        std::fill(w->pBlockMap.begin() + c.good, w->pBlockMap.end(), 0x00);
        const auto before = w->pBlockMap;
        settings.record.AllowErrorRate = c.rate;
        settings.record.DealCapError = c.deal;
        slot.clear();
        EXPECT_EQ(capacityRule(*w), c.result);
        EXPECT_EQ(w->bDegraded, c.degraded ? 1 : 0);
        EXPECT_EQ(w->pBlockMap, before);
        if (c.failText) {
            EXPECT_EQ(slot.status(), "Bad Block no Exceed");
            EXPECT_EQ(slot.colour(), StatusColour::Red);
        } else {
            EXPECT_TRUE(slot.statuses().empty());
        }
    }
}

TEST_F(DiskLayoutTest, DegradeTrimsTheBlockMapToTheCapacity) {
    // 2048 blocks, the first 1500 good: Cap 1024. Group 0 never exhausts the budget; in group 1
    // the budget is 1017, spent by group 0's 1017 extra blocks, so group 1 keeps its first seven
    // good blocks and everything after them is marked bad.
    setGeometry(1, 2048, 64);
    std::fill(w->pBlockMap.begin() + 1500, w->pBlockMap.end(), 0x00);
    w->pBlockMap[5] = 0x10;  // a bad block of group 0 keeps its byte
    settings.record.DealCapError = CapErrorDeal::Degrade;
    ASSERT_TRUE(capacityRule(*w));
    EXPECT_EQ(w->bDegraded, 1);
    for (std::size_t i = 0; i < 2048; ++i) {
        const std::uint8_t expected = i == 5 ? 0x10 : i <= 1031 ? 0xFF : 0x00;
        ASSERT_EQ(w->pBlockMap[i], expected) << i;
    }
}

TEST_F(DiskLayoutTest, PartialPageMapDegradesAFlashWithoutBadBlocks) {
    setGeometry(1, 1024, 128);
    w->bPageMapValid = 1;
    std::fill_n(w->PageMap.begin() + 120, 8, 0x00);
    EXPECT_TRUE(capacityRule(*w));
    EXPECT_EQ(w->bDegraded, 1);
    w->bPageMapValid = 0;
    EXPECT_TRUE(capacityRule(*w));
    EXPECT_EQ(w->bDegraded, 0);
}

TEST_F(DiskLayoutTest, SplitRatioByte) {
    struct Case {
        DeviceFeature feature;
        int ratio;
        std::uint8_t byte;
    };
    const Case cases[] = {
        {DeviceFeature::Hidden, 10, 25},
        {DeviceFeature::Encrypted, 50, 128},
        {DeviceFeature::Hidden, 100, 0},
        {DeviceFeature::Normal, 50, 0},
    };
    for (const Case& c : cases) {
        settings.record.eDeviceFeature = c.feature;
        settings.record.iHideDiskRatio = c.ratio;
        EXPECT_EQ(splitRatioByte(settings), c.byte) << c.ratio;
    }
    settings.record.eDeviceFeature = DeviceFeature::Hidden;
    settings.record.iHideDiskRatio = 10;
    std::array<std::uint8_t, 512> cfgBytes;
    cfgBytes.fill(0xEE);
    storeLayoutBytes(cfgBytes, 0x103, settings);
    const std::uint8_t expected[] = {0x03, 25, '0', '0', '0', '0', 0, 0, 0, 0, 0};
    EXPECT_TRUE(std::equal(std::begin(expected), std::end(expected), cfgBytes.begin() + 133));
    EXPECT_EQ(cfgBytes[144], 0xEE);
}

TEST_F(DiskLayoutTest, CapacityMultiplierIsSentOnlyForAChosenMultiplier) {
    for (const int index : {0, -1, 6}) {
        settings.record.CapMultiplier = index;
        EXPECT_FALSE(sendCapMultiplier(*w));
    }
    EXPECT_TRUE(transport.requests().empty());
    settings.record.CapMultiplier = 3;
    EXPECT_TRUE(sendCapMultiplier(*w));
    const auto requests = sent(SUB_SCSI_OP_SET_CAP_MULTIPLIER);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].cdbBytes(), (std::vector<std::uint8_t>{0xEF, 0x8D, 0x03, 0, 0, 0}));
}

}  // namespace
}  // namespace corvid::test
