// What the two Linux dispatchers (a tty, a TCP connection) share: the
// descriptor they serve, its lock, and the eventfds that wake their three
// device threads out of poll().
#pragma once

#include "base/SystemCalls.h"
#include "dispatch/Dispatcher.h"

#include <string>

namespace sio {

class TSioDescriptorDispatcher : public TSioBaseDispatcher {
public:
    explicit TSioDescriptorDispatcher(TSioBaseComponent* owner) : TSioBaseDispatcher(owner) {}

    // Neither kind has driver events to wait for, buffers to size or a
    // yield of its own.
    bool DeviceEventWord(std::uint32_t& word) override;
    bool DeviceSetQueues(std::uint32_t inSize, std::uint32_t outSize) override;
    std::int32_t DeviceYield() override;
    // The settings last written: a pseudo-terminal reports 8N whatever was
    // set, a server may not report at all, and the comparisons before a
    // write need what was asked for.
    std::int32_t DeviceGetSettings(TSioDcb& settings) override;
    // What the last opening attempt reached, from that attempt on and kept
    // after the close: a tty's device with links resolved ("/dev/pts/5"),
    // a network address ("rfc2217://host:4001").
    std::string DeviceLocation() const override;

protected:
    void WakeThreads() override;
    // Linux nice values for the priorities 0 (idle) .. 6 (time-critical).
    void ApplyThreadPriority(TSioDispatcherThread& thread, int priority) override;
    // Wakes one device thread out of its wait (the close's order is the base's).
    void WakeDeviceThread(TSioDispatcherThread::TRole role);
    // The errno with which a wake event could not be made, 0 when all were.
    // Without them the threads could neither be told of output nor stopped:
    // an opening without them would hang at the first write.
    int WakeEventsError() const;
    // The bits per second of settings whose sizes and parity both kinds
    // take; 0 when they cannot.
    static std::uint32_t CheckedBitsPerSecond(const TSioDcb& s);

    // Held around every use of the descriptor outside the device threads
    // and to close it (the device threads have ended by then).
    mutable TRankedLock fdLock_{this, TLockRank::Device};
    sys::TFileDescriptor fd_;
    sys::TEventFd readerWake_;   // ends the reader's wait
    sys::TEventFd outputReady_;  // DeviceWrite -> writer
    sys::TEventFd writerWake_;   // DiscardOutput and the close -> writer
    sys::TEventFd statusWake_;   // ends the status thread's wait
    std::string location_;       // main lock
};

}  // namespace sio
