#include "image/short_name.h"

#include <gtest/gtest.h>

#include <set>
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

// Names given one after the other in one folder, with the alias each must get. Past ~4 the
// alias is the base's first two bytes, four hex digits of the long name's hash (FNV-1a over its
// UTF-16 units, folded to 16 bits; the digits below are worked out by hand) and ~1 and up.
struct FolderCase {
    const char* title;
    ShortNameCodePage codePage;
    std::vector<AliasCase> names;
};

TEST(ShortNameTest, CollisionsOneToFourThenTheHashedForm) {
    const std::u16string longName(
        u"LongLongLongLongLongLongLongLongLongLongLongLongLongLongLong"
        u"LongLongLongLongLongLongLongLongLongLongLongLongLongLongLong"
        u"LongLongLongLongLongLongLongLongLongLongLongLongLongLongLong"
        u"LongLongLongLongLongLongLongLongLongLongLongLongLongLongLong"
        u"x.txt");  // 245 characters
    const std::vector<FolderCase> cases = {
        {"names sharing their start",
         std::nullopt,
         {
             {u"Track 0001 - Intro.mp3", "TRACK0~1.MP3"},
             {u"Track 0002 - Intro.mp3", "TRACK0~2.MP3"},
             {u"Track 0003 - Intro.mp3", "TRACK0~3.MP3"},
             {u"Track 0004 - Intro.mp3", "TRACK0~4.MP3"},
             {u"Track 0005 - Intro.mp3", "TR0625~1.MP3"},
             {u"Track 0006 - Intro.mp3", "TR0685~1.MP3"},
             // The same hash again: the next number.
             {u"Track 0005 - Intro.mp3", "TR0625~2.MP3"},
             // Names that differ only by case hash apart.
             {u"track 0005 - intro.MP3", "TRA283~1.MP3"},
             {u"TRACK 0005 - INTRO.MP3", "TR4D7B~1.MP3"},
         }},
        {"a long name",
         std::nullopt,
         {
             {longName, "LONGLO~1.TXT"},
             {longName, "LONGLO~2.TXT"},
             {longName, "LONGLO~3.TXT"},
             {longName, "LONGLO~4.TXT"},
             {longName, "LO05F9~1.TXT"},
         }},
        {"CJK without a code page",
         std::nullopt,
         {
             {u"\u4e2d\u6587\u6587\u4ef6\u540d\u79f0.txt", "______~1.TXT"},
             {u"\u4e2d\u6587\u6587\u4ef6\u540d\u79f0.txt", "______~2.TXT"},
             {u"\u4e2d\u6587\u6587\u4ef6\u540d\u79f0.txt", "______~3.TXT"},
             {u"\u4e2d\u6587\u6587\u4ef6\u540d\u79f0.txt", "______~4.TXT"},
             {u"\u4e2d\u6587\u6587\u4ef6\u540d\u79f0.txt", "__2BF2~1.TXT"},
         }},
        {"CJK in GBK: a double-byte character is never cut",
         CodePage::Gbk,
         {
             {u"\u4e2d\u6587\u6587\u4ef6\u540d\u79f0.txt", "\xD6\xD0\xCE\xC4\xCE\xC4~1.TXT"},
             {u"\u4e2d\u6587\u6587\u4ef6\u540d\u79f0.txt", "\xD6\xD0\xCE\xC4\xCE\xC4~2.TXT"},
             {u"\u4e2d\u6587\u6587\u4ef6\u540d\u79f0.txt", "\xD6\xD0\xCE\xC4\xCE\xC4~3.TXT"},
             {u"\u4e2d\u6587\u6587\u4ef6\u540d\u79f0.txt", "\xD6\xD0\xCE\xC4\xCE\xC4~4.TXT"},
             {u"\u4e2d\u6587\u6587\u4ef6\u540d\u79f0.txt",
              "\xD6\xD0"
              "2BF2~1.TXT"},
             {u"a\u4e2d\u6587\u6587\u4ef6\u540d.txt", "A\xD6\xD0\xCE\xC4~1.TXT"},
             {u"a\u4e2d\u6587\u6587\u4ef6\u540d.txt", "A\xD6\xD0\xCE\xC4~2.TXT"},
             {u"a\u4e2d\u6587\u6587\u4ef6\u540d.txt", "A\xD6\xD0\xCE\xC4~3.TXT"},
             {u"a\u4e2d\u6587\u6587\u4ef6\u540d.txt", "A\xD6\xD0\xCE\xC4~4.TXT"},
             // Two bytes would cut the character after 'A': only 'A' is taken.
             {u"a\u4e2d\u6587\u6587\u4ef6\u540d.txt", "A2D5F~1.TXT"},
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        ShortNameGenerator names(c.codePage);
        for (const auto& name : c.names) {
            EXPECT_EQ(names.alias(name.name), name.alias);
        }
    }
}

TEST(ShortNameTest, AHashedAliasCountsOnAndGivesUpBytesOfTheBaseForLongerTails) {
    ShortNameGenerator names(std::nullopt);
    for (int i = 1; i <= 4; ++i) {
        EXPECT_EQ(names.alias(u"Long File Name.html"), "LONGFI~" + std::to_string(i) + ".HTM");
    }
    for (int i = 1; i <= 9; ++i) {
        EXPECT_EQ(names.alias(u"Long File Name.html"), "LO1CEC~" + std::to_string(i) + ".HTM");
    }
    EXPECT_EQ(names.alias(u"Long File Name.html"), "L1CEC~10.HTM");
}

TEST(ShortNameTest, AliasesOfAFolderOfThousandsSharingTheirStartStayUniqueAndFixed) {
    // The alias of a name depends on the names before it, never on how many follow.
    ShortNameGenerator names(std::nullopt);
    std::vector<std::u16string> folder;
    for (int i = 1; i <= 20000; ++i) {
        std::string digits = std::to_string(i);
        digits.insert(0, 5 - digits.size(), '0');
        folder.push_back(u"Track " + std::u16string(digits.begin(), digits.end()) +
                         u" - Artist Name - Song Title.mp3");
    }
    const auto aliases = names.aliases(folder);
    std::set<std::string> seen;
    for (const auto& alias : aliases) {
        ASSERT_TRUE(alias);
        ASSERT_TRUE(splitShortName(*alias, std::nullopt)) << *alias;
        EXPECT_TRUE(seen.insert(*alias).second) << *alias;
    }
    ShortNameGenerator fewer(std::nullopt);
    const auto first =
        fewer.aliases(std::vector<std::u16string>(folder.begin(), folder.begin() + 5));
    for (std::size_t i = 0; i < first.size(); ++i) {
        EXPECT_EQ(first[i], aliases[i]);
    }
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
