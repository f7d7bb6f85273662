#include "TerminationSignals.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QWidget>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace tarnell {

namespace {

int g_wakeFd = -1;

// Only async-signal-safe work here: one byte to the main thread.
void OnSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(g_wakeFd, &byte, 1);
}

}  // namespace

// The signals leave time for the ordinary teardown: closeNow is not needed.
void CloseOnTerminationSignal(QWidget* window, std::function<void()>)
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0)
        return;  // the signals keep their default effect
    g_wakeFd = fds[1];
    auto* notifier = new QSocketNotifier(fds[0], QSocketNotifier::Read, QCoreApplication::instance());
    QPointer<QWidget> target(window);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [fd = fds[0], target] {
        char buf[16];
        while (::read(fd, buf, sizeof buf) > 0) {
        }
        if (target)
            target->close();
        // Also ends a modal box that may be open over the window.
        QCoreApplication::quit();
    });
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &sa, nullptr);
}

}  // namespace tarnell
