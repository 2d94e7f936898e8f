#include "records/record_relay.h"

#include <utility>

namespace corvid {

RecordRelay::RecordRelay(const std::filesystem::path& localFile, std::string serverName,
                         Connect connect, std::chrono::milliseconds retryInterval,
                         std::chrono::milliseconds endWait)
    : local_(localFile),
      sender_(localFile),
      serverName_(std::move(serverName)),
      connect_(std::move(connect)),
      retryInterval_(retryInterval),
      endWait_(endWait) {
    counts_.waiting = local_.pendingCount();
    rowWaiting_ = true;  // what waits from before goes first, and a server at fault is told at once
    thread_ = std::thread([this] { run(); });
}

RecordRelay::~RecordRelay() {
    finish();
}

void RecordRelay::append(const RunRecord& record) {
    local_.appendPending(record);
    {
        const std::lock_guard lock(mutex_);
        ++counts_.kept;
        ++counts_.waiting;
        rowWaiting_ = true;
    }
    wake_.notify_one();
}

void RecordRelay::finish() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (!thread_.joinable()) {
        return;
    }
    {
        std::unique_lock lock(mutex_);
        if (!senderEnded_.wait_for(lock, endWait_, [this] { return ended_; })) {
            giveUp_.request_stop();  // a server that does not answer keeps the station no longer
        }
    }
    thread_.join();
    const std::int64_t waiting = counts().waiting;
    if (waiting > 0) {
        notice(std::to_string(waiting) + (waiting == 1 ? " row waits" : " rows wait") + " in " +
               local_.file().string() + " for " + serverName_ +
               "; the next start on this folder sends them.");
    }
}

std::vector<std::string> RecordRelay::takeNotices() {
    const std::lock_guard lock(mutex_);
    return std::exchange(notices_, {});
}

RelayCounts RecordRelay::counts() const {
    const std::lock_guard lock(mutex_);
    return counts_;
}

void RecordRelay::notice(std::string text) {
    const std::lock_guard lock(mutex_);
    notices_.push_back(std::move(text));
}

void RecordRelay::localFault(const RecordError& error, const char* rows) {
    if (!localFault_) {
        localFault_ = true;
        notice(std::string(error.what()) + " " + rows + serverName_ + " are offered again later.");
    }
}

void RecordRelay::run() {
    std::unique_lock lock(mutex_);
    while (true) {
        const bool last = stopping_;
        const bool offer = rowWaiting_ || last;
        rowWaiting_ = false;
        bool answered = true;
        if (offer) {
            lock.unlock();
            answered = sendWaiting();
            lock.lock();
        }
        if (last) {
            break;
        }
        // A server that answered is offered rows as they come; one that did not, also every
        // retry interval.
        const auto woken = [this] { return rowWaiting_ || stopping_; };
        if (answered) {
            wake_.wait(lock, woken);
        } else if (!wake_.wait_for(lock, retryInterval_, woken)) {
            rowWaiting_ = true;
        }
    }
    server_.reset();
    ended_ = true;
    senderEnded_.notify_all();
}

bool RecordRelay::sendWaiting() {
    while (true) {
        std::vector<PendingRun> batch;
        std::vector<RunRecord> records;
        std::vector<std::int64_t> ids;
        try {
            batch = sender_.pendingRows(kBatchRows);
            if (batch.empty() && server_ != nullptr) {
                break;
            }
            for (PendingRun& pending : batch) {
                ids.push_back(pending.id);
                records.push_back(std::move(pending.record));
            }
        } catch (const RecordError& error) {
            localFault(error, "The rows waiting for ");
            return false;
        }
        try {
            if (server_ == nullptr) {
                server_ = connect_(giveUp_.get_token());
            }
            server_->appendAll(records);  // nothing: the server is only asked whether it answers
        } catch (const std::exception& error) {
            server_.reset();  // a new connection next time
            if (!away_) {
                away_ = true;
                sentSinceAway_ = 0;
                notice(std::string(error.what()) + " Rows wait in " + local_.file().string() +
                       " and are sent when it answers; production goes on.");
            }
            return false;
        }
        if (batch.empty()) {
            break;
        }
        try {
            sender_.markSent(ids);
        } catch (const RecordError& error) {
            // The server holds the rows; offered again, they are stored once by their run id.
            localFault(error, "The rows sent to ");
            return false;
        }
        localFault_ = false;
        const std::lock_guard lock(mutex_);
        counts_.sent += static_cast<std::int64_t>(ids.size());
        counts_.waiting -= static_cast<std::int64_t>(ids.size());
        sentSinceAway_ += static_cast<std::int64_t>(ids.size());
    }
    if (away_) {
        away_ = false;
        notice("The record database " + serverName_ + " answers again; " +
               std::to_string(sentSinceAway_) +
               (sentSinceAway_ == 1 ? " row that waited was" : " rows that waited were") +
               " sent.");
    }
    return true;
}

}  // namespace corvid
