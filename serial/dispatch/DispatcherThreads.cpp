// The dispatcher base's threads: the event and the serving wait the main
// thread uses, the ranked locks, the thread objects, their start, their end
// and the close that waits for them, and the hand-on of a device's loss.
#include "dispatch/Dispatcher.h"

#include "errors/Exceptions.h"
#include "base/Platform.h"
#include "errors/ErrorTexts.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <mutex>
#include <thread>

namespace sio {

namespace {

constexpr std::uint32_t kNoLimit = 0xFFFFFFFFu;

// Reports an exception on the main thread (the application's display is
// not for worker threads).
void ReportOnMainThread(std::exception_ptr error)
{
    if (MessageQueue().IsMainThread()) {
        ReportException(error);
        return;
    }
    MessageQueue().RunOnMainThread([error] { std::rethrow_exception(error); });
}

}  // namespace

// ---------------------------------------------------------------------------

void TSioEvent::Set()
{
    {
        std::lock_guard l(lock_);
        set_ = true;
    }
    cv_.notify_one();
    if (wakesMainThread_)
        WakeMainThread();
}

void TSioEvent::Reset()
{
    std::lock_guard l(lock_);
    set_ = false;
}

bool TSioEvent::Wait(std::uint32_t timeoutMs)
{
    std::unique_lock l(lock_);
    bool got = true;
    if (timeoutMs == kWaitForever)
        cv_.wait(l, [&] { return set_; });
    else
        got = cv_.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] { return set_; });
    set_ = false;
    return got;
}

bool WaitServing(const std::function<bool()>& done, std::uint32_t timeoutMs, std::uint32_t recheckMs)
{
    if (MessageQueue().IsMainThread())
        return ServeOwnMessagesUntil(done, timeoutMs, recheckMs);
    const auto step = std::chrono::milliseconds(std::min<std::uint32_t>(recheckMs, 50));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (timeoutMs != kWaitForever && std::chrono::steady_clock::now() >= deadline)
            return done();
        std::this_thread::sleep_for(step);
    }
    return true;
}

// ---------------------------------------------------------------------------

#ifndef NDEBUG
namespace {

// The dispatcher locks this thread holds, once per time taken.
thread_local std::vector<const TRankedLock*> t_heldLocks;

const char* RankName(TLockRank rank)
{
    switch (rank) {
    case TLockRank::Dispatch:
        return "dispatch";
    case TLockRank::Main:
        return "main";
    case TLockRank::Output:
        return "output";
    case TLockRank::Control:
        return "control";
    case TLockRank::Ack:
        return "ack";
    case TLockRank::Negotiation:
        return "negotiation";
    case TLockRank::Device:
        return "device";
    }
    return "?";
}

}  // namespace

void TRankedLock::lock()
{
    auto& held = t_heldLocks;
    if (std::find(held.begin(), held.end(), this) == held.end()) {
        for (const TRankedLock* other : held) {
            if (other->owner_ == owner_ && other->rank_ > rank_) {
                std::fprintf(stderr, "sio: the %s lock taken while the %s lock is held; the order is dispatch, main, "
                             "output, control, ack, negotiation, device\n",
                             RankName(rank_), RankName(other->rank_));
                std::abort();
            }
        }
    }
    mutex_.lock();
    held.push_back(this);
}

void TRankedLock::unlock()
{
    auto& held = t_heldLocks;
    auto it = std::find(held.rbegin(), held.rend(), this);
    if (it != held.rend())
        held.erase(std::next(it).base());
    mutex_.unlock();
}
#endif

// ---------------------------------------------------------------------------

TSioDispatcherThread::TSioDispatcherThread(TSioBaseDispatcher& dispatcher, TRole role)
    : Dispatcher(dispatcher), role_(role)
{
}

TSioDispatcherThread::~TSioDispatcherThread() { Join(); }

void TSioDispatcherThread::Start() { thread_ = std::thread([this] { Run(); }); }

void TSioDispatcherThread::Join()
{
    if (!thread_.joinable())
        return;
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();  // never happens in practice: threads do not destroy themselves
        return;
    }
    thread_.join();
}

bool TSioDispatcherThread::IsCurrentThread() const { return thread_.get_id() == std::this_thread::get_id(); }

namespace {
thread_local TSioBaseDispatcher* t_ownDispatcher = nullptr;
}  // namespace

TSioBaseDispatcher* TSioBaseDispatcher::OfCurrentThread() { return t_ownDispatcher; }

void TSioDispatcherThread::Run()
{
    t_ownDispatcher = &Dispatcher;
    tid_.store(platform::CurrentThreadId(), std::memory_order_release);
    std::int32_t result = 0;
    try {
        result = Execute();
    } catch (...) {
        ReportOnMainThread(std::current_exception());
    }
    Dispatcher.ThreadEnd(*this, result);
}

// ---------------------------------------------------------------------------
// Threads.

std::int32_t TSioBaseDispatcher::CloseAfterThreads(const std::function<void(TSioDispatcherThread::TRole)>& wake,
                                                   const std::function<std::int32_t()>& release)
{
    {
        TGuard g(mainLock_);
        if (closing_)
            return 0;
        closing_ = true;
    }
    if (Active()) {
        RequestStop();
        for (auto role : {TSioDispatcherThread::Status, TSioDispatcherThread::Writer, TSioDispatcherThread::Reader}) {
            wake(role);
            WaitThreadEnd(role, kWaitForever);
        }
        // A window handler may hold the dispatcher thread for up to 3000 ms.
        const std::uint32_t wait = 36 * MsPerTick;
        if (!WaitThreadEnd(TSioDispatcherThread::Dispatch, wait))
            WaitThreadEnd(TSioDispatcherThread::Dispatch, wait);
        // Still delivering: it ends after the delivery (close pending).
    }
    const std::int32_t result = release();
    deviceOpen_ = false;
    {
        TGuard g(mainLock_);
        closing_ = false;
    }
    return result;
}

void TSioBaseDispatcher::MarkActive()
{
    TGuard g(mainLock_);
    if (Active())
        throw ESioException(std::string("Dispatcher already started."));
    active_ = true;
    stop_ = false;
}

void TSioBaseDispatcher::StartThread(std::unique_ptr<TSioDispatcherThread> thread)
{
    auto role = thread->Role();
    auto& slot = threads_[role];
    slot.reset();  // an earlier open's thread, ended
    slot = std::move(thread);
    runningThreads_.fetch_add(1);
    running_[role] = true;
    started_[role] = false;
    try {
        slot->Start();
    } catch (const std::system_error&) {
        {
            std::lock_guard l(endLock_);
            running_[role] = false;
            if (runningThreads_.fetch_sub(1) == 1 && !starting_)
                active_ = false;
        }
        endCv_.notify_all();
        PostIfInactive();
        return;
    }
    // A thread that cannot start in time does not hold up the others.
    WaitServing([this, role] { return started_[role].load() || !running_[role].load(); }, 3000);
}

void TSioBaseDispatcher::SignalThreadReady(TSioDispatcherThread::TRole role)
{
    started_[role].store(true);
    WakeMainThread();
}

void TSioBaseDispatcher::SignalAbandoned()
{
    abandonDone_.store(abandonAsked_.load());
    WakeMainThread();
}

void TSioBaseDispatcher::AbandonWrite(std::uint32_t timeoutMs, const std::function<void()>& wakeWriter)
{
    const std::uint64_t ticket = abandonAsked_.fetch_add(1) + 1;
    wakeWriter();
    WaitServing([this, ticket] { return abandonDone_.load() >= ticket || !ThreadRunning(TSioDispatcherThread::Writer); },
                timeoutMs);
}

TSioDispatcherThread* TSioBaseDispatcher::ThreadObject(TSioDispatcherThread::TRole role)
{
    return threads_[role].get();
}

bool TSioBaseDispatcher::ThreadRunning(TSioDispatcherThread::TRole role) const
{
    return running_[role].load(std::memory_order_acquire);
}

void TSioBaseDispatcher::RequestStop()
{
    stop_ = true;
    inputQueue_.Wake();
    roomEvent_.Set();
    WakeThreads();
}

void TSioBaseDispatcher::ThreadEnd(TSioDispatcherThread& thread, std::int32_t returnValue)
{
    if (returnValue == ecDeviceRead || returnValue == ecDeviceWrite) {
        // Several threads may see one failure. The dispatcher thread hands
        // it on once the device threads have ended (DeliverDeviceLoss);
        // nothing is delivered from here. Without a dispatcher thread the
        // line error is all there is to show it.
        deviceFailed_ = true;
        if (!ThreadRunning(TSioDispatcherThread::Dispatch) && !lossDelivered_.exchange(true))
            lineErrorWord_ = -1;
    } else if (returnValue != 0) {
        try {
            RaiseOnError(Owner(), returnValue);
        } catch (...) {
            ReportOnMainThread(std::current_exception());
        }
    }
    auto role = thread.Role();
    if (role == TSioDispatcherThread::Dispatch && releaseAtEnd_.load()) {
        // The close that the release runs must not race with the starting
        // of the other threads.
        std::unique_lock l(endLock_);
        endCv_.wait(l, [&] { return !starting_; });
    }
    if (role == TSioDispatcherThread::Dispatch && releaseAtEnd_.exchange(false))
        ReleaseBuffers();
    // A failure the dispatcher thread did not hand on (a close was under way).
    if (role == TSioDispatcherThread::Dispatch && deviceFailed_.load() && !lossDelivered_.exchange(true))
        lineErrorWord_ = -1;
    {
        std::lock_guard l(endLock_);
        running_[role] = false;
        if (runningThreads_.fetch_sub(1) == 1 && !starting_)
            active_ = false;
    }
    endCv_.notify_all();
    PostIfInactive();
    WakeMainThread();
}

void TSioBaseDispatcher::SetStarting(bool on)
{
    {
        std::lock_guard l(endLock_);
        starting_ = on;
        if (!on && runningThreads_.load() <= 0)
            active_ = false;
    }
    endCv_.notify_all();
    PostIfInactive();
}

void TSioBaseDispatcher::PostWhenInactive(TMessageTarget* target, std::uint32_t msg, std::uintptr_t wParam,
                                          std::intptr_t lParam)
{
    {
        std::lock_guard l(endLock_);
        if (active_.load()) {
            endPost_ = {target, msg, wParam, lParam};
            return;
        }
        endPost_ = {};
    }
    MessageQueue().PostMessage(target, msg, wParam, lParam);
}

void TSioBaseDispatcher::PostIfInactive()
{
    TEndPost post;
    {
        std::lock_guard l(endLock_);
        if (active_.load() || !endPost_.target)
            return;
        post = std::exchange(endPost_, {});
    }
    MessageQueue().PostMessage(post.target, post.msg, post.wParam, post.lParam);
}

bool TSioBaseDispatcher::WaitThreadEnd(TSioDispatcherThread::TRole role, std::uint32_t timeoutMs)
{
    auto* t = threads_[role].get();
    if (t && t->IsCurrentThread())
        return !running_[role].load();
    const auto ended = [&] { return !running_[role].load(); };
    // The thread may be waiting for the main thread right now; its end
    // wakes the main thread (ThreadEnd).
    if (MessageQueue().IsMainThread())
        return ServeOwnMessagesUntil(ended, timeoutMs);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (ended())
            return true;
        if (timeoutMs != kNoLimit && std::chrono::steady_clock::now() >= deadline)
            return false;
        std::unique_lock l(endLock_);
        endCv_.wait_for(l, std::chrono::milliseconds(50), ended);
    }
}

void TSioBaseDispatcher::WaitAllThreadsEnded()
{
    for (auto& t : threads_)
        if (t && t->IsCurrentThread())
            return;
    const auto ended = [&] { return runningThreads_.load() <= 0; };
    if (MessageQueue().IsMainThread()) {
        ServeOwnMessagesUntil(ended, kWaitForever);
        return;
    }
    std::unique_lock l(endLock_);
    while (!ended())
        endCv_.wait_for(l, std::chrono::milliseconds(50), ended);
}

void TSioBaseDispatcher::JoinEndedThreads()
{
    for (std::size_t i = 0; i < threads_.size(); ++i) {
        if (threads_[i] && !running_[i].load() && !threads_[i]->IsCurrentThread())
            threads_[i].reset();
    }
}

void TSioBaseDispatcher::SetThreadBoost(std::uint8_t boost)
{
    if (threadBoost_.exchange(boost) == boost)
        return;
    for (auto role : {TSioDispatcherThread::Reader, TSioDispatcherThread::Dispatch, TSioDispatcherThread::Status})
        if (threads_[role] && running_[role].load())
            ApplyThreadPriority(*threads_[role], boost + 3);
    if (threads_[TSioDispatcherThread::Writer] && running_[TSioDispatcherThread::Writer].load())
        ApplyThreadPriority(*threads_[TSioDispatcherThread::Writer], boost + (rs485Mode_ ? 4 : 3));
}

void TSioBaseDispatcher::ApplyThreadPriority(TSioDispatcherThread&, int) {}

void TSioBaseDispatcher::StopThreads()
{
    if (Active())
        DeviceClose();
}

std::int32_t TSioBaseDispatcher::DeviceReportError(std::int32_t) { return 0; }

// ---------------------------------------------------------------------------
// The device going away (dispatcher thread).

void TSioBaseDispatcher::DeliverDeviceLoss()
{
    // Once the device threads have ended, everything the reader took in is
    // in the input queue, and a failure of theirs is known.
    {
        // On the running flags alone: the thread objects may still be being
        // started by the main thread.
        std::unique_lock l(endLock_);
        endCv_.wait(l, [&] {
            return !running_[TSioDispatcherThread::Reader].load() && !running_[TSioDispatcherThread::Writer].load() &&
                   !running_[TSioDispatcherThread::Status].load();
        });
    }
    if (!deviceFailed_.load() || lossDelivered_.load())
        return;
    auto closing = [this] {
        TGuard g(mainLock_);
        return closing_ || closePending_.load();
    };
    // Bytes read before the loss reach the handlers before the loss does.
    // A handler's exception is reported and the loss still goes out.
    try {
        for (int cycle = 0; cycle < 10000 && !inputQueue_.Empty() && !closing(); ++cycle) {
            const std::size_t records = inputQueue_.Count();
            std::uint64_t filled;
            {
                TGuard d(dispatchLock_);
                filled = filledSeq_;
            }
            RunCycle();
            TGuard d(dispatchLock_);
            // A full dispatch buffer that nobody reads: the rest stays.
            if (inputQueue_.Count() == records && filledSeq_ == filled)
                break;
        }
    } catch (...) {
        ReportOnMainThread(std::current_exception());
    }
    if (lossDelivered_.exchange(true))
        return;
    lineErrorWord_ = -1;
    if (closing())
        return;
    try {
        statusHit_ = false;
        RunStatusLoop();
        if (statusHit_.load())
            ClearStatusHits();
    } catch (...) {
        ReportOnMainThread(std::current_exception());
    }
    // Posted, not sent: the component reports the loss on the main thread
    // whatever its trigger events, and this thread need not wait for it.
    std::vector<TMessageTarget*> windows;
    {
        TGuard g(mainLock_);
        for (const auto& h : windowHandlers_)
            if (!h.Removed)
                windows.push_back(h.Window);
    }
    const auto lParam = static_cast<std::intptr_t>(static_cast<std::uint32_t>(portIndex_) * 65536u);
    for (TMessageTarget* w : windows)
        MessageQueue().PostMessage(w, WM_SIO_LOST, 0, lParam);
}

// ---------------------------------------------------------------------------
// Closing.

void TSioBaseDispatcher::CloseDevice()
{
    if (DeviceIsOpen()) {
        DiscardOutput();
        DiscardInput();
        DeviceClose();
    }
    if (inDispatch_.load() && ThreadRunning(TSioDispatcherThread::Dispatch)) {
        // The dispatcher thread stops after this delivery and releases the
        // buffers as it ends.
        releaseAtEnd_ = true;
        closePending_ = true;
        inputQueue_.Wake();
        roomEvent_.Set();
    } else {
        ReleaseBuffers();
    }
}

void TSioBaseDispatcher::ReleaseBuffers()
{
    releaseAtEnd_ = false;
    StopThreads();
    TGuard d(dispatchLock_);
    TGuard g(mainLock_);
    TGuard o(outputLock_);
    std::vector<std::uint8_t>().swap(outputRing_);
    std::vector<std::uint8_t>().swap(dispatchBuffer_);
    outputWrite_ = outputRead_ = 0;
    outputFull_ = false;
    dispatchWrite_ = dispatchRead_ = 0;
    dispatchFull_ = false;
}

}  // namespace sio
