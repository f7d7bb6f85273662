// The dispatcher: the engine behind a port component.
//
// TSioBaseDispatcher holds all state of one open port and all buffer,
// trigger and handler logic; the device itself sits behind virtual slots
// that a platform dispatcher implements (TSioPosixDispatcher, devices/posix/PosixDispatcher.h).
// Per open port it runs four threads: reader, writer and status thread
// (platform) and the dispatcher thread (TDispThread, here), which moves
// received bytes into the 8192-byte dispatch buffer, checks the triggers and
// delivers notifications to the registered handlers.
//
// Threading:
//  - Every operation may be called on the main thread. ReadBytes,
//    InputCount, the trigger operations (AddTimerTrigger, SetTimerTrigger,
//    RemoveTrigger, SetAvailLength), the handler registrations and
//    RunOnMainThread may also be called by a method handler on the
//    dispatcher thread during a delivery. A method handler must neither
//    close the port nor wait for the dispatcher thread.
//  - Locks (all re-entrant): main lock (settings, lines, trigger and handler
//    lists, flags), output lock (output ring), dispatch lock (dispatch
//    buffer), and the device kind's own after them. Their order is
//    TLockRank below; the input queue's and the
//    log's own locks come after all three. No lock is held while a handler
//    runs.
//  - Window handlers (TMessageTarget) are reached with
//    MessageQueue().SendMessageTimeout (3000 ms) and run on the main thread.
//    A main thread that waits for the serial threads (CloseDevice, the
//    destructor, the start of the threads, a discard of the output, the
//    drain before new line settings) serves the message queue meanwhile
//    (WaitServing); the serial threads wake it as they finish.
//  - The process-wide port list has its own re-entrant lock (PortListLock);
//    the port component's notification target holds it while it handles a
//    notification.
#pragma once

#include "base/MessageQueue.h"
#include "base/BaseComponent.h"
#include "base/IOQueue.h"
#include "log/TraceLog.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sio {

// ---------------------------------------------------------------------------
// The device vocabulary the dispatcher speaks (mapped to termios by the
// platform dispatcher).

// Parity values.
inline constexpr std::uint8_t NOPARITY = 0;
inline constexpr std::uint8_t ODDPARITY = 1;
inline constexpr std::uint8_t EVENPARITY = 2;
inline constexpr std::uint8_t MARKPARITY = 3;
inline constexpr std::uint8_t SPACEPARITY = 4;
// Stop-bit values.
inline constexpr std::uint8_t ONESTOPBIT = 0;
inline constexpr std::uint8_t ONE5STOPBITS = 1;
inline constexpr std::uint8_t TWOSTOPBITS = 2;
// "Keep the current value" arguments of ApplyLineSettings.
inline constexpr std::int32_t KeepBaud = 0;
inline constexpr std::uint8_t KeepParity = 5;
inline constexpr std::uint8_t KeepDataBits = 9;
inline constexpr std::uint8_t KeepStopBits = 3;
// DTR and RTS control.
inline constexpr std::uint8_t DTR_CONTROL_DISABLE = 0;
inline constexpr std::uint8_t DTR_CONTROL_ENABLE = 1;
inline constexpr std::uint8_t DTR_CONTROL_HANDSHAKE = 2;
inline constexpr std::uint8_t RTS_CONTROL_DISABLE = 0;
inline constexpr std::uint8_t RTS_CONTROL_ENABLE = 1;
inline constexpr std::uint8_t RTS_CONTROL_HANDSHAKE = 2;
inline constexpr std::uint8_t RTS_CONTROL_TOGGLE = 3;
// Escape functions.
inline constexpr std::uint32_t SETRTS = 3;
inline constexpr std::uint32_t CLRRTS = 4;
inline constexpr std::uint32_t SETDTR = 5;
inline constexpr std::uint32_t CLRDTR = 6;
// Communication events.
inline constexpr std::uint32_t EV_RXCHAR = 0x0001;
inline constexpr std::uint32_t EV_CTS = 0x0008;
inline constexpr std::uint32_t EV_DSR = 0x0010;
inline constexpr std::uint32_t EV_RLSD = 0x0020;
inline constexpr std::uint32_t EV_BREAK = 0x0040;
inline constexpr std::uint32_t EV_ERR = 0x0080;
inline constexpr std::uint32_t EV_RING = 0x0100;
inline constexpr std::uint32_t EV_RINGTE = 0x2000;  // trailing edge of the ring indicator
inline constexpr std::uint32_t EV_STATUSMASK = 0x21F8;  // events that travel as status records
// Line errors.
inline constexpr std::uint32_t CE_RXOVER = 0x01;
inline constexpr std::uint32_t CE_OVERRUN = 0x02;
inline constexpr std::uint32_t CE_RXPARITY = 0x04;
inline constexpr std::uint32_t CE_FRAME = 0x08;
inline constexpr std::uint32_t CE_BREAK = 0x10;
// Modem status bits.
inline constexpr std::uint32_t MS_CTS_ON = 0x10;
inline constexpr std::uint32_t MS_DSR_ON = 0x20;
inline constexpr std::uint32_t MS_RING_ON = 0x40;
inline constexpr std::uint32_t MS_RLSD_ON = 0x80;
// DevicePurge selectors.
inline constexpr int PurgeOutput = 0;
inline constexpr int PurgeInput = 1;

// OpenDevice options.
inline constexpr std::uint8_t optDtrOn = 0x01;
inline constexpr std::uint8_t optRtsOn = 0x02;
inline constexpr std::uint8_t optDtrHandshake = 0x10;
inline constexpr std::uint8_t optRtsHandshake = 0x20;
// SetHardwareFlow options.
inline constexpr std::uint8_t hfUseDtr = 0x01;
inline constexpr std::uint8_t hfUseRts = 0x02;
inline constexpr std::uint8_t hfRequireDsr = 0x04;
inline constexpr std::uint8_t hfRequireCts = 0x08;
// SetSoftwareFlow options.
inline constexpr std::uint8_t sfTransmit = 0x01;
inline constexpr std::uint8_t sfReceive = 0x02;

// Line error reports of TakeLineError.
inline constexpr std::int32_t leNone = 0;
inline constexpr std::int32_t leBuffer = 1;
inline constexpr std::int32_t leOverrun = 2;
inline constexpr std::int32_t leParity = 3;
inline constexpr std::int32_t leFraming = 4;
inline constexpr std::int32_t leBreak = 9;
inline constexpr std::int32_t leDeviceFailed = 10;

// Status trigger kinds (the low 3 bits of a status trigger's handle).
inline constexpr std::int32_t stModem = 1;
inline constexpr std::int32_t stLine = 2;
inline constexpr std::int32_t stOutBuffFree = 3;
inline constexpr std::int32_t stOutBuffUsed = 4;
inline constexpr std::int32_t stOutSent = 5;

inline constexpr std::uint32_t DispatchBufferSize = 8192;
// Records in which the reader hands received bytes over.
inline constexpr std::int32_t ReadRecordSize = 256;
// Handle 1 stands for the avail trigger.
inline constexpr std::int32_t AvailTriggerHandle = 1;
// A window handler that has not answered after this long is given up.
inline constexpr std::uint32_t WindowHandlerTimeoutMs = 3000;
inline constexpr std::int32_t MaxDataTriggerLength = 22;

// The device settings, as last read from or written to the device.
struct TSioDcb {
    std::uint32_t BaudRate = 115200;
    bool fBinary = true;
    bool fParity = false;
    bool fOutxCtsFlow = false;
    bool fOutxDsrFlow = false;
    std::uint8_t fDtrControl = DTR_CONTROL_ENABLE;
    bool fDsrSensitivity = false;
    bool fTXContinueOnXoff = true;
    bool fOutX = false;
    bool fInX = false;
    bool fErrorChar = false;
    bool fNull = false;
    std::uint8_t fRtsControl = RTS_CONTROL_ENABLE;
    bool fAbortOnError = false;
    std::uint16_t XonLim = 0;
    std::uint16_t XoffLim = 0;
    std::uint8_t ByteSize = 8;
    std::uint8_t Parity = NOPARITY;
    std::uint8_t StopBits = ONESTOPBIT;
    char XonChar = 17;
    char XoffChar = 19;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;

    bool operator==(const TSioDcb&) const = default;
};

// Error flags and queue counts, as DeviceReadErrors fills them.
struct TSioComStat {
    std::uint32_t Flags = 0;
    std::uint32_t cbInQue = 0;
    std::uint32_t cbOutQue = 0;
};

// Legacy baud codes (0xFEFF, 0xFF10 + n) in bits per second; other values
// are already bits per second.
std::uint32_t BaudToBitsPerSecond(std::uint32_t baud);

// ---------------------------------------------------------------------------
// Handlers and triggers.

// A method handler: a function and the object it is called on. The data
// packet collector's manager registers one:
//   d.AddMethodHandler(NotifyMethod<TMgr, &TMgr::HandleNotification>(this));
using TSioNotifyProc = void (*)(void* object, std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam);
struct TSioNotifyMethod {
    TSioNotifyProc Code = nullptr;
    void* Object = nullptr;
    bool operator==(const TSioNotifyMethod&) const = default;
};

template <class T, void (T::*M)(std::uint32_t, std::uintptr_t, std::intptr_t)>
TSioNotifyMethod NotifyMethod(T* object)
{
    return {[](void* o, std::uint32_t msg, std::uintptr_t w, std::intptr_t l) { (static_cast<T*>(o)->*M)(msg, w, l); },
            object};
}

// A procedure handler (nothing in the console registers one).
using TSioNotifyProcedure = void (*)(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam);

struct TTimerTrigger {
    std::int32_t Handle = 0;
    std::uint32_t StartTick = 0;
    std::uint32_t ExpiryTick = 0;
    std::uint32_t Duration = 0;
    std::int32_t Armed = 0;  // 0 disarmed, -1 armed
    // A reply's time limit (ArmReplyTimer): it counts from when the output
    // written before or after its arming has been handed to the device.
    bool AfterOutput = false;
    std::uint32_t ArmTick = 0;
};

struct TDataTrigger {
    std::int32_t Handle = 0;
    std::int32_t Length = 0;  // 0: ignored
    std::array<std::int32_t, MaxDataTriggerLength> MatchPositions{};
    std::int32_t Matched = 0;  // -1: completed, waiting to be reported
    std::int32_t IgnoreCase = 0;
    std::array<char, 24> String{};
};

struct TStatusTrigger {
    std::int32_t Handle = 0;  // multiple of 8 plus the kind
    std::int32_t Kind = 0;
    std::uint16_t Value = 0;
    bool Armed = false;
    bool Hit = false;
};

// A saved set of triggers (the port component keeps one across a close).
// A list that was never saved is absent and is skipped when restoring.
struct TSioTriggerSet {
    std::int32_t AvailLength = 0;
    std::optional<std::vector<TTimerTrigger>> Timers;
    std::optional<std::vector<TDataTrigger>> Data;
    std::optional<std::vector<TStatusTrigger>> Status;
};

// ---------------------------------------------------------------------------

class TSioBaseDispatcher;

// An auto-reset event: Set wakes one waiter (or the next Wait). One that the
// main thread waits for while it serves the message queue (WaitServing) is
// made with wakesMainThread, so that Set also ends that thread's sleep.
class TSioEvent {
public:
    explicit TSioEvent(bool wakesMainThread = false) : wakesMainThread_(wakesMainThread) {}
    void Set();
    void Reset();
    // True if the event was set within timeoutMs; it is reset again.
    bool Wait(std::uint32_t timeoutMs);

private:
    std::mutex lock_;
    std::condition_variable cv_;
    bool set_ = false;
    const bool wakesMainThread_;
};

// Waits until done() holds (true) or timeoutMs has passed. On the main thread
// it serves the serial layer's own deliveries meanwhile (never the operator's
// input: ServeOwnMessagesUntil), since a serial thread may be waiting for the
// main thread right then; the serial threads wake it
// (WakeMainThread) when they change what done() looks at, and recheckMs
// bounds each sleep for what nobody signals. Elsewhere it looks every
// recheckMs (at most 50 ms).
bool WaitServing(const std::function<bool()>& done, std::uint32_t timeoutMs, std::uint32_t recheckMs = kWaitForever);

// The order of a dispatcher's locks. A thread that holds some of them takes
// another only if it comes later here (taking one again that it holds
// already is always allowed, they are re-entrant). The base's three come
// first; a device kind's own locks follow: the network dispatcher's telnet
// queue (Control), its unanswered requests (Ack) and its option
// negotiation (Negotiation), and last the descriptor of a Linux device.
enum class TLockRank : std::uint8_t { Dispatch, Main, Output, Control, Ack, Negotiation, Device };

// One of a dispatcher's locks, with its rank. Debug builds check the order each
// time a thread takes a lock it does not hold yet and stop the program,
// naming both locks, when a lock of the same dispatcher that comes later is
// held already: the change that could deadlock fails its tests at once,
// rather than the one run in a thousand where the other thread gets between.
class TRankedLock {
public:
    TRankedLock(const void* owner, TLockRank rank) : owner_(owner), rank_(rank) {}
    TRankedLock(const TRankedLock&) = delete;
    TRankedLock& operator=(const TRankedLock&) = delete;

    void lock();
    void unlock();
    TLockRank Rank() const { return rank_; }

private:
    std::recursive_mutex mutex_;
    const void* owner_;  // the dispatcher: the order holds among its own locks
    TLockRank rank_;
};

#ifdef NDEBUG
inline void TRankedLock::lock() { mutex_.lock(); }
inline void TRankedLock::unlock() { mutex_.unlock(); }
#endif

// Base of the dispatcher's four threads. The dispatcher owns the thread
// objects; a thread runs Execute, then the dispatcher's thread end.
class TSioDispatcherThread {
public:
    enum TRole { Reader = 0, Dispatch = 1, Writer = 2, Status = 3 };

    TSioDispatcherThread(TSioBaseDispatcher& dispatcher, TRole role);
    virtual ~TSioDispatcherThread();
    TSioDispatcherThread(const TSioDispatcherThread&) = delete;
    TSioDispatcherThread& operator=(const TSioDispatcherThread&) = delete;

    void Start();
    void Join();  // no-op when called on the thread itself
    bool IsCurrentThread() const;
    TRole Role() const { return role_; }
    // Kernel thread id (for priorities); 0 until the thread runs.
    int Tid() const { return tid_.load(std::memory_order_acquire); }

protected:
    // The thread's work; returns its return value (0, or a failure code).
    virtual std::int32_t Execute() = 0;
    TSioBaseDispatcher& Dispatcher;

private:
    void Run();
    TRole role_;
    std::thread thread_;
    std::atomic<int> tid_{0};
};

// The dispatcher thread: moves input, checks triggers, delivers.
class TDispThread final : public TSioDispatcherThread {
public:
    explicit TDispThread(TSioBaseDispatcher& dispatcher) : TSioDispatcherThread(dispatcher, Dispatch) {}

protected:
    std::int32_t Execute() override;
};

// A platform's reader, writer or status thread: it runs one loop of its
// dispatcher D (a member, so the loop reaches the device without friends).
template <class D>
class TDeviceThread final : public TSioDispatcherThread {
public:
    using TLoop = std::int32_t (D::*)();
    TDeviceThread(D& dispatcher, TRole role, TLoop loop)
        : TSioDispatcherThread(dispatcher, role), d_(dispatcher), loop_(loop)
    {
    }

protected:
    std::int32_t Execute() override { return (d_.*loop_)(); }

private:
    D& d_;
    TLoop loop_;
};

class TSioBaseDispatcher {
public:
    explicit TSioBaseDispatcher(TSioBaseComponent* owner);
    virtual ~TSioBaseDispatcher();
    TSioBaseDispatcher(const TSioBaseDispatcher&) = delete;
    TSioBaseDispatcher& operator=(const TSioBaseDispatcher&) = delete;

    // --- Opening, closing, line settings -----------------------------------
    std::int32_t OpenDevice(const std::string& name, std::int32_t baud, std::uint8_t parity, std::uint8_t dataBits,
                            std::uint8_t stopBits, std::uint16_t inSize, std::uint16_t outSize, std::uint8_t options);
    void CloseDevice();
    // KeepBaud, KeepParity, KeepDataBits and KeepStopBits keep a value.
    std::int32_t ApplyLineSettings(std::int32_t baud, std::uint8_t parity, std::uint8_t dataBits,
                                   std::uint8_t stopBits);
    void QueryLineSettings(std::int32_t& baud, std::uint8_t& parity, std::uint8_t& dataBits,
                           std::uint8_t& stopBits);
    std::int32_t SetDeviceQueues(std::uint32_t inSize, std::uint32_t outSize);
    // 1 if the line is under handshake control (nothing done), else 0;
    // -1002 if the device refuses.
    std::int32_t SetDtr(bool on);
    std::int32_t SetRts(bool on);
    std::int32_t SetHardwareFlow(std::uint16_t bufferFull, std::uint16_t bufferResume, std::uint8_t options);
    std::int32_t SetSoftwareFlow(std::uint16_t bufferFull, std::uint16_t bufferResume, std::uint8_t options);
    std::int32_t ClearSoftwareFlow();
    std::int32_t SetFlowChars(char xon, char xoff);
    std::int32_t QueryFlowOptions(std::uint8_t& hwOptions, std::uint8_t& swOptions, char& xon, char& xoff);
    void SetRs485Mode(bool on);
    void SetOptionFlags(std::uint32_t bits);
    void ClearOptionFlags(std::uint32_t bits);

    // --- Data ---------------------------------------------------------------
    // The whole block or nothing: 0, -3006 (does not fit), -3010, -3004.
    std::int32_t WriteBytes(const void* data, std::int32_t count);
    // count bytes or -3007 (fewer unread; nothing is taken).
    std::int32_t ReadBytes(void* dest, std::int32_t count);
    std::int32_t InputCount();
    std::int32_t OutputUsed();
    std::int32_t OutputFree();
    std::int32_t DiscardOutput();
    std::int32_t DiscardInput();
    // Main thread: waits, serving the serial layer's own deliveries, until
    // what was written has left the ring, the writer and the driver (true),
    // or timeoutMs has passed (false); it sleeps until the platform's
    // threads report a change (WatchDrain). For a caller about to discard
    // output that must not take an earlier block off the wire.
    bool WaitOutputSent(std::uint32_t timeoutMs);
    // How many times DiscardInput has run on this dispatcher (any thread).
    std::uint32_t InputDiscards() const { return inputDiscards_.load(std::memory_order_acquire); }
    // 0 none, 1 receive overflow, 2 overrun, 3 parity, 4 framing, 9 break,
    // 10 the device failed (reported once).
    std::int32_t TakeLineError();
    bool TakeLineBreak();
    // Modem lines: bits 4..7 CTS, DSR, RI, DCD; bits 0..3 their changes.
    std::uint32_t ModemStatus() const;

    // --- Triggers and handlers ----------------------------------------------
    void AddWindowHandler(TMessageTarget* window);
    void RemoveWindowHandler(TMessageTarget* window);
    void AddProcedureHandler(TSioNotifyProcedure proc);
    void RemoveProcedureHandler(TSioNotifyProcedure proc);
    void AddMethodHandler(TSioNotifyMethod method);
    // Removes the first record with the same function and object.
    void RemoveMethodHandler(TSioNotifyMethod method);
    // 0 recompute, 1 the port component wants its events, 2 it does not.
    virtual void UpdateServiceFlags(int mode);
    void SetAvailLength(std::int32_t length);
    std::int32_t AvailLength() const;
    // A new disarmed timer trigger: its handle, or -5001.
    std::int32_t AddTimerTrigger();
    // duration 0 keeps the stored one; activate false only disarms. 0 or -5003.
    std::int32_t SetTimerTrigger(std::int32_t handle, std::uint32_t duration, bool activate);
    // A reply's time limit: arms the timer trigger like SetTimerTrigger, but
    // the duration counts from the latest moment the writer handed output
    // over to the device after the arming, so that time a frame spends
    // queued (behind a network server's purge answers, say) is not counted
    // against the far end. While output still waits to be handed over the
    // trigger does not fire, unless it has been armed twice its duration:
    // output that never leaves (flow control held) still ends the wait.
    // 0 or -5003.
    std::int32_t ArmReplyTimer(std::int32_t handle, std::uint32_t duration);
    // Bytes written and not yet handed over to the device (nor discarded).
    // A main-thread wait for it to reach 0 is woken at each hand-over.
    std::uint64_t OutputNotHandedOver() const;
    // The round trip of the link to the device in milliseconds, as last
    // measured; 0 for a local device.
    virtual std::uint32_t LinkRoundTripMs() const { return 0; }
    // 0 or -5003; handle 1 switches the avail trigger off.
    std::int32_t RemoveTrigger(std::int32_t handle);
    // Data and status triggers. Nothing in the console creates them yet;
    // their notifications follow the same rules as the others.
    // A data trigger fires once text (1 to 22 characters) has been received;
    // with ignoreCase each received byte is upper-cased before it is
    // compared, so text should be upper case. Its handle, -1002 (empty),
    // -5002 (too long) or -5001.
    std::int32_t AddDataTrigger(const std::string& text, bool ignoreCase);
    // A disarmed status trigger of kind 1..5 (stModem .. stOutSent); its
    // handle carries the kind in the low 3 bits. Handle, -1002 or -5001.
    std::int32_t AddStatusTrigger(std::int32_t kind);
    // Arms (or disarms) a status trigger. value: kind 1 low byte the
    // reference line states, high byte the mask of modem bits to watch;
    // kind 2 the line-error bits; kinds 3 and 4 the byte level. 0 or -5003.
    std::int32_t SetStatusTrigger(std::int32_t handle, std::uint16_t value, bool activate);
    void SaveTriggers(TSioTriggerSet& set);
    void RestoreTriggers(const TSioTriggerSet& set);
    static void FreeTriggerSet(TSioTriggerSet& set);
    // Runs fn on the main thread and waits until it has returned (for a
    // method handler on the dispatcher thread; on the main thread it runs
    // at once).
    void RunOnMainThread(const std::function<void()>& fn);

    // --- Trace and dispatch log ---------------------------------------------
    void RecordTraceByte(char kind, std::uint8_t byte) { trace_.RecordTraceByte(kind, byte); }
    void AddLogEntry(std::uint8_t type, std::uint16_t subtype, std::uint32_t data, const void* bytes = nullptr,
                     std::uint32_t count = 0)
    {
        log_.AddLogEntry(type, subtype, data, bytes, count);
    }
    std::int32_t StartTrace(std::int32_t capacity) { return trace_.StartTrace(capacity); }
    void StopTrace() { trace_.StopTrace(); }
    void ResumeTrace() { trace_.ResumeTrace(); }
    void PauseTrace() { trace_.PauseTrace(); }
    std::int32_t ClearTrace() { return trace_.ClearTrace(); }
    std::int32_t DumpTrace(const std::string& name, bool hex, bool allHex) { return trace_.DumpTrace(name, hex, allHex); }
    std::int32_t AppendTrace(const std::string& name, bool hex, bool allHex)
    {
        return trace_.AppendTrace(name, hex, allHex);
    }
    void StartLog(std::uint32_t limit)
    {
        log_.StartLog(limit);
        LogSwitchedOn();
    }
    void StopLog() { log_.StopLog(); }
    void ResumeLog()
    {
        log_.ResumeLog();
        LogSwitchedOn();
    }
    void PauseLog() { log_.PauseLog(); }
    void ClearLog() { log_.ClearLog(); }
    std::int32_t DumpLog(const std::string& name, bool hex, bool allHex) { return log_.DumpLog(name, hex, allHex); }
    std::int32_t AppendLog(const std::string& name, bool hex, bool allHex) { return log_.AppendLog(name, hex, allHex); }
    TSioTrace& Trace() { return trace_; }
    TSioLog& Log() { return log_; }

    // The dispatcher whose thread (reader, writer, status or dispatcher
    // thread) calls this; nullptr on every other thread. A method handler
    // reaches its dispatcher through it without asking the port component,
    // whose pointer belongs to the main thread.
    static TSioBaseDispatcher* OfCurrentThread();

    // --- Identity and state ---------------------------------------------------
    TSioBaseComponent* Owner() const { return owner_.load(std::memory_order_acquire); }
    // The owner is going while this dispatcher finishes its close on its
    // own: failures of the ending threads are then reported without it.
    void DetachOwner() { owner_.store(nullptr, std::memory_order_release); }
    std::int32_t PortIndex() const { return portIndex_; }
    // The device name shown in the log ("\\.\COM3"); OpenDevice sets it too.
    void SetDeviceName(const std::string& name);
    std::string DeviceName() const;
    // A notification is being delivered.
    bool InDispatch() const { return inDispatch_.load(std::memory_order_acquire); }
    // The threads have been started and not all have ended.
    bool Active() const { return active_.load(std::memory_order_acquire); }
    // Posts msg to target once Active() is false (at once if it is already),
    // so that a close waiting for the threads sleeps until they have ended.
    // One request at a time: a later one replaces it.
    void PostWhenInactive(TMessageTarget* target, std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam);
    bool ClosePending() const { return closePending_.load(std::memory_order_acquire); }
    // The device went away during this opening (a read or write failed: the
    // adapter was unplugged, the far end of a pseudo-terminal closed). The
    // threads end; the dispatcher thread first delivers what was read
    // before, then raises line error 10 (status triggers of the line-error
    // kind fire) and posts WM_SIO_LOST to every window handler.
    bool DeviceLost() const { return deviceFailed_.load(std::memory_order_acquire); }
    // The device this port was last opened on, as the operator knows it
    // ("/dev/ttyUSB0"); kept after the close, for messages. "" if unknown.
    virtual std::string DeviceLocation() const { return {}; }
    // Why the last opening failed, in words for the operator where the
    // error code alone would not tell ("cannot connect: Connection
    // refused"); "" otherwise.
    virtual std::string OpenFailureText() const { return {}; }
    // Waits until the threads of this opening have ended; on the main thread
    // it serves the message queue meanwhile.
    void WaitThreadsEnded() { WaitAllThreadsEnded(); }
    bool DeviceIsOpen() const;
    bool Rs485Mode() const;
    std::uint8_t ThreadBoost() const { return threadBoost_.load(std::memory_order_acquire); }
    std::uint32_t OptionFlags() const;
    // Waits the dispatcher thread began with a time limit, and without one,
    // since the open. A port at rest waits without one: only an armed timer
    // trigger (or an output-queue status trigger) gives its waits a limit.
    std::uint32_t LimitedDispatchWaits() const { return limitedWaits_.load(std::memory_order_acquire); }
    std::uint32_t UnlimitedDispatchWaits() const { return unlimitedWaits_.load(std::memory_order_acquire); }
    std::int32_t LastOsError() const { return lastOsError_.load(std::memory_order_acquire); }
    std::int32_t RunningThreads() const { return runningThreads_.load(std::memory_order_acquire); }
    std::uint32_t InSize() const { return inSize_; }
    std::uint32_t OutSize() const { return outSize_; }
    bool ServiceNeeded() const;
    bool PortHandlerInstalled() const;

    // --- Device slots, in slot order ----------------------------------------
    virtual std::int32_t DeviceEscape(std::uint32_t function) = 0;
    virtual std::int32_t DevicePurge(int which) = 0;
    virtual std::uint32_t DeviceReadErrors(TSioComStat& status) = 0;
    // No kind has errors of its own to report: 0.
    virtual std::int32_t DeviceReportError(std::int32_t code);
    virtual std::int32_t DeviceGetSettings(TSioDcb& settings) = 0;
    virtual std::int32_t DeviceRead(void* dest, std::int32_t count);
    virtual std::int32_t DeviceSetSettings(const TSioDcb& settings) = 0;
    virtual std::int32_t DeviceWrite(const void* data, std::int32_t count) = 0;
    virtual bool DeviceEventWord(std::uint32_t& word) = 0;
    virtual bool DeviceSetQueues(std::uint32_t inSize, std::uint32_t outSize) = 0;
    virtual void ReleaseBuffers();
    virtual void StartThreads() = 0;
    // The device's wake objects live as long as the dispatcher; only the
    // threads go, by a close while they run.
    virtual void StopThreads();
    virtual std::int32_t OutputRingUsed();
    virtual std::int32_t InputPending();
    virtual std::int32_t DeviceOpen(const std::string& name, std::uint32_t inSize, std::uint32_t outSize) = 0;
    virtual std::int32_t DeviceClose() = 0;
    virtual std::int32_t DeviceYield() = 0;
    virtual void SetThreadBoost(std::uint8_t boost);
    // (slot 19 is UpdateServiceFlags, above)

protected:
    friend class TSioDispatcherThread;
    friend class TDispThread;
    using TGuard = std::lock_guard<TRankedLock>;

    // The last act of every thread, on that thread.
    void ThreadEnd(TSioDispatcherThread& thread, std::int32_t returnValue);
    // Raises the stop flag and wakes every thread.
    void RequestStop();
    // The close of every device kind. Claims the close (0 at once when one
    // is under way), stops the threads in the order that lets each finish
    // what the one before handed it (status, writer, reader, then the
    // dispatcher thread), waking each device thread out of its wait with
    // wake(role), then closes the device with release, whose result is the
    // close's.
    std::int32_t CloseAfterThreads(const std::function<void(TSioDispatcherThread::TRole)>& wake,
                                   const std::function<std::int32_t()>& release);

    // The output ring, as the platform writers take it (output lock held).
    // Bytes in the ring.
    std::uint32_t OutputRingUsedLocked() const;
    // Moves everything in the ring into block (false when it is empty) and
    // marks the writer as holding it, before the ring shows empty, so that
    // the drain of a settings change sees the block in hand.
    bool TakeOutputBlockLocked(std::vector<std::uint8_t>& block);
    // Appends count bytes (the caller has checked that they fit).
    void PutOutputLocked(const void* data, std::uint32_t count);
    // Drops what the ring holds; true if it held nothing and the writer
    // holds no block either.
    bool ClearOutputRingLocked();
    // The writer pass's bracket: when it ends, the block in hand is gone
    // and a main thread waiting for the drain is woken.
    struct TWriterHolding {
        TSioBaseDispatcher& d;
        ~TWriterHolding();
    };
    // The platform writer holds a block taken from the ring.
    std::atomic<bool> writerHolds_{false};

    // A change of the triggers or their state under the main lock. The
    // dispatcher thread sleeps until the nearest armed timer; every such
    // change must wake it, and this bracket is the one place that does.
    // It wakes the thread once the lock is let go; an edit that found
    // nothing to change says so (Unchanged) and wakes nobody.
    class TTriggerEdit {
    public:
        explicit TTriggerEdit(TSioBaseDispatcher& d) : d_(d), lock_(d.mainLock_) {}
        ~TTriggerEdit();
        TTriggerEdit(const TTriggerEdit&) = delete;
        TTriggerEdit& operator=(const TTriggerEdit&) = delete;
        void Unchanged() { changed_ = false; }

    private:
        TSioBaseDispatcher& d_;
        std::unique_lock<TRankedLock> lock_;
        bool changed_ = true;
    };
    // Platform writer: count bytes taken from the output have been handed
    // over to the device (written to the driver, sent to the server). Call
    // it with no lock held, or from within DeviceWrite. Reply timers start
    // counting afresh from now.
    void OutputHandedOver(std::uint32_t count);
    bool StopRequested() const { return stop_.load(std::memory_order_acquire); }
    // Platform: wake whatever the threads wait on, so they see the stop flag.
    virtual void WakeThreads() {}
    // Platform: the dispatch log has been switched on (or resumed); what
    // the platform kept for it can go in now.
    virtual void LogSwitchedOn() {}
    // Platform: the priority (0 idle .. 6 time-critical) of one thread.
    virtual void ApplyThreadPriority(TSioDispatcherThread& thread, int priority);
    // Platform, RS-485 direction: true when the driver switches the
    // direction itself (RTS_CONTROL_TOGGLE is then used); otherwise the
    // dispatcher switches RTS around each block.
    virtual bool DriverDirection() const { return false; }
    // Platform: bytes taken out of the output ring are still on their way
    // (held by the writer, or queued in the driver). New line settings wait
    // for them as they wait for the ring.
    virtual bool OutputDraining() { return false; }
    // Platform: a main-thread wait for the output to drain has begun
    // (DrainAwaited() holds until it ends). Returns true if a thread of the
    // platform will call WakeMainThread once OutputDraining() has turned
    // false (the writer already wakes it when it lets go of a block); the
    // wait then sleeps until a wake or its deadline. The default, for a
    // platform that cannot tell when its driver has sent everything, returns
    // false, and the wait looks again every kDrainRecheckMs.
    virtual bool WatchDrain() { return false; }
    static constexpr std::uint32_t kDrainRecheckMs = 2;
    // A main-thread wait for the output to drain is in progress.
    bool DrainAwaited() const { return drainWaits_.load() > 0; }
    // Platform: RS-485 mode switched; returns the "UART base address" for
    // program-controlled direction (nonzero when the transmitter-empty state
    // can be learnt), 0 otherwise.
    virtual std::uint16_t Rs485Setup(bool on) { (void)on; return 0; }
    // Platform: the modem lines as MS_CTS_ON | MS_DSR_ON | MS_RING_ON |
    // MS_RLSD_ON; 0 for a device without them.
    virtual std::uint32_t DeviceModemStatus() { return 0; }
    // Closes the port as the destructor must; the most derived destructor
    // calls it while its device slots still exist.
    void Shutdown();
    // Program-controlled RS-485 direction is in force.
    bool ProgramDirection() const { return rs485Mode_.load(std::memory_order_acquire) && !DriverDirection(); }

    // Thread bookkeeping shared with the platform dispatcher.
    void StartThread(std::unique_ptr<TSioDispatcherThread> thread);
    // The opening's first step before any thread starts: marks the
    // dispatcher active; throws if it already is.
    void MarkActive();
    // Starts the four threads in their order: the reader, the dispatcher
    // thread, the writer and the status thread, each device thread running
    // its loop of self.
    template <class D>
    void StartDeviceThreads(D& self, std::int32_t (D::*reader)(), std::int32_t (D::*writer)(),
                            std::int32_t (D::*status)());
    TSioDispatcherThread* ThreadObject(TSioDispatcherThread::TRole role);
    bool ThreadRunning(TSioDispatcherThread::TRole role) const;
    // Waits until the thread of role has ended (true) or timeoutMs has
    // passed; on the main thread it keeps serving the serial layer's own
    // deliveries.
    bool WaitThreadEnd(TSioDispatcherThread::TRole role, std::uint32_t timeoutMs);
    // Waits until every thread has ended, serving the message queue.
    void WaitAllThreadsEnded();
    void JoinEndedThreads();
    // Brackets the starting of the threads: a thread that ends meanwhile
    // (the device failed at once) leaves the active flag on, and the
    // dispatcher thread releases nothing, until all have been started.
    void SetStarting(bool on);
    // A thread of role tells the opening that waits for it that it runs.
    void SignalThreadReady(TSioDispatcherThread::TRole role);
    // The writer tells DiscardOutput that the block it held is abandoned:
    // every discard asked for so far is answered.
    void SignalAbandoned();
    // DiscardOutput's side: asks the writer (through wakeWriter) to abandon
    // its block and waits for that answer (at most timeoutMs, serving the
    // serial layer's own deliveries). Its own ticket, so that no other wait
    // takes its answer.
    void AbandonWrite(std::uint32_t timeoutMs, const std::function<void()>& wakeWriter);

    // Received bytes from the reader: queued while the input queue holds
    // less than the input buffer size (InSize, at least one record). When
    // it is full the reader waits for room while the dispatcher thread can
    // still take bytes or receive flow control is on; otherwise the rest is
    // lost as a driver loses it, and reported as a receive overflow
    // (CE_RXOVER). False when no memory was left for a record.
    // keep, when given, is asked under the dispatch lock before each append,
    // the lock DiscardInput holds while it empties the queue: false drops
    // the rest (true is returned), so that bytes read before a discard never
    // enter the queue after it.
    bool QueueReceived(const std::uint8_t* bytes, std::int32_t count, const std::function<bool()>& keep = {});
    // Receive flow control (XON/XOFF, RTS or DTR handshake) is set.
    bool ReceiveFlowControl() const;
    // Input moving (dispatcher thread) and line state.
    bool FillDispatchBuffer();
    void RefreshLineErrors();
    std::uint32_t RefreshModemStatus(std::uint32_t mask);
    void ModemEvent();
    // The settings write that ends every change of device settings (main lock).
    std::int32_t SettingsWrite(TSioDcb& dcb);

    // Nothing written is left in the ring, with the writer or in the driver.
    bool OutputDrained();
    // Main thread: waits, serving the serial layer's own deliveries, until
    // OutputDrained() (true) or timeoutMs has passed (false).
    bool WaitDrained(std::uint32_t timeoutMs);

    // Delivery and trigger checks (dispatcher thread).
    bool DispatchNotification(std::uint32_t msg, std::uintptr_t wParam, std::uint32_t value);
    bool CheckAvailAndData();
    bool CheckStatusTriggers();
    bool CheckTimerTriggers();
    void ClearStatusHits();
    // Dispatcher thread, after its loop: once the device threads have ended,
    // hands a failure of theirs on as a loss (see DeviceLost).
    void DeliverDeviceLoss();
    void RunCycle();
    void TimerAndStatusPass();
    // How long the dispatcher thread may sleep: until the nearest armed
    // timer is due (1 ms at least), kWaitForever when none is armed. Every
    // change that the thread must act on wakes it: a change of the triggers
    // through TTriggerEdit, others through WakeDispatcher.
    std::uint32_t TimerWaitMs();
    // Ends the dispatcher thread's wait, whichever of its two it is in.
    void WakeDispatcher();
    // ORs bits into the line error word; new bits wake the dispatcher thread
    // for the line status triggers.
    void AddLineErrors(std::int32_t bits);
    // Received bytes that the trigger scan has not reached yet (a delivery
    // ended the scan early): the next cycle must not wait for new ones.
    bool ScanPending() const;
    bool RunStatusLoop();  // false: return from the cycle (close pending)
    std::int32_t AllocateHandle();
    void DropRemovedHandlers();
    void ResetDataTriggerMatches();
    std::uint32_t UnreadLocked() const;  // under the dispatch lock
    bool DispatchBufferFull() const;

    // --- State ----------------------------------------------------------------
    std::atomic<TSioBaseComponent*> owner_;
    std::int32_t portIndex_ = -1;
    std::atomic<std::int32_t> lineErrorWord_{0};
    std::atomic<bool> deviceFailed_{false};  // a device thread failed during this open
    std::atomic<bool> lossDelivered_{false};  // line error 10 raised for that failure
    std::uint32_t inSize_ = 0;
    std::uint32_t outSize_ = 0;
    std::atomic<std::uint32_t> inputLimit_{0};  // the input queue's bound: InSize, also as changed while open
    std::atomic<std::uint32_t> modemStatus_{0};
    TSioComStat deviceStatus_;
    TSioDcb settings_;
    std::uint32_t lastBaud_ = 115200;
    std::uint32_t optionWord_ = 0;
    bool dtrState_ = false, dtrAuto_ = false, rtsState_ = false, rtsAuto_ = false;
    std::atomic<bool> rs485Mode_{false};
    // Program-controlled RS-485 direction: nonzero when the platform has a
    // way to learn that the transmitter is empty.
    std::atomic<std::uint16_t> uartBaseAddress_{0};
    bool portHandlerInstalled_ = false;
    std::atomic<bool> serviceNeeded_{false};

    struct TWindowHandler {
        TMessageTarget* Window;
        bool Removed;
    };
    struct TProcHandler {
        TSioNotifyProcedure Proc;
        bool Removed;
    };
    struct TMethodHandler {
        TSioNotifyMethod Method;
        bool Removed;
    };
    std::vector<TWindowHandler> windowHandlers_;
    std::vector<TProcHandler> procHandlers_;
    std::vector<TMethodHandler> methodHandlers_;
    std::vector<TTimerTrigger> timerTriggers_;
    std::vector<TDataTrigger> dataTriggers_;
    std::vector<TStatusTrigger> statusTriggers_;

    // Positions in the dispatch buffer counted as bytes since the open, so
    // that a buffer refilled exactly once round (8192 new bytes) still
    // counts as new bytes: scan position and last avail position.
    std::uint64_t scanSeq_ = 0;
    std::uint64_t filledSeq_ = 0;  // dispatch lock: bytes moved in since the open
    std::int32_t availLength_ = 0;
    std::atomic<bool> statusHit_{false};
    bool inAvailDispatch_ = false;  // dispatch lock
    std::uint32_t handlerReadCount_ = 0;  // dispatch lock
    std::uint32_t largestHandlerRead_ = 0;  // dispatch lock
    bool dispatchFull_ = false;  // dispatch lock
    std::uint64_t lastAvailSeq_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint8_t> threadBoost_{0};
    std::atomic<std::uint32_t> limitedWaits_{0};
    std::atomic<std::uint32_t> unlimitedWaits_{0};

    mutable TRankedLock mainLock_{this, TLockRank::Main};
    mutable TRankedLock outputLock_{this, TLockRank::Output};
    mutable TRankedLock dispatchLock_{this, TLockRank::Dispatch};
    // What the main thread's short waits look for, one signal per wait, so
    // that a wait nested in another (a handler it serves starts or discards
    // too) can never take the other's answer.
    std::array<std::atomic<bool>, 4> started_{};
    std::atomic<std::uint64_t> abandonAsked_{0};
    std::atomic<std::uint64_t> abandonDone_{0};
    // Set when a read or a discard makes room in a full dispatch buffer, and
    // to stop: a dispatcher thread that found the buffer full sleeps on it,
    // since the input queue, still holding the bytes that cannot move, would
    // wake it at once, again and again.
    TSioEvent roomEvent_;

    std::uint32_t eventWord_ = 0;
    std::atomic<bool> ringSeen_{false};
    TIOQueue inputQueue_;

    std::vector<std::uint8_t> outputRing_;  // output lock
    std::uint32_t outputWrite_ = 0, outputRead_ = 0;
    bool outputFull_ = false;
    std::vector<std::uint8_t> dispatchBuffer_;  // dispatch lock
    std::uint32_t dispatchWrite_ = 0, dispatchRead_ = 0;

    std::atomic<std::uint32_t> inputDiscards_{0};
    std::atomic<bool> inDispatch_{false};
    bool handlerRemoved_ = false;
    std::atomic<bool> closePending_{false};
    std::atomic<bool> outputSent_{false};
    // Bytes accepted by WriteBytes, and of them those handed over to the
    // device or discarded, since the open (output lock; read without it).
    std::atomic<std::uint64_t> outputQueuedSeq_{0};
    std::atomic<std::uint64_t> outputLeftSeq_{0};
    // Whether an armed timer trigger is due at tick now (main lock).
    bool TimerDue(const TTimerTrigger& t, std::uint32_t now) const;
    std::atomic<int> drainWaits_{0};  // main-thread waits for the drain (they may nest)

    TSioTrace trace_;
    TSioLog log_;

    std::int32_t nextHandleCounter_ = 1;
    std::atomic<bool> active_{false};
    std::atomic<bool> releaseAtEnd_{false};
    std::atomic<std::int32_t> runningThreads_{0};
    bool closing_ = false;  // main lock
    std::atomic<std::int32_t> lastOsError_{0};

    // Threads: objects live until joined; running_ says which have not ended.
    std::array<std::unique_ptr<TSioDispatcherThread>, 4> threads_;
    std::array<std::atomic<bool>, 4> running_{};
    std::mutex endLock_;  // guards the wait for thread ends
    bool starting_ = false;  // endLock_
    struct TEndPost {
        TMessageTarget* target = nullptr;
        std::uint32_t msg = 0;
        std::uintptr_t wParam = 0;
        std::intptr_t lParam = 0;
    };
    TEndPost endPost_;  // endLock_
    // Posts what PostWhenInactive asked for, if the threads have all ended.
    void PostIfInactive();
    std::condition_variable endCv_;
    std::atomic<bool> deviceOpen_{false};
    std::string deviceName_;  // main lock
};

// ---------------------------------------------------------------------------
// The process-wide port list: a dispatcher's slot is its port index, which
// travels in the high 16 bits of every notification's lParam. Look-ups are
// made under PortListLock(), which is re-entrant.
std::recursive_mutex& PortListLock();
std::int32_t PortListCount();
// The dispatcher in slot index, or nullptr (empty slot or out of range).
TSioBaseDispatcher* PortListAt(std::int32_t index);

template <class D>
void TSioBaseDispatcher::StartDeviceThreads(D& self, std::int32_t (D::*reader)(), std::int32_t (D::*writer)(),
                                            std::int32_t (D::*status)())
{
    using TThread = TDeviceThread<D>;
    SetStarting(true);
    try {
        StartThread(std::make_unique<TThread>(self, TThread::Reader, reader));
        StartThread(std::make_unique<TDispThread>(self));
        StartThread(std::make_unique<TThread>(self, TThread::Writer, writer));
        StartThread(std::make_unique<TThread>(self, TThread::Status, status));
    } catch (...) {
        SetStarting(false);
        throw;
    }
    SetStarting(false);
}

}  // namespace sio
