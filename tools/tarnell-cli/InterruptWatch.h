// Ctrl-C, SIGTERM and SIGHUP end the tool as a finished command would: the
// exchange under way stops, the port is closed (the driver's RS-485 mode
// switched back, the dispatch log written) and the program exits with
// 128 + the signal's number. Without this a signal would end the process
// with the port as it was. On Windows the console's control events stand
// for the signals: Ctrl-C for SIGINT, Ctrl-Break for SIGBREAK, closing the
// console or logging off for SIGTERM (InterruptWatchPosix.cpp,
// InterruptWatchWin32.cpp).
#pragma once

#include "base/MessageQueue.h"

#include <atomic>
#include <csignal>
#include <memory>
#include <string>

namespace tarnell::cli {

class TInterruptWatch final : public sio::TMessageTarget {
public:
    // Blocks the signals in the calling thread and every thread started
    // after it (POSIX); create it before anything starts a thread. A signal
    // wakes the main thread through queue, which must outlive the watch.
    explicit TInterruptWatch(sio::IMessageQueue& queue);
    ~TInterruptWatch() override;

    // The signal that arrived, or 0.
    int Signal() const { return signal_.load(); }

    std::intptr_t HandleMessage(std::uint32_t, std::uintptr_t, std::intptr_t) override { return 0; }

    // Called by the platform's watch when a signal arrives.
    void Arrived(int signal);

private:
    struct TPlatform;

    sio::IMessageQueue& queue_;
    std::atomic<int> signal_{0};
    std::unique_ptr<TPlatform> platform_;
};

// The signal's name for messages ("Interrupt").
std::string SignalText(int signal);

}  // namespace tarnell::cli
