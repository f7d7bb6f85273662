// The interrupt watch on Windows: a console control handler. Windows runs it
// on a thread of its own; after a close or log-off event the process is
// ended as soon as the handler returns, so the handler waits (a few seconds
// at most) until the tool has closed its port.
#include "InterruptWatch.h"

#include <windows.h>
// The message queue has a PostMessage of its own.
#undef PostMessage

#include <mutex>

namespace tarnell::cli {

namespace {

constexpr std::uint32_t kInterruptMessage = 0x7F01;

std::mutex g_lock;  // guards g_watch
TInterruptWatch* g_watch = nullptr;
HANDLE g_closed = nullptr;  // set when the watch goes: the port is closed then

BOOL WINAPI OnControl(DWORD event)
{
    int signal = SIGINT;
    switch (event) {
    case CTRL_C_EVENT: signal = SIGINT; break;
    case CTRL_BREAK_EVENT: signal = SIGBREAK; break;
    default: signal = SIGTERM; break;
    }
    {
        std::lock_guard l(g_lock);
        if (!g_watch)
            return FALSE;
        g_watch->Arrived(signal);
    }
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(g_closed, 4000);
    return TRUE;
}

}  // namespace

struct TInterruptWatch::TPlatform {};

TInterruptWatch::TInterruptWatch(sio::IMessageQueue& queue) : queue_(queue), platform_(std::make_unique<TPlatform>())
{
    {
        std::lock_guard l(g_lock);
        g_watch = this;
        if (!g_closed)
            g_closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        else
            ResetEvent(g_closed);
    }
    SetConsoleCtrlHandler(OnControl, TRUE);
}

TInterruptWatch::~TInterruptWatch()
{
    SetConsoleCtrlHandler(OnControl, FALSE);
    {
        std::lock_guard l(g_lock);
        g_watch = nullptr;
        SetEvent(g_closed);
    }
    queue_.DiscardMessages(this);
}

void TInterruptWatch::Arrived(int signal)
{
    int none = 0;
    signal_.compare_exchange_strong(none, signal);
    // Wakes the main thread's wait, which then sees Signal().
    queue_.PostMessage(this, kInterruptMessage, 0, 0);
}

std::string SignalText(int signal)
{
    switch (signal) {
    case SIGINT: return "Interrupt";
    case SIGBREAK: return "Break";
    case SIGTERM: return "Terminated";
    default: return "Signal " + std::to_string(signal);
    }
}

}  // namespace tarnell::cli
