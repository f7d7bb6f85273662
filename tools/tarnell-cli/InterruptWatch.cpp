#include "InterruptWatch.h"

#include <pthread.h>

namespace tarnell::cli {

namespace {
// Wakes the watch when it is to end; never sent from outside.
constexpr int kEndSignal = SIGUSR2;
constexpr std::uint32_t kInterruptMessage = 0x7F01;
}  // namespace

TInterruptWatch::TInterruptWatch(sio::IMessageQueue& queue) : queue_(queue)
{
    sigemptyset(&set_);
    for (int s : {SIGINT, SIGTERM, SIGHUP, kEndSignal})
        sigaddset(&set_, s);
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    thread_ = std::thread([this] { Watch(); });
}

TInterruptWatch::~TInterruptWatch()
{
    ending_ = true;
    pthread_kill(thread_.native_handle(), kEndSignal);
    thread_.join();
    queue_.DiscardMessages(this);
}

void TInterruptWatch::Watch()
{
    for (;;) {
        int s = 0;
        if (sigwait(&set_, &s) != 0)
            continue;
        if (ending_)
            return;
        if (s == kEndSignal)
            continue;
        int none = 0;
        signal_.compare_exchange_strong(none, s);
        // Wakes the main thread's wait, which then sees Signal().
        queue_.PostMessage(this, kInterruptMessage, 0, 0);
    }
}

}  // namespace tarnell::cli
