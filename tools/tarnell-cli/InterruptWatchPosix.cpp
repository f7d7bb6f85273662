// The interrupt watch on POSIX: a thread that takes the blocked signals with
// sigwait.
#include "InterruptWatch.h"

#include <cstring>
#include <thread>

#include <pthread.h>

namespace tarnell::cli {

namespace {
// Wakes the watch when it is to end; never sent from outside.
constexpr int kEndSignal = SIGUSR2;
constexpr std::uint32_t kInterruptMessage = 0x7F01;
}  // namespace

struct TInterruptWatch::TPlatform {
    sigset_t set{};
    std::atomic<bool> ending{false};
    std::thread thread;
};

TInterruptWatch::TInterruptWatch(sio::IMessageQueue& queue) : queue_(queue), platform_(std::make_unique<TPlatform>())
{
    TPlatform& p = *platform_;
    sigemptyset(&p.set);
    for (int s : {SIGINT, SIGTERM, SIGHUP, kEndSignal})
        sigaddset(&p.set, s);
    pthread_sigmask(SIG_BLOCK, &p.set, nullptr);
    p.thread = std::thread([this, &p] {
        for (;;) {
            int s = 0;
            if (sigwait(&p.set, &s) != 0)
                continue;
            if (p.ending)
                return;
            if (s == kEndSignal)
                continue;
            Arrived(s);
        }
    });
}

TInterruptWatch::~TInterruptWatch()
{
    platform_->ending = true;
    pthread_kill(platform_->thread.native_handle(), kEndSignal);
    platform_->thread.join();
    queue_.DiscardMessages(this);
}

void TInterruptWatch::Arrived(int signal)
{
    int none = 0;
    signal_.compare_exchange_strong(none, signal);
    // Wakes the main thread's wait, which then sees Signal().
    queue_.PostMessage(this, kInterruptMessage, 0, 0);
}

std::string SignalText(int signal) { return strsignal(signal); }

}  // namespace tarnell::cli
