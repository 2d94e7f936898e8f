#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "records/run_record_store.h"
#include "records/sqlite_record_store.h"

namespace corvid {

// How often rows that wait are offered again to a server that did not answer (a new row offers
// them at once).
inline constexpr std::chrono::seconds kRelayRetryInterval{5};
// How long the station's end waits for the last offer of the waiting rows; rows not sent by then
// wait in the local file for the next start.
inline constexpr std::chrono::seconds kRelayEndWait{3};

// What a relay has done so far.
struct RelayCounts {
    std::int64_t kept = 0;     // rows written to the local file by this relay
    std::int64_t sent = 0;     // rows the server has taken (from this run or waiting from before)
    std::int64_t waiting = 0;  // rows in the local file still to be sent
};

// The production record of a station that reports to a factory's shared database. Every row is
// first kept in the station's SQLite file, marked as waiting, and append() returns; a sender
// thread of the relay's own then sends the waiting rows, oldest first, and marks each sent. A
// server that cannot be reached costs the caller nothing: the rows wait and are offered again at
// the next row and every retry interval. Rows left waiting when the station ends are sent by the
// next station that runs on the folder. A row sent twice (the server took it but the mark was
// lost) is stored once by its run id.
//
// The relay says in a notice, once, that the server cannot be reached, and once that it answers
// again; the program collects the notices with takeNotices() on its own thread.
class RecordRelay : public RunRecordStore {
  public:
    // Connects to the server; throws RecordError when it cannot (called on the sender thread).
    // The store's waits for the server end when 'giveUp' is asked to stop (the station's end).
    using Connect = std::function<std::unique_ptr<RunRecordStore>(std::stop_token giveUp)>;

    // Opens (or creates) the local file on the caller's thread, throwing RecordError as
    // SqliteRecordStore does, and starts the sender, which first sends what waits from before.
    // 'serverName' names the server in the notices (a URL without its password).
    RecordRelay(const std::filesystem::path& localFile, std::string serverName, Connect connect,
                std::chrono::milliseconds retryInterval = kRelayRetryInterval,
                std::chrono::milliseconds endWait = kRelayEndWait);
    // Calls finish().
    ~RecordRelay() override;
    RecordRelay(const RecordRelay&) = delete;
    RecordRelay& operator=(const RecordRelay&) = delete;

    // Keeps the row in the local file as waiting and wakes the sender. Throws RecordError when
    // the local file cannot be written; the row is then neither kept nor sent.
    void append(const RunRecord& record) override;

    // Stops the sender after it has offered the waiting rows once more, waiting for it at most
    // the end wait: then the server's waits are given up. Rows still waiting stay in the local
    // file for the next start, and a notice says how many. Idempotent.
    void finish();

    // The notices since the last call, oldest first.
    std::vector<std::string> takeNotices();
    RelayCounts counts() const;

    const std::filesystem::path& localFile() const { return local_.file(); }
    const std::string& serverName() const { return serverName_; }

  private:
    void run();
    // Sends what waits, in batches; false when the server (or the local file) failed.
    bool sendWaiting();
    void notice(std::string text);
    // Says once, until the file works again, that the local file failed the sender.
    void localFault(const RecordError& error, const char* rows);

    // Rows offered to the server in one transaction.
    static constexpr std::size_t kBatchRows = 200;

    SqliteRecordStore local_;   // the caller's thread
    SqliteRecordStore sender_;  // the sender thread
    std::string serverName_;
    Connect connect_;
    std::chrono::milliseconds retryInterval_;
    std::chrono::milliseconds endWait_;
    std::stop_source giveUp_;
    std::unique_ptr<RunRecordStore> server_;  // the sender thread; null while not connected
    bool away_ = false;                       // the sender thread: the server did not answer
    bool localFault_ = false;                 // the sender thread: the local file failed
    std::int64_t sentSinceAway_ = 0;          // the sender thread

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable senderEnded_;
    bool rowWaiting_ = false;
    bool stopping_ = false;
    bool ended_ = false;  // the sender has stopped
    std::vector<std::string> notices_;
    RelayCounts counts_;
    std::thread thread_;  // last: starts when everything above is ready
};

}  // namespace corvid
