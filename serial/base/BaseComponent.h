// Base component, the millisecond and tick clocks with tick timers, the
// message-pump step, and the message queue without a toolkit.
#pragma once

#include "base/MessageQueue.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace sio {

// The version text every component of the serial layer reports.
inline constexpr const char* SioVersion = "v4.07";

// Base of the serial layer's components (the port component and the data
// packet collector). Name, Tag and the loading state belong to the main
// thread; IsLoading may be read from any thread.
class TSioBaseComponent {
public:
    explicit TSioBaseComponent(TSioBaseComponent* owner = nullptr);
    virtual ~TSioBaseComponent();

    TSioBaseComponent(const TSioBaseComponent&) = delete;
    TSioBaseComponent& operator=(const TSioBaseComponent&) = delete;

    const std::string& Name() const { return name_; }
    void SetName(const std::string& name) { name_ = name; }
    std::intptr_t Tag() const { return tag_; }
    void SetTag(std::intptr_t tag) { tag_ = tag; }
    TSioBaseComponent* Owner() const { return owner_; }

    // Always "v4.07"; setting it has no effect (the property is published
    // read-only, so a stored form may still carry a value for it).
    std::string Version() const { return SioVersion; }
    void SetVersion(const std::string&) {}

    // The form-loading time: properties are being set from a stored form.
    // While loading, failing codes are returned instead of raised.
    // EndLoading clears the state and then calls Loaded().
    bool IsLoading() const { return loading_.load(std::memory_order_acquire); }
    void BeginLoading();
    void EndLoading();

    // A component that keeps a pointer to this one (a collector bound to a
    // port) registers here under a key of its own, and is called when this
    // component is being destroyed, so that it can let go of the pointer.
    // Main thread only. Registering a key again replaces its call.
    using TFreeNotification = std::function<void(TSioBaseComponent*)>;
    void FreeNotification(const void* key, TFreeNotification notify);
    void RemoveFreeNotification(const void* key);

protected:
    // Called by EndLoading once the whole form has been read.
    virtual void Loaded() {}

    // Tells every registered component that this one goes. Derived
    // destructors call it first, while the whole object can still be used;
    // the base destructor calls it again for those that did not.
    void NotifyFreeing();

private:
    struct TFreeEntry {
        const void* key;
        TFreeNotification notify;
    };
    std::vector<TFreeEntry> freeNotifications_;
    TSioBaseComponent* owner_;
    std::string name_;
    std::intptr_t tag_ = 0;
    std::atomic<bool> loading_{false};
};

// ---------------------------------------------------------------------------
// Clocks. The millisecond clock is CLOCK_MONOTONIC in milliseconds truncated
// to 32 bits, so it wraps every 49.7 days; the tick count is that value / 55.
//
// Tests may replace it: SetTestClock fixes the clock at a value (it then
// moves only by SetTestClock/AdvanceTestClock), SetClockOffset shifts the
// running clock by a constant (e.g. to just before the wrap), UseRealClock
// undoes both. All of these are atomic and may be used from any thread.

inline constexpr std::uint32_t MsPerTick = 55;
// Half the tick range (0xFFFFFFFF / 55 / 2): the longest tick timer.
inline constexpr std::int32_t MaxTimerTicks = 39045157;
// Number of distinct tick values before the millisecond clock wraps.
inline constexpr std::uint32_t TickRange = 0xFFFFFFFFu / MsPerTick + 1;

std::uint32_t MillisecondClock();
std::uint32_t TickCount();

void SetTestClock(std::uint32_t ms);
void AdvanceTestClock(std::uint32_t ms);
void SetClockOffset(std::uint32_t ms);
void UseRealClock();
// A test has fixed or shifted the clock (it may then jump or stand still).
bool ClockReplaced();

// A tick timer: a start tick and an expiry tick.
struct TTickTimer {
    std::uint32_t StartTicks = 0;
    std::uint32_t ExpireTicks = 0;
};

// duration = min(duration, MaxTimerTicks); start = now; expiry = now + duration.
void StartTimer(TTickTimer& timer, std::int32_t ticks);
// Expired once more than the duration has passed; a tick count that has
// wrapped since the start is counted on past the wrap.
bool TimerExpired(const TTickTimer& timer);
// The same with an explicit current tick (for callers that read the clock once).
bool TimerExpiredAt(const TTickTimer& timer, std::uint32_t now);

// ---------------------------------------------------------------------------
// The message-pump step: handles at most one pending message of the main
// thread through MessageQueue(); a pending quit request stays pending.
// Returns true if a message was handled. Call it only on the main thread.
bool ProcessOneMessage();

// The blocking step: sleeps until a message arrives or timeoutMs has passed
// (kWaitForever: no deadline) and handles what arrived. Main thread only.
bool WaitForMessage(std::uint32_t timeoutMs);

// Serves the main thread's queue, sleeping between messages, until done()
// holds or timeoutMs has passed (kWaitForever: no deadline). Returns done()'s
// last answer. done() is asked before every sleep, so a handler that makes it
// true ends the wait at once; another thread that makes it true calls
// WakeMainThread. For a condition that nobody signals, recheckMs bounds each
// sleep. Main thread only.
bool ServeMessagesUntil(const std::function<bool()>& done, std::uint32_t timeoutMs,
                        std::uint32_t recheckMs = kWaitForever);

// The same for the serial layer's own short waits: serves only the serial
// layer's deliveries (WaitAndProcessOwn), so the operator's input waits
// until the wait is over. Main thread only.
bool ServeOwnMessagesUntil(const std::function<bool()>& done, std::uint32_t timeoutMs,
                           std::uint32_t recheckMs = kWaitForever);

// One step of that: handles at most one of the serial layer's own messages
// already queued, without waiting. Main thread only.
bool ProcessOneOwnMessage();

// For a thread that has just made true what a ServeMessagesUntil on the main
// thread waits for: queues a message that does nothing, so that the wait
// looks at its condition again. Does nothing while no such wait runs. Any
// thread.
void WakeMainThread();

// ---------------------------------------------------------------------------
// The main thread's message queue without a toolkit: used by the serial
// layer's tests and as the default queue until the application installs its
// own. The main thread is the thread that created it.
//
// Threading: PostMessage, SendMessageTimeout, RunOnMainThread, PostQuit and
// PendingCount from any thread. ProcessOneMessage, WaitAndProcess and
// DiscardMessages on the main thread only (the pump step handles nothing
// and returns false on another thread). Destroying the queue releases every
// waiting sender (its call returns false / without running fn).
class TLocalMessageQueue final : public IMessageQueue {
public:
    TLocalMessageQueue();
    ~TLocalMessageQueue() override;

    TLocalMessageQueue(const TLocalMessageQueue&) = delete;
    TLocalMessageQueue& operator=(const TLocalMessageQueue&) = delete;

    bool PostMessage(TMessageTarget* target, std::uint32_t msg, std::uintptr_t wParam,
                     std::intptr_t lParam) override;
    bool SendMessageTimeout(TMessageTarget* target, std::uint32_t msg, std::uintptr_t wParam,
                            std::intptr_t lParam, std::uint32_t timeoutMs, std::intptr_t* result) override;
    void RunOnMainThread(const std::function<void()>& fn) override;
    bool ProcessOneMessage() override;
    void DiscardMessages(TMessageTarget* target) override;
    bool IsMainThread() const override;

    // Main thread: waits up to timeoutMs for a message to arrive, then
    // handles one. Returns true if one was handled.
    bool WaitAndProcess(std::uint32_t timeoutMs) override;
    // Everything in this queue is the serial layer's own: as WaitAndProcess.
    bool WaitAndProcessOwn(std::uint32_t timeoutMs) override { return WaitAndProcess(timeoutMs); }

    // Messages queued and not yet handled or dropped.
    std::size_t PendingCount() const;

    // A quit request: kept until TakeQuit; the pump step never consumes it.
    void PostQuit();
    bool QuitRequested() const;
    bool TakeQuit();

    // Makes the calling thread the main thread (for a test that drives the
    // queue from a thread other than the one that created it).
    void AdoptCurrentThread();

private:
    struct Item;
    // Shared with every sender still waiting, so that a sender whose wait
    // outlives the queue (or times out) never touches freed memory.
    struct State;
    bool HandleItem(const std::shared_ptr<Item>& item);

    std::shared_ptr<State> state_;
    std::atomic<std::thread::id> mainThread_;
};

// The queue that MessageQueue() returns while no application queue is
// installed; its main thread is the first thread that asked for it.
IMessageQueue& DefaultMessageQueue();

}  // namespace sio
