// The port component's properties: each setter checks its value and, while
// the port is open, hands it to the dispatcher; Loaded and Assign.
#include "port/ComPort.h"
#include "port/PortInternal.h"

#include "errors/Exceptions.h"
#include "port/DispatcherFactory.h"
#include "base/Platform.h"
#include "selection/PortSelection.h"
#include "errors/ErrorTexts.h"
#include "dispatch/Dispatcher.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <thread>

namespace sio {

namespace {

constexpr std::uint32_t MaxTraceSize = 4000000;
constexpr std::uint32_t MaxLogSize = 16000000;
constexpr std::uint32_t UseEventWordFlag = 4;

template <class E, std::size_t N>
const char* NameOf(E v, const char* const (&names)[N])
{
    auto i = static_cast<std::size_t>(v);
    return i < N ? names[i] : "";
}

}  // namespace

const char* EnumName(TDeviceLayer v) { return NameOf(v, {"dlWin32", "dlWinsock"}); }
const char* EnumName(TParity v) { return NameOf(v, {"pNone", "pOdd", "pEven", "pMark", "pSpace"}); }
const char* EnumName(THWFlowOptions v)
{
    return NameOf(v, {"hwfUseDTR", "hwfUseRTS", "hwfRequireDSR", "hwfRequireCTS"});
}
const char* EnumName(TSWFlowOptions v) { return NameOf(v, {"swfNone", "swfReceive", "swfTransmit", "swfBoth"}); }
const char* EnumName(TTraceLogState v)
{
    return NameOf(v, {"tlOff", "tlOn", "tlDump", "tlAppend", "tlClear", "tlPause", "tlAppendAndContinue"});
}
const char* EnumName(TTapiMode v) { return NameOf(v, {"tmNone", "tmAuto", "tmOn", "tmOff"}); }

// --- Setters --------------------------------------------------------------------

void TSioCustomComPort::SetDeviceLayer(TDeviceLayer v)
{
    if (v == deviceLayer_ || state_ != StateClosed || !(supportedLayers_ & (1u << v)))
        return;
    deviceLayer_ = v;
    DeviceLayerChanged();
}

void TSioCustomComPort::SetComNumber(std::uint16_t v)
{
    if (v == comNumber_)
        return;
    bool wasOpen = state_ == StateOpen;
    TTraceLogState tracing = tracing_, logging = logging_;
    if (wasOpen) {
        dispatcher_->SaveTriggers(savedTriggers_->Set);
        SetOpen(false);
    }
    comNumber_ = v;
    if (wasOpen) {
        SetTracing(tracing);
        SetLogging(logging);
        // The opening restores the triggers saved at the close. Restoring
        // them once more would wipe the ones the port's users created when
        // told that it had opened (the packet manager's timer).
        SetOpen(true);
    }
}

void TSioCustomComPort::PushLineSettings()
{
    if (state_ == StateOpen && dispatcher_)
        Check(dispatcher_->ApplyLineSettings(baud_, static_cast<std::uint8_t>(parity_),
                                             static_cast<std::uint8_t>(dataBits_),
                                             static_cast<std::uint8_t>(stopBits_)));
}

void TSioCustomComPort::SetBaud(std::int32_t v)
{
    if (v == baud_)
        return;
    baud_ = v;
    PushLineSettings();
}

void TSioCustomComPort::SetParity(TParity v)
{
    if (v == parity_)
        return;
    parity_ = v;
    PushLineSettings();
}

void TSioCustomComPort::SetDataBits(std::uint16_t v)
{
    if (v == dataBits_)
        return;
    dataBits_ = v;
    PushLineSettings();
}

void TSioCustomComPort::SetStopBits(std::uint16_t v)
{
    if (v == stopBits_)
        return;
    stopBits_ = v;
    PushLineSettings();
}

void TSioCustomComPort::SetInSize(std::uint16_t v)
{
    if (v == inSize_)
        return;
    inSize_ = v;
    if (state_ == StateOpen && dispatcher_)
        dispatcher_->SetDeviceQueues(inSize_, outSize_);
}

void TSioCustomComPort::SetOutSize(std::uint16_t v)
{
    if (v == outSize_)
        return;
    outSize_ = v;
    if (state_ == StateOpen && dispatcher_)
        dispatcher_->SetDeviceQueues(inSize_, outSize_);
}

void TSioCustomComPort::SetDTR(bool v)
{
    if (v == dtr_ && !forceApply_)
        return;
    if (state_ == StateOpen && dispatcher_) {
        // 1: the line belongs to hardware flow control; the property stays.
        if (Check(dispatcher_->SetDtr(v)) == 0)
            dtr_ = v;
        return;
    }
    dtr_ = v;
}

void TSioCustomComPort::SetRTS(bool v)
{
    if (v == rts_ && !forceApply_)
        return;
    if (state_ == StateOpen && dispatcher_) {
        if (Check(dispatcher_->SetRts(v)) == 0)
            rts_ = v;
        return;
    }
    rts_ = v;
}

void TSioCustomComPort::FixMarks(double fullFactor, double resumeFactor)
{
    if (bufferFull_ == 0 || bufferFull_ > inSize_)
        bufferFull_ = static_cast<std::uint16_t>(inSize_ * fullFactor);
    if (bufferResume_ == 0 || bufferResume_ > bufferFull_)
        bufferResume_ = static_cast<std::uint16_t>(inSize_ * resumeFactor);
}

void TSioCustomComPort::SetHWFlowOptions(THWFlowOptionSet v)
{
    if (v == hwFlow_ && !forceApply_)
        return;
    if (!v.Empty())
        FixMarks(0.9, 0.1);
    if (state_ == StateOpen && dispatcher_)
        Check(dispatcher_->SetHardwareFlow(bufferFull_, bufferResume_, v.Bits()));
    hwFlow_ = v;
    // Hardware flow on the RTS/CTS pair and RS-485 direction exclude each other.
    if (v.Contains(hwfUseRTS) || v.Contains(hwfRequireCTS))
        SetRS485Mode(false);
}

void TSioCustomComPort::SetSWFlowOptions(TSWFlowOptions v)
{
    if (v == swFlow_ && !forceApply_)
        return;
    static constexpr std::uint8_t modes[] = {0, sfReceive, sfTransmit, sfReceive | sfTransmit};
    std::uint8_t mode = v <= swfBoth ? modes[v] : 0;
    if (mode != 0)
        FixMarks(0.75, 0.25);
    if (state_ == StateOpen && dispatcher_) {
        if (mode != 0)
            Check(dispatcher_->SetSoftwareFlow(bufferFull_, bufferResume_, mode));
        else
            Check(dispatcher_->ClearSoftwareFlow());
    }
    swFlow_ = v;
}

void TSioCustomComPort::SetXOnChar(char v)
{
    if (v == xonChar_ && !forceApply_)
        return;
    xonChar_ = v;
    if (state_ == StateOpen && dispatcher_)
        Check(dispatcher_->SetFlowChars(xonChar_, xoffChar_));
}

void TSioCustomComPort::SetXOffChar(char v)
{
    if (v == xoffChar_ && !forceApply_)
        return;
    xoffChar_ = v;
    if (state_ == StateOpen && dispatcher_)
        Check(dispatcher_->SetFlowChars(xonChar_, xoffChar_));
}

void TSioCustomComPort::PushFlowMarks()
{
    TForceGuard force(forceApply_, true);
    SetHWFlowOptions(hwFlow_);
    SetSWFlowOptions(swFlow_);
}

void TSioCustomComPort::SetBufferFull(std::uint16_t v)
{
    if (v == bufferFull_ && !forceApply_)
        return;
    bufferFull_ = v > inSize_ ? static_cast<std::uint16_t>(v * 0.9) : v;
    PushFlowMarks();
}

void TSioCustomComPort::SetBufferResume(std::uint16_t v)
{
    if (v == bufferResume_ && !forceApply_)
        return;
    bufferResume_ = v > bufferFull_ ? static_cast<std::uint16_t>(bufferFull_ * 0.1) : v;
    PushFlowMarks();
}

void TSioCustomComPort::SetRS485Mode(bool v)
{
    if (v == rs485Mode_ && !forceApply_)
        return;
    rs485Mode_ = v;
    if (state_ == StateOpen && dispatcher_)
        dispatcher_->SetRs485Mode(v);
    if (v) {
        SetHWFlowOptions(hwFlow_.Without(hwfUseRTS).Without(hwfRequireCTS));
        SetRTS(false);
    }
}

void TSioCustomComPort::SetUseEventWord(bool v)
{
    if (v == useEventWord_ && !forceApply_)
        return;
    useEventWord_ = v;
    if (state_ == StateOpen && dispatcher_) {
        if (v)
            dispatcher_->SetOptionFlags(UseEventWordFlag);
        else
            dispatcher_->ClearOptionFlags(UseEventWordFlag);
    }
}

void TSioCustomComPort::SetTriggerLength(std::uint16_t v)
{
    if (v == triggerLength_ && !forceApply_)
        return;
    triggerLength_ = v;
    if (state_ == StateOpen && dispatcher_)
        dispatcher_->SetAvailLength(v);
}

void TSioCustomComPort::SetThreadBoost(std::uint8_t v)
{
    if (v == threadBoost_ && !forceApply_)
        return;
    threadBoost_ = v;
    if (state_ == StateOpen && dispatcher_)
        dispatcher_->SetThreadBoost(v);
}

void TSioCustomComPort::SetTraceSize(std::uint32_t v)
{
    // Compared as stored: a value above the cap again is no change, and
    // must not discard what the trace holds.
    v = std::min(v, MaxTraceSize);
    if (v == traceSize_)
        return;
    traceSize_ = v;
    if (state_ == StateOpen && dispatcher_ && (tracing_ == tlOn || tracing_ == tlPause)) {
        // A running trace restarts with the new capacity; a paused one ends.
        TTraceLogState was = tracing_;
        dispatcher_->StopTrace();
        tracing_ = tlOff;
        SetTracing(was);
    }
}

void TSioCustomComPort::SetLogSize(std::uint32_t v)
{
    v = std::min(v, MaxLogSize);
    if (v == logSize_)
        return;
    logSize_ = v;
    if (state_ == StateOpen && dispatcher_ && (logging_ == tlOn || logging_ == tlPause)) {
        TTraceLogState was = logging_;
        dispatcher_->StopLog();
        logging_ = tlOff;
        SetLogging(was);
    }
}

void TSioCustomComPort::SetTracing(TTraceLogState v) { ApplyTraceLog(true, v); }
void TSioCustomComPort::SetLogging(TTraceLogState v) { ApplyTraceLog(false, v); }

void TSioCustomComPort::ApplyTraceLog(bool trace, TTraceLogState value)
{
    TTraceLogState& state = trace ? tracing_ : logging_;
    if (value == state && !forceApply_)
        return;
    if (state_ != StateOpen || !dispatcher_) {
        state = (value == tlOff || value == tlOn) ? value : tlOff;
        return;
    }
    TSioBaseDispatcher& d = *dispatcher_;
    const bool running = state == tlOn;
    const bool paused = state == tlPause;
    const std::string& name = trace ? traceName_ : logName_;
    const bool hex = trace ? traceHex_ : logHex_;
    const bool allHex = trace ? traceAllHex_ : logAllHex_;
    auto resume = [&] { trace ? d.ResumeTrace() : d.ResumeLog(); };
    auto append = [&] { Check(trace ? d.AppendTrace(name, hex, allHex) : d.AppendLog(name, hex, allHex)); };

    switch (value) {
    case tlOff:
        if (running || paused) {
            trace ? d.StopTrace() : d.StopLog();
            state = tlOff;
        }
        break;
    case tlOn:
        if (paused) {
            resume();
        } else if (trace) {
            Check(d.StartTrace(static_cast<std::int32_t>(traceSize_)));
        } else {
            d.StartLog(logSize_);
        }
        state = tlOn;
        break;
    case tlDump:
        if (running || paused) {
            resume();
            Check(trace ? d.DumpTrace(name, hex, allHex) : d.DumpLog(name, hex, allHex));
            state = tlOff;
        }
        break;
    case tlAppend:
        if (running || paused) {
            resume();
            append();
            state = tlOff;
        }
        break;
    case tlClear:
        if (running || paused) {
            if (trace)
                Check(d.ClearTrace());
            else
                d.ClearLog();
        }
        break;
    case tlPause:
        if (running) {
            trace ? d.PauseTrace() : d.PauseLog();
            state = tlPause;
        }
        break;
    case tlAppendAndContinue:
        if (running || paused) {
            resume();
            append();
            state = tlOn;
        }
        break;
    }
}

// --- Form loading and copying -------------------------------------------------

void TSioCustomComPort::Loaded()
{
    TSioBaseComponent::Loaded();
    if (openAfterLoad_)
        open_ = true;
    if (open_) {
        openAfterLoad_ = false;
        try {
            OpenPort();
        } catch (...) {
            open_ = false;
            ReportException(std::current_exception());
        }
    }
}

void TSioCustomComPort::Assign(const TSioCustomComPort& source)
{
    if (&source == this)
        return;
    userCallbacks_.clear();
    for (const auto& e : source.userCallbacks_)
        userCallbacks_.push_back(std::make_shared<TUserEntry>(TUserEntry{e->Owner, e->Callback, true}));
    if (source.state_ == StateOpen && source.dispatcher_) {
        source.dispatcher_->SaveTriggers(savedTriggers_->Set);
        triggersSaved_ = true;
    }
    forceApply_ = source.forceApply_;
    deviceLayer_ = source.deviceLayer_;
    comNumber_ = source.comNumber_;
    baud_ = source.baud_;
    parity_ = source.parity_;
    dataBits_ = source.dataBits_;
    stopBits_ = source.stopBits_;
    inSize_ = source.inSize_;
    outSize_ = source.outSize_;
    autoOpen_ = source.autoOpen_;
    promptForPort_ = source.promptForPort_;
    rs485Mode_ = source.rs485Mode_;
    threadBoost_ = source.threadBoost_;
    dtr_ = source.dtr_;
    rts_ = source.rts_;
    bufferFull_ = source.bufferFull_;
    bufferResume_ = source.bufferResume_;
    hwFlow_ = source.hwFlow_;
    swFlow_ = source.swFlow_;
    xonChar_ = source.xonChar_;
    xoffChar_ = source.xoffChar_;
    tracing_ = source.tracing_;
    traceSize_ = source.traceSize_;
    traceName_ = source.traceName_;
    traceHex_ = source.traceHex_;
    traceAllHex_ = source.traceAllHex_;
    logging_ = source.logging_;
    logSize_ = source.logSize_;
    logName_ = source.logName_;
    logHex_ = source.logHex_;
    logAllHex_ = source.logAllHex_;
    triggerLength_ = source.triggerLength_;
    open_ = false;
    SetOnTrigger(source.onTrigger_);
    SetOnTriggerAvail(source.onTriggerAvail_);
    SetOnTriggerData(source.onTriggerData_);
    SetOnTriggerStatus(source.onTriggerStatus_);
    SetOnTriggerTimer(source.onTriggerTimer_);
    onPortOpen_ = source.onPortOpen_;
    onPortClose_ = source.onPortClose_;
    tapiMode_ = source.tapiMode_;
}

}  // namespace sio
