#include "platform/text_file.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <string>
#include <vector>

#include "platform/ini_file.h"
#include "tests/support/temp_dir.h"

namespace corvid {
namespace {

using Lines = std::vector<std::string>;

struct Decode {
    const char* name;
    std::string bytes;
    Lines lines;
};

TEST(TextFileTest, DecodesByByteOrderMarkAndSplitsAtEveryLineEnd) {
    const Decode cases[] = {
        {"UTF-16LE",
         std::string("\xFF\xFE"
                     "a\0\r\0\n\0\x2D\x4E\r\0\n\0",
                     14),
         {"a", "中"}},
        {"UTF-16BE", std::string("\xFE\xFF\0a\0\n\0b", 8), {"a", "b"}},
        {"UTF-8",
         "\xEF\xBB\xBF"
         "x\ry\n",
         {"x", "y"}},
        {"ANSI (GBK here)", "\xD6\xD0\r\n\r\nlast", {"中", "", "last"}},
        {"empty", "", {}},
        {"only a mark", "\xFF\xFE", {}},
    };
    for (const Decode& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decodeTextLines(c.bytes, CodePage::Gbk), c.lines);
    }
}

TEST(TextFileTest, EncodesUtf16LeWithMarkAndCrLf) {
    EXPECT_EQ(encodeUtf16LeLines({"a", "中"}), std::string("\xFF\xFE"
                                                           "a\0\r\0\n\0\x2D\x4E\r\0\n\0",
                                                           14));
    EXPECT_EQ(encodeUtf16LeLines({}), "\xFF\xFE");
}

class TextFileDirTest : public test::TempDirTest {};

TEST_F(TextFileDirTest, ListFileRoundTripAndReplacement) {
    const auto file = dir_ / "seting.ini";
    const Lines lines = {"/home/op/fw.bin", "/home/op/資料", ""};
    writeUtf16LeLines(file, lines);
    EXPECT_EQ(readTextLines(file, CodePage::Big5), lines);
    writeUtf16LeLines(file, {"one"});
    EXPECT_EQ(readTextLines(file, CodePage::Big5), Lines{"one"});
    // No temporary file is left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_),
                            std::filesystem::directory_iterator()),
              1);
}

TEST_F(TextFileDirTest, ErrorsNameTheFile) {
    const auto missing = dir_ / "missing.ini";
    try {
        readTextLines(missing, CodePage::Gbk);
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(missing.string()), std::string::npos) << e.what();
    }
    const auto bad = dir_ / "bad.ini";
    writeFileAtomically(bad, "\xEF\xBB\xBFok\xFF");
    try {
        readTextLines(bad, CodePage::Gbk);
        FAIL() << "no error";
    } catch (const CodePageError& e) {
        EXPECT_NE(std::string(e.what()).find(bad.string()), std::string::npos) << e.what();
    }
}

#ifndef _WIN32
// A station killed while it saves settings or a list (here by the file size limit, which ends
// the process in the middle of its write) must leave the old file whole.
TEST_F(TextFileDirTest, ACrashMidWriteLeavesTheOldFile) {
    const auto list = dir_ / "DataList.txt";
    const Lines oldLines{"old\\a.txt", "old\\b.txt"};
    writeUtf16LeLines(list, oldLines);
    const auto ini = dir_ / "prefer.ini";
    IniFile(ini).writeString("Corvid", "strCustomLabel", "OLD");
    const std::string oldIni = readFileBytes(ini);

    const auto crashWhile = [](const auto& write) {
        rlimit limit{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        write();
        std::_Exit(0);
    };
    const Lines bigList(5000, std::string(40, 'x'));
    EXPECT_EXIT(crashWhile([&] { writeUtf16LeLines(list, bigList); }),
                testing::KilledBySignal(SIGXFSZ), "");
    EXPECT_EXIT(crashWhile([&] {
                    IniFile(ini).writeString("Corvid", "strCustomLabel", std::string(9000, 'N'));
                }),
                testing::KilledBySignal(SIGXFSZ), "");

    EXPECT_EQ(readTextLines(list, CodePage::Gbk), oldLines);
    EXPECT_EQ(readFileBytes(ini), oldIni);
}
#endif

}  // namespace
}  // namespace corvid
