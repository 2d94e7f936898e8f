#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace corvid {

// Work handed to the thread that owns the station: device events from the bus's thread, the ends
// of workers from their threads, key presses. Any thread posts; the owner runs them in order.
class TaskQueue {
  public:
    void post(std::function<void()> task);

    // Runs every task queued so far, first waiting up to 'timeout' for one when none is queued.
    // Returns the number run. A task may post more; those wait for the next call.
    std::size_t runPending(std::chrono::milliseconds timeout);

    // Makes a runPending() that waits return at once.
    void wake();

  private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> tasks_;
    bool woken_ = false;
};

}  // namespace corvid
