// The Windows dispatcher: a COM port behind the dispatcher's device slots,
// on the Win32 communications API with overlapped I/O.
//
// The device is opened exclusive and overlapped ("\\.\COMn"). Three threads
// serve it, each with its own OVERLAPPED record:
//  - the status thread waits in WaitCommEvent for received characters, line
//    errors, breaks and modem changes; EV_RXCHAR wakes the reader (the serial
//    event), the others travel as status records on the input queue;
//  - the reader reads what the driver holds (ReadFile never waits: interval
//    time-out MAXDWORD) in 256-byte records, when woken or every 50 ms. Where
//    WaitCommEvent cannot wait (Wine on a pseudo-terminal) it waits in a read
//    of the first byte instead, 50 ms at a time. A look that finds nothing
//    asks for the device's settings: a device that has gone refuses them,
//    also where its reads do not fail (Wine);
//  - the writer empties the output ring in one block per pass; a discard or
//    the close abandons a write in progress (writer wake, CancelIo). While
//    the main thread waits for the output to drain, it also watches the
//    driver's queue (ClearCommError's cbOutQue) and wakes the main thread
//    once that is empty.
// A read, write or event-wait failure is the device going away (an adapter
// unplugged): the threads end, the dispatcher thread last, after handing on
// what was read before and the loss itself (TSioBaseDispatcher::DeviceLost).
//
// RS-485 direction is the driver's (RTS_CONTROL_TOGGLE). A driver that
// refuses RTS_CONTROL_TOGGLE (some USB adapters; Wine) gets program-
// controlled direction instead: RTS raised before a block, dropped once the
// driver's output queue has emptied and the last character has left.
//
// Every wait also watches a stop event, so that the close never waits out a
// time-out. An operation still pending when a thread ends is cancelled; one
// that does not end then (Wine, on a device that has gone) keeps its record
// and buffer, which are left to it rather than freed under it.
#pragma once

#include "dispatch/Dispatcher.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace sio {

class TSioWin32Dispatcher : public TSioBaseDispatcher {
public:
    explicit TSioWin32Dispatcher(TSioBaseComponent* owner);
    ~TSioWin32Dispatcher() override;

    std::int32_t DeviceEscape(std::uint32_t function) override;
    std::int32_t DevicePurge(int which) override;
    std::uint32_t DeviceReadErrors(TSioComStat& status) override;
    std::int32_t DeviceGetSettings(TSioDcb& settings) override;
    std::int32_t DeviceSetSettings(const TSioDcb& settings) override;
    std::int32_t DeviceWrite(const void* data, std::int32_t count) override;
    bool DeviceEventWord(std::uint32_t& word) override;
    bool DeviceSetQueues(std::uint32_t inSize, std::uint32_t outSize) override;
    void StartThreads() override;
    std::int32_t DeviceOpen(const std::string& name, std::uint32_t inSize, std::uint32_t outSize) override;
    std::int32_t DeviceClose() override;
    std::int32_t DeviceYield() override;

    // The device handle (a HANDLE), null while closed.
    void* Handle() const { return handle_.load(std::memory_order_acquire); }
    // The status thread gets communication events from the driver. False
    // where WaitCommEvent cannot wait (Wine on a device without modem
    // lines); the reader then looks every 50 ms.
    bool EventsWork() const { return eventsWork_.load(std::memory_order_acquire); }

protected:
    void WakeThreads() override;
    void ApplyThreadPriority(TSioDispatcherThread& thread, int priority) override;
    bool DriverDirection() const override { return !toggleRefused_.load(std::memory_order_acquire); }
    std::uint16_t Rs485Setup(bool on) override;
    bool OutputDraining() override;
    bool WatchDrain() override;
    std::uint32_t DeviceModemStatus() override;

private:
    // The device threads' work (TDeviceThread): each returns its thread's
    // return value.
    std::int32_t ReaderLoop();
    std::int32_t WriterLoop();
    std::int32_t StatusLoop();

    // Writer: one pass; 0, ecInvalidHandle (the handle was closed under it)
    // or -160 on a device failure.
    std::int32_t WritePass();
    // Program-controlled direction: waits until the driver has sent all,
    // then drops RTS unless another block is queued.
    void DropRtsAfterSend();
    // Writer, while the main thread waits for the drain: looks at the
    // driver's output queue until it is empty, then wakes the main thread;
    // new output, a discard or the close cut the watch short.
    void WatchDriverQueue();

    std::atomic<void*> handle_{nullptr};
    // Event objects (HANDLEs), made with the dispatcher.
    void* serialEvent_ = nullptr;  // status thread (EV_RXCHAR) -> reader; auto-reset
    void* outputReady_ = nullptr;  // DeviceWrite -> writer; auto-reset
    void* writerWake_ = nullptr;   // DiscardOutput and the close -> writer; auto-reset
    void* stopEvent_ = nullptr;    // the stop flag, for waits; manual-reset
    std::atomic<bool> eventsWork_{false};
    std::atomic<bool> toggleRefused_{false};  // the driver has no RTS_CONTROL_TOGGLE
};

}  // namespace sio
