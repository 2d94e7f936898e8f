// The recording fake that other folders' tests rely on: replies in the promised order, data
// copied no further than the transfer length, records kept per request.

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/recording_transport.h"

namespace corvid::test {
namespace {

ScsiRequest directIn(std::uint8_t* data, std::uint32_t length) {
    ScsiRequest request;
    request.cdb[0] = 0xEF;
    request.data = data;
    request.transferLength = length;
    return request;
}

TEST(RecordingTransport, QueuedRepliesFirstThenResponderThenDefault) {
    RecordingTransport fake;
    std::array<std::uint8_t, 4> data{};
    fake.queueReply({false, {9}});
    EXPECT_FALSE(fake.sendDirect(1, directIn(data.data(), 4)));
    EXPECT_EQ(data[0], 9);  // data of a failed reply are copied too

    EXPECT_TRUE(fake.sendDirect(1, directIn(data.data(), 4)));  // default: success, no data
    EXPECT_EQ(data[0], 9);

    fake.setResponder([](const RecordedRequest& r) {
        return Reply{true, {static_cast<std::uint8_t>(r.transferLength), 1, 2, 3, 4, 5}};
    });
    fake.queueReply({true, {7}});
    EXPECT_TRUE(fake.sendDirect(1, directIn(data.data(), 4)));
    EXPECT_EQ(data[0], 7);
    data.fill(0xEE);
    EXPECT_TRUE(fake.sendDirect(1, directIn(data.data(), 3)));
    EXPECT_EQ(data, (std::array<std::uint8_t, 4>{3, 1, 2, 0xEE}));  // stops at the length
    EXPECT_EQ(fake.requests().size(), 4u);
}

TEST(RecordingTransport, RecordsOpensClosesAndDataOut) {
    RecordingTransport fake;
    fake.failOpen('B');
    EXPECT_EQ(fake.open('A'), RecordingTransport::handleFor('A'));
    EXPECT_EQ(fake.open('B'), kInvalidHandle);
    fake.close(RecordingTransport::handleFor('A'));

    std::vector<std::uint8_t> out = {1, 2, 3};
    ScsiRequest request = directIn(out.data(), 3);
    request.direction = DataDirection::Out;
    request.cdbLength = 10;
    request.timeoutSeconds = 30;
    fake.sendDirect(RecordingTransport::handleFor('A'), request);

    EXPECT_EQ(fake.openedLetters(), (std::vector<char>{'A', 'B'}));
    EXPECT_EQ(fake.closedHandles(), std::vector<DeviceHandle>{RecordingTransport::handleFor('A')});
    const RecordedRequest r = fake.requests().at(0);
    EXPECT_EQ(r.form, RequestForm::Direct);
    EXPECT_EQ(r.dataOut, out);
    EXPECT_EQ(r.cdbBytes().size(), 10u);
    EXPECT_EQ(r.timeoutSeconds, 30u);

    fake.clear();
    EXPECT_TRUE(fake.requests().empty());
    EXPECT_TRUE(fake.openedLetters().empty());
}

}  // namespace
}  // namespace corvid::test
