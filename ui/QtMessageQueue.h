// The main thread's message queue for the serial layer, on the Qt event loop.
//
// Messages wait in a queue of our own; for each one a wake event is posted to
// a QObject that lives on the main thread, so they are handled in order by
// the running event loop, by a nested processEvents, or by
// ProcessOneMessage. Keeping the messages ourselves lets DiscardMessages drop
// those of one target and lets a timed-out send be withdrawn safely.
//
// Create it on the main thread after the QCoreApplication and install it
// with sio::SetMessageQueue; uninstall it before it is destroyed. Its
// destructor releases every thread still waiting in SendMessageTimeout or
// RunOnMainThread (their calls are then not run).
#pragma once

#include "base/MessageQueue.h"

#include <QObject>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace tarnell {

class QtMessageQueue final : public QObject, public sio::IMessageQueue {
    Q_OBJECT
public:
    explicit QtMessageQueue(QObject* parent = nullptr);
    ~QtMessageQueue() override;

    bool PostMessage(sio::TMessageTarget* target, std::uint32_t msg, std::uintptr_t wParam,
                     std::intptr_t lParam) override;
    bool SendMessageTimeout(sio::TMessageTarget* target, std::uint32_t msg, std::uintptr_t wParam,
                            std::intptr_t lParam, std::uint32_t timeoutMs, std::intptr_t* result) override;
    void RunOnMainThread(const std::function<void()>& fn) override;
    bool ProcessOneMessage() override;
    bool WaitAndProcess(std::uint32_t timeoutMs) override;
    // Sleeps on our own queue only: Qt's events (input among them) are not
    // looked at and keep their order for the event loop.
    bool WaitAndProcessOwn(std::uint32_t timeoutMs) override;
    void DiscardMessages(sio::TMessageTarget* target) override;
    bool IsMainThread() const override;

    // Messages waiting to be handled (for tests and diagnostics).
    std::size_t PendingCount() const;

protected:
    bool event(QEvent* e) override;

private:
    // What a waiting sender shares with the main thread. The sender may give
    // up and return while the main thread still holds this, so it is shared.
    struct Waiter {
        std::mutex lock;
        std::condition_variable done;
        bool started = false;
        bool finished = false;
        bool withdrawn = false;
        bool handled = false;  // false: dropped without being run
        std::intptr_t result = 0;
    };

    struct Item {
        sio::TMessageTarget* target = nullptr;  // null for a RunOnMainThread call
        std::uint32_t msg = 0;
        std::uintptr_t wParam = 0;
        std::intptr_t lParam = 0;
        std::function<void()> fn;
        std::shared_ptr<Waiter> waiter;  // null for a posted message
    };

    void Enqueue(Item item);
    bool HandleNext();
    static void Finish(const std::shared_ptr<Waiter>& waiter, bool handled, std::intptr_t result);

    std::thread::id mainThread_;
    mutable std::mutex lock_;
    std::condition_variable arrived_;  // an item was queued (for WaitAndProcessOwn)
    std::deque<Item> items_;
};

}  // namespace tarnell
