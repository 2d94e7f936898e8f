#include "station_control/task_queue.h"

namespace corvid {

void TaskQueue::post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    ready_.notify_all();
}

void TaskQueue::wake() {
    {
        std::lock_guard lock(mutex_);
        woken_ = true;
    }
    ready_.notify_all();
}

std::size_t TaskQueue::runPending(std::chrono::milliseconds timeout) {
    std::deque<std::function<void()>> due;
    {
        std::unique_lock lock(mutex_);
        ready_.wait_for(lock, timeout, [this] { return !tasks_.empty() || woken_; });
        woken_ = false;
        due.swap(tasks_);
    }
    for (auto& task : due) {
        task();
    }
    return due.size();
}

}  // namespace corvid
