// The collectors' shared side: the patterns, the manager of one port with
// its lock and list, and its link to the port component and dispatcher.
#include "packet/DataPacket.h"
#include "packet/PacketManagerLink.h"

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

std::unique_ptr<IPacketPort> LinkToComPort(TSioCustomComPort* port) { return std::make_unique<TComPortLink>(port); }

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

}  // namespace sio
