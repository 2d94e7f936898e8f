#pragma once

#include <QObject>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace corvid::gui {

// Hands work from any thread to the UI thread, the thread that created the dispatcher. A task
// posted from the UI thread itself runs at once, so the UI thread never waits for itself.
//
// Once closed (the window is going away), tasks no longer run and a thread waiting in
// runAndWait returns at once: a worker that ends late can never hang on a window that is gone.
class UiDispatcher : public QObject {
    Q_OBJECT

  public:
    explicit UiDispatcher(QObject* parent = nullptr);

    // Runs 'task' on the UI thread, later when called from another thread.
    void post(std::function<void()> task);
    // Runs 'task' on the UI thread and returns once it has run. False when the dispatcher was
    // closed before the task ran.
    bool runAndWait(std::function<void()> task);
    // From now on nothing runs; waiting threads return.
    void close();
    bool closed() const;

  private:
    bool onUiThread() const;
    // Runs a task on the UI thread; what it throws is reported and goes no further.
    void runHere(const std::function<void()>& task);

    mutable std::mutex mutex_;
    std::condition_variable done_;
    bool closed_ = false;
};

}  // namespace corvid::gui
