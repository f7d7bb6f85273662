// The Linux dispatcher: a tty device behind the dispatcher's device slots.
//
// The device is opened non-blocking and exclusive (TIOCEXCL and a flock, so
// that a second open is refused even for root), set to raw mode, and its
// settings are written with TCSETS2 (struct termios2, any baud through
// BOTHER). Three threads serve it:
//  - the reader polls the device and drains it with non-blocking reads into
//    256-byte records on the input queue;
//  - the writer empties the output ring in one block per pass, waiting with
//    poll(POLLOUT) and an eventfd that DiscardOutput and the close use to
//    abandon a write in progress; while the main thread waits for the output
//    to drain, it also watches the driver's queue (TIOCOUTQ) and wakes the
//    main thread once that is empty;
//  - the status thread looks at the modem lines (TIOCMGET) and the error
//    counters (TIOCGICOUNT) every 100 ms and queues a status record when
//    one changed. A device that has neither (a pseudo-terminal) leaves it
//    asleep until the close.
// A read or write failure, or a hang-up with nothing to read or no room to
// write (the other side of a pseudo-terminal closed, a USB adapter
// unplugged), is the device going away: the threads end, the dispatcher
// thread last, after handing on what was read before and the loss itself
// (TSioBaseDispatcher::DeviceLost).
//
// RS-485 direction: where the driver has the kernel's RS-485 mode
// (TIOCSRS485) it switches RTS itself; elsewhere the dispatcher raises RTS
// before a block and drops it when the transmitter reports empty
// (TIOCSERGETLSR, or an empty output queue where the driver lacks it).
//
// Every system call goes through sio::sys::Calls() (base/SystemCalls.h).
#pragma once

#include "devices/DescriptorDispatcher.h"

#include <cstdint>
#include <mutex>
#include <string>

namespace sio {

// The device behind a port name: "\\.\COMn" (or "COMn") is entry COMn of
// the folder named by SIO_PORT_DIR when it is set, else COM1..32 are
// /dev/ttyS0..31, COM33..40 /dev/ttyUSB0..7, COM41..48 /dev/ttyACM0..7. A
// name that starts with "/" is taken as a path. "" when nothing matches.
std::string PosixDevicePath(const std::string& name);

// The same map by port number, with the device folder given ("/dev" but in
// tests). The port selection list probes by it, so both agree.
std::string PosixPortPath(int n, const std::string& devRoot = "/dev");

// An errno as the dispatcher reports it (a positive OS error number): a
// missing device is 2, a device in use 5, too many files 4, no memory 8;
// every other errno passes as itself. atOpen: EIO also means "missing".
std::int32_t TranslateErrno(int err, bool atOpen);

// How RS-485 direction is switched on the open device.
enum class TRs485Path : std::uint8_t {
    None,     // RS-485 mode off
    Kernel,   // the driver's RS-485 mode (RTS on send)
    Program,  // RTS raised before a block, dropped once the transmitter is empty
};

class TSioPosixDispatcher : public TSioDescriptorDispatcher {
public:
    explicit TSioPosixDispatcher(TSioBaseComponent* owner);
    ~TSioPosixDispatcher() override;

    std::int32_t DeviceEscape(std::uint32_t function) override;
    std::int32_t DevicePurge(int which) override;
    std::uint32_t DeviceReadErrors(TSioComStat& status) override;
    std::int32_t DeviceSetSettings(const TSioDcb& settings) override;
    std::int32_t DeviceWrite(const void* data, std::int32_t count) override;
    void StartThreads() override;
    std::int32_t DeviceOpen(const std::string& name, std::uint32_t inSize, std::uint32_t outSize) override;
    std::int32_t DeviceClose() override;

    // The path that was opened ("" while closed).
    std::string DevicePath() const;
    // Which RS-485 direction control the device got (None while off).
    TRs485Path Rs485Path() const { return rs485Path_.load(std::memory_order_acquire); }
    int Fd() const { return fd_.Get(); }

protected:
    bool DriverDirection() const override;
    bool OutputDraining() override;
    bool WatchDrain() override;
    std::uint16_t Rs485Setup(bool on) override;
    std::uint32_t DeviceModemStatus() override;

private:
    // The device threads' work (TDeviceThread): each returns its thread's
    // return value.
    std::int32_t ReaderLoop();
    std::int32_t WriterLoop();
    std::int32_t StatusLoop();

    // Writer: one pass; 0, or -160 on a device failure.
    std::int32_t WritePass();
    // Program-controlled direction: wait for an empty transmitter.
    void WaitTransmitterEmpty();
    // Writer, while the main thread waits for the drain: looks at the
    // driver's output queue until it is empty, then wakes the main thread;
    // new output, a discard or the close cut the watch short.
    void WatchDriverQueue();
    // Program-controlled direction: drops RTS unless a block is queued.
    void DropRtsWhenIdle();
    // Sets up or takes down the kernel's RS-485 mode; true if the driver has it.
    bool ApplyKernelRs485(bool on);

    std::string devicePath_;  // main lock
    std::atomic<TRs485Path> rs485Path_{TRs485Path::None};
    std::atomic<bool> kernelRs485_{false};
    std::atomic<bool> directDrain_{false};  // a block written by WriteBytes waits for RTS to drop
    std::atomic<bool> haveModemLines_{false};  // TIOCMGET answered at open  // the driver answered TIOCSRS485
    std::mutex countLock_;  // the error counters seen by DeviceReadErrors
    bool haveCounters_ = false;
    struct TCounters {
        std::int32_t frame = 0, parity = 0, overrun = 0, bufOverrun = 0, brk = 0;
    } lastCounters_;
};

}  // namespace sio
