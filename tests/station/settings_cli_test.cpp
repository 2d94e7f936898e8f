// corvid-cli settings, run as an operator runs it.

#include <gtest/gtest.h>

#include <chrono>
#include <iterator>
#include <optional>
#include <sstream>
#include <vector>

#include "platform/process_runner.h"
#include "station/setting_keys.h"
#include "tests/station/station_test_support.h"
#include "tests/support/run_program.h"

namespace corvid {
namespace {

class SettingsCliTest : public test::StationFolderTest {
  protected:
    struct Run {
        int status;
        std::string out;
        std::string err;
    };
    // corvid-cli settings with 'args', standard output and error apart.
    Run cli(const std::vector<std::string>& args) {
        std::vector<std::string> argv{std::string(CORVID_BIN_DIR) + "/corvid-cli", "settings"};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.insert(argv.end(), {"--home", dir_.string()});
        auto child =
            startProcess({.argv = argv, .outputFile = dir_ / "out", .errorFile = dir_ / "err"});
        const std::optional<int> status = child->waitFor(std::chrono::seconds(60));
        return {status.value_or(-1), test::printedText(readBytes(dir_ / "out")),
                test::printedText(readBytes(dir_ / "err"))};
    }
    static bool has(const std::string& text, const std::string& part) {
        return text.find(part) != std::string::npos;
    }
};

TEST_F(SettingsCliTest, ShowOnAFreshStationPrintsTheFirstStartDefaults) {
    const Run run = cli({"show"});
    EXPECT_EQ(run.status, 0) << run.err;
    for (const char* line :
         {"FwUpgrade            1", "FwParityCheck        1", "Format               0",
          "System Area Size     0      4MB", "iEccLevel            2", "iBadThreshold        20",
          "iHideDiskRatio       10", "AllowErrorRate       2", "Disk feature         Normal",
          "System Area Size: 4MB", "Pre-copy list (misc/seting.ini): empty"}) {
        EXPECT_TRUE(has(run.out, line)) << line << "\n" << run.out;
    }
    EXPECT_FALSE(std::filesystem::exists(folder().preferIni()));  // show changes nothing
}

TEST_F(SettingsCliTest, SetAndListChangesAreSavedAsTheWindowSavesThem) {
    writeBytes(dir_ / "prefer.dat", "p");
    EXPECT_EQ(
        cli({"set", "Format=1", "Blanking check=1", "label=disk1", "eDeviceFeature=1"}).status, 0);
    EXPECT_EQ(cli({"list", "precopy", "add", (dir_ / "prefer.dat").string()}).status, 0);
    const std::string ini = readBytes(folder().preferIni());
    EXPECT_TRUE(has(ini, "Format=1\r\nBlanking check=1\r\n")) << ini;
    EXPECT_TRUE(has(ini, "Label=DISK1\r\n")) << ini;

    const Run show = cli({"show"});
    EXPECT_TRUE(has(show.out, "Encrypted disk10%")) << show.out;
    EXPECT_TRUE(has(show.out, "0  " + (dir_ / "prefer.dat").string())) << show.out;
    EXPECT_EQ(cli({"list", "precopy", "remove", "0"}).status, 0);
    EXPECT_TRUE(has(cli({"list", "precopy", "show"}).out, "empty"));
}

TEST_F(SettingsCliTest, ShowListsEveryKeyOfTheTableAndSetTakesEach) {
    const Run show = cli({"show"});
    EXPECT_EQ(show.status, 0) << show.err;
    for (const SettingKey& key : settingKeys()) {
        EXPECT_TRUE(has(show.out, "\n  " + std::string(key.key) + " ")) << key.key;
    }
    EXPECT_TRUE(
        has(show.out, "Settings (misc/prefer.ini, section Corvid)\n  Verify               0 "))
        << show.out;

    const Run set = cli({"set", "verify=1", "ProductionRecord=0"});
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_TRUE(has(set.out, "Verify               1      read back every copied file")) << set.out;
    EXPECT_TRUE(has(readBytes(folder().preferIni()), "[Corvid]\r\nVerify=1\r\nProductionRecord=0"));

    const Run help = cli({"set", "--help"});
    for (const SettingKey& key : settingKeys()) {
        EXPECT_TRUE(has(help.out, std::string(key.key) + " ")) << key.key;
    }
    EXPECT_TRUE(has(help.out, "iPageSkip           a whole number from 0 to 64")) << help.out;
}

TEST_F(SettingsCliTest, BadInputIsRefusedWithStatus2AndChangesNothing) {
    // The program names the file as the system writes it ("Z:\\nonexistent\\file" on Windows).
    const std::string missingFile =
        (std::filesystem::path("nonexistent") / "file").string() + " is not a file";
    const std::pair<const char*, std::string> cases[] = {
        {"set NoSuchKey=1", "\"NoSuchKey\" is not a setting"},
        {"set iScanLevel=5", "iScanLevel is not a whole number from 0 to 4"},
        {"set Format", "is not of the form KEY=VALUE"},
        {"set iHideDiskRatio=0", "iHideDiskRatio is not a whole number from 1 to 100"},
        {"set CapMultiplier=6", "CapMultiplier is not a whole number from 0 to 5"},
        {"set Verify=2", "Verify is not 0 or 1"},
        {"set Format=1 sHideDiskLabel=NINECHARS", "sHideDiskLabel is longer than 8 characters"},
        {"set eDeviceFeature=2 iHideDiskRatio=100", "more than the hidden disk allows"},
        {"list spi add /nonexistent/file", missingFile},
        {"list hidden remove 0", "the list is empty"},
        // English runs write the UTF-8 bytes: 12 of them.
        {"set Label=\xE4\xB8\xAD\xE6\x96\x87\xE5\x8D\xB7\xE6\xA0\x87",
         "The label \xE4\xB8\xAD\xE6\x96\x87\xE5\x8D\xB7\xE6\xA0\x87 takes 12 bytes"},
        // Linux names what is wrong with it; the Windows build has no record database at all.
        {"set RecordDatabase=mysql://x", "mysql://x"},
    };
    for (const auto& [args, message] : cases) {
        std::istringstream words(args);
        const Run run =
            cli({std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()});
        EXPECT_EQ(run.status, 2) << args;
        EXPECT_TRUE(has(run.err, message)) << args << ": " << run.err;
    }
    EXPECT_FALSE(std::filesystem::exists(folder().preferIni()));

    std::filesystem::remove(dir_ / "misc");
    const Run run = cli({"show"});
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(has(run.err, "has no misc folder")) << run.err;
}

}  // namespace
}  // namespace corvid
