// The data packet collector: its properties, and the packets it cuts from
// what its manager hands it.
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
            auto owned = LinkToComPort(port);
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
