#include "platform/ascii_text.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace corvid {
namespace {

TEST(AsciiText, ChangesTheCaseOfAsciiLettersOnly) {
    // Bytes above 0x7F (here a GBK character and Latin-1 letters) are no ASCII letters.
    EXPECT_EQ(asciiUpper("music-i 1.mp3 \xB0\xA1\xFD"), "MUSIC-I 1.MP3 \xB0\xA1\xFD");
    EXPECT_EQ(asciiLower("Music-I 1.MP3 \xB0\xA1\xDD"), "music-i 1.mp3 \xB0\xA1\xDD");
    EXPECT_EQ(asciiUpper('i'), 'I');
    EXPECT_EQ(asciiLower('I'), 'i');
    EXPECT_EQ(asciiUpper('\xE9'), '\xE9');
}

TEST(AsciiText, DriveLetterOfATextIsOneLetterWithAnOptionalColon) {
    const struct {
        const char* text;
        std::optional<char> letter;
    } cases[] = {
        {"e", 'E'},
        {"E", 'E'},
        {"e:", 'E'},
        {"Z:", 'Z'},
        {"", std::nullopt},
        {":", std::nullopt},
        {"E:\\", std::nullopt},
        {"EF", std::nullopt},
        {"1", std::nullopt},
        {"\xE9", std::nullopt},
        {"e;", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(driveLetterOf(c.text), c.letter) << '"' << c.text << '"';
    }
}

}  // namespace
}  // namespace corvid
