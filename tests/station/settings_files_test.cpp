#include "station/settings_files.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/code_page.h"
#include "station/disk_feature.h"
#include "station/firmware_picks.h"
#include "station/os_class.h"
#include "tests/station/station_test_support.h"

namespace corvid {
namespace {

using test::StationFolderTest;

class SettingsFilesTest : public StationFolderTest {
  protected:
    StationSettings load() {
        StationSettings settings = newStationSettings(folder());
        report_ = loadStationSettings(folder(), settings);
        return settings;
    }
    SettingsLoadReport report_;
};

// The defaults a station writes on its first close, in the order it writes the keys.
constexpr char kDefaultPreferIni[] =
    "[MP_Setting]\r\n"
    "Format=0\r\nBlanking check=0\r\nFwUpgrade=1\r\nISO upgrade=0\r\nManual Upgrade=0\r\n"
    "System Area check=0\r\nSystem Area Size=0\r\nFwParityCheck=1\r\nLabel=\r\n"
    "CapMultiplier=0\r\niScanLevel=0\r\niPageSkip=0\r\niEccLevel=2\r\niBadThreshold=20\r\n"
    "eDeviceFeature=0\r\niHideDiskRatio=10\r\nsHideDiskLabel=\r\nbUseImgFile=0\r\nImageFile=\r\n"
    "AllowErrorRate=2\r\nDealCapError=0\r\nSaveSpiImage=0\r\nPageMode=0\r\nPageModeSel=0\r\n";

TEST_F(SettingsFilesTest, FirstStartWithEmptyMiscGivesTheDefaults) {
    const StationSettings s = load();
    EXPECT_FALSE(s.chkFormat);
    EXPECT_FALSE(s.chkBlankCheck);
    EXPECT_TRUE(s.chkFwUpgrade);
    EXPECT_FALSE(s.chkISOupgrade);
    EXPECT_FALSE(s.CheckManuupgrade);
    EXPECT_FALSE(s.SystemAreachk);
    EXPECT_EQ(s.SystemAreaComBo, 0);  // "4MB"
    EXPECT_TRUE(s.chkParityCheck);
    EXPECT_EQ(s.LabelEdit, "");
    const SETTING_T& r = s.record;
    EXPECT_EQ(r.CapMultiplier, 0);
    EXPECT_EQ(r.iScanLevel, 0);
    EXPECT_EQ(r.iPageSkip, 0);
    EXPECT_EQ(r.iEccLevel, 2);
    EXPECT_EQ(r.iBadThreshold, 20);
    EXPECT_FALSE(r.PageMode);
    EXPECT_EQ(r.PageModeSel, 0);
    EXPECT_EQ(r.eDeviceFeature, DeviceFeature::Normal);
    EXPECT_EQ(r.iHideDiskRatio, 10);
    EXPECT_EQ(r.AllowErrorRate, 2);
    EXPECT_EQ(r.DealCapError, CapErrorDeal::Degrade);
    EXPECT_FALSE(r.bUseImgFile);
    EXPECT_FALSE(r.SaveSpiImage);
    EXPECT_TRUE(r.HideFileList.empty() && r.SpiFileList.empty() && s.preCopyList.empty());
    EXPECT_EQ(s.iProgramIndex, -1);
    EXPECT_EQ(s.iPreferIndex, -1);
    EXPECT_EQ(s.iIsoIndex, -1);
    EXPECT_EQ(systemAreaEstimateMB(s), 4);
    EXPECT_EQ(diskFeatureText(r, 0), "Normal");
    EXPECT_EQ(s.sFsmPath, (dir_ / "misc" / "FSM.bin").string());
    EXPECT_EQ(s.iOsClass, hostOsClass());  // on Linux 2: the check-disk step runs

    saveStationSettings(folder(), s);
    EXPECT_EQ(readBytes(folder().preferIni()), kDefaultPreferIni);
    for (const auto& list :
         {folder().preCopyListFile(), folder().hideListFile(), folder().spiListFile()}) {
        EXPECT_EQ(readBytes(list), "\xFF\xFE") << list;
    }
}

TEST_F(SettingsFilesTest, LoadAndSaveRoundTripKeepsBytesAndErasesOldListSections) {
    writeBytes(dir_ / "a.bin", "x");
    writeBytes(dir_ / "prefer.dat", "y");
    std::filesystem::create_directory(dir_ / "folder");
    const std::string station =
        "[Other]\r\nKeep=me\r\n\r\n"
        "[MP_Setting]\r\n"
        "Format=1\r\nBlanking check=1\r\nFwUpgrade=0\r\nISO upgrade=1\r\nManual Upgrade=1\r\n"
        "System Area check=1\r\nSystem Area Size=7\r\nLabel=MYDISK\r\nFwParityCheck=0\r\n"
        "CapMultiplier=4\r\niScanLevel=3\r\niPageSkip=2\r\niEccLevel=5\r\niBadThreshold=40\r\n"
        "eDeviceFeature=2\r\niHideDiskRatio=25\r\nsHideDiskLabel=SECRET\r\nbUseImgFile=1\r\n"
        "ImageFile=/img/h.img\r\nSaveSpiImage=1\r\nAllowErrorRate=7\r\nDealCapError=1\r\n"
        "PageMode=1\r\nPageModeSel=6\r\n";
    writeBytes(folder().preferIni(),
               station + "\r\n[HIDE_FILES]\r\nFile0=x\r\n\r\n[SPI_HIDE_FILES]\r\nFile0=y\r\n");
    const std::string precopy =
        std::string("\xFF\xFE", 2) + fromUtf8((dir_ / "a.bin").string() + "\r\n" +
                                                  (dir_ / "prefer.dat").string() + "\r\nfolder\r\n",
                                              CodePage::Utf16Le);
    const std::string hidden =
        std::string("\xFF\xFE", 2) + fromUtf8("folder\r\n", CodePage::Utf16Le);
    writeBytes(folder().preCopyListFile(), precopy);
    writeBytes(folder().hideListFile(), hidden);

    const StationSettings s = load();
    EXPECT_TRUE(s.chkFormat && s.chkBlankCheck && !s.chkFwUpgrade && s.chkISOupgrade);
    EXPECT_EQ(s.SystemAreaComBo, 7);
    EXPECT_EQ(s.LabelEdit, "MYDISK");
    EXPECT_EQ(s.record.CapMultiplier, 4);  // a.bin carries no multiplier
    EXPECT_EQ(s.record.eDeviceFeature, DeviceFeature::Hidden);
    EXPECT_EQ(s.record.ImageFile, "/img/h.img");
    EXPECT_EQ(s.record.DealCapError, CapErrorDeal::ShowError);
    EXPECT_EQ(s.record.PageModeSel, 6);
    EXPECT_EQ(s.preCopyList.size(), 3u);
    EXPECT_EQ(s.iProgramIndex, 0);
    EXPECT_EQ(s.iPreferIndex, 1);

    saveStationSettings(folder(), s);
    EXPECT_EQ(readBytes(folder().preferIni()), station);
    EXPECT_EQ(readBytes(folder().preCopyListFile()), precopy);
    EXPECT_EQ(readBytes(folder().hideListFile()), hidden);
    EXPECT_EQ(readBytes(folder().spiListFile()), "\xFF\xFE");
}

TEST_F(SettingsFilesTest, ValuesThatAreNotNumbersGiveTheDefaultAndHexReads) {
    const std::vector<std::pair<std::string, std::function<int(const StationSettings&)>>> cases = {
        {"iEccLevel=abc", [](const StationSettings& s) { return s.record.iEccLevel; }},
        {"iBadThreshold=", [](const StationSettings& s) { return s.record.iBadThreshold; }},
        {"iHideDiskRatio=12x", [](const StationSettings& s) { return s.record.iHideDiskRatio; }},
        {"FwUpgrade=yes", [](const StationSettings& s) { return int{s.chkFwUpgrade}; }},
        {"iScanLevel=0x3", [](const StationSettings& s) { return s.record.iScanLevel; }},
        {"System Area Size=0xF", [](const StationSettings& s) { return s.SystemAreaComBo; }},
        {"System Area Size=16", [](const StationSettings& s) { return s.SystemAreaComBo; }},
        {"System Area Size=-1", [](const StationSettings& s) { return s.SystemAreaComBo; }},
        {"Format=2", [](const StationSettings& s) { return int{s.chkFormat}; }},
        {"eDeviceFeature=0x102",
         [](const StationSettings& s) { return static_cast<int>(s.record.eDeviceFeature); }},
    };
    const std::vector<int> expected = {2, 20, 10, 1, 3, 15, -1, -1, 1, 2};
    for (std::size_t i = 0; i < cases.size(); ++i) {
        writeBytes(folder().preferIni(), "[mp_setting]\r\n" + cases[i].first + "\r\n");
        EXPECT_EQ(cases[i].second(load()), expected[i]) << cases[i].first;
    }
}

TEST_F(SettingsFilesTest, ListFilesReadEveryMarkAndLineEnd) {
    for (const char* name : {"one", "two", "three", "four"}) {
        writeBytes(dir_ / name, "");
    }
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"UTF-16LE",
         std::string("\xFF\xFE", 2) + fromUtf8("one\r\ntwo\rthree\nfour", CodePage::Utf16Le)},
        {"UTF-16BE",
         std::string("\xFE\xFF", 2) + fromUtf8("one\r\ntwo\rthree\nfour", CodePage::Utf16Be)},
        {"UTF-8", "\xEF\xBB\xBFone\r\ntwo\rthree\nfour\r\n"},
        {"no mark", "one\r\ntwo\rthree\nfour"},
    };
    for (const auto& [what, bytes] : cases) {
        writeBytes(folder().spiListFile(), bytes);
        EXPECT_EQ(load().record.SpiFileList, (FileList{"one", "two", "three", "four"})) << what;
    }
}

TEST_F(SettingsFilesTest, EntriesOfMissingFilesAreDroppedAtLoadAndFromTheFileAtSave) {
    writeBytes(dir_ / "kept.txt", "data");
    std::filesystem::create_directory(dir_ / "kept-folder");
    const std::string deleted = (dir_ / "deleted.txt").string();
    writeBytes(folder().preCopyListFile(),
               "\xEF\xBB\xBFkept.txt\r\n" + deleted + "\r\n\r\nkept-folder\r\n");

    StationSettings s = load();
    EXPECT_EQ(s.preCopyList, (FileList{"kept.txt", "kept-folder"}));
    EXPECT_EQ(report_.droppedPreCopy, (FileList{deleted, ""}));

    saveStationSettings(folder(), s);
    EXPECT_EQ(
        readBytes(folder().preCopyListFile()),
        std::string("\xFF\xFE", 2) + fromUtf8("kept.txt\r\nkept-folder\r\n", CodePage::Utf16Le));
}

TEST_F(SettingsFilesTest, MissingMiscFolderIsAClearErrorOnLoadAndSave) {
    std::filesystem::remove(dir_ / "misc");
    StationSettings s = newStationSettings(folder());
    s.chkFormat = true;
    for (const auto& action : {std::function<void()>([&] { loadStationSettings(folder(), s); }),
                               std::function<void()>([&] { saveStationSettings(folder(), s); })}) {
        try {
            action();
            ADD_FAILURE() << "no error";
        } catch (const SettingsError& e) {
            EXPECT_NE(std::string(e.what()).find((dir_ / "misc").string()), std::string::npos)
                << e.what();
        }
    }
}

TEST_F(SettingsFilesTest, FileThatCannotBeReplacedFailsTheSaveLoudly) {
    writeBytes(folder().preferIni(), kDefaultPreferIni);
    // A folder where the list file should be cannot be replaced, not even by root.
    std::filesystem::create_directories(folder().hideListFile() / "inside");
    StationSettings s = newStationSettings(folder());
    s.chkFormat = true;
    EXPECT_THROW(saveStationSettings(folder(), s), SettingsError);
    EXPECT_EQ(readBytes(folder().preferIni()), kDefaultPreferIni);
}

}  // namespace
}  // namespace corvid
