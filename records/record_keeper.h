#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "records/run_record_store.h"

namespace corvid {

// How many rows a station holds in memory while its record file cannot be written.
inline constexpr std::size_t kHeldRowsLimit = 10000;
// How often held rows are offered again to a record file that failed.
inline constexpr std::chrono::seconds kRecordRetryInterval{2};

struct KeeperCounts {
    std::int64_t written = 0;  // rows the store has taken
    std::int64_t held = 0;     // rows in memory, not yet taken
    std::int64_t lost = 0;     // rows dropped because the memory held the limit already
};

// The station's record file, written on a thread of the keeper's own: append() never waits and
// never fails, so a locked file, a full disk or a slow folder costs the controller nothing. Rows
// the store does not take are held in memory, in order (at most 'limit'), and offered again
// every retry interval. A record file that cannot be used at all (no database, damaged,
// read-only, a newer schema) is set aside under a new name, never deleted, and a new one started.
// Each change (rows held, written again, a file set aside) is said once in a notice, which the
// program collects with takeNotices().
class RecordKeeper : public RunRecordStore {
  public:
    // Opens the store on 'file' (a plain record file or a relay over it); throws RecordError.
    using Open = std::function<std::unique_ptr<RunRecordStore>()>;

    // Opens the store at once, on the caller's thread; when it cannot, rows are held until it can.
    RecordKeeper(std::filesystem::path file, Open open, std::size_t limit = kHeldRowsLimit,
                 std::chrono::milliseconds retryInterval = kRecordRetryInterval);
    // Calls finish().
    ~RecordKeeper() override;
    RecordKeeper(const RecordKeeper&) = delete;
    RecordKeeper& operator=(const RecordKeeper&) = delete;

    // Hands the row to the keeper's thread.
    void append(const RunRecord& record) override;

    // Offers the held rows once more and stops; rows still held then are not recorded (counts()
    // says how many). Idempotent.
    void finish();

    std::vector<std::string> takeNotices();
    KeeperCounts counts() const;

    const std::filesystem::path& file() const { return file_; }

  private:
    void run();
    // Opens the store when it is not open, then writes the held rows in order; false at the
    // first failure.
    bool writeHeld();
    std::unique_ptr<RunRecordStore> openSettingAside();
    void fault(const std::exception& error);
    void notice(std::string text);

    std::filesystem::path file_;
    Open open_;
    std::size_t limit_;
    std::chrono::milliseconds retryInterval_;
    std::unique_ptr<RunRecordStore> store_;  // the keeper's thread once it runs
    bool faulty_ = false;                    // the keeper's thread: said that rows are held
    bool setAside_ = false;                  // the keeper's thread: a file was set aside
    std::int64_t writtenSinceFault_ = 0;     // the keeper's thread

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<RunRecord> held_;
    bool stopping_ = false;
    bool lostSaid_ = false;
    std::vector<std::string> notices_;
    KeeperCounts counts_;
    std::thread thread_;  // last: starts when everything above is ready
};

// Renames a record file that cannot be used (and its journal files) to the first free name of
// the form production.set-aside-N.db beside it, and returns the new name. Throws RecordError when
// it cannot be renamed.
std::filesystem::path setRecordFileAside(const std::filesystem::path& file);

}  // namespace corvid
