#include "base/BaseComponent.h"

#include "base/Platform.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace sio {

// ---------------------------------------------------------------------------
// TSioBaseComponent

TSioBaseComponent::TSioBaseComponent(TSioBaseComponent* owner) : owner_(owner) {}

TSioBaseComponent::~TSioBaseComponent() { NotifyFreeing(); }

void TSioBaseComponent::FreeNotification(const void* key, TFreeNotification notify)
{
    for (auto& e : freeNotifications_) {
        if (e.key == key) {
            e.notify = std::move(notify);
            return;
        }
    }
    freeNotifications_.push_back({key, std::move(notify)});
}

void TSioBaseComponent::RemoveFreeNotification(const void* key)
{
    std::erase_if(freeNotifications_, [key](const TFreeEntry& e) { return e.key == key; });
}

void TSioBaseComponent::NotifyFreeing()
{
    // Each call may remove its own entry (or others), so take them one by one.
    while (!freeNotifications_.empty()) {
        TFreeEntry e = std::move(freeNotifications_.back());
        freeNotifications_.pop_back();
        try {
            if (e.notify)
                e.notify(this);
        } catch (...) {
            ReportException(std::current_exception());
        }
    }
}

void TSioBaseComponent::BeginLoading() { loading_.store(true, std::memory_order_release); }

void TSioBaseComponent::EndLoading()
{
    loading_.store(false, std::memory_order_release);
    Loaded();
}

// ---------------------------------------------------------------------------
// Clocks

namespace {

// Bit 32 set: the clock is fixed at the low 32 bits. One atomic word, so a
// reader never sees the flag of one setting with the value of another.
constexpr std::uint64_t kFixedFlag = std::uint64_t{1} << 32;
std::atomic<std::uint64_t> g_fixedClock{0};
std::atomic<std::uint32_t> g_clockOffset{0};

std::uint32_t RealMilliseconds() { return platform::Milliseconds(); }

}  // namespace

std::uint32_t MillisecondClock()
{
    const std::uint64_t fixed = g_fixedClock.load(std::memory_order_acquire);
    if (fixed & kFixedFlag) return static_cast<std::uint32_t>(fixed);
    return RealMilliseconds() + g_clockOffset.load(std::memory_order_acquire);
}

std::uint32_t TickCount() { return MillisecondClock() / MsPerTick; }

void SetTestClock(std::uint32_t ms) { g_fixedClock.store(kFixedFlag | ms, std::memory_order_release); }

void AdvanceTestClock(std::uint32_t ms)
{
    std::uint64_t cur = g_fixedClock.load(std::memory_order_acquire);
    for (;;) {
        if (!(cur & kFixedFlag)) {
            g_clockOffset.fetch_add(ms, std::memory_order_acq_rel);
            return;
        }
        const std::uint64_t next = kFixedFlag | static_cast<std::uint32_t>(static_cast<std::uint32_t>(cur) + ms);
        if (g_fixedClock.compare_exchange_weak(cur, next, std::memory_order_acq_rel)) return;
    }
}

void SetClockOffset(std::uint32_t ms)
{
    g_clockOffset.store(ms, std::memory_order_release);
    g_fixedClock.store(0, std::memory_order_release);
}

bool ClockReplaced()
{
    return (g_fixedClock.load(std::memory_order_acquire) & kFixedFlag) != 0 ||
           g_clockOffset.load(std::memory_order_acquire) != 0;
}

void UseRealClock()
{
    g_fixedClock.store(0, std::memory_order_release);
    g_clockOffset.store(0, std::memory_order_release);
}

void StartTimer(TTickTimer& timer, std::int32_t ticks)
{
    const std::int32_t duration = std::min(ticks, MaxTimerTicks);
    const std::uint32_t now = TickCount();
    timer.StartTicks = now;
    timer.ExpireTicks = now + static_cast<std::uint32_t>(duration);
}

bool TimerExpiredAt(const TTickTimer& timer, std::uint32_t now)
{
    // Ticks run from 0 to TickRange - 1 and then start again at 0, so an
    // expiry past the top of the range is reached only by counting on past
    // the wrap: a tick below the start tick is TickRange further on.
    const std::int64_t n = static_cast<std::int32_t>(now);
    const std::int64_t start = static_cast<std::int32_t>(timer.StartTicks);
    const std::int64_t expiry = static_cast<std::int32_t>(timer.ExpireTicks);
    if (n > expiry) return true;
    return n < start && n + static_cast<std::int64_t>(TickRange) > expiry;
}

bool TimerExpired(const TTickTimer& timer) { return TimerExpiredAt(timer, TickCount()); }

// ---------------------------------------------------------------------------
// Message pump step

bool ProcessOneMessage() { return MessageQueue().ProcessOneMessage(); }

bool WaitForMessage(std::uint32_t timeoutMs) { return MessageQueue().WaitAndProcess(timeoutMs); }

namespace {

// Main-thread waits in progress, for WakeMainThread. Sequentially consistent
// with the waiters' conditions: a waker that made the condition true after a
// waiter last looked at it sees the waiter counted.
std::atomic<int> g_mainWaits{0};

// The target of WakeMainThread's message; it lives as long as the process.
class TWakeTarget final : public TMessageTarget {
public:
    std::intptr_t HandleMessage(std::uint32_t, std::uintptr_t, std::intptr_t) override { return 0; }
};

TWakeTarget& WakeTarget()
{
    static auto* target = new TWakeTarget;  // never freed: a message may still be queued at exit
    return *target;
}

constexpr std::uint32_t WM_SIO_WAKE = 0x7E0B;

}  // namespace

namespace {

bool ServeUntil(const std::function<bool()>& done, std::uint32_t timeoutMs, std::uint32_t recheckMs, bool ownOnly)
{
    IMessageQueue& queue = MessageQueue();
    WakeTarget();  // made here, on the main thread, before any waker needs it
    g_mainWaits.fetch_add(1);
    struct TCounted {
        ~TCounted() { g_mainWaits.fetch_sub(1); }
    } counted;
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        if (done())
            return true;
        std::uint32_t step = recheckMs;
        if (timeoutMs != kWaitForever) {
            auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
            if (spent.count() >= static_cast<std::int64_t>(timeoutMs))
                return done();
            step = std::min(step, static_cast<std::uint32_t>(timeoutMs - spent.count()));
        }
        if (ownOnly)
            queue.WaitAndProcessOwn(step);
        else
            queue.WaitAndProcess(step);
    }
}

}  // namespace

bool ServeMessagesUntil(const std::function<bool()>& done, std::uint32_t timeoutMs, std::uint32_t recheckMs)
{
    return ServeUntil(done, timeoutMs, recheckMs, false);
}

bool ServeOwnMessagesUntil(const std::function<bool()>& done, std::uint32_t timeoutMs, std::uint32_t recheckMs)
{
    return ServeUntil(done, timeoutMs, recheckMs, true);
}

bool ProcessOneOwnMessage() { return MessageQueue().WaitAndProcessOwn(0); }

void WakeMainThread()
{
    if (g_mainWaits.load() > 0)
        MessageQueue().PostMessage(&WakeTarget(), WM_SIO_WAKE, 0, 0);
}

// ---------------------------------------------------------------------------
// TLocalMessageQueue

struct TLocalMessageQueue::Item {
    enum class Kind { Post, Send, Run };
    Kind kind = Kind::Post;
    TMessageTarget* target = nullptr;
    std::uint32_t msg = 0;
    std::uintptr_t wParam = 0;
    std::intptr_t lParam = 0;
    std::function<void()> fn;
    // Guarded by State::lock.
    bool started = false;
    bool done = false;
    bool handled = false;  // done and actually run (not dropped)
    std::intptr_t result = 0;
};

struct TLocalMessageQueue::State {
    std::mutex lock;
    std::condition_variable arrived;   // the main thread waits for work
    std::condition_variable finished;  // senders wait for their item
    std::deque<std::shared_ptr<Item>> items;
    bool quit = false;
    bool closing = false;

    // Marks an item finished without running it; caller holds lock.
    void Drop(Item& item)
    {
        item.done = true;
        item.handled = false;
    }
};

TLocalMessageQueue::TLocalMessageQueue()
    : state_(std::make_shared<State>()), mainThread_(std::this_thread::get_id())
{
}

TLocalMessageQueue::~TLocalMessageQueue()
{
    std::lock_guard lock(state_->lock);
    state_->closing = true;
    for (auto& item : state_->items) state_->Drop(*item);
    state_->items.clear();
    state_->finished.notify_all();
    state_->arrived.notify_all();
}

bool TLocalMessageQueue::IsMainThread() const
{
    return mainThread_.load(std::memory_order_acquire) == std::this_thread::get_id();
}

void TLocalMessageQueue::AdoptCurrentThread() { mainThread_.store(std::this_thread::get_id(), std::memory_order_release); }

bool TLocalMessageQueue::PostMessage(TMessageTarget* target, std::uint32_t msg, std::uintptr_t wParam,
                                     std::intptr_t lParam)
{
    if (target == nullptr) return false;
    auto item = std::make_shared<Item>();
    item->kind = Item::Kind::Post;
    item->target = target;
    item->msg = msg;
    item->wParam = wParam;
    item->lParam = lParam;
    std::lock_guard lock(state_->lock);
    if (state_->closing) return false;
    state_->items.push_back(std::move(item));
    state_->arrived.notify_all();
    return true;
}

bool TLocalMessageQueue::SendMessageTimeout(TMessageTarget* target, std::uint32_t msg, std::uintptr_t wParam,
                                            std::intptr_t lParam, std::uint32_t timeoutMs, std::intptr_t* result)
{
    if (target == nullptr) return false;
    if (IsMainThread()) {
        std::intptr_t r = 0;
        try {
            r = target->HandleMessage(msg, wParam, lParam);
        } catch (...) {
            ReportException(std::current_exception());
        }
        if (result) *result = r;
        return true;
    }
    auto item = std::make_shared<Item>();
    item->kind = Item::Kind::Send;
    item->target = target;
    item->msg = msg;
    item->wParam = wParam;
    item->lParam = lParam;
    // Keep the state alive for this wait even if the queue goes meanwhile.
    std::shared_ptr<State> state = state_;
    std::unique_lock lock(state->lock);
    if (state->closing) return false;
    state->items.push_back(item);
    state->arrived.notify_all();
    state->finished.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return item->done; });
    if (!item->done) {
        // Given up. Not yet started: it must not run later. Started: the
        // main thread finishes it on the shared item and nobody reads it.
        if (!item->started) {
            auto& items = state->items;
            items.erase(std::remove(items.begin(), items.end(), item), items.end());
            state->Drop(*item);
        }
        return false;
    }
    if (!item->handled) return false;
    if (result) *result = item->result;
    return true;
}

void TLocalMessageQueue::RunOnMainThread(const std::function<void()>& fn)
{
    if (!fn) return;
    if (IsMainThread()) {
        try {
            fn();
        } catch (...) {
            ReportException(std::current_exception());
        }
        return;
    }
    auto item = std::make_shared<Item>();
    item->kind = Item::Kind::Run;
    item->fn = fn;
    std::shared_ptr<State> state = state_;
    std::unique_lock lock(state->lock);
    if (state->closing) return;
    state->items.push_back(item);
    state->arrived.notify_all();
    state->finished.wait(lock, [&] { return item->done; });
}

bool TLocalMessageQueue::HandleItem(const std::shared_ptr<Item>& item)
{
    std::intptr_t r = 0;
    try {
        if (item->kind == Item::Kind::Run)
            item->fn();
        else
            r = item->target->HandleMessage(item->msg, item->wParam, item->lParam);
    } catch (...) {
        ReportException(std::current_exception());
    }
    std::lock_guard lock(state_->lock);
    item->result = r;
    item->done = true;
    item->handled = true;
    state_->finished.notify_all();
    return true;
}

bool TLocalMessageQueue::ProcessOneMessage()
{
    // Handlers belong to the main thread; another thread must not run them.
    if (!IsMainThread()) return false;
    std::shared_ptr<Item> item;
    {
        std::lock_guard lock(state_->lock);
        if (state_->items.empty()) return false;
        item = std::move(state_->items.front());
        state_->items.pop_front();
        item->started = true;
    }
    return HandleItem(item);
}

bool TLocalMessageQueue::WaitAndProcess(std::uint32_t timeoutMs)
{
    if (!IsMainThread())
        return false;
    {
        std::unique_lock lock(state_->lock);
        auto arrived = [&] { return !state_->items.empty() || state_->quit || state_->closing; };
        if (timeoutMs == kWaitForever)
            state_->arrived.wait(lock, arrived);
        else
            state_->arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), arrived);
    }
    return ProcessOneMessage();
}

void TLocalMessageQueue::DiscardMessages(TMessageTarget* target)
{
    std::lock_guard lock(state_->lock);
    auto& items = state_->items;
    for (auto it = items.begin(); it != items.end();) {
        if ((*it)->kind != Item::Kind::Run && (*it)->target == target) {
            state_->Drop(**it);
            it = items.erase(it);
        } else {
            ++it;
        }
    }
    state_->finished.notify_all();
}

std::size_t TLocalMessageQueue::PendingCount() const
{
    std::lock_guard lock(state_->lock);
    return state_->items.size();
}

void TLocalMessageQueue::PostQuit()
{
    std::lock_guard lock(state_->lock);
    state_->quit = true;
    state_->arrived.notify_all();
}

bool TLocalMessageQueue::QuitRequested() const
{
    std::lock_guard lock(state_->lock);
    return state_->quit;
}

bool TLocalMessageQueue::TakeQuit()
{
    std::lock_guard lock(state_->lock);
    const bool quit = state_->quit;
    state_->quit = false;
    return quit;
}

IMessageQueue& DefaultMessageQueue()
{
    // Constructed by the first thread that asks, which becomes its main thread.
    static TLocalMessageQueue queue;
    return queue;
}

}  // namespace sio
