#include "gui/ui_dispatcher.h"

#include <QMetaObject>
#include <QThread>
#include <QtGlobal>
#include <exception>
#include <memory>

namespace corvid::gui {

UiDispatcher::UiDispatcher(QObject* parent) : QObject(parent) {}

bool UiDispatcher::onUiThread() const {
    return QThread::currentThread() == thread();
}

bool UiDispatcher::closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

void UiDispatcher::runHere(const std::function<void()>& task) {
    if (closed()) {
        return;
    }
    try {
        task();
    } catch (const std::exception& error) {
        // No exception crosses the event loop; a failed display change is only reported.
        qWarning("corvid: a change of the window failed: %s", error.what());
    }
}

void UiDispatcher::post(std::function<void()> task) {
    if (onUiThread()) {
        runHere(task);
        return;
    }
    QMetaObject::invokeMethod(
        this, [this, task = std::move(task)] { runHere(task); }, Qt::QueuedConnection);
}

bool UiDispatcher::runAndWait(std::function<void()> task) {
    if (onUiThread()) {
        if (closed()) {
            return false;
        }
        runHere(task);
        return true;
    }
    struct Handover {
        bool ran = false;
        bool finished = false;
    };
    const auto handover = std::make_shared<Handover>();
    QMetaObject::invokeMethod(
        this,
        [this, handover, task = std::move(task)] {
            const bool open = !closed();
            runHere(task);
            std::lock_guard lock(mutex_);
            handover->ran = open;
            handover->finished = true;
            done_.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(mutex_);
    done_.wait(lock, [&] { return handover->finished || closed_; });
    return handover->ran;
}

void UiDispatcher::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    done_.notify_all();
}

}  // namespace corvid::gui
