// The by-letter checks made at device arrival: each opens the letter, sends one command, closes
// the handle; a letter that cannot be opened fails without sending.

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/recording_transport.h"
#include "transport/plugin_checks.h"
#include "transport/standard_commands.h"
#include "transport/vendor_commands.h"

namespace corvid {
namespace {

using test::RecordingTransport;
using test::Reply;

constexpr char kLetter = 'E';

class PluginChecks : public testing::Test {
  protected:
    // The one command went to the letter's handle, which was opened once and closed once.
    void expectOneCommandOnOwnHandle(std::uint8_t cdb0, std::uint8_t cdb1) {
        const auto requests = fake_.requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].cdb[0], cdb0);
        EXPECT_EQ(requests[0].cdb[1], cdb1);
        EXPECT_EQ(requests[0].handle, RecordingTransport::handleFor(kLetter));
        EXPECT_EQ(fake_.openedLetters(), std::vector<char>{kLetter});
        EXPECT_EQ(fake_.closedHandles(),
                  std::vector<DeviceHandle>{RecordingTransport::handleFor(kLetter)});
    }

    void expectNothingSent() {
        EXPECT_TRUE(fake_.requests().empty());
        EXPECT_TRUE(fake_.closedHandles().empty());
    }

    RecordingTransport fake_;
};

TEST_F(PluginChecks, NeedsResetWhenTheChipAnswers5V16) {
    fake_.queueReply({true, {'5', 'V', '1', '6'}});
    EXPECT_TRUE(needsReset(fake_, kLetter));
    expectOneCommandOnOwnHandle(kVendorOpcodeIn, SUB_SCSI_OP_GET_CHIP_NAME);
}

TEST_F(PluginChecks, NoResetForOtherNamesOrAFailedCall) {
    fake_.queueReply({true, {'5', 'V', '0', '6'}});
    EXPECT_FALSE(needsReset(fake_, kLetter));
    fake_.queueReply({false, {'5', 'V', '1', '6'}});
    EXPECT_FALSE(needsReset(fake_, kLetter));
}

TEST_F(PluginChecks, ResetByLetter) {
    EXPECT_TRUE(resetByLetter(fake_, kLetter));
    expectOneCommandOnOwnHandle(kVendorOpcodeIn, SUB_SCSI_OP_RESET);
}

TEST_F(PluginChecks, InquiryAcceptsTheStationsDevicesOnly) {
    const std::vector<std::uint8_t> head = {0x00, 0x80, 0x02, 0x02};
    auto answer = [&](std::uint8_t byte4, std::vector<std::uint8_t> text) {
        std::vector<std::uint8_t> data = head;
        data.insert(data.end(), {byte4, 0x00, 0x00, 0x00});
        data.insert(data.end(), text.begin(), text.end());
        data.resize(kInquiryLength, ' ');
        return data;
    };
    struct Case {
        const char* what;
        Reply reply;
        bool passes;
    };
    const std::vector<Case> cases = {
        {"G device", {true, answer(0x04, {'G'})}, true},
        {"16.1 device", {true, answer(0x07, {'1', '6', '.', '1'})}, true},
        {"16.2 device", {true, answer(0x07, {'1', '6', '.', '2'})}, true},
        {"G with byte 4 = 0x07", {true, answer(0x07, {'G'})}, false},
        {"16.1 with byte 4 = 0x04", {true, answer(0x04, {'1', '6', '.', '1'})}, false},
        {"16.3 device", {true, answer(0x07, {'1', '6', '.', '3'})}, false},
        {"removable flag missing", {true, {0x00, 0x00, 0x02, 0x02, 0x04, 0, 0, 0, 'G'}}, false},
        {"empty answer", {true, {}}, false},
        {"failed call", {false, {}}, true},
    };
    for (const Case& c : cases) {
        fake_.queueReply(c.reply);
        EXPECT_EQ(cmd_bInquiry(fake_, kLetter), c.passes) << c.what;
    }
    const auto requests = fake_.requests();
    ASSERT_EQ(requests.size(), cases.size());
    EXPECT_EQ(requests[0].cdbBytes(), (std::vector<std::uint8_t>{kScsiOpInquiry, 0, 0, 0, 36, 0}));
    EXPECT_EQ(fake_.closedHandles().size(), cases.size());
}

TEST_F(PluginChecks, FlashIdByLetter) {
    fake_.queueReply({true, {0xEC, 0xD3, 0x51, 0x95, 0x58}});
    std::uint8_t maker = 0;
    std::uint32_t id = 0;
    EXPECT_TRUE(readFlashIdByLetter(fake_, kLetter, maker, id));
    EXPECT_EQ(formatFlashId(maker, id), "ID:ECD3519558");
    expectOneCommandOnOwnHandle(kVendorOpcodeIn, SUB_SCSI_OP_READ_FLASH_ID);
}

TEST_F(PluginChecks, LetterThatCannotBeOpenedFailsWithoutSending) {
    fake_.failOpen(kLetter);
    fake_.setResponder([](const test::RecordedRequest&) {
        return Reply{true, {'5', 'V', '1', '6', 0x58}};
    });
    std::uint8_t maker = 0x11;
    std::uint32_t id = 0x22;
    EXPECT_FALSE(needsReset(fake_, kLetter));
    EXPECT_FALSE(resetByLetter(fake_, kLetter));
    EXPECT_FALSE(cmd_bInquiry(fake_, kLetter));
    EXPECT_FALSE(readFlashIdByLetter(fake_, kLetter, maker, id));
    EXPECT_EQ(maker, 0);
    EXPECT_EQ(id, 0u);
    expectNothingSent();
}

}  // namespace
}  // namespace corvid
