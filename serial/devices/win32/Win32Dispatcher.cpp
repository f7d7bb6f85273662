// The Windows dispatcher (devices/win32/Win32Dispatcher.h).
#include "devices/win32/Win32Dispatcher.h"

#include "errors/Exceptions.h"
#include "port/DispatcherFactory.h"
#include "port/ComPort.h"
#include "errors/ErrorTexts.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace sio {

namespace {

constexpr std::uint32_t kForever = 0xFFFFFFFFu;
constexpr DWORD kStepMs = 100;     // every overlapped wait sees the stop flag this often
constexpr DWORD kReaderPollMs = 50;  // the reader looks at the driver at least this often
// Events of the status thread: received characters, modem lines, break,
// line errors, ring.
constexpr DWORD kEventMask = EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR | EV_RING;

HANDLE H(void* p) { return static_cast<HANDLE>(p); }

// An OVERLAPPED record with its own manual-reset event, per thread, and the
// memory its operation writes to (received bytes, the event word) or reads
// from (a block being written).
struct TOverlapped {
    OVERLAPPED ov{};
    bool pending = false;  // an operation may still write into this record
    std::uint8_t chunk[ReadRecordSize] = {};
    DWORD word = 0;
    std::vector<std::uint8_t> block;
    TOverlapped() { ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~TOverlapped()
    {
        if (ov.hEvent)
            CloseHandle(ov.hEvent);
    }
    TOverlapped(const TOverlapped&) = delete;
    TOverlapped& operator=(const TOverlapped&) = delete;
    bool Valid() const { return ov.hEvent != nullptr; }
};

// Owns a thread's record. One whose operation could not be cancelled (Wine
// leaves some pending on a device that has gone) is left to the system
// rather than freed under it.
struct TIo {
    TOverlapped* io = new (std::nothrow) TOverlapped;
    ~TIo()
    {
        if (io && !io->pending)
            delete io;
    }
    TIo() = default;
    TIo(const TIo&) = delete;
    TIo& operator=(const TIo&) = delete;
    bool Valid() const { return io && io->Valid(); }
    TOverlapped* operator->() const { return io; }
};

// How a wait for a pending operation ended.
enum class TWaitEnd { Done, Limit, Stopped, Woken, Failed };

// Cancels the operation of o and waits a while for its end; o.pending stays
// set if it did not end.
void CancelPending(HANDLE h, TOverlapped& o)
{
    CancelIoEx(h, &o.ov);
    if (WaitForSingleObject(o.ov.hEvent, 1000) == WAIT_OBJECT_0) {
        DWORD ignored = 0;
        GetOverlappedResult(h, &o.ov, &ignored, FALSE);
        ResetEvent(o.ov.hEvent);
        o.pending = false;
    }
}

// Waits for the pending operation of o, in steps, until it completes, the
// stop event fires, (if given) wake fires, or (if given) limitMs have passed.
// Done: the operation's count is in n, or it failed with error. Limit: it is
// still pending; wait again. Stopped, Woken and Failed: it has been
// cancelled (o.pending tells whether it ended).
TWaitEnd WaitPending(HANDLE h, TOverlapped& o, HANDLE stop, HANDLE wake, DWORD& n, DWORD& error,
                     DWORD limitMs = INFINITE)
{
    o.pending = true;
    HANDLE set[3] = {o.ov.hEvent, stop, wake};
    const DWORD count = wake ? 3 : 2;
    for (;;) {
        DWORD r = WaitForMultipleObjects(count, set, FALSE, std::min(kStepMs, limitMs));
        if (r == WAIT_TIMEOUT && limitMs != INFINITE)
            return TWaitEnd::Limit;
        if (r == WAIT_TIMEOUT)
            continue;
        if (r == WAIT_OBJECT_0) {
            n = 0;
            error = GetOverlappedResult(h, &o.ov, &n, FALSE) ? 0 : GetLastError();
            ResetEvent(o.ov.hEvent);
            o.pending = false;
            return TWaitEnd::Done;
        }
        if (r == WAIT_OBJECT_0 + 1 || r == WAIT_OBJECT_0 + 2) {
            CancelPending(h, o);
            return r == WAIT_OBJECT_0 + 1 ? TWaitEnd::Stopped : TWaitEnd::Woken;
        }
        error = GetLastError();
        CancelPending(h, o);
        return TWaitEnd::Failed;
    }
}

// Whether the device is still there: one that has gone (an unplugged
// adapter; under Wine a pseudo-terminal whose far end closed) refuses its
// settings. 0, or the error.
DWORD DeviceGone(HANDLE h)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    return GetCommState(h, &dcb) ? 0 : (GetLastError() ? GetLastError() : ERROR_NOT_READY);
}

// The settings in the dispatcher's vocabulary, and back into a DCB that
// keeps what the vocabulary does not name.
TSioDcb FromDcb(const DCB& d)
{
    TSioDcb s;
    s.BaudRate = d.BaudRate;
    s.fBinary = d.fBinary;
    s.fParity = d.fParity;
    s.fOutxCtsFlow = d.fOutxCtsFlow;
    s.fOutxDsrFlow = d.fOutxDsrFlow;
    s.fDtrControl = static_cast<std::uint8_t>(d.fDtrControl);
    s.fDsrSensitivity = d.fDsrSensitivity;
    s.fTXContinueOnXoff = d.fTXContinueOnXoff;
    s.fOutX = d.fOutX;
    s.fInX = d.fInX;
    s.fErrorChar = d.fErrorChar;
    s.fNull = d.fNull;
    s.fRtsControl = static_cast<std::uint8_t>(d.fRtsControl);
    s.fAbortOnError = d.fAbortOnError;
    s.XonLim = d.XonLim;
    s.XoffLim = d.XoffLim;
    s.ByteSize = d.ByteSize;
    s.Parity = d.Parity;
    s.StopBits = d.StopBits;
    s.XonChar = d.XonChar;
    s.XoffChar = d.XoffChar;
    s.ErrorChar = d.ErrorChar;
    s.EofChar = d.EofChar;
    s.EvtChar = d.EvtChar;
    return s;
}

void ToDcb(const TSioDcb& s, DCB& d)
{
    d.DCBlength = sizeof(DCB);
    d.BaudRate = s.BaudRate;
    d.fBinary = s.fBinary;
    d.fParity = s.fParity;
    d.fOutxCtsFlow = s.fOutxCtsFlow;
    d.fOutxDsrFlow = s.fOutxDsrFlow;
    d.fDtrControl = s.fDtrControl;
    d.fDsrSensitivity = s.fDsrSensitivity;
    d.fTXContinueOnXoff = s.fTXContinueOnXoff;
    d.fOutX = s.fOutX;
    d.fInX = s.fInX;
    d.fErrorChar = s.fErrorChar;
    d.fNull = s.fNull;
    d.fRtsControl = s.fRtsControl;
    d.fAbortOnError = s.fAbortOnError;
    d.XonLim = s.XonLim;
    d.XoffLim = s.XoffLim;
    d.ByteSize = s.ByteSize;
    d.Parity = s.Parity;
    d.StopBits = s.StopBits;
    d.XonChar = s.XonChar;
    d.XoffChar = s.XoffChar;
    d.ErrorChar = s.ErrorChar;
    d.EofChar = s.EofChar;
    d.EvtChar = s.EvtChar;
}

// A device without modem lines (Wine on a pseudo-terminal) refuses the
// escape functions and the modem status with this: nothing to switch.
bool NoModemLines(DWORD error) { return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION; }

// Wine refuses the abort flags of PurgeComm on a pseudo-terminal; the
// driver's queues are flushed all the same.
bool NoPurge(DWORD error) { return error == ERROR_NOT_SUPPORTED; }

}  // namespace

// ---------------------------------------------------------------------------
// The three device threads (TDeviceThread runs each loop).

std::int32_t TSioWin32Dispatcher::ReaderLoop()
{
    const HANDLE h = H(Handle());
    TIo o;
    SignalThreadReady(TSioDispatcherThread::Reader);
    if (!o.Valid()) {
        lastOsError_ = static_cast<std::int32_t>(GetLastError());
        RequestStop();
        return ecTapiNoMem;
    }
    // ReadFile hands over what the driver holds and never waits for more;
    // EV_RXCHAR says when to look. Without events (see the status thread) a
    // read of one byte waits for the first byte instead, so that the reply
    // is taken as it comes. A look that finds nothing, and every 50 ms of a
    // read that Wine keeps pending, ask whether the device is still there.
    enum class TMode { None, Drain, WaitFirst } mode = TMode::None;
    auto setMode = [&](TMode want) {
        if (mode == want)
            return;
        COMMTIMEOUTS t{};
        if (want == TMode::Drain)
            t.ReadIntervalTimeout = MAXDWORD;
        else
            t.ReadTotalTimeoutConstant = kReaderPollMs;
        SetCommTimeouts(h, &t);
        mode = want;
    };
    // One read into the record: the count, 0 for nothing, or a negative end
    // of the thread (returned as it is; stopped: 1 above the count).
    constexpr std::int32_t kStopped = -1;
    std::int32_t end = 0;
    auto read = [&](DWORD size) -> std::int32_t {
        DWORD n = 0;
        DWORD error = 0;
        if (!ReadFile(h, o->chunk, size, &n, &o->ov)) {
            error = GetLastError();
            while (error == ERROR_IO_PENDING) {
                switch (WaitPending(h, *o.io, H(stopEvent_), nullptr, n, error, kReaderPollMs)) {
                case TWaitEnd::Done:
                    break;
                case TWaitEnd::Limit:
                    // Still waiting for bytes: the device may have gone.
                    if ((error = DeviceGone(h)) == 0)
                        error = ERROR_IO_PENDING;
                    else
                        CancelPending(h, *o.io);
                    break;
                case TWaitEnd::Stopped:
                case TWaitEnd::Woken:
                    return kStopped;
                case TWaitEnd::Failed:
                    break;
                }
            }
        } else {
            ResetEvent(o->ov.hEvent);
        }
        if (error == ERROR_OPERATION_ABORTED || error == ERROR_TIMEOUT)
            error = 0;
        if (error == 0 && n == 0)
            error = DeviceGone(h);  // a look that found nothing
        if (error != 0) {
            // The handle closed under us ends quietly; anything else is the
            // device going away.
            RequestStop();
            if (error != ERROR_INVALID_HANDLE) {
                lastOsError_ = static_cast<std::int32_t>(error);
                end = ecDeviceRead;
            }
            return kStopped;
        }
        if (n > 0 && !QueueReceived(o->chunk, static_cast<std::int32_t>(n))) {
            RequestStop();
            end = ecTapiNoMem;
            return kStopped;
        }
        return static_cast<std::int32_t>(n);
    };
    HANDLE wake[2] = {H(serialEvent_), H(stopEvent_)};
    while (!StopRequested()) {
        if (!EventsWork()) {
            setMode(TMode::WaitFirst);
            std::int32_t got = read(1);
            if (got == kStopped)
                return end;
            if (got == 0)
                continue;
        } else if (WaitForMultipleObjects(2, wake, FALSE, kReaderPollMs) == WAIT_FAILED) {
            lastOsError_ = static_cast<std::int32_t>(GetLastError());
            RequestStop();
            return ecDeviceRead;
        }
        setMode(TMode::Drain);
        // Drain the driver in 256-byte records until a read finds nothing
        // (or the close asks: a far end that never pauses must not keep the
        // reader from ending).
        while (!StopRequested()) {
            std::int32_t got = read(ReadRecordSize);
            if (got == kStopped)
                return end;
            if (got < ReadRecordSize)
                break;
        }
    }
    return end;
}

std::int32_t TSioWin32Dispatcher::WriterLoop()
{
    SignalThreadReady(TSioDispatcherThread::Writer);
    HANDLE set[3] = {H(outputReady_), H(writerWake_), H(stopEvent_)};
    while (!StopRequested()) {
        DWORD r = WaitForMultipleObjects(3, set, FALSE, kStepMs);
        if (r == WAIT_FAILED) {
            lastOsError_ = static_cast<std::int32_t>(GetLastError());
            RequestStop();
            return ecDeviceWrite;
        }
        if (r == WAIT_OBJECT_0 + 1) {
            SignalAbandoned();
        } else if (r == WAIT_OBJECT_0 && !StopRequested()) {
            std::int32_t pass = WritePass();
            if (pass != 0) {
                RequestStop();
                return pass == ecInvalidHandle ? 0 : pass;
            }
        }
        // Only after an event (a wait asks through outputReady_): a quiet
        // pass must not wake a waiting main thread again and again.
        if (r != WAIT_TIMEOUT && DrainAwaited())
            WatchDriverQueue();
    }
    return 0;
}

std::int32_t TSioWin32Dispatcher::StatusLoop()
{
    const HANDLE h = H(Handle());
    TIo o;
    DWORD mask = kEventMask;
    const bool maskSet = o.Valid() && SetCommMask(h, mask);
    // Ready only now: events after the open are reported from here on.
    SignalThreadReady(TSioDispatcherThread::Status);
    if (!o.Valid()) {
        lastOsError_ = static_cast<std::int32_t>(GetLastError());
        RequestStop();
        return ecTapiNoMem;
    }
    // Without events the reader's own 50-ms look is all there is; the
    // thread waits for the close.
    auto withoutEvents = [&] {
        eventsWork_ = false;
        SetEvent(H(serialEvent_));
        WaitForSingleObject(H(stopEvent_), INFINITE);
        return 0;
    };
    if (!maskSet)
        return withoutEvents();
    eventsWork_ = true;
    while (!StopRequested()) {
        o->word = 0;
        DWORD error = 0;
        if (!WaitCommEvent(h, &o->word, &o->ov)) {
            error = GetLastError();
            if (error == ERROR_IO_PENDING) {
                DWORD n = 0;
                TWaitEnd end = WaitPending(h, *o.io, H(stopEvent_), nullptr, n, error);
                if (end == TWaitEnd::Stopped)
                    return 0;
                if (end == TWaitEnd::Failed) {
                    lastOsError_ = static_cast<std::int32_t>(error);
                    RequestStop();
                    return ecDeviceRead;
                }
            }
        } else {
            ResetEvent(o->ov.hEvent);
        }
        if (StopRequested())
            break;
        const DWORD word = o->word;
        if (error == ERROR_OPERATION_ABORTED || NoModemLines(error)) {
            // Windows ends a wait this way only when asked to (SetCommMask,
            // CancelIo); Wine also when the device has no modem lines (at
            // once, or once pending) or has gone away. The reader finds a
            // loss by itself, and looks every 50 ms without events.
            return withoutEvents();
        }
        if (error == ERROR_INVALID_HANDLE) {
            RequestStop();
            return 0;
        }
        if (error != 0) {
            lastOsError_ = static_cast<std::int32_t>(error);
            RequestStop();
            return ecDeviceRead;
        }
        if (word & EV_RXCHAR)
            SetEvent(H(serialEvent_));
        if (word & EV_STATUSMASK) {
            auto* record = new (std::nothrow) TStatusBuffer(word);
            if (!record) {
                RequestStop();
                return ecTapiNoMem;
            }
            inputQueue_.Push(std::unique_ptr<TIOBuffer>(record));
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------

TSioWin32Dispatcher::TSioWin32Dispatcher(TSioBaseComponent* owner) : TSioBaseDispatcher(owner)
{
    serialEvent_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    outputReady_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    writerWake_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    stopEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

TSioWin32Dispatcher::~TSioWin32Dispatcher()
{
    Shutdown();
    for (void* e : {serialEvent_, outputReady_, writerWake_, stopEvent_})
        if (e)
            CloseHandle(H(e));
}

std::int32_t TSioWin32Dispatcher::DeviceOpen(const std::string& name, std::uint32_t, std::uint32_t)
{
    // Without their events the threads could neither be told of output nor
    // stopped: an opening without them would hang at the first write.
    for (void* e : {serialEvent_, outputReady_, writerWake_, stopEvent_}) {
        if (!e) {
            lastOsError_ = ERROR_NOT_ENOUGH_MEMORY;
            return -ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        lastOsError_ = static_cast<std::int32_t>(error);
        return -static_cast<std::int32_t>(error);
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb)) {
        // Opened, but no serial device (Wine opens a port whose mapping
        // points nowhere): not a port.
        DWORD error = GetLastError();
        CloseHandle(h);
        lastOsError_ = static_cast<std::int32_t>(error ? error : ERROR_FILE_NOT_FOUND);
        return -lastOsError_.load();
    }
    ResetEvent(H(serialEvent_));
    ResetEvent(H(outputReady_));
    ResetEvent(H(writerWake_));
    ResetEvent(H(stopEvent_));
    eventsWork_ = false;
    {
        TGuard g(mainLock_);
        settings_ = FromDcb(dcb);
    }
    handle_ = h;
    return 0;
}

std::int32_t TSioWin32Dispatcher::DeviceClose()
{
    return CloseAfterThreads(
        [this](TSioDispatcherThread::TRole role) {
            switch (role) {
            case TSioDispatcherThread::Status:
                // Ends a pending WaitCommEvent (the stop event does too, for
                // Wine, where this ends it with an error instead of an empty
                // word).
                if (void* h = Handle())
                    SetCommMask(H(h), 0);
                break;
            case TSioDispatcherThread::Writer:
                SetEvent(H(writerWake_));
                break;
            case TSioDispatcherThread::Reader:
                SetEvent(H(serialEvent_));
                break;
            case TSioDispatcherThread::Dispatch:
                break;
            }
        },
        [this] {
            void* h = handle_.exchange(nullptr);
            return h && !CloseHandle(H(h)) ? -1 : 0;
        });
}

void TSioWin32Dispatcher::StartThreads()
{
    MarkActive();
    ResetEvent(H(stopEvent_));
    StartDeviceThreads(*this, &TSioWin32Dispatcher::ReaderLoop, &TSioWin32Dispatcher::WriterLoop,
                       &TSioWin32Dispatcher::StatusLoop);
}

void TSioWin32Dispatcher::WakeThreads()
{
    SetEvent(H(stopEvent_));
}

void TSioWin32Dispatcher::ApplyThreadPriority(TSioDispatcherThread& thread, int priority)
{
    static constexpr int levels[7] = {THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST, THREAD_PRIORITY_BELOW_NORMAL,
                                      THREAD_PRIORITY_NORMAL,       THREAD_PRIORITY_ABOVE_NORMAL,
                                      THREAD_PRIORITY_HIGHEST,      THREAD_PRIORITY_TIME_CRITICAL};
    int tid = thread.Tid();
    if (tid <= 0)
        return;
    HANDLE t = OpenThread(THREAD_SET_INFORMATION, FALSE, static_cast<DWORD>(tid));
    if (!t)
        return;
    SetThreadPriority(t, levels[std::clamp(priority, 0, 6)]);
    CloseHandle(t);
}

// ---------------------------------------------------------------------------
// Device slots.

std::int32_t TSioWin32Dispatcher::DeviceEscape(std::uint32_t function)
{
    if (function != SETRTS && function != CLRRTS && function != SETDTR && function != CLRDTR)
        return ecBadArgument;
    void* h = Handle();
    if (!h)
        return -ERROR_INVALID_HANDLE;
    if (EscapeCommFunction(H(h), function))
        return 0;
    DWORD error = GetLastError();
    if (NoModemLines(error))
        return 0;  // a device without modem lines has nothing to switch
    lastOsError_ = static_cast<std::int32_t>(error);
    return -static_cast<std::int32_t>(error);
}

std::int32_t TSioWin32Dispatcher::DevicePurge(int which)
{
    void* h = Handle();
    if (which == PurgeOutput) {
        if (!ThreadRunning(TSioDispatcherThread::Writer))
            return 0;
        bool writerIdle;
        {
            TGuard o(outputLock_);
            writerIdle = ClearOutputRingLocked();
        }
        // Abandons a write in progress; the writer answers. The driver's
        // queue is purged only then, so that no piece of the abandoned block
        // reaches it after the purge.
        if (!writerIdle) {
            AbandonWrite(5000, [this] { SetEvent(H(writerWake_)); });
            h = Handle();  // the wait served deliveries: looked at anew
        }
        if (h && !PurgeComm(H(h), PURGE_TXABORT | PURGE_TXCLEAR) && !NoPurge(GetLastError()))
            return -static_cast<std::int32_t>(GetLastError());
        return 0;
    }
    std::int32_t result = 0;
    if (h && !PurgeComm(H(h), PURGE_RXABORT | PURGE_RXCLEAR)) {
        DWORD error = GetLastError();
        if (error != ERROR_INVALID_HANDLE && !NoPurge(error))
            result = -static_cast<std::int32_t>(error);
    }
    inputQueue_.Clear();
    return result;
}

std::uint32_t TSioWin32Dispatcher::DeviceReadErrors(TSioComStat& status)
{
    std::uint32_t errors = 0;
    if (void* h = Handle()) {
        DWORD e = 0;
        COMSTAT cs{};
        if (ClearCommError(H(h), &e, &cs)) {
            errors = e;
            status.cbInQue = cs.cbInQue;
            status.Flags = (cs.fCtsHold ? 0x01u : 0u) | (cs.fDsrHold ? 0x02u : 0u) | (cs.fRlsdHold ? 0x04u : 0u) |
                           (cs.fXoffHold ? 0x08u : 0u) | (cs.fXoffSent ? 0x10u : 0u) | (cs.fEof ? 0x20u : 0u) |
                           (cs.fTxim ? 0x40u : 0u);
        }
    }
    status.cbOutQue = static_cast<std::uint32_t>(OutputRingUsed());
    return errors;
}

std::uint32_t TSioWin32Dispatcher::DeviceModemStatus()
{
    void* h = Handle();
    DWORD lines = 0;
    if (!h || !GetCommModemStatus(H(h), &lines))
        return 0;
    return lines & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
}

std::int32_t TSioWin32Dispatcher::DeviceGetSettings(TSioDcb& settings)
{
    void* h = Handle();
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!h || !GetCommState(H(h), &dcb))
        return -1;
    settings = FromDcb(dcb);
    return 0;
}

std::int32_t TSioWin32Dispatcher::DeviceSetSettings(const TSioDcb& s)
{
    void* h = Handle();
    if (!h)
        return -ERROR_INVALID_HANDLE;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(H(h), &dcb);
    ToDcb(s, dcb);
    dcb.BaudRate = BaudToBitsPerSecond(s.BaudRate);
    if (!SetCommState(H(h), &dcb)) {
        DWORD error = GetLastError();
        lastOsError_ = static_cast<std::int32_t>(error);
        return -static_cast<std::int32_t>(error);
    }
    return 0;
}

bool TSioWin32Dispatcher::DeviceSetQueues(std::uint32_t inSize, std::uint32_t outSize)
{
    void* h = Handle();
    if (h && SetupComm(H(h), inSize, outSize))
        return true;
    lastOsError_ = static_cast<std::int32_t>(GetLastError());
    return false;
}

bool TSioWin32Dispatcher::OutputDraining()
{
    if (writerHolds_.load())
        return true;
    if (!Active())
        return false;
    void* h = Handle();
    DWORD e = 0;
    COMSTAT cs{};
    return h && ClearCommError(H(h), &e, &cs) && cs.cbOutQue > 0;
}

bool TSioWin32Dispatcher::WatchDrain()
{
    // The writer looks at the driver's queue once it has done what it was
    // given (WatchDriverQueue); this pass of its finds the ring empty.
    SetEvent(H(outputReady_));
    return true;
}

void TSioWin32Dispatcher::WatchDriverQueue()
{
    const HANDLE h = H(Handle());
    while (!StopRequested() && DrainAwaited()) {
        {
            // New output: the writer's next pass sends it and watches again.
            TGuard o(outputLock_);
            if (outputFull_ || outputWrite_ != outputRead_)
                return;
        }
        DWORD e = 0;
        COMSTAT cs{};
        if (!h || !ClearCommError(h, &e, &cs) || cs.cbOutQue == 0)
            break;
        // A short sleep on this thread that new output, a discard and the
        // close cut; the writer's loop handles what woke it.
        HANDLE set[3] = {H(outputReady_), H(writerWake_), H(stopEvent_)};
        const DWORD r = WaitForMultipleObjects(3, set, FALSE, 1);
        if (r == WAIT_OBJECT_0 || r == WAIT_OBJECT_0 + 1) {
            SetEvent(set[r - WAIT_OBJECT_0]);  // auto-reset: not ours to take, hand it on
            return;
        }
        if (r != WAIT_TIMEOUT)
            break;
    }
    WakeMainThread();
}

std::uint16_t TSioWin32Dispatcher::Rs485Setup(bool on)
{
    if (!on)
        return 0;
    // Ask the driver once whether it switches the direction itself: the
    // settings with RTS_CONTROL_TOGGLE, then back as they were.
    void* h = Handle();
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!h || !GetCommState(H(h), &dcb))
        return 0;
    DCB toggle = dcb;
    toggle.fRtsControl = RTS_CONTROL_TOGGLE;
    const bool refused = !SetCommState(H(h), &toggle);
    SetCommState(H(h), &dcb);
    toggleRefused_ = refused;
    // Program-controlled direction learns "sent" from the output queue.
    return refused ? 1 : 0;
}

void TSioWin32Dispatcher::DropRtsAfterSend()
{
    const HANDLE h = H(Handle());
    for (;;) {
        DWORD e = 0;
        COMSTAT cs{};
        if (!ClearCommError(h, &e, &cs) || cs.cbOutQue == 0)
            break;
        // A short sleep that a discard, the close and the stop can cut.
        HANDLE set[2] = {H(writerWake_), H(stopEvent_)};
        if (WaitForMultipleObjects(2, set, FALSE, 1) != WAIT_TIMEOUT) {
            if (!StopRequested())
                SetEvent(H(writerWake_));  // not ours to take: hand it on
            break;
        }
    }
    // The queue is empty once the last character is in the shift register:
    // two character times more see it out.
    std::uint32_t bps;
    {
        TGuard g(mainLock_);
        bps = BaudToBitsPerSecond(lastBaud_);
    }
    if (bps > 0)
        Sleep(static_cast<DWORD>(2 * 12 * 1000 / bps + 1));
    // WriteBytes raises RTS and queues a block under the main lock: a block
    // queued meanwhile keeps RTS up for its own turn.
    TGuard g(mainLock_);
    {
        TGuard o(outputLock_);
        if (outputFull_ || outputWrite_ != outputRead_)
            return;
    }
    SetRts(false);
}

std::int32_t TSioWin32Dispatcher::DeviceWrite(const void* data, std::int32_t count)
{
    TGuard o(outputLock_);
    if (outputRing_.empty() || count <= 0)
        return 0;
    PutOutputLocked(data, static_cast<std::uint32_t>(count));
    SetEvent(H(outputReady_));
    return count;
}

bool TSioWin32Dispatcher::DeviceEventWord(std::uint32_t& word)
{
    word = 0;
    return true;
}

std::int32_t TSioWin32Dispatcher::DeviceYield()
{
    Sleep(0);
    return 0;
}

// ---------------------------------------------------------------------------
// Writer.

std::int32_t TSioWin32Dispatcher::WritePass()
{
    const HANDLE h = H(Handle());
    TIo o;
    if (!o.Valid()) {
        lastOsError_ = static_cast<std::int32_t>(GetLastError());
        return ecDeviceWrite;
    }
    // A settings change may be waiting for the block in hand to leave.
    TWriterHolding holding{*this};
    for (;;) {
        std::vector<std::uint8_t>& block = o->block;
        {
            TGuard g(outputLock_);
            if (!TakeOutputBlockLocked(block))
                break;
        }
        std::size_t done = 0;
        while (done < block.size()) {
            DWORD n = 0;
            DWORD error = 0;
            if (!WriteFile(h, block.data() + done, static_cast<DWORD>(block.size() - done), &n, &o->ov)) {
                error = GetLastError();
                if (error == ERROR_IO_PENDING) {
                    switch (WaitPending(h, *o.io, H(stopEvent_), H(writerWake_), n, error)) {
                    case TWaitEnd::Done:
                    case TWaitEnd::Limit:
                        break;
                    case TWaitEnd::Stopped:
                        return 0;
                    case TWaitEnd::Woken:
                        // A discard or the close: the rest of the block is dropped.
                        SignalAbandoned();
                        return 0;
                    case TWaitEnd::Failed:
                        lastOsError_ = static_cast<std::int32_t>(error);
                        return ecDeviceWrite;
                    }
                    if (error == ERROR_OPERATION_ABORTED)
                        return 0;  // purged under us
                }
            } else {
                ResetEvent(o->ov.hEvent);
            }
            if (error == ERROR_INVALID_HANDLE)
                return ecInvalidHandle;
            if (error != 0) {
                lastOsError_ = static_cast<std::int32_t>(error);
                return ecDeviceWrite;
            }
            if (n == 0) {
                // Nothing taken and no error: a write time-out we never set.
                lastOsError_ = ERROR_WRITE_FAULT;
                return ecDeviceWrite;
            }
            done += n;
        }
        OutputHandedOver(static_cast<std::uint32_t>(block.size()));
        if (ProgramDirection())
            DropRtsAfterSend();
    }
    return 0;
}

// ---------------------------------------------------------------------------

std::unique_ptr<TSioBaseDispatcher> CreateLocalDispatcher(TSioCustomComPort* owner)
{
    return std::make_unique<TSioWin32Dispatcher>(owner);
}

}  // namespace sio
