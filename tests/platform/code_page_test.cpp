#include "platform/code_page.h"

#include <gtest/gtest.h>

#include <string>

namespace corvid {
namespace {

struct Conversion {
    const char* name;
    CodePage codePage;
    std::string bytes;
    std::string utf8;
};

// Each row both ways: bytes to UTF-8 and back.
TEST(CodePageTest, ConvertsEachCodePageBothWays) {
    const Conversion cases[] = {
        {"Big5", CodePage::Big5, "\xA4\xA4\xA4\xE5 OK", "中文 OK"},
        {"Big5 trail byte 0x5C", CodePage::Big5, "\xA5\x5C", "功"},
        {"Big5 euro of code page 950", CodePage::Big5, "\xA3\xE1", "€"},
        {"GBK", CodePage::Gbk, "\xD6\xD0\xCE\xC4", "中文"},
        {"GBK euro of code page 936", CodePage::Gbk, "\x80", "€"},
        {"UTF-16LE", CodePage::Utf16Le, std::string("A\0\x2D\x4E", 4), "A中"},
        {"UTF-16BE", CodePage::Utf16Be, std::string("\0A\x4E\x2D", 4), "A中"},
        {"UTF-16LE surrogate pair", CodePage::Utf16Le, std::string("\x3D\xD8\x00\xDE", 4), "😀"},
        {"UTF-8", CodePage::Utf8, "a中", "a中"},
        {"empty", CodePage::Gbk, "", ""},
    };
    for (const Conversion& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(toUtf8(c.bytes, c.codePage), c.utf8);
        EXPECT_EQ(fromUtf8(c.utf8, c.codePage), c.bytes);
    }
    EXPECT_EQ(convertCodePage("\xA4\xA4", CodePage::Big5, CodePage::Gbk), "\xD6\xD0");
}

struct BadInput {
    const char* name;
    CodePage from;
    CodePage to;
    std::string bytes;
    std::string expectedInMessage;
};

TEST(CodePageTest, BytesThatDoNotConvertNameCodePageAndOffset) {
    const BadInput cases[] = {
        {"invalid GBK pair", CodePage::Gbk, CodePage::Utf8, "ab\xA1\x20", "GBK (code page 936)"},
        {"invalid UTF-8", CodePage::Utf8, CodePage::Gbk, "ok\xFF", "offset 2"},
        {"Big5 cut short", CodePage::Big5, CodePage::Utf8, "x\xA4", "offset 1"},
        {"odd UTF-16 length", CodePage::Utf16Le, CodePage::Utf8, std::string("A\0B", 3),
         "incomplete"},
        {"not in Big5", CodePage::Utf8, CodePage::Big5, "a😀", "Big5 (code page 950)"},
    };
    for (const BadInput& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            convertCodePage(c.bytes, c.from, c.to);
            ADD_FAILURE() << "no error";
        } catch (const CodePageError& e) {
            EXPECT_NE(std::string(e.what()).find(c.expectedInMessage), std::string::npos)
                << e.what();
        }
    }
}

}  // namespace
}  // namespace corvid
