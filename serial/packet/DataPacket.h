// Data packet collector: cuts packets out of the bytes one serial port
// receives and hands each complete packet to the application as an event.
//
// TSioDataPacket      the collector component (start/end conditions, time limit)
// TSioDataPacketManager  one per watched port: holds the received bytes, offers
//                     them to its collectors in order, owns the port's timer
// TSioDataPacketManagerList  the program-wide list that finds a port's manager
//
// Threads. Property changes, PortChanged and the manager's deferred release
// run on the main thread. HandleNotification and everything it leads to (the
// scan, completion, time-out) run on the port's dispatcher thread. Each
// manager has one lock that serialises the two; it is released while an event
// runs on the main thread (the dispatcher thread waits for it meanwhile), so
// the application's handlers may change any property of any collector. Events
// are always delivered on the main thread when the port has a dispatcher
// thread, else directly on the calling thread.
// No error met on the dispatcher thread (a configuration that a handler left
// invalid, a timer that cannot be stopped) leaves the manager's handler: it
// would end that thread and leave the port open but deaf. It is reported on
// the main thread through the message queue; a collector that cannot be
// armed again as its event ends is left disabled.
//
// Lifetimes. A port component destroyed before its collectors unbinds them
// first (ComPort becomes none, as if it had been set so). A manager lives while a collector is attached to its port; when the
// last one leaves, the manager leaves the dispatcher and the port at once and
// is destroyed through the main thread's message queue once no event runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "errors/Exceptions.h"
#include "base/MessageQueue.h"
#include "base/BaseComponent.h"
#include "port/ComPort.h"

namespace sio {

// Reported once per opening of a port (through ReportException, on the main
// thread) when more than HeldLimit bytes came and no packet ended:
// a device that streams without the end condition (noise, a wrong line
// speed). The bytes held were discarded and the collection started over.
// ErrorCode() is 0; what() is the text for the operator.
class EPacketOverflow : public EPacket {
public:
    using EPacket::EPacket;
};

class TSioCustomComPort;
class TSioDataPacket;
class TSioDataPacketManager;

enum TPacketStartCond : std::uint8_t { scString, scAnyData };
enum TPacketEndCond : std::uint8_t { ecString, ecPacketSize };

// Set of TPacketEndCond, one bit per value.
class TPacketEndSet {
public:
    constexpr TPacketEndSet() = default;
    constexpr TPacketEndSet(std::initializer_list<TPacketEndCond> conds)
    {
        for (TPacketEndCond c : conds)
            bits_ |= Bit(c);
    }
    constexpr bool Contains(TPacketEndCond c) const { return (bits_ & Bit(c)) != 0; }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr TPacketEndSet& Include(TPacketEndCond c) { bits_ |= Bit(c); return *this; }
    constexpr TPacketEndSet& Exclude(TPacketEndCond c) { bits_ &= static_cast<std::uint8_t>(~Bit(c)); return *this; }
    constexpr std::uint8_t Bits() const { return bits_; }
    friend constexpr bool operator==(TPacketEndSet a, TPacketEndSet b) { return a.bits_ == b.bits_; }

private:
    static constexpr std::uint8_t Bit(TPacketEndCond c) { return static_cast<std::uint8_t>(1u << c); }
    std::uint8_t bits_ = 0;
};

enum class TPacketState : std::uint8_t { Idle, Waiting, Collecting };

// A start or end string turned into something to match bytes against.
// Notation: a backslash makes the next character literal and is dropped
// itself (a trailing one just vanishes); "?" matches any byte. With
// ignoreCase the text is upper-cased (ASCII a..z only) before the escapes
// are resolved, and received bytes are upper-cased the same way.
struct TPacketPattern {
    std::string Pattern;  // the characters to match
    std::string Mask;     // '1' at a wildcard, '0' elsewhere; same length
    bool IgnoreCase = false;

    static TPacketPattern Prepare(std::string_view text, bool ignoreCase);
    std::size_t Length() const { return Pattern.size(); }
    bool Matches(std::size_t k, std::uint8_t byte) const;
};

std::uint8_t AsciiUpper(std::uint8_t c);

// Everything a manager needs of the port it watches and of that port's
// dispatcher. TComPortLink (in PacketManager.cpp) maps it onto TSioCustomComPort;
// tests and the fuzz target supply their own, so that the byte processing runs
// without a device. All calls come with the manager's lock held.
class IPacketPort {
public:
    virtual ~IPacketPort() = default;

    virtual bool IsOpen() const = 0;     // the port component is open
    virtual bool IsLoading() const = 0;  // its form is still being loaded
    // PortChanged registration with the port component (user callbacks).
    virtual void Subscribe(TSioDataPacketManager* manager) = 0;
    virtual void Unsubscribe(TSioDataPacketManager* manager) = 0;
    // AcquireDispatcher; false when the port has (and gets) no dispatcher.
    virtual bool AcquireDispatcher() = 0;
    virtual bool HasDispatcher() const = 0;
    // Registers manager->HandleNotification as a method handler.
    virtual void AddMethodHandler(TSioDataPacketManager* manager) = 0;
    virtual void RemoveMethodHandler(TSioDataPacketManager* manager) = 0;
    virtual std::int32_t AddTimerTrigger() = 0;  // handle, or a negative code
    virtual std::int32_t SetTimerTrigger(std::int32_t handle, std::int32_t ticks, bool activate) = 0;
    // Arms the timer as a reply's time limit: it counts from when the output
    // written around its arming has left for the device (ArmReplyTimer of
    // the dispatcher). A link without output of its own arms it plainly.
    virtual std::int32_t ArmReplyTimer(std::int32_t handle, std::int32_t ticks)
    {
        return SetTimerTrigger(handle, ticks, true);
    }
    virtual std::int32_t RemoveTrigger(std::int32_t handle) = 0;
    // Reads up to count unread bytes during an avail notification.
    virtual std::int32_t ReadBytes(std::uint8_t* buffer, std::int32_t count) = 0;
    // How many times the received input has been discarded so far; bytes a
    // manager holds from before a discard are discarded with it.
    virtual std::uint32_t InputDiscards() const { return 0; }
    // Runs fn on the main thread and waits; runs it at once when the port
    // has no dispatcher thread.
    virtual void RunOnMainThread(const std::function<void()>& fn) = 0;
    // The dispatcher's AddLogEntry; nothing while logging is off or there is
    // no dispatcher.
    virtual void AddLogEntry(std::uint8_t type, std::uint16_t subtype, std::uint32_t data, const void* bytes,
                             std::uint32_t count) = 0;
};

// The manager's lock: re-entrant, and able to let go completely while an
// event runs on the main thread.
class TPacketLock {
public:
    void lock();
    void unlock();
    int ReleaseAll();            // returns the depth to hand to Reacquire
    void Reacquire(int depth);
    bool HeldByMe() const { return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id(); }

private:
    std::mutex mutex_;
    std::atomic<std::thread::id> owner_{};
    int depth_ = 0;
};

class TSioDataPacketManager final : public TMessageTarget {
public:
    static constexpr std::int32_t HeldStep = 8192;
    // The most a port's collectors hold while no packet ends (raised to the
    // packet size of a collector that ends by a larger size). Replies of
    // this system are under 100 bytes; a collection that reaches it is
    // discarded and started over (EPacketOverflow).
    static constexpr std::int32_t HeldLimit = 65536;
    static constexpr std::uint32_t WM_PACKET_RELEASE = 45089;
    // Errors met on the dispatcher thread, reported on the main thread.
    static constexpr std::uint32_t WM_PACKET_REPORT = 45090;

    // Watches port; ownedPort (if given) is the same object, owned. Joins the
    // manager list under key (the port component, or the link itself).
    TSioDataPacketManager(const void* key, IPacketPort* port, std::unique_ptr<IPacketPort> ownedPort);
    ~TSioDataPacketManager() override;
    TSioDataPacketManager(const TSioDataPacketManager&) = delete;
    TSioDataPacketManager& operator=(const TSioDataPacketManager&) = delete;

    // Every notification of the port's dispatcher (dispatcher thread).
    void HandleNotification(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam);
    // The port component's user callback: PORT_OPENED, PORT_CLOSING, PORT_CLOSED.
    void PortChanged(int kind);
    // Deferred release (the release request posted to the main thread) and
    // the report of errors met on the dispatcher thread.
    std::intptr_t HandleMessage(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) override;

    void SetActive(bool active);
    const void* Key() const { return key_; }

    // Read-only views of the working state (tests and diagnostics).
    bool Active() const;
    bool HandlerInstalled() const;
    std::int32_t HeldCount() const;
    std::int32_t HeldCapacity() const;
    std::int32_t TimerHandle() const;
    TSioDataPacket* Collector() const;
    std::size_t PacketCount() const;
    bool InEvent() const;

private:
    friend class TSioDataPacket;
    friend class TSioDataPacketManagerList;
    using TGuard = std::lock_guard<TPacketLock>;

    void Attach(TSioDataPacket* c);
    void Detach(TSioDataPacket* c, bool collectorDestroyed);
    void ForgetPortAndRelease();
    void Activate(bool on);
    void Notified(std::uint32_t msg, std::uintptr_t wParam);
    void ProcessHeld(std::int32_t start);
    void RemoveFront(std::int32_t n);
    // Makes room for count more bytes within the limit: discards what is held
    // when they would not fit.
    void BoundHeld(std::int32_t count);
    void FreeHeld();
    // Drops the held bytes when the port's input has been discarded since
    // they were read; true if it did.
    bool DropHeldIfDiscarded();
    void TakePort(TSioDataPacket* c, std::int32_t ticks);
    std::int32_t ReleasePort(TSioDataPacket* c);  // the timer stop's result
    // Arms (or with restart, disarms and arms) a collector in passing; one
    // that fails is disabled and its error reported, not raised.
    void ArmOrDisable(TSioDataPacket* c, bool restart);
    void ReportLater(std::exception_ptr error);
    void EnterEvent();
    void LeaveEvent();
    void Deliver(const std::function<void()>& fn);
    void Log(std::uint16_t subtype, const void* bytes, std::uint32_t count);
    void LogText(std::uint16_t subtype, const TSioDataPacket* c);
    void ClearPort();  // the manager list's shutdown: never talk to the port again

    mutable TPacketLock lock_;
    const void* key_;
    IPacketPort* port_;
    std::unique_ptr<IPacketPort> ownedPort_;
    std::vector<TSioDataPacket*> packets_;
    bool handlerInstalled_ = false;
    bool active_ = false;
    std::vector<std::uint8_t> held_;  // capacity kept by hand: HeldCapacity
    std::int32_t heldCount_ = 0;
    std::int32_t heldCapacity_ = 0;
    std::int32_t scanIndex_ = 0;
    bool overflowReported_ = false;  // for this opening of the port
    TSioDataPacket* collector_ = nullptr;
    std::int32_t timerHandle_ = 0;
    // The time limit of the present collection, if one runs. A notification
    // the dispatcher thread had begun before the main thread armed afresh is
    // told apart by it: the new limit has not run out yet.
    bool limitRunning_ = false;
    TTickTimer limit_{};
    bool inEvent_ = false;
    bool processPending_ = false;
    std::uint32_t seenDiscards_ = 0;  // the port's InputDiscards() when the held bytes were read
    std::int32_t pendingStart_ = 0;
    bool activateAfterLoad_ = false;
    bool destroying_ = false;
    bool releasePosted_ = false;
    bool releaseAfterEvent_ = false;  // the release request came while an event ran
    std::vector<std::exception_ptr> failures_;  // not yet reported
    bool reportPosted_ = false;
    TSioDataPacket* eventCollector_ = nullptr;  // whose event runs; cleared if it is destroyed meanwhile
};

// The program-wide list of managers. Destroying it (at program end) destroys
// the remaining managers from the last to the first, each cut off from its
// port first.
class TSioDataPacketManagerList {
public:
    static TSioDataPacketManagerList& Instance();
    ~TSioDataPacketManagerList();

    TSioDataPacketManager* Find(const void* key) const;
    std::size_t Count() const;
    // Managers whose last collector has left and whose release is pending.
    std::size_t RetiredCount() const;

private:
    friend class TSioDataPacketManager;
    TSioDataPacketManagerList() = default;
    void Add(TSioDataPacketManager* m);
    // A manager whose last collector left: no longer found, destroyed later.
    void Retire(TSioDataPacketManager* m);
    void Remove(TSioDataPacketManager* m);

    mutable std::mutex lock_;
    std::vector<TSioDataPacketManager*> managers_;
    std::vector<TSioDataPacketManager*> retired_;
};

class TSioDataPacket : public TSioBaseComponent {
public:
    using TPacketNotifyEvent = std::function<void(TSioDataPacket* sender, const std::uint8_t* data, std::int32_t size)>;
    using TStringPacketNotifyEvent = std::function<void(TSioDataPacket* sender, const std::string& data)>;

    explicit TSioDataPacket(TSioBaseComponent* owner = nullptr);
    ~TSioDataPacket() override;

    // Published properties, in their declared order.
    bool Enabled() const;
    void SetEnabled(bool value);
    bool AutoEnable() const;
    void SetAutoEnable(bool value);
    TPacketStartCond StartCond() const;
    void SetStartCond(TPacketStartCond value);
    TPacketEndSet EndCond() const;
    void SetEndCond(TPacketEndSet value);
    std::string StartString() const;
    void SetStartString(const std::string& value);
    std::string EndString() const;
    void SetEndString(const std::string& value);
    bool IgnoreCase() const;
    void SetIgnoreCase(bool value);
    TSioCustomComPort* ComPort() const;
    void SetComPort(TSioCustomComPort* port);
    std::int32_t PacketSize() const;
    void SetPacketSize(std::int32_t value);
    bool IncludeStrings() const;
    void SetIncludeStrings(bool value);
    // The time limit counts from when the collection begins or, if output
    // written around then has not yet left for the device (a network port
    // holds a frame behind the server's purge answers), from when it has:
    // the far end's time, not the link's.
    std::int32_t TimeOut() const;
    void SetTimeOut(std::int32_t ticks);

    // Events; assign on the main thread. They are called on the main thread.
    TPacketNotifyEvent OnPacket;
    TStringPacketNotifyEvent OnStringPacket;
    TNotifyEvent OnTimeout;

    // Watches a port through a link of the caller's instead of a port
    // component (tests, fuzzing). The link must outlive the collector's use
    // of it; collectors given the same link share one manager. nullptr leaves.
    void SetPacketPort(IPacketPort* port);
    IPacketPort* PacketPort() const { return linkKey_; }

    // Working state, for tests and diagnostics.
    TPacketState PacketState() const;
    std::int32_t BeginIndex() const;
    bool AwaitingPort() const;
    bool HoldsPort() const;
    bool ArmPending() const;
    TSioDataPacketManager* Manager() const;

protected:
    // The form has finished loading.
    void Loaded() override;

private:
    friend class TSioDataPacketManager;
    using TGuard = std::unique_lock<TPacketLock>;

    TGuard Lock() const;
    void SetEnabledLocked(bool value);
    void Join(const void* key, IPacketPort* link, TSioCustomComPort* port);
    void Leave();
    void ArmPacket();
    void DisarmPacket();
    void RestartPacket();
    void SetPacketState(TPacketState s);
    void ProcessByte(std::int32_t i);
    void CompletePacket(bool byEndString);
    void PacketTimeout();
    void ValidateConfig() const;

    // published
    bool enabled_ = false;
    bool autoEnable_ = true;
    TPacketStartCond startCond_ = scString;
    TPacketEndSet endCond_{};
    std::string startString_;
    std::string endString_;
    bool ignoreCase_ = true;
    TSioCustomComPort* comPort_ = nullptr;
    IPacketPort* linkKey_ = nullptr;
    std::int32_t packetSize_ = 0;
    bool includeStrings_ = true;
    std::int32_t timeOut_ = 2184;

    // working state
    TPacketState state_ = TPacketState::Idle;
    std::int32_t beginIndex_ = -1;
    std::int32_t startPos_ = 1;
    std::int32_t endPos_ = 1;
    std::int32_t sizeLimit_ = 0;
    TPacketPattern start_;
    TPacketPattern end_;
    bool armPending_ = false;
    bool awaitingPort_ = false;
    bool holdsPort_ = false;
    std::int32_t deliverSize_ = 0;
    TSioDataPacketManager* manager_ = nullptr;
};

}  // namespace sio
