#include "QtMessageQueue.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <limits>

namespace tarnell {

namespace {

// One wake event per queued item; the item itself waits in our queue.
const QEvent::Type WakeEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

}  // namespace

QtMessageQueue::QtMessageQueue(QObject* parent) : QObject(parent), mainThread_(std::this_thread::get_id()) {}

QtMessageQueue::~QtMessageQueue()
{
    std::deque<Item> left;
    {
        std::lock_guard lock(lock_);
        left.swap(items_);
    }
    // Nobody will run these any more: let their senders go.
    for (Item& item : left) {
        if (item.waiter)
            Finish(item.waiter, false, 0);
    }
}

void QtMessageQueue::Enqueue(Item item)
{
    {
        std::lock_guard lock(lock_);
        items_.push_back(std::move(item));
    }
    arrived_.notify_all();
    QCoreApplication::postEvent(this, new QEvent(WakeEvent));
}

void QtMessageQueue::Finish(const std::shared_ptr<Waiter>& waiter, bool handled, std::intptr_t result)
{
    {
        std::lock_guard lock(waiter->lock);
        waiter->handled = handled;
        waiter->result = result;
        waiter->finished = true;
    }
    waiter->done.notify_all();
}

bool QtMessageQueue::PostMessage(sio::TMessageTarget* target, std::uint32_t msg, std::uintptr_t wParam,
                                 std::intptr_t lParam)
{
    if (!target)
        return false;
    Enqueue(Item{target, msg, wParam, lParam, {}, nullptr});
    return true;
}

bool QtMessageQueue::SendMessageTimeout(sio::TMessageTarget* target, std::uint32_t msg, std::uintptr_t wParam,
                                        std::intptr_t lParam, std::uint32_t timeoutMs, std::intptr_t* result)
{
    if (!target)
        return false;
    if (IsMainThread()) {
        std::intptr_t r = 0;
        try {
            r = target->HandleMessage(msg, wParam, lParam);
        } catch (...) {
            sio::ReportException(std::current_exception());
        }
        if (result)
            *result = r;
        return true;
    }
    auto waiter = std::make_shared<Waiter>();
    Enqueue(Item{target, msg, wParam, lParam, {}, waiter});
    std::unique_lock lock(waiter->lock);
    if (!waiter->done.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return waiter->finished; })) {
        // Given up: a message not yet started is withdrawn; one already
        // running finishes on the main thread without us.
        waiter->withdrawn = true;
        return false;
    }
    if (waiter->handled && result)
        *result = waiter->result;
    return waiter->handled;
}

void QtMessageQueue::RunOnMainThread(const std::function<void()>& fn)
{
    if (!fn)
        return;
    if (IsMainThread()) {
        try {
            fn();
        } catch (...) {
            sio::ReportException(std::current_exception());
        }
        return;
    }
    auto waiter = std::make_shared<Waiter>();
    Enqueue(Item{nullptr, 0, 0, 0, fn, waiter});
    std::unique_lock lock(waiter->lock);
    waiter->done.wait(lock, [&] { return waiter->finished; });
}

bool QtMessageQueue::HandleNext()
{
    Item item;
    {
        std::lock_guard lock(lock_);
        if (items_.empty())
            return false;
        item = std::move(items_.front());
        items_.pop_front();
    }
    if (item.waiter) {
        std::lock_guard lock(item.waiter->lock);
        if (item.waiter->withdrawn)
            return true;  // the sender has given up; the message is dropped
        item.waiter->started = true;
    }
    std::intptr_t r = 0;
    try {
        if (item.target)
            r = item.target->HandleMessage(item.msg, item.wParam, item.lParam);
        else
            item.fn();
    } catch (...) {
        sio::ReportException(std::current_exception());
    }
    if (item.waiter)
        Finish(item.waiter, true, r);
    return true;
}

bool QtMessageQueue::ProcessOneMessage()
{
    // Handlers belong to the main thread; another thread must not run them.
    if (!IsMainThread())
        return false;
    // The serial layer's own messages first: the dispatcher thread may be
    // blocked on one of them right now.
    if (HandleNext())
        return true;
    // Otherwise one pass over what Qt has pending, so that the window stays
    // alive while the main thread waits. A quit request is not consumed
    // here: QCoreApplication::exit only marks the running loops.
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    return dispatcher && dispatcher->processEvents(QEventLoop::AllEvents);
}

bool QtMessageQueue::WaitAndProcess(std::uint32_t timeoutMs)
{
    if (!IsMainThread())
        return false;
    if (HandleNext())
        return true;
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    if (!dispatcher)
        return false;
    // One pass of the event loop that sleeps until an event comes: our own
    // messages post a wake event, so they end the sleep too. A timer ends it
    // at the deadline.
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer);
    if (timeoutMs != sio::kWaitForever)
        deadline.start(static_cast<int>(std::min<std::uint32_t>(timeoutMs, std::numeric_limits<int>::max())));
    return dispatcher->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

bool QtMessageQueue::WaitAndProcessOwn(std::uint32_t timeoutMs)
{
    if (!IsMainThread())
        return false;
    {
        std::unique_lock lock(lock_);
        const auto queued = [this] { return !items_.empty(); };
        if (timeoutMs == sio::kWaitForever)
            arrived_.wait(lock, queued);
        else
            arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), queued);
    }
    // The wake event posted with the item finds the queue empty later and
    // does nothing.
    return HandleNext();
}

void QtMessageQueue::DiscardMessages(sio::TMessageTarget* target)
{
    std::deque<Item> dropped;
    {
        std::lock_guard lock(lock_);
        for (auto it = items_.begin(); it != items_.end();) {
            if (target && it->target == target) {
                dropped.push_back(std::move(*it));
                it = items_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (Item& item : dropped) {
        if (item.waiter)
            Finish(item.waiter, false, 0);
    }
}

bool QtMessageQueue::IsMainThread() const { return std::this_thread::get_id() == mainThread_; }

std::size_t QtMessageQueue::PendingCount() const
{
    std::lock_guard lock(lock_);
    return items_.size();
}

bool QtMessageQueue::event(QEvent* e)
{
    if (e->type() == WakeEvent) {
        HandleNext();
        return true;
    }
    return QObject::event(e);
}

}  // namespace tarnell
