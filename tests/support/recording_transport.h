#pragma once

// RecordingTransport: a fake pass-through service for unit tests.
//
// It records every open, close and request, and answers requests with scripted replies:
//
//   RecordingTransport fake;
//   fake.failOpen('Q');                           // 'Q' gives kInvalidHandle
//   fake.queueReply({.callResult = true, .dataIn = {0x01}});  // next request's answer
//   fake.setResponder([](const RecordedRequest& r) { ... return Reply{...}; });
//   ... run the code under test with 'fake' as its Transport ...
//   EXPECT_EQ(fake.requests().at(0).cdb[1], 0x70);
//
// Answers: queued replies are used first, one per request, in order; when the queue is empty the
// responder (if set) answers; otherwise the default reply (a successful call with no data).
// Data-in bytes of a reply are copied into the request's data, at most transferLength of them;
// a failed reply copies them too, so tests can check that the code under test ignores data of a
// failed call.
//
// Handles: open() of a letter gives a distinct handle (the letter's code plus 0x100) unless the
// letter was marked with failOpen(). Requests on any handle, the invalid one included, are
// recorded and answered, so a test can also see a request that should not have been sent.
// All members are safe to call from several threads.

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <vector>

#include "transport/transport.h"

namespace corvid::test {

enum class RequestForm : std::uint8_t { Buffered, Direct };

struct RecordedRequest {
    DeviceHandle handle = kInvalidHandle;
    RequestForm form = RequestForm::Buffered;
    std::array<std::uint8_t, 16> cdb{};
    std::uint8_t cdbLength = 0;
    DataDirection direction = DataDirection::In;
    std::uint32_t transferLength = 0;
    std::uint32_t timeoutSeconds = 0;
    std::vector<std::uint8_t> dataOut;  // the bytes sent, for data-out requests
    // Buffered requests only: the data area (kBufferedDataAreaSize bytes) was all zeros when sent.
    bool bufferedAreaZeroed = false;
    // The first CDB bytes as sent: cdb[0..cdbLength).
    std::vector<std::uint8_t> cdbBytes() const { return {cdb.begin(), cdb.begin() + cdbLength}; }
};

struct Reply {
    bool callResult = true;
    std::vector<std::uint8_t> dataIn;
};

class RecordingTransport : public Transport {
  public:
    using Responder = std::function<Reply(const RecordedRequest&)>;

    static DeviceHandle handleFor(char driveLetter) {
        return static_cast<DeviceHandle>(static_cast<unsigned char>(driveLetter)) + 0x100;
    }

    // --- scripting ---
    void failOpen(char driveLetter);
    void queueReply(Reply reply);
    void setResponder(Responder responder);

    // --- what happened ---
    std::vector<RecordedRequest> requests() const;
    std::vector<char> openedLetters() const;  // every open() call, failed ones included
    std::vector<DeviceHandle> closedHandles() const;
    void clear();  // forgets the records (not the scripting)

    // --- Transport ---
    DeviceHandle open(char driveLetter) override;
    void close(DeviceHandle handle) override;
    bool sendBuffered(DeviceHandle handle, const ScsiRequest& request) override;
    bool sendDirect(DeviceHandle handle, const ScsiRequest& request) override;

  private:
    bool answer(DeviceHandle handle, RequestForm form, const ScsiRequest& request);

    mutable std::mutex mutex_;
    std::set<char> failingLetters_;
    std::deque<Reply> queued_;
    Responder responder_;
    std::vector<RecordedRequest> requests_;
    std::vector<char> opened_;
    std::vector<DeviceHandle> closed_;
};

}  // namespace corvid::test
