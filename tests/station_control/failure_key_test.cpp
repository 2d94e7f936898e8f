// A failure's key is the same whichever language showed it: the longest message or fixed text the
// status begins with, else the step.
#include "station_control/failure_key.h"

#include <gtest/gtest.h>

namespace corvid {
namespace {

TEST(FailureKeyTest, TheLongestTextTheStatusBeginsWithNamesIt) {
    MessageTable chinese;
    chinese.setText(MessageKey::BadBlockStr, "坏块扫描");
    chinese.setText(MessageKey::FailMsg, "失败");
    const MessageTable english;
    struct Case {
        const char* shown;
        const MessageTable& messages;
        const char* key;
    };
    const Case cases[] = {
        {"Bad Block Check fail", english, "BadBlockStr"},  // not FailMsg's "fail"
        {"坏块扫描 失败", chinese, "BadBlockStr"},
        {"  Bad Block Check fail\n", chinese, "BadBlockStr"},  // the English default, trimmed
        {"Write CFGfail", english, "Write CFG"},               // a fixed text, in English words
        {"寫入CFG失敗", english, "Write CFG"},                 // the same in Traditional Chinese
        {"FileHandle fail", english, ""},                      // the station's own words
        {"", english, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shown);
        EXPECT_EQ(textKey(c.shown, c.messages), c.key);
    }
}

TEST(FailureKeyTest, AFailedRunIsKeyedByItsTextAnEndedOneByItsStep) {
    const MessageTable english;
    EXPECT_EQ(failureKey(RunEnd::Failed, "Bad Block Check fail", "Start Disk", english),
              "BadBlockStr");
    EXPECT_EQ(failureKey(RunEnd::Failed, "FileHandle fail", "Start Disk", english), "Start Disk");
    EXPECT_EQ(failureKey(RunEnd::Failed, "FileHandle fail", "opening", english), "opening");
    EXPECT_EQ(failureKey(RunEnd::Stopped, "Bad Block Check fail", "Write CFG...", english),
              "Write CFG");
    EXPECT_EQ(failureKey(RunEnd::Removed, "Waiting device...", "启动磁碟", english), "Start Disk");
    EXPECT_EQ(failureKey(RunEnd::Passed, "successful", "", english), "");
}

}  // namespace
}  // namespace corvid
