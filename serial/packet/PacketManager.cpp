#include "packet/DataPacket.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <unordered_map>

#include "errors/Exceptions.h"
#include "errors/ErrorTexts.h"
#include "log/TraceLog.h"
#include "dispatch/Dispatcher.h"

namespace sio {

// ---------------------------------------------------------------------------
// Patterns

std::uint8_t AsciiUpper(std::uint8_t c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<std::uint8_t>(c - ('a' - 'A')) : c;
}

TPacketPattern TPacketPattern::Prepare(std::string_view text, bool ignoreCase)
{
    TPacketPattern p;
    p.IgnoreCase = ignoreCase;
    std::string s(text);
    if (ignoreCase) {
        for (char& ch : s)
            ch = static_cast<char>(AsciiUpper(static_cast<std::uint8_t>(ch)));
    }
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\') {
            if (i + 1 < s.size()) {
                p.Pattern += s[i + 1];
                p.Mask += '0';
                ++i;
            }
            // a trailing backslash is dropped
        } else if (s[i] == '?') {
            p.Pattern += '?';
            p.Mask += '1';
        } else {
            p.Pattern += s[i];
            p.Mask += '0';
        }
    }
    return p;
}

bool TPacketPattern::Matches(std::size_t k, std::uint8_t byte) const
{
    if (k >= Pattern.size())
        return false;
    if (Mask[k] == '1')
        return true;
    std::uint8_t c = IgnoreCase ? AsciiUpper(byte) : byte;
    return c == static_cast<std::uint8_t>(Pattern[k]);
}

// ---------------------------------------------------------------------------
// The manager's lock

void TPacketLock::lock()
{
    auto me = std::this_thread::get_id();
    if (owner_.load(std::memory_order_relaxed) == me) {
        ++depth_;
        return;
    }
    mutex_.lock();
    owner_.store(me, std::memory_order_relaxed);
    depth_ = 1;
}

void TPacketLock::unlock()
{
    if (--depth_ == 0) {
        owner_.store(std::thread::id(), std::memory_order_relaxed);
        mutex_.unlock();
    }
}

int TPacketLock::ReleaseAll()
{
    if (!HeldByMe())
        return 0;
    int depth = depth_;
    depth_ = 0;
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    mutex_.unlock();
    return depth;
}

void TPacketLock::Reacquire(int depth)
{
    if (depth == 0)
        return;
    mutex_.lock();
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    depth_ = depth;
}

// ---------------------------------------------------------------------------
// The link to a real port component and its dispatcher

namespace {

// The managers that may still be called by a dispatcher, with the number of
// calls in progress. The dispatcher may have entered a manager's handler just
// as the main thread releases that manager; the manager's destruction waits
// for such a call to return, and later calls find it gone.
struct TLiveManagers {
    std::mutex lock;
    std::condition_variable idle;
    std::unordered_map<const TSioDataPacketManager*, int> calls;
};

TLiveManagers& LiveManagers()
{
    static auto* live = new TLiveManagers;  // never freed: dispatcher threads may ask until the very end
    return *live;
}

void NotifyTrampoline(void* object, std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam)
{
    auto* m = static_cast<TSioDataPacketManager*>(object);
    auto& live = LiveManagers();
    {
        std::lock_guard g(live.lock);
        auto it = live.calls.find(m);
        if (it == live.calls.end())
            return;
        ++it->second;
    }
    struct TDone {
        TLiveManagers& live;
        TSioDataPacketManager* m;
        ~TDone()
        {
            std::lock_guard g(live.lock);
            if (--live.calls[m] == 0)
                live.idle.notify_all();
        }
    } done{live, m};
    m->HandleNotification(msg, wParam, lParam);
}

class TComPortLink final : public IPacketPort {
public:
    explicit TComPortLink(TSioCustomComPort* port) : port_(port) {}

    // The dispatcher to talk to. The manager's handler runs on the
    // dispatcher's own thread, and there it talks to that dispatcher: the
    // port component's pointer belongs to the main thread, which may reset
    // it (or destroy the component) meanwhile. On the main thread it is the
    // port component's.
    TSioBaseDispatcher* Dispatcher() const
    {
        if (TSioBaseDispatcher* own = TSioBaseDispatcher::OfCurrentThread())
            return own;
        return port_->Dispatcher();
    }

    bool IsOpen() const override { return port_->PortState() == StateOpen; }
    bool IsLoading() const override { return port_->IsLoading(); }
    void Subscribe(TSioDataPacketManager* m) override
    {
        port_->AddUserCallback(m, [m](TSioCustomComPort*, TPortCallbackKind kind) { m->PortChanged(kind); });
    }
    void Unsubscribe(TSioDataPacketManager* m) override { port_->RemoveUserCallback(m); }
    bool AcquireDispatcher() override
    {
        // A lost port is joined as it is, not reopened under the manager's
        // lock: the next command reopens it, and the opening activates the
        // manager again.
        if (port_->DeviceLost())
            return true;
        return port_->AcquireDispatcher() != nullptr;
    }
    bool HasDispatcher() const override { return Dispatcher() != nullptr; }
    void AddMethodHandler(TSioDataPacketManager* m) override
    {
        if (auto* d = Dispatcher())
            d->AddMethodHandler(Method(m));
    }
    void RemoveMethodHandler(TSioDataPacketManager* m) override
    {
        if (auto* d = Dispatcher())
            d->RemoveMethodHandler(Method(m));
    }
    std::int32_t AddTimerTrigger() override
    {
        auto* d = Dispatcher();
        return d ? d->AddTimerTrigger() : ecCommNotOpen;
    }
    std::int32_t SetTimerTrigger(std::int32_t handle, std::int32_t ticks, bool activate) override
    {
        auto* d = Dispatcher();
        // A negative time limit is no duration at all: keep the stored one.
        return d ? d->SetTimerTrigger(handle, static_cast<std::uint32_t>(std::max(ticks, 0)), activate)
                 : ecCommNotOpen;
    }
    std::int32_t ArmReplyTimer(std::int32_t handle, std::int32_t ticks) override
    {
        auto* d = Dispatcher();
        return d ? d->ArmReplyTimer(handle, static_cast<std::uint32_t>(std::max(ticks, 0))) : ecCommNotOpen;
    }
    std::int32_t RemoveTrigger(std::int32_t handle) override
    {
        auto* d = Dispatcher();
        return d ? d->RemoveTrigger(handle) : ecCommNotOpen;
    }
    std::int32_t ReadBytes(std::uint8_t* buffer, std::int32_t count) override
    {
        auto* d = Dispatcher();
        return d ? d->ReadBytes(buffer, count) : ecCommNotOpen;
    }
    std::uint32_t InputDiscards() const override
    {
        auto* d = Dispatcher();
        return d ? d->InputDiscards() : 0;
    }
    void RunOnMainThread(const std::function<void()>& fn) override
    {
        if (auto* d = Dispatcher())
            d->RunOnMainThread(fn);
        else
            fn();
    }
    void AddLogEntry(std::uint8_t type, std::uint16_t subtype, std::uint32_t data, const void* bytes,
                     std::uint32_t count) override
    {
        if (auto* d = Dispatcher())
            d->AddLogEntry(type, subtype, data, bytes, count);
    }

private:
    static TSioNotifyMethod Method(TSioDataPacketManager* m)
    {
        return TSioNotifyMethod{&NotifyTrampoline, m};
    }
    TSioCustomComPort* port_;
};

}  // namespace

// ---------------------------------------------------------------------------
// The manager list

TSioDataPacketManagerList& TSioDataPacketManagerList::Instance()
{
    static TSioDataPacketManagerList list;
    return list;
}

TSioDataPacketManagerList::~TSioDataPacketManagerList()
{
    // Program end: last to first, each cut off from its port first, so that
    // none of them talks to a port that may already be gone.
    for (;;) {
        TSioDataPacketManager* m = nullptr;
        {
            std::lock_guard g(lock_);
            if (!managers_.empty())
                m = managers_.back();
            else if (!retired_.empty())
                m = retired_.back();
            else
                break;
        }
        m->ClearPort();
        delete m;  // leaves the list in its destructor
    }
}

TSioDataPacketManager* TSioDataPacketManagerList::Find(const void* key) const
{
    std::lock_guard g(lock_);
    for (TSioDataPacketManager* m : managers_)
        if (m->Key() == key)
            return m;
    return nullptr;
}

std::size_t TSioDataPacketManagerList::Count() const
{
    std::lock_guard g(lock_);
    return managers_.size();
}

std::size_t TSioDataPacketManagerList::RetiredCount() const
{
    std::lock_guard g(lock_);
    return retired_.size();
}

void TSioDataPacketManagerList::Add(TSioDataPacketManager* m)
{
    std::lock_guard g(lock_);
    managers_.push_back(m);
}

void TSioDataPacketManagerList::Retire(TSioDataPacketManager* m)
{
    std::lock_guard g(lock_);
    std::erase(managers_, m);
    if (std::find(retired_.begin(), retired_.end(), m) == retired_.end())
        retired_.push_back(m);
}

void TSioDataPacketManagerList::Remove(TSioDataPacketManager* m)
{
    std::lock_guard g(lock_);
    std::erase(managers_, m);
    std::erase(retired_, m);
}

// ---------------------------------------------------------------------------
// The manager

TSioDataPacketManager::TSioDataPacketManager(const void* key, IPacketPort* port,
                                             std::unique_ptr<IPacketPort> ownedPort)
    : key_(key), port_(port), ownedPort_(std::move(ownedPort))
{
    {
        auto& live = LiveManagers();
        std::lock_guard g(live.lock);
        live.calls[this] = 0;
    }
    TGuard g(lock_);
    port_->Subscribe(this);
    TSioDataPacketManagerList::Instance().Add(this);
    if (port_->IsOpen()) {
        if (!port_->IsLoading())
            Activate(true);
        else
            activateAfterLoad_ = true;
    }
}

TSioDataPacketManager::~TSioDataPacketManager()
{
    {
        // A call that has just begun finds no port and returns at once.
        auto& live = LiveManagers();
        std::unique_lock g(live.lock);
        live.idle.wait(g, [&] { return live.calls[this] == 0; });
        live.calls.erase(this);
    }
    TSioDataPacketManagerList::Instance().Remove(this);
    bool posted;
    {
        TGuard g(lock_);
        destroying_ = true;
        try {
            Activate(false);
        } catch (...) {
            // a failed timer stop must not stop the destruction
        }
        if (port_)
            port_->Unsubscribe(this);
        port_ = nullptr;
        for (TSioDataPacket* c : packets_) {
            c->manager_ = nullptr;
            c->holdsPort_ = false;
        }
        packets_.clear();
        collector_ = nullptr;
        FreeHeld();
        posted = releasePosted_ || reportPosted_;
    }
    if (posted)
        MessageQueue().DiscardMessages(this);
}

void TSioDataPacketManager::ClearPort()
{
    TGuard g(lock_);
    port_ = nullptr;
    // program end: the message queue may be gone already
    releasePosted_ = false;
    reportPosted_ = false;
    failures_.clear();
}

bool TSioDataPacketManager::Active() const
{
    TGuard g(lock_);
    return handlerInstalled_;
}

bool TSioDataPacketManager::HandlerInstalled() const
{
    TGuard g(lock_);
    return handlerInstalled_;
}

std::int32_t TSioDataPacketManager::HeldCount() const
{
    TGuard g(lock_);
    return heldCount_;
}

std::int32_t TSioDataPacketManager::HeldCapacity() const
{
    TGuard g(lock_);
    return heldCapacity_;
}

std::int32_t TSioDataPacketManager::TimerHandle() const
{
    TGuard g(lock_);
    return timerHandle_;
}

TSioDataPacket* TSioDataPacketManager::Collector() const
{
    TGuard g(lock_);
    return collector_;
}

std::size_t TSioDataPacketManager::PacketCount() const
{
    TGuard g(lock_);
    return packets_.size();
}

bool TSioDataPacketManager::InEvent() const
{
    TGuard g(lock_);
    return inEvent_;
}

void TSioDataPacketManager::SetActive(bool active)
{
    TGuard g(lock_);
    Activate(active);
}

void TSioDataPacketManager::Activate(bool on)
{
    if (on) {
        if (handlerInstalled_ || !port_)
            return;
        if (!port_->AcquireDispatcher())
            return;
        port_->AddMethodHandler(this);
        handlerInstalled_ = true;
        overflowReported_ = false;
        std::int32_t h = port_->AddTimerTrigger();
        // Without a trigger handle there is no time limit; a negative one
        // would only make every later timer call fail.
        timerHandle_ = h > 0 ? h : 0;
    } else {
        if (!handlerInstalled_)
            return;
        if (port_ && port_->HasDispatcher()) {
            if (timerHandle_ != 0)
                port_->RemoveTrigger(timerHandle_);
            port_->RemoveMethodHandler(this);
        }
        timerHandle_ = 0;
        limitRunning_ = false;
        handlerInstalled_ = false;
        FreeHeld();
    }
}

void TSioDataPacketManager::PortChanged(int kind)
{
    TGuard g(lock_);
    if (kind == pcOpened) {
        if (handlerInstalled_) {
            // The last opening failed after this manager had joined its
            // dispatcher, which went without a closing notice: forget it.
            timerHandle_ = 0;
            handlerInstalled_ = false;
            FreeHeld();
            for (std::size_t k = 0; k < packets_.size(); ++k)
                packets_[k]->DisarmPacket();
        }
        Activate(true);
        try {
            for (std::size_t k = 0; k < packets_.size(); ++k)
                if (packets_[k]->enabled_)
                    packets_[k]->ArmPacket();
        } catch (...) {
            // The error fails the opening and the port drops its dispatcher:
            // leave it as at a close, so that the next opening starts afresh.
            for (std::size_t k = 0; k < packets_.size(); ++k)
                packets_[k]->DisarmPacket();
            Activate(false);
            throw;
        }
    } else if (kind == pcClosing || kind == pcClosed) {
        for (std::size_t k = 0; k < packets_.size(); ++k)
            packets_[k]->DisarmPacket();
        Activate(false);
    } else if (kind == pcLost) {
        // The dispatcher's timer died with its device: a collector waiting
        // for a reply ends its wait now, as with a silent far end.
        if (collector_ && limitRunning_ && !inEvent_) {
            limitRunning_ = false;
            collector_->PacketTimeout();
        }
    }
}

void TSioDataPacketManager::Attach(TSioDataPacket* c)
{
    packets_.push_back(c);
    c->manager_ = this;
}

void TSioDataPacketManager::Detach(TSioDataPacket* c, bool collectorDestroyed)
{
    std::exception_ptr failure;
    // A collector that leaves must not stay the one that owns the port: the
    // manager would go on calling it.
    try {
        c->DisarmPacket();
    } catch (...) {
        failure = std::current_exception();
    }
    if (collector_ == c) {
        collector_ = nullptr;
        c->holdsPort_ = false;
    }
    std::erase(packets_, c);
    if (eventCollector_ == c && collectorDestroyed)
        eventCollector_ = nullptr;
    c->manager_ = nullptr;
    if (packets_.empty() && !destroying_)
        ForgetPortAndRelease();
    if (failure && !collectorDestroyed)
        std::rethrow_exception(failure);
}

void TSioDataPacketManager::ForgetPortAndRelease()
{
    // Leave the dispatcher and the port now: once the port is forgotten
    // nothing could unregister us any more, and the dispatcher or the port
    // would call a manager that is gone.
    try {
        Activate(false);
    } catch (...) {
    }
    if (port_)
        port_->Unsubscribe(this);
    port_ = nullptr;
    // A collector attached to the same port from now on gets a new manager.
    TSioDataPacketManagerList::Instance().Retire(this);
    if (!releasePosted_) {
        releasePosted_ = MessageQueue().PostMessage(this, WM_PACKET_RELEASE, 0, 0);
    }
}

std::intptr_t TSioDataPacketManager::HandleMessage(std::uint32_t msg, std::uintptr_t, std::intptr_t)
{
    std::vector<std::exception_ptr> failures;
    if (msg == WM_PACKET_REPORT) {
        {
            TGuard g(lock_);
            reportPosted_ = false;
            failures.swap(failures_);
        }
        for (const auto& e : failures)
            ReportException(e);
        return 0;
    }
    if (msg != WM_PACKET_RELEASE)
        return 0;
    {
        TGuard g(lock_);
        releasePosted_ = false;  // this very message is being handled
        if (inEvent_) {
            // Asked again as the event ends. Posting it again from here would
            // spin a message loop that the event's handler runs (a message box).
            releaseAfterEvent_ = true;
            return 0;
        }
        failures.swap(failures_);
    }
    delete this;
    for (const auto& e : failures)
        ReportException(e);
    return 0;
}

void TSioDataPacketManager::ReportLater(std::exception_ptr error)
{
    failures_.push_back(std::move(error));
    if (!reportPosted_)
        reportPosted_ = MessageQueue().PostMessage(this, WM_PACKET_REPORT, 0, 0);
}

void TSioDataPacketManager::FreeHeld()
{
    std::vector<std::uint8_t>().swap(held_);
    heldCount_ = 0;
    heldCapacity_ = 0;
}

void TSioDataPacketManager::HandleNotification(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t)
{
    TGuard g(lock_);
    if (!port_ || destroying_)
        return;
    // An exception leaving a method handler ends the dispatcher thread.
    try {
        Notified(msg, wParam);
    } catch (...) {
        ReportLater(std::current_exception());
    }
}

void TSioDataPacketManager::Notified(std::uint32_t msg, std::uintptr_t wParam)
{
    if (msg == WM_SIO_AVAIL) {
        // Never more than the dispatch buffer, so one step suffices; the loop
        // and the bound only guard against a larger count.
        std::int32_t value = static_cast<std::int32_t>(std::min<std::uintptr_t>(wParam, 1u << 20));
        DropHeldIfDiscarded();
        BoundHeld(value);
        if (heldCount_ + value >= heldCapacity_) {
            while (heldCount_ + value >= heldCapacity_)
                heldCapacity_ += HeldStep;
            held_.resize(static_cast<std::size_t>(heldCapacity_));
        }
        std::int32_t old = heldCount_;
        std::int32_t got = value > 0 ? port_->ReadBytes(held_.data() + old, value) : 0;
        if (got > 0)
            heldCount_ += std::min(got, value);
        ProcessHeld(old);
    } else if (msg == WM_SIO_TIMER) {
        if (timerHandle_ != 0 && wParam == static_cast<std::uintptr_t>(timerHandle_) && collector_ &&
            limitRunning_ && TimerExpired(limit_)) {
            limitRunning_ = false;
            collector_->PacketTimeout();
        }
    }
}

void TSioDataPacketManager::ProcessHeld(std::int32_t start)
{
    if (inEvent_) {
        processPending_ = true;
        pendingStart_ = start;
        return;
    }
    if (heldCount_ > 0)
        scanIndex_ = start;
    while (scanIndex_ < heldCount_) {
        if (collector_) {
            collector_->ProcessByte(scanIndex_);
        } else {
            for (std::size_t k = 0; k < packets_.size(); ++k) {
                packets_[k]->ProcessByte(scanIndex_);
                if (heldCapacity_ == 0)
                    return;
                if (collector_ || scanIndex_ < 0)
                    break;
            }
        }
        if (heldCapacity_ == 0)
            return;
        ++scanIndex_;
    }
    if (!collector_) {
        bool partial = false;
        for (TSioDataPacket* c : packets_)
            if (c->enabled_ && c->state_ != TPacketState::Idle && c->beginIndex_ != -1)
                partial = true;
        if (!partial)
            FreeHeld();
    }
}

void TSioDataPacketManager::RemoveFront(std::int32_t n)
{
    heldCount_ -= n;
    scanIndex_ -= n;
    if (scanIndex_ < 0)
        scanIndex_ = -1;
    if (heldCount_ <= 0)
        FreeHeld();
    else
        std::memmove(held_.data(), held_.data() + n, static_cast<std::size_t>(heldCount_));
    // Partial matches lay in the removed stretch; inside an event this only
    // marks them for arming as the event ends.
    for (std::size_t k = 0; k < packets_.size(); ++k) {
        TSioDataPacket* c = packets_[k];
        if (c->enabled_ && c->beginIndex_ != -1)
            c->ArmPacket();
    }
}

void TSioDataPacketManager::BoundHeld(std::int32_t count)
{
    std::int32_t limit = HeldLimit;
    if (collector_ && collector_->endCond_.Contains(ecPacketSize))
        limit = std::max(limit, collector_->sizeLimit_);
    // A packet of exactly the limit still fits (its capacity then reaches
    // one step beyond: the growth keeps room for one more byte).
    if (heldCount_ == 0 || heldCount_ + static_cast<std::int64_t>(count) <= limit)
        return;
    // Nothing ended the packet (a device streaming noise, or at a wrong
    // speed): the held bytes are no reply. Delivering them would hand the
    // application garbage as one; keeping them would grow without end.
    static const char text[] = "Held bytes discarded: no end of packet.";
    Log(lsStatus, text, sizeof text - 1);
    if (!overflowReported_) {
        overflowReported_ = true;
        ReportLater(std::make_exception_ptr(EPacketOverflow(
            "No packet ended within " + std::to_string(limit) +
            " received bytes; they were discarded. Check the line speed and the device.")));
    }
    heldCount_ = 0;
    scanIndex_ = 0;
    FreeHeld();
    // Partial matches lay in what went: each collector starts over.
    for (std::size_t k = 0; k < packets_.size(); ++k) {
        TSioDataPacket* c = packets_[k];
        if (c->enabled_ && c->beginIndex_ != -1)
            ArmOrDisable(c, false);
    }
}

void TSioDataPacketManager::TakePort(TSioDataPacket* c, std::int32_t ticks)
{
    collector_ = c;
    limitRunning_ = false;
    // A negative time limit is none: the dispatcher would take it as "keep
    // the last duration", a time-out at once on a new trigger.
    if (ticks > 0 && timerHandle_ != 0 && port_) {
        // Started before the dispatcher's, so it has run out when that fires
        // (the dispatcher's counts from when the frame has left, which is
        // never earlier).
        StartTimer(limit_, ticks);
        limitRunning_ = true;
        port_->ArmReplyTimer(timerHandle_, ticks);  // the result is ignored
    }
    c->holdsPort_ = true;
    for (std::size_t k = 0; k < packets_.size(); ++k)
        if (packets_[k] != c)
            ArmOrDisable(packets_[k], true);
}

void TSioDataPacketManager::ArmOrDisable(TSioDataPacket* c, bool restart)
{
    try {
        if (restart)
            c->RestartPacket();
        else
            c->ArmPacket();
    } catch (...) {
        // Mostly a configuration left invalid by a plain store or by a
        // handler. It is this collector's error, not that of whoever armed
        // it in passing: it is disabled, as after a failed enabling, so that
        // enabling it again once mended arms it, and the error is reported.
        try {
            c->DisarmPacket();
        } catch (...) {
        }
        c->enabled_ = false;
        ReportLater(std::current_exception());
    }
}

std::int32_t TSioDataPacketManager::ReleasePort(TSioDataPacket* c)
{
    std::int32_t result = 0;
    limitRunning_ = false;
    if (timerHandle_ != 0 && port_ && port_->HasDispatcher())
        result = port_->SetTimerTrigger(timerHandle_, 0, false);
    if (collector_ == c)
        collector_ = nullptr;
    c->holdsPort_ = false;
    return result;
}

void TSioDataPacketManager::EnterEvent()
{
    inEvent_ = true;
    for (std::size_t k = 0; k < packets_.size(); ++k) {
        if (!packets_[k]->enabled_)
            continue;
        // A timer that cannot be stopped must not cost the packet: the
        // collector is Idle all the same.
        try {
            packets_[k]->DisarmPacket();
        } catch (...) {
            ReportLater(std::current_exception());
        }
    }
}

bool TSioDataPacketManager::DropHeldIfDiscarded()
{
    const std::uint32_t discards = port_ ? port_->InputDiscards() : seenDiscards_;
    if (discards == seenDiscards_)
        return false;
    seenDiscards_ = discards;
    if (heldCount_ == 0)
        return false;
    // Read before the discard, so not to be delivered after it: a command
    // that flushed its input must not get the tail of an earlier reply.
    heldCount_ = 0;
    scanIndex_ = 0;
    FreeHeld();
    // Partial matches lay in what went: each collector starts over (an event
    // arms them as it ends).
    if (!inEvent_)
        for (std::size_t k = 0; k < packets_.size(); ++k) {
            TSioDataPacket* c = packets_[k];
            if (c->enabled_ && c->beginIndex_ != -1)
                ArmOrDisable(c, false);
        }
    return true;
}

void TSioDataPacketManager::LeaveEvent()
{
    inEvent_ = false;
    if (DropHeldIfDiscarded())
        processPending_ = false;
    for (std::size_t k = 0; k < packets_.size(); ++k)
        if (packets_[k]->enabled_)
            ArmOrDisable(packets_[k], false);
    if (processPending_) {
        processPending_ = false;
        if (heldCapacity_ > 0)
            ProcessHeld(pendingStart_);
    }
    if (releaseAfterEvent_) {
        releaseAfterEvent_ = false;
        releasePosted_ = MessageQueue().PostMessage(this, WM_PACKET_RELEASE, 0, 0);
    }
}

void TSioDataPacketManager::Deliver(const std::function<void()>& fn)
{
    IPacketPort* port = port_;
    // The event runs on the main thread while this thread waits: let go of
    // the lock, so that the handler may change any collector.
    int depth = lock_.ReleaseAll();
    struct TRelock {
        TPacketLock& lock;
        int depth;
        ~TRelock() { lock.Reacquire(depth); }
    } relock{lock_, depth};
    if (port)
        port->RunOnMainThread(fn);
    else
        fn();
}

void TSioDataPacketManager::Log(std::uint16_t subtype, const void* bytes, std::uint32_t count)
{
    if (port_)
        port_->AddLogEntry(ltPacket, subtype, 0, bytes, count);
}

void TSioDataPacketManager::LogText(std::uint16_t subtype, const TSioDataPacket* c)
{
    if (!port_)
        return;
    std::string text = "Packet:" + c->Name();
    port_->AddLogEntry(ltPacket, subtype, 0, text.data(), static_cast<std::uint32_t>(text.size()));
}

// ---------------------------------------------------------------------------
// The collector

TSioDataPacket::TSioDataPacket(TSioBaseComponent* owner) : TSioBaseComponent(owner) {}

TSioDataPacket::~TSioDataPacket()
{
    if (comPort_)
        comPort_->RemoveFreeNotification(this);
    TSioDataPacketManager* m = manager_;
    if (!m)
        return;
    try {
        std::lock_guard g(m->lock_);
        m->Detach(this, true);
    } catch (...) {
    }
}

TSioDataPacket::TGuard TSioDataPacket::Lock() const
{
    if (manager_)
        return TGuard(manager_->lock_);
    return TGuard();
}

bool TSioDataPacket::Enabled() const
{
    auto g = Lock();
    return enabled_;
}

void TSioDataPacket::SetEnabled(bool value)
{
    auto g = Lock();
    SetEnabledLocked(value);
}

void TSioDataPacket::SetEnabledLocked(bool value)
{
    if (value == enabled_)
        return;
    if (value) {
        ArmPacket();
        enabled_ = true;
    } else {
        DisarmPacket();
        enabled_ = false;
    }
}

bool TSioDataPacket::AutoEnable() const
{
    auto g = Lock();
    return autoEnable_;
}

void TSioDataPacket::SetAutoEnable(bool value)
{
    auto g = Lock();
    autoEnable_ = value;
}

TPacketStartCond TSioDataPacket::StartCond() const
{
    auto g = Lock();
    return startCond_;
}

void TSioDataPacket::SetStartCond(TPacketStartCond value)
{
    auto g = Lock();
    startCond_ = value;
}

TPacketEndSet TSioDataPacket::EndCond() const
{
    auto g = Lock();
    return endCond_;
}

void TSioDataPacket::SetEndCond(TPacketEndSet value)
{
    auto g = Lock();
    bool was = enabled_;
    SetEnabledLocked(false);
    endCond_ = value;
    SetEnabledLocked(was);
}

std::string TSioDataPacket::StartString() const
{
    auto g = Lock();
    return startString_;
}

void TSioDataPacket::SetStartString(const std::string& value)
{
    auto g = Lock();
    startString_ = value;
}

std::string TSioDataPacket::EndString() const
{
    auto g = Lock();
    return endString_;
}

void TSioDataPacket::SetEndString(const std::string& value)
{
    auto g = Lock();
    bool was = enabled_;
    SetEnabledLocked(false);
    endString_ = value;
    SetEnabledLocked(was);
}

bool TSioDataPacket::IgnoreCase() const
{
    auto g = Lock();
    return ignoreCase_;
}

void TSioDataPacket::SetIgnoreCase(bool value)
{
    auto g = Lock();
    ignoreCase_ = value;
}

TSioCustomComPort* TSioDataPacket::ComPort() const { return comPort_; }

void TSioDataPacket::SetComPort(TSioCustomComPort* port)
{
    if (port == comPort_ && !linkKey_)
        return;
    Leave();
    if (comPort_)
        comPort_->RemoveFreeNotification(this);
    linkKey_ = nullptr;
    comPort_ = port;
    if (port) {
        // A port destroyed before this collector unbinds it first.
        port->FreeNotification(this, [this](TSioBaseComponent*) { SetComPort(nullptr); });
        Join(port, nullptr, port);
    }
}

void TSioDataPacket::SetPacketPort(IPacketPort* port)
{
    if (port == linkKey_ && !comPort_)
        return;
    Leave();
    if (comPort_)
        comPort_->RemoveFreeNotification(this);
    comPort_ = nullptr;
    linkKey_ = port;
    if (port)
        Join(port, port, nullptr);
}

void TSioDataPacket::Join(const void* key, IPacketPort* link, TSioCustomComPort* port)
{
    auto& list = TSioDataPacketManagerList::Instance();
    TSioDataPacketManager* m = list.Find(key);
    if (!m) {
        if (port) {
            auto owned = std::make_unique<TComPortLink>(port);
            IPacketPort* raw = owned.get();
            m = new TSioDataPacketManager(key, raw, std::move(owned));
        } else {
            m = new TSioDataPacketManager(key, link, nullptr);
        }
    }
    std::lock_guard g(m->lock_);
    m->Attach(this);
    // Enabling again does nothing, so an enabled collector that comes to an
    // open port is armed there, as it would be if the port opened now.
    if (enabled_ && m->handlerInstalled_) {
        try {
            ArmPacket();
        } catch (...) {
            enabled_ = false;  // as after a failed enabling
            throw;
        }
    }
}

void TSioDataPacket::Leave()
{
    TSioDataPacketManager* m = manager_;
    if (!m)
        return;
    std::lock_guard g(m->lock_);
    m->Detach(this, false);
}

std::int32_t TSioDataPacket::PacketSize() const
{
    auto g = Lock();
    return packetSize_;
}

void TSioDataPacket::SetPacketSize(std::int32_t value)
{
    auto g = Lock();
    packetSize_ = value;
}

bool TSioDataPacket::IncludeStrings() const
{
    auto g = Lock();
    return includeStrings_;
}

void TSioDataPacket::SetIncludeStrings(bool value)
{
    auto g = Lock();
    includeStrings_ = value;
}

std::int32_t TSioDataPacket::TimeOut() const
{
    auto g = Lock();
    return timeOut_;
}

void TSioDataPacket::SetTimeOut(std::int32_t ticks)
{
    auto g = Lock();
    timeOut_ = ticks;
}

TPacketState TSioDataPacket::PacketState() const
{
    auto g = Lock();
    return state_;
}

std::int32_t TSioDataPacket::BeginIndex() const
{
    auto g = Lock();
    return beginIndex_;
}

bool TSioDataPacket::AwaitingPort() const
{
    auto g = Lock();
    return awaitingPort_;
}

bool TSioDataPacket::HoldsPort() const
{
    auto g = Lock();
    return holdsPort_;
}

bool TSioDataPacket::ArmPending() const
{
    auto g = Lock();
    return armPending_;
}

TSioDataPacketManager* TSioDataPacket::Manager() const { return manager_; }

void TSioDataPacket::Loaded()
{
    TSioBaseComponent::Loaded();
    auto g = Lock();
    if (TSioDataPacketManager* m = manager_) {
        if (m->activateAfterLoad_) {
            m->activateAfterLoad_ = false;
            m->Activate(true);
        }
    }
    if (armPending_) {
        ArmPacket();
        armPending_ = false;
    }
}

void TSioDataPacket::ValidateConfig() const
{
    auto fail = [](std::int32_t code) { throw EInvalidProperty(code); };
    if (startCond_ == scString && TPacketPattern::Prepare(startString_, ignoreCase_).Length() == 0)
        fail(ecStartStringEmpty);  // also a string that is only a trailing backslash
    if (startCond_ == scString && endCond_.Contains(ecPacketSize) &&
        static_cast<std::int64_t>(startString_.size()) > packetSize_)
        fail(ecPacketTooSmall);
    if (startCond_ == scAnyData && endCond_.Empty())
        fail(ecNoEndCharCount);
    if (endCond_.Contains(ecString) && TPacketPattern::Prepare(endString_, ignoreCase_).Length() == 0)
        fail(ecEmptyEndString);
    if (endCond_.Contains(ecPacketSize) && packetSize_ == 0)
        fail(ecZeroSizePacket);
}

void TSioDataPacket::ArmPacket()
{
    if (IsLoading()) {
        armPending_ = true;
        return;
    }
    TSioDataPacketManager* m = manager_;
    if (m && m->handlerInstalled_) {
        if (m->inEvent_) {
            armPending_ = true;
            return;
        }
        ValidateConfig();
        armPending_ = false;
        m->LogText(lsEnable, this);
        if (startCond_ == scString) {
            m->Log(lsStartStr, startString_.data(), static_cast<std::uint32_t>(startString_.size()));
            SetPacketState(TPacketState::Waiting);
            start_ = TPacketPattern::Prepare(startString_, ignoreCase_);
        } else {
            if (!m->collector_)
                SetPacketState(TPacketState::Collecting);
            else if (m->collector_ != this)
                awaitingPort_ = true;
        }
        if (endCond_.Contains(ecString)) {
            m->Log(lsEndStr, endString_.data(), static_cast<std::uint32_t>(endString_.size()));
            end_ = TPacketPattern::Prepare(endString_, ignoreCase_);
        }
    }
    sizeLimit_ = packetSize_;
    startPos_ = 1;
    beginIndex_ = -1;
    endPos_ = 1;
}

void TSioDataPacket::DisarmPacket()
{
    if (!armPending_ && !awaitingPort_ && state_ == TPacketState::Idle)
        return;
    armPending_ = false;
    awaitingPort_ = false;
    if (TSioDataPacketManager* m = manager_) {
        SetPacketState(TPacketState::Idle);
        m->LogText(lsDisable, this);
    }
}

void TSioDataPacket::RestartPacket()
{
    if (enabled_ && (comPort_ || linkKey_)) {
        DisarmPacket();
        ArmPacket();
    }
}

void TSioDataPacket::SetPacketState(TPacketState s)
{
    if (s == state_)
        return;
    TSioDataPacketManager* m = manager_;
    std::int32_t stopResult = 0;
    if (m) {
        bool held = holdsPort_;
        if (s == TPacketState::Collecting)
            m->TakePort(this, timeOut_);
        else if (held)
            stopResult = m->ReleasePort(this);
    }
    // The port is released whatever the timer said: the state must agree.
    state_ = s;
    if (m) {
        static constexpr std::uint16_t names[] = {lsIdle, lsWaiting, lsCollecting};
        m->LogText(names[static_cast<int>(s)], this);
    }
    RaiseOnError(this, stopResult);
}

void TSioDataPacket::ProcessByte(std::int32_t i)
{
    TSioDataPacketManager* m = manager_;
    if (!enabled_ || !m || i < 0 || i >= m->heldCount_)
        return;
    const std::uint8_t* held = m->held_.data();
    std::uint8_t c = held[i];

    if (state_ == TPacketState::Idle && awaitingPort_) {
        SetPacketState(TPacketState::Collecting);
        awaitingPort_ = false;
    }

    if (state_ == TPacketState::Waiting) {
        const std::int32_t len = static_cast<std::int32_t>(start_.Length());
        if (start_.Matches(static_cast<std::size_t>(startPos_ - 1), c)) {
            if (beginIndex_ == -1)
                beginIndex_ = i;
            if (startPos_ >= len) {
                if (endCond_.Empty() || (endCond_.Contains(ecPacketSize) && len == sizeLimit_)) {
                    deliverSize_ = i - beginIndex_ + 1;
                    CompletePacket(false);
                    return;  // this collector may be gone now
                }
                SetPacketState(TPacketState::Collecting);
            } else {
                ++startPos_;
            }
        } else if (beginIndex_ != -1) {
            // The partial match broke: find the earliest later start at which
            // bytes b..i still match the pattern's beginning.
            std::int32_t b = beginIndex_ + 1;
            for (; b <= i; ++b) {
                bool ok = true;
                for (std::int32_t k = 0; k <= i - b && ok; ++k)
                    ok = start_.Matches(static_cast<std::size_t>(k), held[b + k]);
                if (ok)
                    break;
            }
            if (b <= i) {
                beginIndex_ = b;
                startPos_ = i - b + 2;
            } else {
                beginIndex_ = -1;
                startPos_ = 1;
            }
        }
    } else if (state_ == TPacketState::Collecting) {
        if (beginIndex_ == -1)
            beginIndex_ = i;
        if (endCond_.Contains(ecPacketSize) && i - beginIndex_ + 1 >= sizeLimit_) {
            deliverSize_ = i - beginIndex_ + 1;
            CompletePacket(false);
            return;
        }
        if (endCond_.Contains(ecString)) {
            const std::int32_t len = static_cast<std::int32_t>(end_.Length());
            if (end_.Matches(static_cast<std::size_t>(endPos_ - 1), c)) {
                if (endPos_ >= len) {
                    deliverSize_ = i - beginIndex_ + 1;
                    CompletePacket(true);
                    return;
                }
                ++endPos_;
            } else if (endPos_ != 1) {
                std::int32_t e = i - endPos_ + 2;
                for (; e <= i; ++e) {
                    bool ok = true;
                    for (std::int32_t k = 0; k <= i - e && ok; ++k)
                        ok = end_.Matches(static_cast<std::size_t>(k), held[e + k]);
                    if (ok)
                        break;
                }
                endPos_ = e <= i ? i - e + 2 : 1;
            }
        }
    }
}

void TSioDataPacket::CompletePacket(bool byEndString)
{
    TSioDataPacketManager* m = manager_;
    TSioDataPacket* const self = this;
    TSioDataPacket* const outer = m->eventCollector_;
    m->eventCollector_ = self;
    try {
        m->EnterEvent();
        SetEnabledLocked(false);

        const std::int32_t n = deliverSize_;
        const std::int32_t begin = beginIndex_;
        std::int32_t offset = begin;
        std::int32_t size = n;
        if (startCond_ == scString && !includeStrings_) {
            offset += static_cast<std::int32_t>(start_.Length());
            size -= static_cast<std::int32_t>(start_.Length());
        }
        if (!includeStrings_ && byEndString)
            size -= static_cast<std::int32_t>(end_.Length());
        size = std::clamp(size, 0, std::max(0, m->heldCount_ - offset));
        // The handlers get a copy: the held bytes may be freed while the
        // main thread runs them (a handler that closes the port).
        std::string data(reinterpret_cast<const char*>(m->held_.data()) + offset, static_cast<std::size_t>(size));
        deliverSize_ = size;

        m->LogText(lsStringPacket, this);
        m->Log(byEndString ? lsStringPacket : lsSizePacket, data.data(), static_cast<std::uint32_t>(data.size()));

        m->Deliver([m, self, &data] {
            auto alive = [&] {
                std::lock_guard g(m->lock_);
                return m->eventCollector_ == self;
            };
            try {
                if (!alive())
                    return;
                if (self->OnPacket)
                    self->OnPacket(self, reinterpret_cast<const std::uint8_t*>(data.data()),
                                   static_cast<std::int32_t>(data.size()));
                if (!alive())
                    return;
                if (self->OnStringPacket)
                    self->OnStringPacket(self, data);
            } catch (...) {
                ReportException(std::current_exception());
            }
        });

        // Touch the collector only while it still exists and is ours: one
        // moved to another port during the event is guarded by that port's
        // manager now, and one that left belongs to the main thread.
        const bool alive = m->eventCollector_ == self &&
                           std::find(m->packets_.begin(), m->packets_.end(), self) != m->packets_.end();
        m->RemoveFront(begin + n);
        if (alive && autoEnable_)
            SetEnabledLocked(true);
    } catch (...) {
        m->eventCollector_ = outer;
        m->LeaveEvent();
        throw;
    }
    m->eventCollector_ = outer;
    m->LeaveEvent();
}

void TSioDataPacket::PacketTimeout()
{
    TSioDataPacketManager* m = manager_;
    TSioDataPacket* const self = this;
    TSioDataPacket* const outer = m->eventCollector_;
    m->eventCollector_ = self;
    try {
        m->EnterEvent();
        m->LogText(lsPcktTimeout, this);
        SetEnabledLocked(false);
        m->Deliver([m, self] {
            try {
                {
                    std::lock_guard g(m->lock_);
                    if (m->eventCollector_ != self)
                        return;
                }
                if (self->OnTimeout)
                    self->OnTimeout(self);
            } catch (...) {
                ReportException(std::current_exception());
            }
        });
        m->RemoveFront(m->heldCount_);
    } catch (...) {
        m->eventCollector_ = outer;
        m->LeaveEvent();
        throw;
    }
    m->eventCollector_ = outer;
    m->LeaveEvent();
}

}  // namespace sio
