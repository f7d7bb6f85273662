// Triggers, handlers and the delivery of notifications; the dispatcher
// thread's cycle.
#include "dispatch/Dispatcher.h"

#include "errors/ErrorTexts.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace sio {

namespace {

constexpr std::uint32_t kModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_RINGTE;
constexpr std::uint32_t kLineEvents = EV_BREAK | EV_ERR;
constexpr std::int32_t kHandleLimit = 4096;  // handles counted out; then reused up to 4096

std::uint32_t WindowId(TMessageTarget* w) { return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(w)); }

// One received byte against one data trigger; true when its string is
// complete. Several overlapping partial matches are followed at once, and
// at most one new one is started per byte.
bool MatchByte(TDataTrigger& t, std::uint8_t byte)
{
    if (t.IgnoreCase)
        byte = static_cast<std::uint8_t>(std::toupper(byte));
    const auto len = std::min<std::int32_t>(t.Length, MaxDataTriggerLength);
    const auto first = static_cast<std::uint8_t>(t.String[0]);
    bool examine = true;
    bool started = false;
    bool match = false;
    for (std::int32_t i = 0; i < len; ++i) {
        auto& pos = t.MatchPositions[static_cast<std::size_t>(i)];
        if (examine) {
            if (static_cast<std::uint8_t>(t.String[static_cast<std::size_t>(pos)]) == byte) {
                if (pos == len - 1) {
                    match = true;
                    t.MatchPositions.fill(0);
                    break;
                }
                ++pos;
            } else if (first == byte) {
                pos = 1;
                started = true;
            } else {
                pos = 0;
            }
        }
        if (pos == 1)
            started = true;
        if (i + 1 < len) {
            auto next = t.MatchPositions[static_cast<std::size_t>(i + 1)];
            examine = next > 0 || (!started && byte == first);
        }
    }
    return match;
}

}  // namespace

// ---------------------------------------------------------------------------
// Handlers.

void TSioBaseDispatcher::AddWindowHandler(TMessageTarget* window)
{
    {
        TGuard g(mainLock_);
        windowHandlers_.push_back({window, false});
        serviceNeeded_ = true;
    }
    log_.AddLogEntry(ltTrgHdAlc, lsWindow, WindowId(window));
}

void TSioBaseDispatcher::AddProcedureHandler(TSioNotifyProcedure proc)
{
    TGuard g(mainLock_);
    procHandlers_.push_back({proc, false});
    serviceNeeded_ = true;
}

void TSioBaseDispatcher::AddMethodHandler(TSioNotifyMethod method)
{
    {
        TGuard g(mainLock_);
        methodHandlers_.push_back({method, false});
        serviceNeeded_ = true;
    }
    log_.AddLogEntry(ltTrgHdAlc, lsMethod, 0);
}

namespace {

// Marks the first matching record removed during a delivery, or erases it.
template <class List, class Pred>
bool RemoveFirst(List& list, Pred pred, bool inDispatch, bool& handlerRemoved)
{
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->Removed || !pred(*it))
            continue;
        if (inDispatch) {
            it->Removed = true;
            handlerRemoved = true;
        } else {
            list.erase(it);
        }
        return true;
    }
    return false;
}

}  // namespace

void TSioBaseDispatcher::RemoveWindowHandler(TMessageTarget* window)
{
    bool found;
    {
        TGuard g(mainLock_);
        found = RemoveFirst(windowHandlers_, [&](const TWindowHandler& h) { return h.Window == window; },
                            inDispatch_.load(), handlerRemoved_);
        if (!handlerRemoved_ || !inDispatch_.load())
            UpdateServiceFlags(0);
    }
    if (found)
        log_.AddLogEntry(ltTrgHdDsp, lsWindow, WindowId(window));
}

void TSioBaseDispatcher::RemoveProcedureHandler(TSioNotifyProcedure proc)
{
    TGuard g(mainLock_);
    RemoveFirst(procHandlers_, [&](const TProcHandler& h) { return h.Proc == proc; }, inDispatch_.load(),
                handlerRemoved_);
    if (!handlerRemoved_ || !inDispatch_.load())
        UpdateServiceFlags(0);
}

void TSioBaseDispatcher::RemoveMethodHandler(TSioNotifyMethod method)
{
    bool found;
    {
        TGuard g(mainLock_);
        // Function and object both: two objects of one class may be
        // registered, and removing the other one's record would leave a
        // handler behind that points at a destroyed object.
        found = RemoveFirst(methodHandlers_, [&](const TMethodHandler& h) { return h.Method == method; },
                            inDispatch_.load(), handlerRemoved_);
        if (!handlerRemoved_ || !inDispatch_.load())
            UpdateServiceFlags(0);
    }
    if (found)
        log_.AddLogEntry(ltTrgHdDsp, lsMethod, 0);
}

void TSioBaseDispatcher::UpdateServiceFlags(int mode)
{
    TGuard g(mainLock_);
    auto live = [](const auto& list) {
        return std::count_if(list.begin(), list.end(), [](const auto& h) { return !h.Removed; });
    };
    bool others = live(windowHandlers_) > 1 || live(procHandlers_) > 0 || live(methodHandlers_) > 0;
    switch (mode) {
    case 1:
        portHandlerInstalled_ = true;
        serviceNeeded_ = true;
        break;
    case 2:
        portHandlerInstalled_ = false;
        serviceNeeded_ = others;
        break;
    default:
        serviceNeeded_ = others || portHandlerInstalled_;
        break;
    }
}

bool TSioBaseDispatcher::ServiceNeeded() const { return serviceNeeded_.load(); }

bool TSioBaseDispatcher::PortHandlerInstalled() const
{
    TGuard g(mainLock_);
    return portHandlerInstalled_;
}

void TSioBaseDispatcher::DropRemovedHandlers()
{
    auto drop = [](auto& list) {
        for (auto i = list.size(); i-- > 0;)
            if (list[i].Removed)
                list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
    };
    drop(windowHandlers_);
    drop(procHandlers_);
    drop(methodHandlers_);
}

// ---------------------------------------------------------------------------
// Triggers.

void TSioBaseDispatcher::SetAvailLength(std::int32_t length)
{
    {
        TTriggerEdit e(*this);  // bytes that wait may meet the new length
        availLength_ = length;
    }
    log_.AddLogEntry(ltTrDatChg, lsAvailTrigger, static_cast<std::uint32_t>(length));
}

std::int32_t TSioBaseDispatcher::AvailLength() const
{
    TGuard g(mainLock_);
    return availLength_;
}

std::int32_t TSioBaseDispatcher::AllocateHandle()
{
    if (nextHandleCounter_ < kHandleLimit)
        return 8 * nextHandleCounter_++;
    for (std::int32_t h = 8; h <= kHandleLimit; h += 8) {
        bool used = std::any_of(timerTriggers_.begin(), timerTriggers_.end(), [&](auto& t) { return t.Handle == h; }) ||
                    std::any_of(statusTriggers_.begin(), statusTriggers_.end(),
                                [&](auto& t) { return (t.Handle & ~7) == h; }) ||
                    std::any_of(dataTriggers_.begin(), dataTriggers_.end(), [&](auto& t) { return t.Handle == h; });
        if (!used)
            return h;
    }
    return 0;
}

std::int32_t TSioBaseDispatcher::AddTimerTrigger()
{
    std::int32_t handle;
    {
        TGuard g(mainLock_);
        handle = AllocateHandle();
        if (handle == 0)
            return ecNoMoreTriggers;
        TTimerTrigger t;
        t.Handle = handle;
        timerTriggers_.push_back(t);
    }
    log_.AddLogEntry(ltTrigAllc, lsTimerTrigger, static_cast<std::uint32_t>(handle));
    return handle;
}

std::int32_t TSioBaseDispatcher::SetTimerTrigger(std::int32_t handle, std::uint32_t duration, bool activate)
{
    {
        TTriggerEdit e(*this);  // its wait is measured to the nearest timer
        if (handle < 2)
            return ecBadTriggerHandle;
        auto it = std::find_if(timerTriggers_.begin(), timerTriggers_.end(),
                               [&](const TTimerTrigger& t) { return t.Handle == handle; });
        if (it == timerTriggers_.end())
            return ecBadTriggerHandle;
        if (activate) {
            if (duration > 0)
                it->Duration = duration;
            TTickTimer timer;
            StartTimer(timer, static_cast<std::int32_t>(std::min<std::uint32_t>(it->Duration, 0x7FFFFFFF)));
            it->StartTick = timer.StartTicks;
            it->ExpiryTick = timer.ExpireTicks;
            it->ArmTick = timer.StartTicks;
        }
        it->Armed = activate ? -1 : 0;
        it->AfterOutput = false;
    }
    if (activate) {
        std::uint8_t bytes[4] = {static_cast<std::uint8_t>(duration), static_cast<std::uint8_t>(duration >> 8),
                                 static_cast<std::uint8_t>(duration >> 16), static_cast<std::uint8_t>(duration >> 24)};
        log_.AddLogEntry(ltTrDatChg, lsTimerTrigger, static_cast<std::uint32_t>(handle), bytes, 4);
    } else {
        static const char text[] = "Deactivated";
        log_.AddLogEntry(ltTrDatChg, lsTimerTrigger, static_cast<std::uint32_t>(handle), text, sizeof text - 1);
    }
    return 0;
}

std::int32_t TSioBaseDispatcher::ArmReplyTimer(std::int32_t handle, std::uint32_t duration)
{
    std::int32_t r;
    {
        TGuard g(mainLock_);
        r = SetTimerTrigger(handle, duration, true);
        if (r == 0)
            for (auto& t : timerTriggers_)
                if (t.Handle == handle)
                    t.AfterOutput = true;
    }
    return r;
}

std::uint64_t TSioBaseDispatcher::OutputNotHandedOver() const
{
    const std::uint64_t left = outputLeftSeq_.load(std::memory_order_acquire);
    const std::uint64_t queued = outputQueuedSeq_.load(std::memory_order_acquire);
    return queued > left ? queued - left : 0;
}

void TSioBaseDispatcher::OutputHandedOver(std::uint32_t count)
{
    {
        TGuard o(outputLock_);
        // Never past what was written: a block handed over after a discard
        // had already counted it as gone must not make later output look
        // handed over.
        outputLeftSeq_ = std::min(outputLeftSeq_.load() + count, outputQueuedSeq_.load());
    }
    {
        TTriggerEdit e(*this);  // a held trigger may now be measured anew
        bool restarted = false;
        for (auto& t : timerTriggers_) {
            if (!t.Armed || !t.AfterOutput)
                continue;
            TTickTimer timer;
            StartTimer(timer, static_cast<std::int32_t>(std::min<std::uint32_t>(t.Duration, 0x7FFFFFFF)));
            t.StartTick = timer.StartTicks;
            t.ExpiryTick = timer.ExpireTicks;
            restarted = true;
        }
        if (!restarted)
            e.Unchanged();
    }
    WakeMainThread();      // a wait for the frame to leave (OutputNotHandedOver)
}

bool TSioBaseDispatcher::TimerDue(const TTimerTrigger& t, std::uint32_t now) const
{
    if (!TimerExpiredAt(TTickTimer{t.StartTick, t.ExpiryTick}, now))
        return false;
    if (!t.AfterOutput || OutputNotHandedOver() == 0)
        return true;
    // Output still waits to leave: held, up to twice the duration in all.
    const std::uint32_t most = std::min<std::uint32_t>(t.Duration, MaxTimerTicks / 2) * 2;
    return TimerExpiredAt(TTickTimer{t.ArmTick, t.ArmTick + most}, now);
}

std::int32_t TSioBaseDispatcher::RemoveTrigger(std::int32_t handle)
{
    if (handle == AvailTriggerHandle) {
        TGuard g(mainLock_);
        availLength_ = 0;
        return 0;
    }
    if (handle < 2)
        return ecBadTriggerHandle;
    TGuard g(mainLock_);
    if (auto it = std::find_if(timerTriggers_.begin(), timerTriggers_.end(), [&](auto& t) { return t.Handle == handle; });
        it != timerTriggers_.end()) {
        timerTriggers_.erase(it);
        log_.AddLogEntry(ltTrigDisp, lsTimer, static_cast<std::uint32_t>(handle));
        return 0;
    }
    if (auto it =
            std::find_if(statusTriggers_.begin(), statusTriggers_.end(), [&](auto& t) { return t.Handle == handle; });
        it != statusTriggers_.end()) {
        statusTriggers_.erase(it);
        std::uint8_t kind = static_cast<std::uint8_t>(handle & 7);
        log_.AddLogEntry(ltTrigDisp, lsStatusTrigger, static_cast<std::uint32_t>(handle), &kind, 1);
        return 0;
    }
    if (auto it = std::find_if(dataTriggers_.begin(), dataTriggers_.end(),
                               [&](auto& t) { return (t.Handle & ~7) == handle; });
        it != dataTriggers_.end()) {
        dataTriggers_.erase(it);
        log_.AddLogEntry(ltTrigDisp, lsData, static_cast<std::uint32_t>(handle));
        return 0;
    }
    return ecBadTriggerHandle;
}

std::int32_t TSioBaseDispatcher::AddDataTrigger(const std::string& text, bool ignoreCase)
{
    if (text.empty())
        return ecBadArgument;
    if (text.size() > static_cast<std::size_t>(MaxDataTriggerLength))
        return ecTriggerTooLong;
    std::int32_t handle;
    {
        TGuard g(mainLock_);
        handle = AllocateHandle();
        if (handle == 0)
            return ecNoMoreTriggers;
        TDataTrigger t;
        t.Handle = handle;
        t.Length = static_cast<std::int32_t>(text.size());
        t.IgnoreCase = ignoreCase ? 1 : 0;
        std::copy(text.begin(), text.end(), t.String.begin());
        dataTriggers_.push_back(t);
    }
    log_.AddLogEntry(ltTrigAllc, lsData, static_cast<std::uint32_t>(handle));
    return handle;
}

std::int32_t TSioBaseDispatcher::AddStatusTrigger(std::int32_t kind)
{
    if (kind < stModem || kind > stOutSent)
        return ecBadArgument;
    std::int32_t handle;
    {
        TGuard g(mainLock_);
        handle = AllocateHandle();
        if (handle == 0)
            return ecNoMoreTriggers;
        TStatusTrigger t;
        t.Handle = handle + kind;
        t.Kind = kind;
        statusTriggers_.push_back(t);
        handle = t.Handle;
    }
    std::uint8_t k = static_cast<std::uint8_t>(kind);
    log_.AddLogEntry(ltTrigAllc, lsStatusTrigger, static_cast<std::uint32_t>(handle), &k, 1);
    return handle;
}

std::int32_t TSioBaseDispatcher::SetStatusTrigger(std::int32_t handle, std::uint16_t value, bool activate)
{
    std::uint8_t kind;
    {
        TTriggerEdit e(*this);  // the condition may hold already
        auto it = std::find_if(statusTriggers_.begin(), statusTriggers_.end(),
                               [&](const TStatusTrigger& t) { return t.Handle == handle; });
        if (handle < 2 || it == statusTriggers_.end())
            return ecBadTriggerHandle;
        it->Value = value;
        it->Armed = activate;
        it->Hit = false;
        kind = static_cast<std::uint8_t>(it->Kind);
    }
    log_.AddLogEntry(ltTrDatChg, lsStatusTrigger, static_cast<std::uint32_t>(handle), &kind, 1);
    return 0;
}

void TSioBaseDispatcher::SaveTriggers(TSioTriggerSet& set)
{
    FreeTriggerSet(set);
    TGuard g(mainLock_);
    set.AvailLength = availLength_;
    set.Timers = timerTriggers_;
    set.Data = dataTriggers_;
    set.Status = statusTriggers_;
}

void TSioBaseDispatcher::RestoreTriggers(const TSioTriggerSet& set)
{
    TTriggerEdit e(*this);  // armed timers and status triggers come back
    availLength_ = set.AvailLength;
    timerTriggers_.clear();
    dataTriggers_.clear();
    statusTriggers_.clear();
    if (set.Timers)
        timerTriggers_ = *set.Timers;
    if (set.Data)
        dataTriggers_ = *set.Data;
    if (set.Status)
        statusTriggers_ = *set.Status;
    // New handles must not collide with the restored ones.
    std::int32_t highest = 0;
    for (auto& t : timerTriggers_)
        highest = std::max(highest, t.Handle);
    for (auto& t : dataTriggers_)
        highest = std::max(highest, t.Handle);
    for (auto& t : statusTriggers_)
        highest = std::max(highest, t.Handle);
    nextHandleCounter_ = std::max(nextHandleCounter_, std::min(highest / 8 + 1, kHandleLimit));
}

void TSioBaseDispatcher::FreeTriggerSet(TSioTriggerSet& set)
{
    set.AvailLength = 0;
    set.Timers.reset();
    set.Data.reset();
    set.Status.reset();
}

void TSioBaseDispatcher::ResetDataTriggerMatches()
{
    TGuard g(mainLock_);
    for (auto& t : dataTriggers_) {
        t.MatchPositions.fill(0);
        t.Matched = 0;
    }
}

void TSioBaseDispatcher::RunOnMainThread(const std::function<void()>& fn) { MessageQueue().RunOnMainThread(fn); }

// ---------------------------------------------------------------------------
// Delivery.

bool TSioBaseDispatcher::DispatchNotification(std::uint32_t msg, std::uintptr_t wParam, std::uint32_t value)
{
    if (!serviceNeeded_.load())
        return true;
    bool result = true;
    const bool availDispatch = msg == WM_SIO_AVAIL || msg == WM_SIO_DATA;
    {
        TGuard g(mainLock_);
        inDispatch_ = true;
    }
    {
        TGuard d(dispatchLock_);
        largestHandlerRead_ = 0;
        handlerReadCount_ = 0;
        inAvailDispatch_ = availDispatch;
    }
    const auto lParam = static_cast<std::intptr_t>(static_cast<std::uint32_t>(portIndex_) * 65536u + value);

    auto finish = [&] {
        {
            TGuard d(dispatchLock_);
            inAvailDispatch_ = false;
        }
        TGuard g(mainLock_);
        inDispatch_ = false;
        if (handlerRemoved_) {
            DropRemovedHandlers();
            handlerRemoved_ = false;
            UpdateServiceFlags(0);
        }
    };
    // After each handler: false when close pending stops the delivery.
    auto afterHandler = [&] {
        if (closePending_.load()) {
            result = false;
            return false;
        }
        TGuard d(dispatchLock_);
        largestHandlerRead_ = std::max(largestHandlerRead_, handlerReadCount_);
        return true;
    };
    auto beforeHandler = [&] {
        TGuard d(dispatchLock_);
        handlerReadCount_ = 0;
    };

    try {
        bool go = true;
        for (std::size_t i = 0; go; ++i) {
            TSioNotifyMethod m;
            {
                TGuard g(mainLock_);
                if (i >= methodHandlers_.size())
                    break;
                if (methodHandlers_[i].Removed)
                    continue;
                m = methodHandlers_[i].Method;
            }
            beforeHandler();
            m.Code(m.Object, msg, wParam, lParam);
            go = afterHandler();
        }
        for (std::size_t i = 0; go; ++i) {
            TSioNotifyProcedure p;
            {
                TGuard g(mainLock_);
                if (i >= procHandlers_.size())
                    break;
                if (procHandlers_[i].Removed)
                    continue;
                p = procHandlers_[i].Proc;
            }
            beforeHandler();
            p(msg, wParam, lParam);
            go = afterHandler();
        }
        for (std::size_t i = 0; go; ++i) {
            TMessageTarget* w;
            {
                TGuard g(mainLock_);
                if (i >= windowHandlers_.size())
                    break;
                if (!(windowHandlers_.size() > 1 || portHandlerInstalled_))
                    break;
                if (windowHandlers_[i].Removed || !windowHandlers_[i].Window->WantsNotification(msg, wParam))
                    continue;
                w = windowHandlers_[i].Window;
            }
            beforeHandler();
            std::intptr_t answer = 0;
            // Not answered in time: given up for this notification.
            MessageQueue().SendMessageTimeout(w, msg, wParam, lParam, WindowHandlerTimeoutMs, &answer);
            go = afterHandler();
        }
        if (go && availDispatch) {
            TGuard d(dispatchLock_);
            inAvailDispatch_ = false;
            dispatchRead_ = (dispatchRead_ + largestHandlerRead_) % DispatchBufferSize;
            if (largestHandlerRead_ > 0)
                dispatchFull_ = false;
            if (msg == WM_SIO_AVAIL && largestHandlerRead_ != wParam)
                result = false;
        }
    } catch (...) {
        finish();
        throw;
    }
    finish();
    return result;
}

bool TSioBaseDispatcher::CheckAvailAndData()
{
    std::uint64_t filled;
    {
        TGuard d(dispatchLock_);
        if (dispatchBuffer_.empty())
            return false;
        filled = filledSeq_;
    }
    bool anyData;
    {
        TGuard g(mainLock_);
        anyData = std::any_of(dataTriggers_.begin(), dataTriggers_.end(), [](auto& t) { return t.Length > 0; });
    }
    if (anyData) {
        while (scanSeq_ < filled) {
            const std::uint64_t seq = scanSeq_;
            const auto pos = static_cast<std::uint32_t>(seq % DispatchBufferSize);
            std::uint8_t byte;
            std::uint32_t unreadUpTo;
            {
                TGuard d(dispatchLock_);
                if (dispatchBuffer_.empty())
                    return false;
                byte = dispatchBuffer_[pos];
                unreadUpTo = (pos + DispatchBufferSize - dispatchRead_) % DispatchBufferSize + 1;
                if (inAvailDispatch_)
                    unreadUpTo = unreadUpTo > handlerReadCount_ ? unreadUpTo - handlerReadCount_ : 0;
            }
            std::int32_t longest = 0;
            std::int32_t availLength;
            {
                TGuard g(mainLock_);
                for (auto& t : dataTriggers_) {
                    if (t.Length <= 0)
                        continue;
                    if (MatchByte(t, byte) || t.Matched)
                        t.Matched = -1;
                    if (t.Matched)
                        longest = std::max(longest, t.Length);
                }
                availLength = availLength_;
            }
            if (longest == 0) {
                scanSeq_ = seq + 1;
                continue;
            }
            bool result = true;
            if (availLength > 0 && lastAvailSeq_ != seq &&
                static_cast<std::int64_t>(unreadUpTo) - longest >= availLength) {
                std::uint32_t before = unreadUpTo - static_cast<std::uint32_t>(longest);
                log_.AddLogEntry(ltTrigger, lsAvail, before);
                result = DispatchNotification(WM_SIO_AVAIL, before, 0);
                lastAvailSeq_ = seq;
            }
            for (;;) {
                std::int32_t handle = 0, length = 0;
                {
                    TGuard g(mainLock_);
                    for (auto it = dataTriggers_.rbegin(); it != dataTriggers_.rend(); ++it) {
                        if (it->Matched) {
                            it->Matched = 0;
                            handle = it->Handle;
                            length = it->Length;
                            break;
                        }
                    }
                }
                if (handle == 0)
                    break;
                log_.AddLogEntry(ltTrigger, lsData, static_cast<std::uint32_t>(handle));
                result = DispatchNotification(WM_SIO_DATA, static_cast<std::uintptr_t>(handle),
                                              static_cast<std::uint32_t>(length));
                if (closePending_.load())
                    break;
            }
            scanSeq_ = seq + 1;
            return result;
        }
    }
    scanSeq_ = filled;
    std::int32_t availLength;
    {
        TGuard g(mainLock_);
        availLength = availLength_;
    }
    // At most one avail notification per arrival of new bytes.
    if (availLength > 0 && lastAvailSeq_ != scanSeq_) {
        std::int32_t count = InputCount();
        if (count >= availLength) {
            log_.AddLogEntry(ltTrigger, lsAvail, static_cast<std::uint32_t>(count));
            bool result = DispatchNotification(WM_SIO_AVAIL, static_cast<std::uintptr_t>(count), 0);
            lastAvailSeq_ = scanSeq_;
            return result;
        }
    }
    return false;
}

bool TSioBaseDispatcher::CheckStatusTriggers()
{
    std::int32_t handle = 0;
    std::uint32_t value = 0;
    {
        TGuard g(mainLock_);
        for (auto& t : statusTriggers_) {
            if (!t.Armed || t.Hit)
                continue;
            bool fire = false;
            value = 0;
            switch (t.Kind) {
            case stModem:
                fire = ((t.Value & 0xFF) ^ modemStatus_.load()) & (t.Value >> 8) & 0xFF;
                break;
            case stLine: {
                std::int32_t word = lineErrorWord_.load();
                if (t.Value & word) {
                    fire = true;
                    t.Value = static_cast<std::uint16_t>(word);
                }
                break;
            }
            case stOutBuffFree: {
                std::int32_t n = OutputFree();
                if (n >= t.Value) {
                    fire = true;
                    value = static_cast<std::uint32_t>(n);
                }
                break;
            }
            case stOutBuffUsed: {
                std::int32_t n = OutputUsed();
                if (n <= t.Value) {
                    fire = true;
                    value = static_cast<std::uint32_t>(n);
                }
                break;
            }
            case stOutSent:
                fire = outputSent_.exchange(false);
                break;
            default:
                break;
            }
            if (fire) {
                t.Armed = false;
                t.Hit = true;
                statusHit_ = true;
                handle = t.Handle;
                break;
            }
        }
    }
    if (handle == 0)
        return false;
    log_.AddLogEntry(ltTrigger, lsStatus, static_cast<std::uint32_t>(handle));
    return DispatchNotification(WM_SIO_STATUS, static_cast<std::uintptr_t>(handle), value);
}

bool TSioBaseDispatcher::CheckTimerTriggers()
{
    std::int32_t handle = 0;
    {
        TGuard g(mainLock_);
        const std::uint32_t now = TickCount();
        for (auto& t : timerTriggers_) {
            if (!t.Armed)
                continue;
            if (TimerDue(t, now)) {
                t.Armed = 0;
                handle = t.Handle;
                break;
            }
        }
    }
    if (handle == 0)
        return false;
    log_.AddLogEntry(ltTrigger, lsTimer, static_cast<std::uint32_t>(handle));
    return DispatchNotification(WM_SIO_TIMER, static_cast<std::uintptr_t>(handle), 0);
}

void TSioBaseDispatcher::ClearStatusHits()
{
    TGuard g(mainLock_);
    for (auto& t : statusTriggers_)
        t.Hit = false;
    statusHit_ = false;
}

// ---------------------------------------------------------------------------
// The dispatcher thread.

bool TSioBaseDispatcher::RunStatusLoop()
{
    while (CheckStatusTriggers())
        if (closePending_.load())
            return false;
    return !closePending_.load();
}

void TSioBaseDispatcher::ModemEvent()
{
    std::uint32_t old = modemStatus_.load();
    RefreshModemStatus(0xFF);
    std::uint32_t now = modemStatus_.load();
    modemStatus_.store(now | (((now ^ old) & 0xF0) >> 4));
}

void TSioBaseDispatcher::RunCycle()
{
    eventWord_ = 0;
    if (TIOBuffer* first = inputQueue_.Peek()) {
        if (first->Kind() == TIOBufferKind::Status) {
            eventWord_ = static_cast<TStatusBuffer*>(first)->Status;
            inputQueue_.Pop();  // freed here
        } else {
            inputQueue_.HandBack(first);
        }
    }
    if (eventWord_ & (EV_RING | EV_RINGTE))
        ringSeen_ = true;
    if (eventWord_ & kModemEvents) {
        ModemEvent();
        if (!inDispatch_.load()) {
            if (!RunStatusLoop())
                return;
            if (statusHit_.load())
                ClearStatusHits();
        }
    }
    if (eventWord_ & kLineEvents) {
        RefreshLineErrors();
        if (!inDispatch_.load()) {
            if (!RunStatusLoop())
                return;
            if (statusHit_.load())
                ClearStatusHits();
        }
    }
    FillDispatchBuffer();
    if (!inDispatch_.load()) {
        RefreshModemStatus(0xF0);
        if (!RunStatusLoop())
            return;
        while (CheckAvailAndData())
            if (closePending_.load())
                return;
        if (closePending_.load())
            return;
    }
    if (statusHit_.load())
        ClearStatusHits();
}

void TSioBaseDispatcher::TimerAndStatusPass()
{
    if (closePending_.load() || inDispatch_.load())
        return;
    statusHit_ = false;
    for (;;) {
        bool r = CheckStatusTriggers();
        if (!r)
            r = CheckTimerTriggers();
        if (!r || closePending_.load())
            break;
    }
    if (statusHit_.load())
        ClearStatusHits();
}

std::uint32_t TSioBaseDispatcher::TimerWaitMs()
{
    // A replaced clock (tests) does not move with real time, and the output
    // queue's driver part drains without any notification: both are looked
    // at this often while something waits for them.
    constexpr std::uint32_t kLookAgainMs = 50;
    const std::uint32_t clock = MillisecondClock();
    const std::uint32_t now = clock / MsPerTick;
    // A timer fires on the first tick past its expiry tick.
    std::uint32_t ticks = 0xFFFFFFFFu;
    bool outputWatched = false;
    {
        TGuard g(mainLock_);
        for (auto& t : timerTriggers_) {
            if (!t.Armed)
                continue;
            if (TimerDue(t, now))
                return 1;
            // A reply timer held for output that has not left is looked at
            // again at its last tick; the hand-over wakes the thread sooner.
            std::uint32_t expiry = t.ExpiryTick;
            if (t.AfterOutput && TimerExpiredAt(TTickTimer{t.StartTick, t.ExpiryTick}, now))
                expiry = t.ArmTick + std::min<std::uint32_t>(t.Duration, MaxTimerTicks / 2) * 2;
            const auto left = static_cast<std::int32_t>(expiry + 1 - now);
            if (left > 0)
                ticks = std::min(ticks, static_cast<std::uint32_t>(left));
        }
        for (auto& t : statusTriggers_)
            if (t.Armed && (t.Kind == stOutBuffFree || t.Kind == stOutBuffUsed))
                outputWatched = true;
    }
    std::uint64_t ms = kWaitForever;
    if (ticks != 0xFFFFFFFFu) {
        // To the start of that tick: the clock counts whole milliseconds, so
        // a wait of that many never ends before it. However long, it stays
        // short of kWaitForever.
        ms = std::clamp<std::uint64_t>((ticks - 1) * std::uint64_t{MsPerTick} + (MsPerTick - clock % MsPerTick), 1,
                                       kWaitForever - 1);
        if (ClockReplaced())
            ms = std::min<std::uint64_t>(ms, kLookAgainMs);
    }
    if (outputWatched)
        ms = std::min<std::uint64_t>(ms, kLookAgainMs);
    return static_cast<std::uint32_t>(ms);
}

TSioBaseDispatcher::TTriggerEdit::~TTriggerEdit()
{
    lock_.unlock();
    if (changed_)
        d_.WakeDispatcher();
}

void TSioBaseDispatcher::WakeDispatcher()
{
    inputQueue_.Wake();
    roomEvent_.Set();
}

void TSioBaseDispatcher::AddLineErrors(std::int32_t bits)
{
    if (bits == 0)
        return;
    const std::int32_t before = lineErrorWord_.fetch_or(bits);
    if ((before | bits) != before)
        WakeDispatcher();
}

bool TSioBaseDispatcher::ScanPending() const
{
    TGuard d(dispatchLock_);
    return !dispatchBuffer_.empty() && scanSeq_ < filledSeq_;
}

std::int32_t TDispThread::Execute()
{
    auto& d = Dispatcher;
    d.SignalThreadReady(Role());
    try {
        for (;;) {
            // Wakes on every push and every change it must act on (see
            // WakeDispatcher), and for the nearest armed timer; with a full
            // buffer, when a read has made room. At rest it sleeps.
            if (!d.ScanPending()) {
                const std::uint32_t wait = d.TimerWaitMs();
                (wait == kWaitForever ? d.unlimitedWaits_ : d.limitedWaits_).fetch_add(1, std::memory_order_acq_rel);
                if (d.DispatchBufferFull())
                    d.roomEvent_.Wait(wait);
                else
                    d.inputQueue_.Wait(wait);
            }
            if (d.stop_.load())
                break;
            d.RunCycle();
            d.TimerAndStatusPass();
            if (d.stop_.load() || d.closePending_.load())
                break;
        }
        // Stopped without a close: a device thread may have failed.
        if (!d.closePending_.load())
            d.DeliverDeviceLoss();
    } catch (...) {
        if (d.closePending_.load() || d.stop_.load())
            d.releaseAtEnd_ = true;
        throw;
    }
    if (d.closePending_.load() || d.stop_.load())
        d.releaseAtEnd_ = true;
    return 0;
}

}  // namespace sio
