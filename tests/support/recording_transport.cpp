#include "tests/support/recording_transport.h"

#include <algorithm>
#include <utility>

namespace corvid::test {

void RecordingTransport::failOpen(char driveLetter) {
    std::lock_guard lock(mutex_);
    failingLetters_.insert(driveLetter);
}

void RecordingTransport::queueReply(Reply reply) {
    std::lock_guard lock(mutex_);
    queued_.push_back(std::move(reply));
}

void RecordingTransport::setResponder(Responder responder) {
    std::lock_guard lock(mutex_);
    responder_ = std::move(responder);
}

std::vector<RecordedRequest> RecordingTransport::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<char> RecordingTransport::openedLetters() const {
    std::lock_guard lock(mutex_);
    return opened_;
}

std::vector<DeviceHandle> RecordingTransport::closedHandles() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

void RecordingTransport::clear() {
    std::lock_guard lock(mutex_);
    requests_.clear();
    opened_.clear();
    closed_.clear();
}

DeviceHandle RecordingTransport::open(char driveLetter) {
    std::lock_guard lock(mutex_);
    opened_.push_back(driveLetter);
    return failingLetters_.contains(driveLetter) ? kInvalidHandle : handleFor(driveLetter);
}

void RecordingTransport::close(DeviceHandle handle) {
    std::lock_guard lock(mutex_);
    closed_.push_back(handle);
}

bool RecordingTransport::sendBuffered(DeviceHandle handle, const ScsiRequest& request) {
    return answer(handle, RequestForm::Buffered, request);
}

bool RecordingTransport::sendDirect(DeviceHandle handle, const ScsiRequest& request) {
    return answer(handle, RequestForm::Direct, request);
}

bool RecordingTransport::answer(DeviceHandle handle, RequestForm form, const ScsiRequest& request) {
    RecordedRequest record;
    record.handle = handle;
    record.form = form;
    record.cdb = request.cdb;
    record.cdbLength = request.cdbLength;
    record.direction = request.direction;
    record.transferLength = request.transferLength;
    record.timeoutSeconds = request.timeoutSeconds;
    if (form == RequestForm::Buffered && request.data != nullptr) {
        record.bufferedAreaZeroed = std::all_of(request.data, request.data + kBufferedDataAreaSize,
                                                [](std::uint8_t byte) { return byte == 0; });
    }
    if (request.direction == DataDirection::Out && request.transferLength > 0) {
        record.dataOut.assign(request.data, request.data + request.transferLength);
    }

    Reply reply;
    Responder responder;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(record);
        if (!queued_.empty()) {
            reply = std::move(queued_.front());
            queued_.pop_front();
        } else {
            responder = responder_;
        }
    }
    // The responder runs unlocked so it may call the fake's other members.
    if (responder) {
        reply = responder(record);
    }

    if (request.direction == DataDirection::In && request.data != nullptr) {
        const auto count = std::min<std::size_t>(reply.dataIn.size(), request.transferLength);
        std::copy_n(reply.dataIn.begin(), count, request.data);
    }
    return reply.callResult;
}

}  // namespace corvid::test
