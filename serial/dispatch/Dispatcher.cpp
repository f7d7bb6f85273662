// The dispatcher base: port list, opening, buffers and line settings.
// Threads and closing are in DispatcherThreads.cpp, triggers and delivery
// in TriggersAndDelivery.cpp.
#include "dispatch/Dispatcher.h"

#include "errors/Exceptions.h"
#include "base/Platform.h"
#include "errors/ErrorTexts.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>


namespace sio {

namespace {

std::recursive_mutex& ListLock()
{
    static std::recursive_mutex lock;
    return lock;
}

std::vector<TSioBaseDispatcher*>& List()
{
    static std::vector<TSioBaseDispatcher*> list;
    return list;
}

}  // namespace

std::recursive_mutex& PortListLock() { return ListLock(); }

std::int32_t PortListCount()
{
    std::lock_guard g(ListLock());
    return static_cast<std::int32_t>(List().size());
}

TSioBaseDispatcher* PortListAt(std::int32_t index)
{
    std::lock_guard g(ListLock());
    if (index < 0 || index >= static_cast<std::int32_t>(List().size()))
        return nullptr;
    return List()[static_cast<std::size_t>(index)];
}

std::uint32_t BaudToBitsPerSecond(std::uint32_t baud)
{
    static constexpr std::uint32_t table[24] = {110,   300, 600, 1200, 2400, 4800,   9600, 14400,
                                                19200, 0,   0,   38400, 0,   0,      0,    56000,
                                                0,     0,   0,   128000, 0,  0,      0,    256000};
    if (baud == 0xFEFF)
        return 115200;
    if (baud >= 0xFF10 && baud < 0xFF10 + 24) {
        std::uint32_t bps = table[baud - 0xFF10];
        return bps ? bps : baud;
    }
    return baud;
}

// ---------------------------------------------------------------------------

TSioBaseDispatcher::TSioBaseDispatcher(TSioBaseComponent* owner) : owner_(owner)
{
    for (auto& r : running_)
        r.store(false);
    std::lock_guard g(ListLock());
    auto& list = List();
    auto it = std::find(list.begin(), list.end(), nullptr);
    if (it != list.end()) {
        *it = this;
        portIndex_ = static_cast<std::int32_t>(it - list.begin());
    } else {
        list.push_back(this);
        portIndex_ = static_cast<std::int32_t>(list.size() - 1);
    }
}

TSioBaseDispatcher::~TSioBaseDispatcher()
{
    // The derived destructor has run Shutdown; what is left is bookkeeping.
    WaitAllThreadsEnded();
    for (auto& t : threads_)
        t.reset();  // joins
    std::lock_guard g(ListLock());
    auto& list = List();
    if (portIndex_ >= 0 && portIndex_ < static_cast<std::int32_t>(list.size()) &&
        list[static_cast<std::size_t>(portIndex_)] == this)
        list[static_cast<std::size_t>(portIndex_)] = nullptr;
    while (!list.empty() && list.back() == nullptr)
        list.pop_back();
}

void TSioBaseDispatcher::Shutdown()
{
    if (closePending_.load())
        ReleaseBuffers();
    else
        CloseDevice();
    WaitAllThreadsEnded();
}

void TSioBaseDispatcher::SetDeviceName(const std::string& name)
{
    {
        TGuard g(mainLock_);
        deviceName_ = name;
    }
    log_.SetDeviceName(name);
}

std::string TSioBaseDispatcher::DeviceName() const
{
    TGuard g(mainLock_);
    return deviceName_;
}

bool TSioBaseDispatcher::DeviceIsOpen() const { return deviceOpen_.load(std::memory_order_acquire); }
bool TSioBaseDispatcher::Rs485Mode() const { return rs485Mode_.load(std::memory_order_acquire); }

std::uint32_t TSioBaseDispatcher::OptionFlags() const
{
    TGuard g(mainLock_);
    return optionWord_;
}

void TSioBaseDispatcher::SetOptionFlags(std::uint32_t bits)
{
    TGuard g(mainLock_);
    optionWord_ |= bits;
}

void TSioBaseDispatcher::ClearOptionFlags(std::uint32_t bits)
{
    TGuard g(mainLock_);
    optionWord_ &= ~bits;
}

// ---------------------------------------------------------------------------
// Opening.

std::int32_t TSioBaseDispatcher::OpenDevice(const std::string& name, std::int32_t baud, std::uint8_t parity,
                                            std::uint8_t dataBits, std::uint8_t stopBits, std::uint16_t inSize,
                                            std::uint16_t outSize, std::uint8_t options)
{
    ringSeen_ = false;
    inDispatch_ = false;
    {
        TGuard g(mainLock_);
        handlerRemoved_ = false;
        closing_ = false;
    }
    deviceFailed_ = false;
    lossDelivered_ = false;
    inputQueue_.Clear();
    SetDeviceName(name);

    std::int32_t r = DeviceOpen(name, inSize, outSize);
    if (r < 0) {
        CloseDevice();
        return r;
    }
    deviceOpen_ = true;
    r = SetDeviceQueues(inSize, outSize);
    if (r < 0) {
        CloseDevice();
        return r;
    }

    {
        TGuard d(dispatchLock_);
        TGuard g(mainLock_);
        TGuard o(outputLock_);
        dispatchBuffer_.assign(DispatchBufferSize, 0);
        outputRing_.assign(outSize, 0);
        outputWrite_ = outputRead_ = 0;
        outputFull_ = false;
        outputQueuedSeq_ = 0;
        outputLeftSeq_ = 0;
        inSize_ = inSize;
        outSize_ = outSize;
        lineErrorWord_ = 0;
        outputSent_ = false;
        closePending_ = false;
        dispatchFull_ = false;
        handlerReadCount_ = 0;
        rs485Mode_ = false;
        uartBaseAddress_ = 0;
        DeviceGetSettings(settings_);
    }

    {
        TGuard g(mainLock_);
        if (options & optDtrHandshake) {
            dtrAuto_ = true;
        } else {
            dtrAuto_ = false;
            SetDtr((options & optDtrOn) != 0);
        }
        if (options & optRtsHandshake) {
            rtsAuto_ = true;
        } else {
            rtsAuto_ = false;
            SetRts((options & optRtsOn) != 0);
        }
    }

    {
        TGuard d(dispatchLock_);
        TGuard g(mainLock_);
        scanSeq_ = 0;
        filledSeq_ = 0;
        timerTriggers_.clear();
        dataTriggers_.clear();
        statusTriggers_.clear();
        availLength_ = 0;
        nextHandleCounter_ = 1;
        dispatchWrite_ = dispatchRead_ = 0;
        lastAvailSeq_ = 0;
        statusHit_ = false;
        inAvailDispatch_ = false;
        modemStatus_ = 0;
        lastBaud_ = 115200;
    }
    RefreshModemStatus(0xF0);

    r = ApplyLineSettings(baud, parity, dataBits, stopBits);
    if (r < 0) {
        CloseDevice();
        return r;
    }

    RefreshLineErrors();
    trace_.StopTrace();
    log_.SetTimeBase(MillisecondClock());
    log_.StopLog();

    StartThreads();
    return 0;
}

// ---------------------------------------------------------------------------
// Line settings.

namespace {

constexpr std::uint8_t ClampStopBits(std::uint8_t stopBits)
{
    std::uint8_t s = stopBits < 1 ? 1 : (stopBits > 2 ? 2 : stopBits);
    return s == 1 ? ONESTOPBIT : TWOSTOPBITS;
}

}  // namespace

std::int32_t TSioBaseDispatcher::ApplyLineSettings(std::int32_t baud, std::uint8_t parity, std::uint8_t dataBits,
                                                   std::uint8_t stopBits)
{
    TSioDcb wanted;
    {
        TGuard g(mainLock_);
        TSioDcb current;
        DeviceGetSettings(current);
        wanted = current;
        wanted.fBinary = true;
        wanted.fParity = false;
        wanted.fDsrSensitivity = false;
        wanted.fTXContinueOnXoff = true;
        wanted.fNull = false;
        if (baud != KeepBaud)
            wanted.BaudRate = static_cast<std::uint32_t>(baud);
        if (parity != KeepParity)
            wanted.Parity = parity;
        if (dataBits != KeepDataBits)
            wanted.ByteSize = dataBits;
        if (stopBits != KeepStopBits)
            wanted.StopBits = ClampStopBits(stopBits);
        if (wanted.ByteSize == 5)
            wanted.StopBits = ONE5STOPBITS;
        // Each write waits for the output to drain: write only on a change.
        if (wanted == current)
            return 0;
    }

    // Let the output drain, then about 18 character times at the old speed,
    // so that the last bytes leave before the line changes under them. The
    // main thread serves the serial layer's own deliveries meanwhile: the
    // dispatcher thread may be waiting for it. A handler run meanwhile may
    // queue more output, which drains too, within the same 10 s.
    const auto drainEnd = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(drainEnd - std::chrono::steady_clock::now());
        WaitDrained(static_cast<std::uint32_t>(std::max<std::int64_t>(left.count(), 0)));
        TSioDcb old;
        std::uint32_t bps;
        {
            TGuard g(mainLock_);
            DeviceGetSettings(old);
            bps = BaudToBitsPerSecond(lastBaud_);
        }
        if (bps > 0) {
            std::uint64_t bits =
                old.ByteSize + 2u + (old.Parity != NOPARITY ? 1u : 0u) + (old.StopBits != ONESTOPBIT ? 1u : 0u);
            std::uint64_t t = (10000000u / bps) * bits * 18u;  // 100-ns units
            if (t < 10000)
                t *= 2;
            WaitServing([] { return false; }, static_cast<std::uint32_t>((t + 9999) / 10000));
        }
        if (OutputDrained() || std::chrono::steady_clock::now() >= drainEnd)
            break;
    }

    TGuard g(mainLock_);
    TSioDcb dcb;
    DeviceGetSettings(dcb);
    dcb.BaudRate = wanted.BaudRate;
    dcb.Parity = wanted.Parity;
    dcb.ByteSize = wanted.ByteSize;
    dcb.StopBits = wanted.StopBits;
    dcb.fBinary = wanted.fBinary;
    dcb.fParity = wanted.fParity;
    dcb.fDsrSensitivity = wanted.fDsrSensitivity;
    dcb.fTXContinueOnXoff = wanted.fTXContinueOnXoff;
    dcb.fNull = wanted.fNull;
    return SettingsWrite(dcb);
}

std::int32_t TSioBaseDispatcher::SettingsWrite(TSioDcb& dcb)
{
    TGuard g(mainLock_);
    if (!dtrAuto_)
        dcb.fDtrControl = dtrState_ ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    if (!rtsAuto_)
        dcb.fRtsControl = rtsState_ ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    std::int32_t r = DeviceSetSettings(dcb);
    if (r == 0) {
        settings_ = dcb;
        lastBaud_ = dcb.BaudRate;
    }
    SetDtr(dtrState_);
    if (!rs485Mode_)
        SetRts(rtsState_);
    return r;
}

void TSioBaseDispatcher::QueryLineSettings(std::int32_t& baud, std::uint8_t& parity, std::uint8_t& dataBits,
                                           std::uint8_t& stopBits)
{
    TGuard g(mainLock_);
    TSioDcb dcb;
    DeviceGetSettings(dcb);
    baud = static_cast<std::int32_t>(BaudToBitsPerSecond(dcb.BaudRate));
    parity = dcb.Parity;
    dataBits = dcb.ByteSize;
    stopBits = dcb.StopBits == ONESTOPBIT ? 1 : 2;
}

std::int32_t TSioBaseDispatcher::SetDeviceQueues(std::uint32_t inSize, std::uint32_t outSize)
{
    if (DeviceSetQueues(inSize, outSize)) {
        inputLimit_.store(inSize, std::memory_order_release);
        return 0;
    }
    return -lastOsError_.load();
}

std::int32_t TSioBaseDispatcher::SetDtr(bool on)
{
    TGuard g(mainLock_);
    if (dtrAuto_)
        return 1;
    std::int32_t r = DeviceEscape(on ? SETDTR : CLRDTR);
    dtrState_ = on;
    return r < 0 ? ecBadArgument : r;
}

std::int32_t TSioBaseDispatcher::SetRts(bool on)
{
    TGuard g(mainLock_);
    if (rtsAuto_)
        return 1;
    std::int32_t r = DeviceEscape(on ? SETRTS : CLRRTS);
    rtsState_ = on;
    return r < 0 ? ecBadArgument : r;
}

std::int32_t TSioBaseDispatcher::SetHardwareFlow(std::uint16_t bufferFull, std::uint16_t bufferResume,
                                                 std::uint8_t options)
{
    TGuard g(mainLock_);
    if (bufferFull < bufferResume || bufferFull > inSize_)
        return ecBadArgument;
    TSioDcb dcb;
    DeviceGetSettings(dcb);
    dcb.fOutxCtsFlow = false;
    dcb.fOutxDsrFlow = false;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dtrAuto_ = false;
    rtsAuto_ = false;
    if (options & hfUseDtr) {
        dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
        dtrAuto_ = true;
    } else if (dtrState_) {
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
    }
    if (options & hfUseRts) {
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        rtsAuto_ = true;
    } else if (rtsState_) {
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
    }
    if (rs485Mode_ && DriverDirection()) {
        dcb.fRtsControl = RTS_CONTROL_TOGGLE;
        rtsAuto_ = true;
    }
    dcb.XoffLim = static_cast<std::uint16_t>(inSize_ - bufferFull);
    dcb.XonLim = bufferResume;
    if (options & hfRequireDsr)
        dcb.fOutxDsrFlow = true;
    if (options & hfRequireCts)
        dcb.fOutxCtsFlow = true;
    return SettingsWrite(dcb);
}

std::int32_t TSioBaseDispatcher::SetSoftwareFlow(std::uint16_t bufferFull, std::uint16_t bufferResume,
                                                 std::uint8_t options)
{
    TGuard g(mainLock_);
    if (bufferFull < bufferResume || bufferFull > inSize_)
        return ecBadArgument;
    TSioDcb dcb;
    DeviceGetSettings(dcb);
    if (options & sfReceive) {
        dcb.fInX = true;
        dcb.XoffLim = static_cast<std::uint16_t>(inSize_ - bufferFull);
        dcb.XonLim = bufferResume;
        dcb.XonChar = 17;
        dcb.XoffChar = 19;
    }
    if (options & sfTransmit) {
        dcb.fOutX = true;
        dcb.XonChar = 17;
        dcb.XoffChar = 19;
    }
    return SettingsWrite(dcb);
}

std::int32_t TSioBaseDispatcher::ClearSoftwareFlow()
{
    TGuard g(mainLock_);
    TSioDcb dcb;
    DeviceGetSettings(dcb);
    dcb.fOutX = false;
    dcb.fInX = false;
    return SettingsWrite(dcb);
}

std::int32_t TSioBaseDispatcher::SetFlowChars(char xon, char xoff)
{
    TGuard g(mainLock_);
    TSioDcb dcb;
    DeviceGetSettings(dcb);
    dcb.XonChar = xon;
    dcb.XoffChar = xoff;
    return SettingsWrite(dcb);
}

std::int32_t TSioBaseDispatcher::QueryFlowOptions(std::uint8_t& hwOptions, std::uint8_t& swOptions, char& xon,
                                                  char& xoff)
{
    TGuard g(mainLock_);
    TSioDcb dcb;
    std::int32_t r = DeviceGetSettings(dcb);
    hwOptions = 0;
    if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE)
        hwOptions |= hfUseDtr;
    if (dcb.fRtsControl & RTS_CONTROL_HANDSHAKE)  // also true for RTS_CONTROL_TOGGLE
        hwOptions |= hfUseRts;
    if (dcb.fOutxDsrFlow)
        hwOptions |= hfRequireDsr;
    if (dcb.fOutxCtsFlow)
        hwOptions |= hfRequireCts;
    swOptions = 0;
    if (dcb.fOutX)
        swOptions |= sfTransmit;
    if (dcb.fInX)
        swOptions |= sfReceive;
    xon = dcb.XonChar;
    xoff = dcb.XoffChar;
    return r;
}

void TSioBaseDispatcher::SetRs485Mode(bool on)
{
    TGuard g(mainLock_);
    rs485Mode_ = on;
    uartBaseAddress_ = Rs485Setup(on);
    if (auto* w = ThreadObject(TSioDispatcherThread::Writer); w && ThreadRunning(TSioDispatcherThread::Writer))
        ApplyThreadPriority(*w, threadBoost_.load() + (on ? 4 : 3));
}

// ---------------------------------------------------------------------------
// Writing and reading.

std::int32_t TSioBaseDispatcher::WriteBytes(const void* data, std::int32_t count)
{
    if (count == 0)
        return 0;
    if (count < 0 || !data)
        return ecBadArgument;
    TGuard g(mainLock_);  // main before output: the order every path keeps
    std::int32_t r;
    {
        TGuard o(outputLock_);
        if (outputRing_.empty() && outSize_ > 0)
            return ecCommNotOpen;  // buffers released after the device failed
        std::int32_t free = static_cast<std::int32_t>(outSize_) - OutputRingUsed();
        if (count > free)
            return ecOutputBufferTooSmall;
        if (ProgramDirection()) {
            if (uartBaseAddress_.load() == 0)
                return ecBaseAddressNotSet;
            SetRts(true);
        }
        // Counted before the device may take it (a direct write hands it
        // over within DeviceWrite).
        outputQueuedSeq_ = outputQueuedSeq_.load() + static_cast<std::uint32_t>(count);
        r = DeviceWrite(data, count);
        if (r <= 0) {
            outputLeftSeq_ = outputQueuedSeq_.load();  // nothing of it will leave
            TSioComStat st;
            AddLineErrors(static_cast<std::int32_t>(DeviceReadErrors(st) & 0x1F));
            r = ecPutBlockFail;
        } else {
            r = 0;
        }
        // A sent-output status trigger waits for this.
        if (!outputSent_.exchange(true))
            WakeDispatcher();
    }
    log_.AddLogEntry(ltDispatch, lsWriteCom, static_cast<std::uint32_t>(count), data,
                     static_cast<std::uint32_t>(count));
    trace_.RecordTraceBytes(tkTransmit, data, static_cast<std::size_t>(count));
    return r;
}

std::uint32_t TSioBaseDispatcher::UnreadLocked() const
{
    if (dispatchWrite_ == dispatchRead_)
        return dispatchFull_ ? DispatchBufferSize : 0;
    return (dispatchWrite_ + DispatchBufferSize - dispatchRead_) % DispatchBufferSize;
}

std::int32_t TSioBaseDispatcher::ReadBytes(void* dest, std::int32_t count)
{
    if (count < 0 || (count > 0 && !dest))
        return ecBadArgument;
    bool madeRoom = false;
    {
        TGuard d(dispatchLock_);
        if (dispatchBuffer_.empty())
            return count == 0 ? 0 : ecBufferIsEmpty;
        std::uint32_t offset = inAvailDispatch_ ? handlerReadCount_ : 0;
        std::uint32_t unread = UnreadLocked();
        std::uint32_t available = unread > offset ? unread - offset : 0;
        if (static_cast<std::uint32_t>(count) > available)
            return ecBufferIsEmpty;
        std::uint32_t start = (dispatchRead_ + offset) % DispatchBufferSize;
        auto out = static_cast<std::uint8_t*>(dest);
        std::uint32_t first = std::min<std::uint32_t>(static_cast<std::uint32_t>(count), DispatchBufferSize - start);
        if (first > 0)
            std::memcpy(out, dispatchBuffer_.data() + start, first);
        if (static_cast<std::uint32_t>(count) > first)
            std::memcpy(out + first, dispatchBuffer_.data(), static_cast<std::uint32_t>(count) - first);
        if (inAvailDispatch_) {
            handlerReadCount_ += static_cast<std::uint32_t>(count);
        } else {
            dispatchRead_ = (start + static_cast<std::uint32_t>(count)) % DispatchBufferSize;
            if (count > 0) {
                madeRoom = dispatchFull_;
                dispatchFull_ = false;
            }
        }
    }
    if (madeRoom)
        roomEvent_.Set();
    trace_.RecordTraceBytes(tkReceive, dest, static_cast<std::size_t>(count));
    return count;
}

// Every device layer's reader hands its bytes over through the input queue,
// so taking them out is the same for all.
std::int32_t TSioBaseDispatcher::DeviceRead(void* dest, std::int32_t count)
{
    auto out = static_cast<std::uint8_t*>(dest);
    std::int32_t done = 0;
    while (done < count) {
        TIOBuffer* first = inputQueue_.Peek();
        if (!first)
            break;
        if (first->Kind() != TIOBufferKind::Data) {
            inputQueue_.HandBack(first);  // events keep their place among the bytes
            break;
        }
        auto* data = static_cast<TDataBuffer*>(first);
        std::int32_t n = std::min(count - done, data->Unread());
        if (n > 0) {
            std::memcpy(out + done, data->Data() + data->ReadCount, static_cast<std::size_t>(n));
            data->ReadCount += n;
            done += n;
        }
        if (data->Unread() == 0)
            inputQueue_.Pop();
        else
            inputQueue_.HandBack(first);
    }
    return done;
}

std::int32_t TSioBaseDispatcher::InputCount()
{
    TGuard d(dispatchLock_);
    std::uint32_t unread = UnreadLocked();
    std::uint32_t offset = inAvailDispatch_ ? handlerReadCount_ : 0;
    return static_cast<std::int32_t>(unread > offset ? unread - offset : 0);
}

std::int32_t TSioBaseDispatcher::OutputUsed()
{
    TGuard o(outputLock_);
    TSioComStat st;
    AddLineErrors(static_cast<std::int32_t>(DeviceReadErrors(st) & 0x1F));
    deviceStatus_ = st;
    return static_cast<std::int32_t>(st.cbOutQue);
}

std::int32_t TSioBaseDispatcher::OutputFree() { return static_cast<std::int32_t>(outSize_) - OutputUsed(); }

std::int32_t TSioBaseDispatcher::DiscardOutput()
{
    const std::int32_t r = DevicePurge(PurgeOutput);
    {
        // Discarded output will not leave: reply timers no longer wait for it.
        TGuard o(outputLock_);
        outputLeftSeq_ = outputQueuedSeq_.load();
    }
    WakeDispatcher();
    return r;
}

bool TSioBaseDispatcher::WaitOutputSent(std::uint32_t timeoutMs) { return WaitDrained(timeoutMs); }

bool TSioBaseDispatcher::OutputDrained() { return OutputUsed() <= 0 && !OutputDraining(); }

bool TSioBaseDispatcher::WaitDrained(std::uint32_t timeoutMs)
{
    // The common case (a pseudo-terminal, whose driver queue reads empty, or
    // nothing written lately) ends here, without a watch.
    if (OutputDrained())
        return true;
    drainWaits_.fetch_add(1);
    struct TCounted {
        std::atomic<int>& waits;
        ~TCounted() { waits.fetch_sub(1); }
    } counted{drainWaits_};
    // The writer wakes the main thread when it has handed its last block
    // on, and the watch when the driver's queue has emptied; a platform
    // that cannot watch its driver leaves the wait to look again.
    const bool watched = WatchDrain();
    return WaitServing([this] { return OutputDrained(); }, timeoutMs, watched ? kWaitForever : kDrainRecheckMs);
}

std::int32_t TSioBaseDispatcher::DiscardInput()
{
    std::int32_t r;
    {
        TGuard d(dispatchLock_);
        r = DevicePurge(PurgeInput);
        if (inAvailDispatch_) {
            // Everything counts as consumed when the dispatch ends.
            largestHandlerRead_ = UnreadLocked();
        } else {
            dispatchRead_ = dispatchWrite_;
            handlerReadCount_ = 0;
        }
        dispatchFull_ = false;
        ResetDataTriggerMatches();
        inputDiscards_.fetch_add(1, std::memory_order_release);
    }
    roomEvent_.Set();
    return r;
}

std::uint32_t TSioBaseDispatcher::OutputRingUsedLocked() const
{
    if (outSize_ == 0 || outputRing_.empty())
        return 0;
    if (outputFull_)
        return outSize_;
    return (outputWrite_ + outSize_ - outputRead_) % outSize_;
}

bool TSioBaseDispatcher::TakeOutputBlockLocked(std::vector<std::uint8_t>& block)
{
    const std::uint32_t used = OutputRingUsedLocked();
    if (used == 0)
        return false;
    block.resize(used);
    const std::uint32_t first = std::min(used, outSize_ - outputRead_);
    std::memcpy(block.data(), outputRing_.data() + outputRead_, first);
    if (used > first)
        std::memcpy(block.data() + first, outputRing_.data(), used - first);
    outputWrite_ = outputRead_ = 0;
    outputFull_ = false;
    writerHolds_ = true;
    return true;
}

void TSioBaseDispatcher::PutOutputLocked(const void* data, std::uint32_t count)
{
    auto in = static_cast<const std::uint8_t*>(data);
    const std::uint32_t first = std::min(count, outSize_ - outputWrite_);
    std::memcpy(outputRing_.data() + outputWrite_, in, first);
    if (count > first)
        std::memcpy(outputRing_.data(), in + first, count - first);
    outputWrite_ = (outputWrite_ + count) % outSize_;
    if (outputWrite_ == outputRead_)
        outputFull_ = true;
}

bool TSioBaseDispatcher::ClearOutputRingLocked()
{
    const bool idle = !outputFull_ && outputWrite_ == outputRead_ && !writerHolds_.load();
    outputWrite_ = outputRead_ = 0;
    outputFull_ = false;
    return idle;
}

std::int32_t TSioBaseDispatcher::OutputRingUsed()
{
    TGuard o(outputLock_);
    return static_cast<std::int32_t>(OutputRingUsedLocked());
}

TSioBaseDispatcher::TWriterHolding::~TWriterHolding()
{
    d.writerHolds_ = false;
    WakeMainThread();
}

bool TSioBaseDispatcher::DispatchBufferFull() const
{
    TGuard d(dispatchLock_);
    return dispatchFull_ && !dispatchBuffer_.empty();
}

// ---------------------------------------------------------------------------
// Input moving (dispatcher thread).

bool TSioBaseDispatcher::QueueReceived(const std::uint8_t* bytes, std::int32_t count,
                                       const std::function<bool()>& keep)
{
    // Bounded like a driver's input buffer: a port that nobody reads must
    // not grow the heap for as long as its device sends.
    const std::uint32_t limit =
        std::max(inputLimit_.load(std::memory_order_acquire), static_cast<std::uint32_t>(ReadRecordSize));
    std::int32_t done = 0;
    auto append = [&]() -> std::int32_t {
        if (!keep)
            return inputQueue_.AppendData(bytes + done, count - done, ReadRecordSize, limit);
        TGuard d(dispatchLock_);
        if (!keep()) {
            done = count;
            return 0;
        }
        return inputQueue_.AppendData(bytes + done, count - done, ReadRecordSize, limit);
    };
    for (;;) {
        const std::int32_t queued = append();
        if (queued < 0)
            return false;
        done += queued;
        if (done == count || StopRequested())
            return true;
        // Full. While the dispatcher thread can still move bytes on (a burst
        // it has not caught up with), or while receive flow control can hold
        // the device back, wait for room: the bytes not yet read stay with
        // the driver. Once the dispatch buffer is full as well nobody reads,
        // and what came is lost.
        if (queued > 0)
            continue;
        if (DispatchBufferFull() && !ReceiveFlowControl()) {
            // The dispatcher thread may have emptied the queue into the
            // buffer between the append and the look at the buffer; with the
            // buffer full the queue cannot drain any more, so one more try
            // tells for sure.
            const std::int32_t late = append();
            if (late < 0)
                return false;
            done += late;
            if (done == count)
                return true;
            if (late == 0)
                break;
            continue;
        }
        inputQueue_.WaitForRoom(limit, 50);
    }
    AddLineErrors(static_cast<std::int32_t>(CE_RXOVER));
    static const char text[] = "Input buffer overflow.";
    log_.AddLogEntry(ltDispatch, lsStatus, static_cast<std::uint32_t>(count - done), text, sizeof text - 1);
    return true;
}

bool TSioBaseDispatcher::ReceiveFlowControl() const
{
    TGuard g(mainLock_);
    return settings_.fInX || settings_.fRtsControl == RTS_CONTROL_HANDSHAKE ||
           settings_.fDtrControl == DTR_CONTROL_HANDSHAKE;
}

bool TSioBaseDispatcher::FillDispatchBuffer()
{
    TGuard d(dispatchLock_);
    if (dispatchBuffer_.empty())
        return false;
    if (dispatchFull_) {
        static const char text[] = "Dispatch buffer full.";
        log_.AddLogEntry(ltDispatch, lsStatus, 0, text, sizeof text - 1);
        return true;
    }
    std::int32_t avail = InputPending();
    if (avail <= 0)
        return false;
    std::uint32_t w = dispatchWrite_, r = dispatchRead_;
    std::uint32_t free, contiguous;
    if (r == w) {
        free = DispatchBufferSize;
        contiguous = DispatchBufferSize - w;
    } else if (r < w) {
        free = r + DispatchBufferSize - w;
        contiguous = DispatchBufferSize - w;
    } else {
        free = contiguous = r - w;
    }
    std::uint32_t n = std::min(free, static_cast<std::uint32_t>(avail));
    std::uint32_t rest = contiguous < n ? n - contiguous : 0;
    std::int32_t got = 0;
    std::uint32_t moved = 0;
    if (contiguous > 0) {
        // DeviceRead stops at a status record, so bytes behind an event
        // wait for the next cycle.
        std::uint32_t want = contiguous;
        got = std::max(0, DeviceRead(dispatchBuffer_.data() + w, static_cast<std::int32_t>(want)));
        log_.AddLogEntry(ltDispatch, lsReadCom, static_cast<std::uint32_t>(got), dispatchBuffer_.data() + w,
                         static_cast<std::uint32_t>(got));
        w += static_cast<std::uint32_t>(got);
        moved += static_cast<std::uint32_t>(got);
        if (static_cast<std::uint32_t>(got) < want)
            rest = 0;
    }
    if (w == DispatchBufferSize)
        w = 0;
    if (got > 0)
        dispatchFull_ = (w == r);
    if (rest > 0) {
        got = DeviceRead(dispatchBuffer_.data() + w, static_cast<std::int32_t>(rest));
        if (got < 0)
            got = -got;
        log_.AddLogEntry(ltDispatch, lsReadCom, static_cast<std::uint32_t>(got), dispatchBuffer_.data() + w,
                         static_cast<std::uint32_t>(got));
        w += static_cast<std::uint32_t>(got);
        moved += static_cast<std::uint32_t>(got);
        if (got > 0)
            dispatchFull_ = (w == r);
    }
    dispatchWrite_ = w % DispatchBufferSize;
    filledSeq_ += moved;
    return true;
}

std::int32_t TSioBaseDispatcher::InputPending()
{
    TIOBuffer* first = inputQueue_.Peek();
    if (!first)
        return 0;
    std::int32_t n = 0;
    if (first->Kind() == TIOBufferKind::Data)
        n = static_cast<TDataBuffer*>(first)->Unread();
    inputQueue_.HandBack(first);
    return n;
}

// ---------------------------------------------------------------------------
// Line errors and modem status.

void TSioBaseDispatcher::RefreshLineErrors()
{
    TSioComStat st;
    AddLineErrors(static_cast<std::int32_t>(DeviceReadErrors(st) & 0x1F));
}

std::int32_t TSioBaseDispatcher::TakeLineError()
{
    TGuard g(mainLock_);
    std::int32_t word = lineErrorWord_.load();
    for (;;) {
        std::int32_t report;
        std::int32_t next;
        if (word == -1) {
            report = leDeviceFailed;
            next = 0;
        } else {
            if (word & CE_RXOVER)
                report = leBuffer;
            else if (word & CE_OVERRUN)
                report = leOverrun;
            else if (word & CE_RXPARITY)
                report = leParity;
            else if (word & CE_FRAME)
                report = leFraming;
            else if (word & CE_BREAK)
                report = leBreak;
            else
                report = leNone;
            next = word & ~0x0F;  // the break bit stays for TakeLineBreak
        }
        if (report == leNone)
            return leNone;
        if (lineErrorWord_.compare_exchange_weak(word, next))
            return report;
    }
}

bool TSioBaseDispatcher::TakeLineBreak()
{
    TGuard g(mainLock_);
    std::int32_t word = lineErrorWord_.load();
    for (;;) {
        if (word == -1 || !(word & CE_BREAK))
            return false;
        if (lineErrorWord_.compare_exchange_weak(word, word & ~static_cast<std::int32_t>(CE_BREAK)))
            return true;
    }
}

std::uint32_t TSioBaseDispatcher::RefreshModemStatus(std::uint32_t mask)
{
    std::uint32_t lines = DeviceModemStatus();
    TGuard g(mainLock_);
    std::uint32_t byte = (lines & 0xF0) | (modemStatus_.load() & 0x0F);
    if (ringSeen_.exchange(false))
        byte |= 0x04;
    modemStatus_ = byte & mask;
    return byte;
}

std::uint32_t TSioBaseDispatcher::ModemStatus() const { return modemStatus_.load(std::memory_order_acquire); }

}  // namespace sio
