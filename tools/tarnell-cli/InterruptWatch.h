// Ctrl-C, SIGTERM and SIGHUP end the tool as a finished command would: the
// exchange under way stops, the port is closed (the driver's RS-485 mode
// switched back, the dispatch log written) and the program exits with
// 128 + the signal's number. Without this a signal would end the process
// with the port as it was.
#pragma once

#include "SioMessageQueue.h"

#include <atomic>
#include <csignal>
#include <thread>

namespace tarnell::cli {

class TInterruptWatch final : public sio::TMessageTarget {
public:
    // Blocks the signals in the calling thread and every thread started
    // after it; create it before anything starts a thread. A signal wakes
    // the main thread through queue, which must outlive the watch.
    explicit TInterruptWatch(sio::IMessageQueue& queue);
    ~TInterruptWatch() override;

    // The signal that arrived, or 0.
    int Signal() const { return signal_.load(); }

    std::intptr_t HandleMessage(std::uint32_t, std::uintptr_t, std::intptr_t) override { return 0; }

private:
    void Watch();

    sio::IMessageQueue& queue_;
    sigset_t set_{};
    std::atomic<int> signal_{0};
    std::atomic<bool> ending_{false};
    std::thread thread_;
};

}  // namespace tarnell::cli
