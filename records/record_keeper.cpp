#include "records/record_keeper.h"

#include <system_error>
#include <utility>

namespace corvid {

std::filesystem::path setRecordFileAside(const std::filesystem::path& file) {
    std::error_code error;
    std::filesystem::path aside;
    for (int number = 1;; ++number) {
        aside = file.parent_path() / (file.stem().string() + ".set-aside-" +
                                      std::to_string(number) + file.extension().string());
        if (!std::filesystem::exists(aside, error) &&
            !std::filesystem::exists(aside.string() + "-wal", error)) {
            break;
        }
    }
    // The journals first: a file renamed without its journal would lose the rows in it.
    for (const char* journal : {"-wal", "-shm"}) {
        const std::filesystem::path from = file.string() + journal;
        if (std::filesystem::exists(from, error)) {
            std::filesystem::rename(from, aside.string() + journal, error);
            if (error) {
                throw RecordError("The production record " + file.string() +
                                  " cannot be set aside: " + error.message() + ".");
            }
        }
    }
    std::filesystem::rename(file, aside, error);
    if (error) {
        throw RecordError("The production record " + file.string() +
                          " cannot be set aside: " + error.message() + ".");
    }
    return aside;
}

RecordKeeper::RecordKeeper(std::filesystem::path file, Open open, std::size_t limit,
                           std::chrono::milliseconds retryInterval)
    : file_(std::move(file)), open_(std::move(open)), limit_(limit), retryInterval_(retryInterval) {
    try {
        store_ = openSettingAside();
    } catch (const std::exception& error) {
        fault(error);
    }
    thread_ = std::thread([this] { run(); });
}

RecordKeeper::~RecordKeeper() {
    finish();
}

void RecordKeeper::append(const RunRecord& record) {
    {
        const std::lock_guard lock(mutex_);
        if (held_.size() >= limit_) {
            ++counts_.lost;
            if (!lostSaid_) {
                lostSaid_ = true;
                notices_.push_back(std::to_string(limit_) +
                                   " rows of the production record wait in memory already; "
                                   "further runs are not recorded until " +
                                   file_.string() + " can be written.");
            }
            return;
        }
        held_.push_back(record);
        ++counts_.held;
    }
    wake_.notify_one();
}

void RecordKeeper::finish() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::vector<std::string> RecordKeeper::takeNotices() {
    const std::lock_guard lock(mutex_);
    return std::exchange(notices_, {});
}

KeeperCounts RecordKeeper::counts() const {
    const std::lock_guard lock(mutex_);
    return counts_;
}

void RecordKeeper::notice(std::string text) {
    const std::lock_guard lock(mutex_);
    notices_.push_back(std::move(text));
}

std::unique_ptr<RunRecordStore> RecordKeeper::openSettingAside() {
    try {
        return open_();
    } catch (const RecordError& error) {
        std::error_code missing;
        // Once: a new file that cannot be used either is not set aside again and again.
        if (error.fault() != RecordFault::Unusable || setAside_ ||
            !std::filesystem::exists(file_, missing)) {
            throw;
        }
        setAside_ = true;
        const std::filesystem::path aside = setRecordFileAside(file_);
        notice(std::string(error.what()) + " It is kept as " + aside.string() +
               " and a new production record is started.");
        return open_();
    }
}

void RecordKeeper::fault(const std::exception& error) {
    if (faulty_) {
        return;
    }
    faulty_ = true;
    writtenSinceFault_ = 0;
    notice(std::string(error.what()) + " Rows are held in memory (" +
           std::to_string(counts().held) + " now, at most " + std::to_string(limit_) +
           ") and written when it can be; " + "production goes on.");
}

bool RecordKeeper::writeHeld() {
    if (store_ == nullptr) {
        try {
            store_ = openSettingAside();
        } catch (const std::exception& error) {
            fault(error);
            return false;
        }
    }
    while (true) {
        RunRecord row;
        {
            const std::lock_guard lock(mutex_);
            if (held_.empty()) {
                break;
            }
            row = held_.front();  // stays held until the store has it
        }
        try {
            store_->append(row);
        } catch (const std::exception& error) {
            fault(error);
            return false;
        }
        const std::lock_guard lock(mutex_);
        held_.pop_front();
        --counts_.held;
        ++counts_.written;
        ++writtenSinceFault_;
    }
    if (faulty_) {
        faulty_ = false;
        notice("The production record " + file_.string() + " can be written again; " +
               std::to_string(writtenSinceFault_) +
               (writtenSinceFault_ == 1 ? " row that was held was" : " rows that were held were") +
               " written.");
    }
    return true;
}

void RecordKeeper::run() {
    std::unique_lock lock(mutex_);
    while (true) {
        const bool last = stopping_;
        lock.unlock();
        const bool written = writeHeld();
        lock.lock();
        if (last) {
            break;
        }
        // A store that took every row is offered rows as they come; one that failed, again
        // after the retry interval.
        if (written) {
            wake_.wait(lock, [this] { return !held_.empty() || stopping_; });
        } else {
            wake_.wait_for(lock, retryInterval_, [this] { return stopping_; });
        }
    }
}

}  // namespace corvid
