// The main thread's message queue, as the serial layer sees it.
//
// The serial layer never talks to a widget toolkit directly. Everything it
// needs of the main thread's event loop goes through this interface: the
// console implements it on the Qt event loop (ui/QtMessageQueue), the serial
// layer's own tests with TLocalMessageQueue (no toolkit at all).
//
// Threading contract:
//  - PostMessage, SendMessageTimeout and RunOnMainThread may be called from
//    any thread. When called on the main thread, SendMessageTimeout and
//    RunOnMainThread run the call at once, in the caller.
//  - ProcessOneMessage, DiscardMessages and the handling of every message run
//    on the main thread only.
//  - A main thread that waits for the serial threads must keep serving the
//    queue while it waits (WaitAndProcess, or ServeMessagesUntil in SioMisc),
//    or a serial thread blocked in SendMessageTimeout/RunOnMainThread and the
//    main thread deadlock. WaitAndProcess sleeps between messages, so such a
//    wait costs no CPU. The serial layer's own waits serve only its own
//    deliveries (WaitAndProcessOwn, ServeOwnMessagesUntil); a program's long
//    waits serve everything, so that its window stays live.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>

namespace sio {

// A wait without a deadline.
inline constexpr std::uint32_t kWaitForever = 0xFFFFFFFFu;

// Window messages of the serial layer.
inline constexpr std::uint32_t WM_SIO_AVAIL = 0x7E01;
inline constexpr std::uint32_t WM_SIO_DATA = 0x7E02;
inline constexpr std::uint32_t WM_SIO_TIMER = 0x7E03;
inline constexpr std::uint32_t WM_SIO_STATUS = 0x7E04;
// Posted to the window handlers when the device behind the port has gone.
inline constexpr std::uint32_t WM_SIO_LOST = 0x7E05;
inline constexpr std::uint32_t WM_SIO_CLOSE = 0x7E0A;  // deferred close of a port component

// The receiver of window messages: the port component's hidden notification
// window. Its handler always runs on the main thread.
class TMessageTarget {
public:
    virtual ~TMessageTarget() = default;
    virtual std::intptr_t HandleMessage(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) = 0;
    // Whether a notification of the dispatcher (WM_SIO_AVAIL .. WM_SIO_STATUS)
    // would be of use here. One that is not is never sent, which saves the
    // dispatcher thread a wait for the main thread. Asked on the dispatcher
    // thread under its main lock: it must only read atomics.
    virtual bool WantsNotification(std::uint32_t msg, std::uintptr_t wParam) const
    {
        (void)msg;
        (void)wParam;
        return true;
    }
};

class IMessageQueue {
public:
    virtual ~IMessageQueue() = default;

    // Queues a message for target; returns false if it could not be queued.
    virtual bool PostMessage(TMessageTarget* target, std::uint32_t msg, std::uintptr_t wParam,
                             std::intptr_t lParam) = 0;

    // Delivers a message to target on the main thread and waits for its
    // handling at most timeoutMs. Returns true and stores the handler's
    // result when it was handled in time; false when the wait was given up
    // (the message is then dropped if it has not started yet).
    virtual bool SendMessageTimeout(TMessageTarget* target, std::uint32_t msg, std::uintptr_t wParam,
                                    std::intptr_t lParam, std::uint32_t timeoutMs,
                                    std::intptr_t* result) = 0;

    // Runs fn on the main thread and waits until it has returned. An
    // exception leaving fn is passed to ReportException on the main thread.
    virtual void RunOnMainThread(const std::function<void()>& fn) = 0;

    // Message pump step: handles at most one pending message of the main
    // thread; a quit request met on the way is kept, not lost. Returns true
    // if a message was handled.
    virtual bool ProcessOneMessage() = 0;

    // Blocking pump step: sleeps until a message (of the serial layer or of
    // the toolkit) arrives or timeoutMs has passed, then handles what came.
    // Returns true if something was handled. Main thread only; elsewhere it
    // returns false at once. kWaitForever waits without a deadline.
    virtual bool WaitAndProcess(std::uint32_t timeoutMs) = 0;

    // The same step for the serial layer's own short waits (thread start,
    // discarding output, draining before new line settings, closing): it
    // serves only what came through this interface (posted and sent
    // messages, RunOnMainThread calls, wake messages), never the toolkit's
    // events, so no key or click of the operator runs inside such a wait; it
    // stays queued and runs afterwards, in order. timeoutMs 0 only handles
    // what is already there.
    virtual bool WaitAndProcessOwn(std::uint32_t timeoutMs) = 0;

    // Drops every message still pending for target (called before a target
    // is destroyed, so that no message reaches a dead object).
    virtual void DiscardMessages(TMessageTarget* target) = 0;

    virtual bool IsMainThread() const = 0;
};

// The process-wide queue. The application installs one at start; until then
// (and after SetMessageQueue(nullptr)) MessageQueue() returns a queue whose
// main thread is the first thread that asked for it.
IMessageQueue& MessageQueue();
void SetMessageQueue(IMessageQueue* queue);

// The application's error report: an exception that leaves a handler run on
// behalf of the serial layer on the main thread ends here. The console
// shows it in a message box; the default writes it to stderr, and so does
// ReportException when the installed reporter throws (it never throws).
using TExceptionReporter = std::function<void(std::exception_ptr)>;
void SetExceptionReporter(TExceptionReporter reporter);
void ReportException(std::exception_ptr error);

}  // namespace sio
