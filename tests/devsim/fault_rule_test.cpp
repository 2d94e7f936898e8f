#include <gtest/gtest.h>

#include "devsim/device.h"

namespace corvid::devsim {
namespace {

TEST(FaultRules, ParseNamesOccurrencesAndKinds) {
    using Kind = FaultRule::Kind;
    struct Case {
        Kind kind;
        const char* text;
        Kind expectedKind;
        const char* command;
        std::uint32_t occurrence;
    };
    const Case cases[] = {
        {Kind::FailCall, "READ_CFG", Kind::FailCall, "SUB_SCSI_OP_READ_CFG", 0},
        {Kind::FailCall, "sub_scsi_op_write_page@2:status", Kind::FailStatus,
         "SUB_SCSI_OP_WRITE_PAGE", 2},
        {Kind::FailCall, "READ(10)@7:call", Kind::FailCall, "READ(10)", 7},
        {Kind::FailCall, "read_capacity", Kind::FailCall, "READ_CAPACITY(10)", 0},
        {Kind::UnplugDuring, "FILE_WRITE@3", Kind::UnplugDuring, "SUB_SCSI_OP_FILE_WRITE", 3},
        {Kind::Silent, "INQUIRY", Kind::Silent, "INQUIRY", 0},
    };
    for (const Case& c : cases) {
        const FaultRule rule = parseFaultRule(c.kind, c.text);
        EXPECT_EQ(rule.kind, c.expectedKind) << c.text;
        EXPECT_STREQ(rule.command->name, c.command) << c.text;
        EXPECT_EQ(rule.occurrence, c.occurrence) << c.text;
    }
}

TEST(FaultRules, RefuseWhatTheyCannotMean) {
    using Kind = FaultRule::Kind;
    EXPECT_THROW(parseFaultRule(Kind::FailCall, "FROBNICATE"), std::invalid_argument);
    EXPECT_THROW(parseFaultRule(Kind::FailCall, "READ_CFG@0"), std::invalid_argument);
    EXPECT_THROW(parseFaultRule(Kind::FailCall, "READ_CFG@x"), std::invalid_argument);
    EXPECT_THROW(parseFaultRule(Kind::FailCall, "READ_CFG:maybe"), std::invalid_argument);
    EXPECT_THROW(parseFaultRule(Kind::Silent, "READ_CFG:status"), std::invalid_argument);
    EXPECT_THROW(parseBandwidth("fast"), std::invalid_argument);
    EXPECT_DOUBLE_EQ(parseBandwidth("2M"), 2.0 * 1024 * 1024);
}

}  // namespace
}  // namespace corvid::devsim
