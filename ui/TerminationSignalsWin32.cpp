// Windows: the console window that started the program being closed (or
// Ctrl+C, Ctrl+Break there) and the end of the session close the main window
// as the operator's close would (TerminationSignals.h).
#include "TerminationSignals.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QPointer>
#include <QWidget>

#include <windows.h>

#include <atomic>

namespace tarnell {

namespace {

QPointer<QWidget> g_window;
std::function<void()> g_closeNow;
HANDLE g_closed = nullptr;  // set once the last words have been said
std::atomic<bool> g_ending{false};

// Main thread: the window closes; when the process ends right after this
// call returns, the port is closed at once too, so that its log is written.
void CloseWindow(bool processEnds)
{
    if (g_window)
        g_window->close();
    if (processEnds && g_closeNow && !g_ending.exchange(true))
        g_closeNow();
    // Also ends a modal box that may be open over the window.
    QCoreApplication::quit();
}

// Runs on a thread of the system's. For a console closing, a logoff or a
// shutdown the process ends when this returns, so it waits (within the five
// seconds Windows allows) for the main thread to have written the log.
BOOL WINAPI OnConsoleEvent(DWORD type)
{
    const bool processEnds = type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [processEnds] {
            CloseWindow(processEnds);
            if (processEnds)
                SetEvent(g_closed);
        },
        Qt::QueuedConnection);
    if (processEnds)
        WaitForSingleObject(g_closed, 4500);
    return TRUE;
}

// The session's end reaches a GUI program as WM_ENDSESSION on each of its
// top-level windows; the process may be ended as soon as it is answered.
class TSessionEndFilter final : public QAbstractNativeEventFilter {
public:
    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override
    {
        if (type != "windows_generic_MSG")
            return false;
        const MSG* msg = static_cast<const MSG*>(message);
        if (msg->message == WM_ENDSESSION && msg->wParam)
            CloseWindow(true);
        return false;
    }
};

}  // namespace

void CloseOnTerminationSignal(QWidget* window, std::function<void()> closeNow)
{
    g_window = window;
    g_closeNow = std::move(closeNow);
    g_closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    static TSessionEndFilter filter;
    QCoreApplication::instance()->installNativeEventFilter(&filter);
    // Started from a console window: its events reach the handler. Started
    // from the desktop there is none, and only the session's end applies.
    if (AttachConsole(ATTACH_PARENT_PROCESS))
        SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

}  // namespace tarnell
