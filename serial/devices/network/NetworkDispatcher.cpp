// The network dispatcher: its device slots, the start and the close of its
// threads. Sockets are Linux calls: this folder is built only where the
// platform has them (serial/devices/CMakeLists.txt). The connecting is in
// NetworkConnect.cpp, the telnet session in TelnetSession.cpp, the three
// device threads in NetworkThreads.cpp.
#include "devices/network/NetworkDispatcher.h"
#include "devices/network/NetworkInternal.h"

#include "port/DispatcherFactory.h"
#include "port/ComPort.h"

#include "errors/Exceptions.h"
#include "base/BaseComponent.h"
#include "errors/ErrorTexts.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sio {

// ---------------------------------------------------------------------------

TSioNetworkDispatcher::TSioNetworkDispatcher(TSioBaseComponent* owner) : TSioDescriptorDispatcher(owner) {}

TSioNetworkDispatcher::~TSioNetworkDispatcher() { Shutdown(); }

std::string TSioNetworkDispatcher::OpenFailureText() const
{
    TGuard g(mainLock_);
    return failureText_;
}

std::optional<std::uint32_t> TSioNetworkDispatcher::ServerValue(std::uint8_t command, std::uint8_t controlGroup) const
{
    std::lock_guard l(ackLock_);
    if (command == cpSetControl) {
        const int group = ControlGroup(controlGroup);
        const int slot = group == 4 ? -1 : group;
        if (slot < 0 || serverControl_[slot] == 0)
            return std::nullopt;
        return serverControl_[slot];
    }
    if (command >= 8 || !haveServerValue_[command])
        return std::nullopt;
    return serverValues_[command];
}

std::vector<std::string> TSioNetworkDispatcher::Unacknowledged() const
{
    std::lock_guard l(ackLock_);
    return unacknowledged_;
}

std::int32_t TSioNetworkDispatcher::Fail(int err, const std::string& text)
{
    lastOsError_ = err;
    TGuard g(mainLock_);
    failureText_ = text;
    return -err;
}

std::int32_t TSioNetworkDispatcher::DeviceClose()
{
    return CloseAfterThreads([this](TSioDispatcherThread::TRole role) { WakeDeviceThread(role); },
                             [this] {
                                 std::unique_lock l(fdLock_);
                                 return fd_.Valid() && fd_.Reset() != 0 ? -1 : 0;
                             });
}

void TSioNetworkDispatcher::StartThreads()
{
    MarkActive();
    StartDeviceThreads(*this, &TSioNetworkDispatcher::ReaderLoop, &TSioNetworkDispatcher::WriterLoop,
                       &TSioNetworkDispatcher::StatusLoop);
    // What the opening queued (line settings, control lines) goes now.
    outputReady_.Set();
}

std::uint16_t TSioNetworkDispatcher::Rs485Setup(bool on)
{
    if (on)
        Note("RS-485: the device server switches the direction itself.");
    return 0;
}

// ---------------------------------------------------------------------------
// Device slots.

std::int32_t TSioNetworkDispatcher::DeviceEscape(std::uint32_t function)
{
    std::uint8_t value;
    switch (function) {
    case SETDTR: value = ctlDtrOn; break;
    case CLRDTR: value = ctlDtrOff; break;
    case SETRTS: value = ctlRtsOn; break;
    case CLRRTS: value = ctlRtsOff; break;
    default: return ecBadArgument;
    }
    if (!rfc2217_.load() || comPort_.load() == kOff)
        return 0;  // the server's lines are its own
    TGuard g(mainLock_);
    std::uint8_t& last = (value == ctlDtrOn || value == ctlDtrOff) ? sent_.dtr : sent_.rts;
    if (last != value) {
        last = value;
        SendComPort(cpSetControl, {value}, value);
    }
    return 0;
}

std::int32_t TSioNetworkDispatcher::DevicePurge(int which)
{
    if (which == PurgeOutput) {
        if (ThreadRunning(TSioDispatcherThread::Writer)) {
            bool writerIdle;
            {
                TGuard o(outputLock_);
                writerIdle = !writerHolds_.load();
                ClearOutputRingLocked();
            }
            if (!writerIdle)
                AbandonWrite(5000, [this] { writerWake_.Set(); });
        }
        SendPurge(purgeTransmit);
        return 0;
    }
    // Under the dispatch lock (DiscardInput): the wait is in force before
    // the queue is emptied, so the reader either queued its bytes before
    // the emptying or drops them.
    SendPurge(purgeReceive);
    inputQueue_.Clear();
    return 0;
}


std::uint32_t TSioNetworkDispatcher::DeviceReadErrors(TSioComStat& status)
{
    status.Flags = 0;
    status.cbInQue = 0;
    status.cbOutQue = static_cast<std::uint32_t>(OutputRingUsed());
    return lineErrors_.exchange(0);
}

std::int32_t TSioNetworkDispatcher::DeviceSetSettings(const TSioDcb& s)
{
    const std::uint32_t bps = CheckedBitsPerSecond(s);
    if (bps == 0)
        return -EINVAL;
    TGuard g(mainLock_);
    if (rfc2217_.load() && comPort_.load() != kOff) {
        static constexpr std::uint8_t parity[] = {cpParityNone, cpParityOdd, cpParityEven, cpParityMark,
                                                  cpParitySpace};
        const std::uint8_t p = parity[s.Parity];
        const std::uint8_t stop = s.StopBits == ONESTOPBIT ? cpStop1 : s.StopBits == ONE5STOPBITS ? cpStop15 : cpStop2;
        const std::uint8_t flow = (s.fOutxCtsFlow || s.fRtsControl == RTS_CONTROL_HANDSHAKE) ? ctlFlowHardware
                                  : s.fOutX                                                  ? ctlFlowXonXoff
                                                                                             : ctlFlowNone;
        if (sent_.baud != bps) {
            sent_.baud = bps;
            const std::uint8_t b[4] = {static_cast<std::uint8_t>(bps >> 24), static_cast<std::uint8_t>(bps >> 16),
                                       static_cast<std::uint8_t>(bps >> 8), static_cast<std::uint8_t>(bps)};
            SendComPort(cpSetBaudRate, {b, b + 4}, bps);
        }
        if (sent_.dataSize != s.ByteSize) {
            sent_.dataSize = s.ByteSize;
            SendComPort(cpSetDataSize, {s.ByteSize}, s.ByteSize);
        }
        if (sent_.parity != p) {
            sent_.parity = p;
            SendComPort(cpSetParity, {p}, p);
        }
        if (sent_.stopSize != stop) {
            sent_.stopSize = stop;
            SendComPort(cpSetStopSize, {stop}, stop);
        }
        if (sent_.flow != flow) {
            sent_.flow = flow;
            SendComPort(cpSetControl, {flow}, flow);
        }
        // RS-485: the server keys its transmitter; RTS rests off so that a
        // server that follows RTS listens between frames.
        if (s.fRtsControl == RTS_CONTROL_TOGGLE && sent_.rts != ctlRtsOff) {
            sent_.rts = ctlRtsOff;
            SendComPort(cpSetControl, {ctlRtsOff}, ctlRtsOff);
        }
    }
    settings_ = s;
    return 0;
}

std::int32_t TSioNetworkDispatcher::DeviceWrite(const void* data, std::int32_t count)
{
    TGuard o(outputLock_);
    if (outputRing_.empty() || count <= 0)
        return 0;
    PutOutputLocked(data, static_cast<std::uint32_t>(count));
    outputReady_.Set();
    return count;
}

std::unique_ptr<TSioBaseDispatcher> CreateNetworkDispatcher(TSioCustomComPort* owner)
{
    return std::make_unique<TSioNetworkDispatcher>(owner);
}

}  // namespace sio
