#include "platform/ini_file.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <optional>
#include <string>
#include <vector>

#include "platform/text_file.h"
#include "tests/support/temp_dir.h"

namespace corvid {
namespace {

class IniFileTest : public test::TempDirTest {
  protected:
    std::filesystem::path file() const { return dir_ / "prefer.ini"; }
    void writeRaw(const std::string& bytes) const { writeFileAtomically(file(), bytes); }
    std::string raw() const { return readFileBytes(file()); }
};

// The way Windows writes: key=value, CR LF, sections and keys in the order first written.
TEST_F(IniFileTest, WritesWindowsFormatByteForByte) {
    IniFile ini(file());
    ini.writeString("MP_Setting", "Format", "1");
    ini.writeInt("MP_Setting", "Blanking check", 0);
    ini.writeInt("MP_Setting", "iScanLevel", -3);
    ini.writeString("DISK", "Label", "PASS WD");
    ini.writeString("MP_Setting", "format", "2");  // same key, other case: replaced in place
    EXPECT_EQ(raw(),
              "[MP_Setting]\r\nFormat=2\r\nBlanking check=0\r\niScanLevel=-3\r\n\r\n"
              "[DISK]\r\nLabel=PASS WD\r\n");
    EXPECT_EQ(ini.sectionNames(), (std::vector<std::string>{"MP_Setting", "DISK"}));
    EXPECT_EQ(ini.keyNames("mp_setting"),
              (std::vector<std::string>{"Format", "Blanking check", "iScanLevel"}));
}

// A file edited by hand: LF ends, blanks around '=', odd case, values that are not numbers.
TEST_F(IniFileTest, ReadsHandEditedFileAsWindowsWould) {
    writeRaw(
        "[MP_Setting]\n"
        "Format = 1\n"
        "  Blanking check=0x1F\n"
        "iScanLevel=abc\n"
        "Label=  PASS WD  \n"
        "Neg=-5\n"
        "Plus=+7\n"
        "AllBits=0xFFFFFFFF\n"
        "TooBig=99999999999\n"
        "Partial=12abc\n"
        "HexJunk=0x1G\n"
        "Empty=\n"
        "Dup=first\n"
        "DUP=second\n"
        "[Other]\r\n"
        "Format=9\r\n");
    struct Case {
        const char* section;
        const char* key;
        const char* text;  // readString with default "def"
        int number;        // readInt with default 42
    };
    const Case cases[] = {
        {"MP_Setting", "Format", "1", 1},
        {"mp_setting", "FORMAT", "1", 1},
        {"MP_Setting", "Blanking check", "0x1F", 31},
        {"MP_Setting", "blanking CHECK", "0x1F", 31},
        {"MP_Setting", "iScanLevel", "abc", 42},
        {"MP_Setting", "Label", "PASS WD", 42},
        {"MP_Setting", "Neg", "-5", -5},
        {"MP_Setting", "Plus", "+7", 7},
        {"MP_Setting", "AllBits", "0xFFFFFFFF", -1},
        {"MP_Setting", "TooBig", "99999999999", 42},
        {"MP_Setting", "Partial", "12abc", 42},
        {"MP_Setting", "HexJunk", "0x1G", 42},
        {"MP_Setting", "Empty", "", 42},
        {"MP_Setting", "Dup", "first", 42},
        {"MP_Setting", "Missing", "def", 42},
        {"Other", "Format", "9", 9},
        {"Nowhere", "Format", "def", 42},
    };
    IniFile ini(file());
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.section) + "/" + c.key);
        EXPECT_EQ(ini.readString(c.section, c.key, "def"), c.text);
        EXPECT_EQ(ini.readInt(c.section, c.key, 42), c.number);
        EXPECT_EQ(ini.readStrings(c.section, {c.key}).front().value_or("def"), c.text);
    }
    // Many keys from one read: an empty value is there, a missing key is not.
    EXPECT_EQ(ini.readStrings("MP_Setting", {"Empty", "Missing", "dup", "Format"}),
              (std::vector<std::optional<std::string>>{"", std::nullopt, "first", "1"}));
}

TEST_F(IniFileTest, WriteKeepsOtherSectionsKeysAndDuplicates) {
    writeRaw("[MP_Setting]\nFormat=1\nDup=first\nDup=second\n[Other]\nKeep=me\n");
    IniFile ini(file());
    ini.writeString("MP_Setting", "Label", "X");
    EXPECT_EQ(raw(),
              "[MP_Setting]\r\nFormat=1\r\nDup=first\r\nDup=second\r\nLabel=X\r\n\r\n"
              "[Other]\r\nKeep=me\r\n");
    EXPECT_EQ(ini.readString("MP_Setting", "Dup"), "first");

    // Writing the duplicated key itself leaves one value where the first stood.
    ini.writeString("MP_Setting", "dup", "new");
    EXPECT_EQ(ini.readString("MP_Setting", "Dup"), "new");
    EXPECT_EQ(raw(),
              "[MP_Setting]\r\nFormat=1\r\nDup=new\r\nLabel=X\r\n\r\n[Other]\r\nKeep=me\r\n");
}

TEST_F(IniFileTest, EraseSectionKeepsTheRest) {
    writeRaw(
        "[MP_Setting]\r\nFormat=1\r\n\r\n[HIDE_FILES]\r\nfiles0=a\r\nfiles1=b\r\n\r\n"
        "[Other]\r\nKeep=me\r\n");
    IniFile ini(file());
    ini.eraseSection("hide_files");
    EXPECT_EQ(raw(), "[MP_Setting]\r\nFormat=1\r\n\r\n[Other]\r\nKeep=me\r\n");
    EXPECT_EQ(ini.readString("HIDE_FILES", "files0", "none"), "none");

    ini.eraseSection("SPI_HIDE_FILES");  // not there: nothing changes
    EXPECT_EQ(raw(), "[MP_Setting]\r\nFormat=1\r\n\r\n[Other]\r\nKeep=me\r\n");
}

// Chinese texts of lang.ini stay the bytes they are, whatever the code page; Big5 "\xA5\x5C"
// has a backslash as its second byte.
TEST_F(IniFileTest, ValueBytesPassThrough) {
    const std::string gbk = "\xD6\xD0\xCE\xC4 \xB2\xE2\xCA\xD4";
    const std::string big5 = "\xA4\xA4\xA4\xE5\xA5\x5C";
    IniFile ini(file());
    ini.writeString("Chinese (PRC)", "TitleStr", gbk);
    ini.writeString("Chinese (Taiwan)", "TitleStr", big5);
    EXPECT_EQ(ini.readString("Chinese (PRC)", "TitleStr"), gbk);
    EXPECT_EQ(ini.readString("chinese (taiwan)", "TitleStr"), big5);
    EXPECT_NE(raw().find("TitleStr=" + big5 + "\r\n"), std::string::npos);
}

TEST_F(IniFileTest, MissingFileReadsEmptyAndWriteCreatesIt) {
    IniFile ini(file());
    EXPECT_EQ(ini.readString("MP_Setting", "Format", "d"), "d");
    EXPECT_EQ(ini.readInt("MP_Setting", "Format", 5), 5);
    EXPECT_TRUE(ini.sectionNames().empty());
    ini.eraseSection("MP_Setting");
    EXPECT_FALSE(std::filesystem::exists(file()));

    ini.writeInt("MP_Setting", "Format", 1);
    EXPECT_EQ(raw(), "[MP_Setting]\r\nFormat=1\r\n");
}

TEST_F(IniFileTest, UnwritableFileIsReportedByName) {
    IniFile inMissingFolder(dir_ / "no-such-folder" / "prefer.ini");
    try {
        inMissingFolder.writeString("S", "K", "V");
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(
                      (std::filesystem::path("no-such-folder") / "prefer.ini").string()),
                  std::string::npos)
            << e.what();
    }
    // Nothing left beside the target either.
    EXPECT_TRUE(std::filesystem::is_empty(dir_));

    // A folder where the file should be reads as empty and is reported on a write.
    std::filesystem::create_directory(file());
    IniFile onFolder(file());
    EXPECT_EQ(onFolder.readInt("S", "K", 3), 3);
    try {
        onFolder.writeString("S", "K", "V");
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(file().string()), std::string::npos) << e.what();
    }
}

#ifndef _WIN32
// A settings file that exists but cannot be read must not be replaced by the few keys written
// now; it reads as empty, as Windows reads it. (POSIX file modes make it unreadable.)
TEST_F(IniFileTest, UnreadableFileIsNeverOverwritten) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "root reads every file";
    }
    writeRaw("[MP_Setting]\r\nFormat=1\r\n");
    ASSERT_EQ(chmod(file().c_str(), 0), 0);
    IniFile ini(file());
    EXPECT_EQ(ini.readInt("MP_Setting", "Format", 7), 7);
    EXPECT_THROW(ini.writeString("MP_Setting", "Label", "X"), std::runtime_error);
    ASSERT_EQ(chmod(file().c_str(), 0600), 0);
    EXPECT_EQ(raw(), "[MP_Setting]\r\nFormat=1\r\n");
}
#endif

TEST_F(IniFileTest, RefusesWhatTheFormatCannotHold) {
    IniFile ini(file());
    EXPECT_THROW(ini.writeString("S", "K", "two\r\nlines"), std::invalid_argument);
    EXPECT_THROW(ini.writeString("S", "a=b", "v"), std::invalid_argument);
    EXPECT_THROW(ini.writeString("S]", "K", "v"), std::invalid_argument);
    EXPECT_THROW(ini.writeString("S", " ", "v"), std::invalid_argument);
    EXPECT_FALSE(std::filesystem::exists(file()));
}

TEST_F(IniFileTest, BulkWriteAndUtf8SignatureKept) {
    writeRaw("\xEF\xBB\xBF[DISK]\r\nLabel=A\r\n");
    IniFile ini(file());
    ini.writeStrings("HIDE_FILES", {{"files0", "/a"}, {"files1", "/b"}});
    EXPECT_EQ(raw(),
              "\xEF\xBB\xBF[DISK]\r\nLabel=A\r\n\r\n[HIDE_FILES]\r\nfiles0=/a\r\nfiles1=/b\r\n");
    EXPECT_EQ(ini.readString("DISK", "Label"), "A");
}

}  // namespace
}  // namespace corvid
