#include "image/short_name.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvid {
namespace {

struct AliasCase {
    std::u16string name;
    std::string alias;
};

TEST(ShortNameTest, AliasesOfSingleNamesFollowWindows) {
    const std::vector<AliasCase> cases = {
        {u"readme.txt", "README.TXT"},  // already 8.3: kept, upper case
        {u"ReadMe.TXT", "README.TXT"},
        {u"A", "A"},
        {u"Long File Name.html", "LONGFI~1.HTM"},
        {u"abcdefghi", "ABCDEF~1"},
        {u"photo.jpeg", "PHOTO~1.JPE"},
        {u"a.b.c", "AB~1.C"},                // inner dots dropped, the last one separates
        {u".bashrc", "BASHRC~1"},            // leading dots dropped
        {u"x+y=z;[1].txt", "X_Y_Z_~1.TXT"},  // characters an 8.3 name cannot hold
        {u"my file.txt", "MYFILE~1.TXT"},
        {u"\u4e2d\u6587\u6587\u4ef6\u540d\u79f0.txt", "______~1.TXT"},  // not in ASCII
        {u"caf\u00e9.txt", "CAF_~1.TXT"},
    };
    for (const auto& c : cases) {
        ShortNameGenerator names(std::nullopt);
        EXPECT_EQ(names.alias(c.name), c.alias) << c.alias;
    }
}

TEST(ShortNameTest, TailsCountUpAndShortenTheNameToKeepEightBytes) {
    ShortNameGenerator names(std::nullopt);
    for (int i = 1; i <= 9; ++i) {
        EXPECT_EQ(names.alias(u"Long File Name.html"), "LONGFI~" + std::to_string(i) + ".HTM");
    }
    EXPECT_EQ(names.alias(u"Long File Name.html"), "LONGF~10.HTM");
}

TEST(ShortNameTest, NamesThatAreValid83KeepThemBeforeAnyAliasIsGiven) {
    ShortNameGenerator names(std::nullopt);
    const auto aliases = names.aliases({u"abcdefghi.txt", u"ABCDEF~1.TXT", u"a.txt", u"A.TXT"});
    ASSERT_EQ(aliases.size(), 4u);
    EXPECT_EQ(aliases[0], "ABCDEF~2.TXT");
    EXPECT_EQ(aliases[1], "ABCDEF~1.TXT");
    EXPECT_EQ(aliases[2], "A.TXT");
    EXPECT_EQ(aliases[3], "A~1.TXT");  // the same 8.3 name but for case: unique all the same
}

TEST(ShortNameTest, NamesWindowsCannotHoldGetNoAlias) {
    const std::vector<std::u16string> bad = {
        u"",        std::u16string(256, u'a'),
        u"a*b",     u"a?",
        u"a:b",     u"a\\b",
        u"a|b",     u"a\"b",
        u"a<b>",    u"name.",
        u"name ",   u"...",
        u". .",     std::u16string(u"a\x01"),
        u"\xD800x",
    };
    for (const auto& name : bad) {
        ShortNameGenerator names(std::nullopt);
        EXPECT_FALSE(ShortNameGenerator::isValidLongName(name));
        EXPECT_EQ(names.alias(name), std::nullopt);
    }
    EXPECT_TRUE(ShortNameGenerator::isValidLongName(std::u16string(255, u'a')));
    EXPECT_TRUE(ShortNameGenerator::isValidLongName(u" leading blank"));
}

TEST(ShortNameTest, DoubleByteCodePagesKeepWholeCharacters) {
    ShortNameGenerator gbk(CodePage::Gbk);
    // Six bytes are three characters; a character is never cut in half.
    EXPECT_EQ(gbk.alias(u"\u4e2d\u6587\u6587\u4ef6\u540d\u79f0.txt"),
              "\xD6\xD0\xCE\xC4\xCE\xC4~1.TXT");
    EXPECT_EQ(gbk.alias(u"a\u4e2d\u6587\u6587\u4ef6.txt"), "A\xD6\xD0\xCE\xC4~1.TXT");
    EXPECT_EQ(gbk.alias(u"\u4e2d\u6587.txt"), "\xD6\xD0\xCE\xC4.TXT");  // fits 8.3 already
}

TEST(ShortNameTest, UpperCasingLeavesTrailBytesAlone) {
    // 0xB0 0x61 is one GBK character whose trail byte looks like 'a'.
    EXPECT_EQ(upperCaseShortName("a\xB0\x61z", CodePage::Gbk), "A\xB0\x61Z");
    EXPECT_EQ(upperCaseShortName("a\xB0\x61z", std::nullopt), "A\xB0\x41Z");
}

TEST(ShortNameTest, PathsSplitOnlyAtRealBackslashes) {
    // Big5 0xB3 0x5C: a character whose trail byte is the backslash.
    const auto parts = splitShortPath("\\\xB3\x5C\\NAME.TXT", CodePage::Big5);
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[0], "");
    EXPECT_EQ(parts[1], "\xB3\x5C");
    EXPECT_EQ(parts[2], "NAME.TXT");
    EXPECT_EQ(splitShortPath("\\\xB3\x5C\\NAME.TXT", std::nullopt).size(), 4u);
}

TEST(ShortNameTest, SplitGivesTheElevenEntryBytes) {
    const auto name = splitShortName("name~1.tx", std::nullopt);
    ASSERT_TRUE(name);
    EXPECT_EQ(std::string(name->begin(), name->end()), "NAME~1  TX ");
    for (const char* bad : {"", ".TXT", "NINECHARS", "A.TEXT", "A.B.C"}) {
        EXPECT_FALSE(splitShortName(bad, std::nullopt)) << bad;
    }
}

TEST(ShortNameTest, AFirstByteE5IsStoredAs05) {
    // U+6FC9 is E5 A1 in GBK; 0xE5 first would mark the entry free.
    ShortNameGenerator gbk(CodePage::Gbk);
    const auto alias = gbk.alias(u"\u6fc9.txt");
    ASSERT_EQ(alias, "\xE5\xA1.TXT");
    const auto name = splitShortName(*alias, CodePage::Gbk);
    ASSERT_TRUE(name);
    EXPECT_EQ((*name)[0], 0x05);
    EXPECT_EQ((*name)[1], 0xA1);
}

}  // namespace
}  // namespace corvid
