// The serial port component: the object through which the program uses one
// serial port.
//
// TSioCustomComPort holds the port's settings as properties with defaults,
// opens the device on first use (asking the operator for a port through the
// chooser of SioSelCom when none is set), pushes every later change of a
// setting to the open device, flushes and writes, switches the trace and the
// dispatch log, writes them to their files when the port closes, and turns
// the dispatcher's notifications into its OnTrigger... events on the main
// thread. TSioComPort is the class the program instantiates.
//
// Threading: every operation, setter and event runs on the main thread (the
// thread of sio::MessageQueue()). The component has no lock of its own; it
// relies on the dispatcher's locks and on the port list's lock, which its
// notification target holds while it handles a notification. User
// callbacks and the OnTrigger... events run on the main thread.
#pragma once

#include "base/MessageQueue.h"
#include "base/BaseComponent.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sio {

class TSioBaseDispatcher;
class TSioCustomComPort;

// --- Enumerations (names and order are part of the stored forms) ----------

enum TDeviceLayer : std::uint8_t { dlWin32, dlWinsock };
enum TParity : std::uint8_t { pNone, pOdd, pEven, pMark, pSpace };
// Members of THWFlowOptionSet; their bit values are 1, 2, 4 and 8.
enum THWFlowOptions : std::uint8_t { hwfUseDTR, hwfUseRTS, hwfRequireDSR, hwfRequireCTS };
enum TSWFlowOptions : std::uint8_t { swfNone, swfReceive, swfTransmit, swfBoth };
enum TTraceLogState : std::uint8_t { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause, tlAppendAndContinue };
enum TTapiMode : std::uint8_t { tmNone, tmAuto, tmOn, tmOff };

// The values' own names ("pEven", "tlAppendAndContinue"); "" when out of range.
const char* EnumName(TDeviceLayer v);

// The device layers this build can open, as a bit set (1 << TDeviceLayer);
// defined with the dispatcher factory.
std::uint8_t SupportedDeviceLayers();
const char* EnumName(TParity v);
const char* EnumName(THWFlowOptions v);
const char* EnumName(TSWFlowOptions v);
const char* EnumName(TTraceLogState v);
const char* EnumName(TTapiMode v);

// A set of THWFlowOptions, held in one byte: bit (1 << option).
class THWFlowOptionSet {
public:
    constexpr THWFlowOptionSet() = default;
    constexpr THWFlowOptionSet(std::initializer_list<THWFlowOptions> options)
    {
        for (THWFlowOptions o : options)
            bits_ = static_cast<std::uint8_t>(bits_ | Bit(o));
    }
    static constexpr THWFlowOptionSet FromBits(std::uint8_t bits)
    {
        THWFlowOptionSet s;
        s.bits_ = static_cast<std::uint8_t>(bits & 0x0F);
        return s;
    }
    constexpr std::uint8_t Bits() const { return bits_; }
    constexpr bool Contains(THWFlowOptions o) const { return (bits_ & Bit(o)) != 0; }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr THWFlowOptionSet With(THWFlowOptions o) const { return FromBits(static_cast<std::uint8_t>(bits_ | Bit(o))); }
    constexpr THWFlowOptionSet Without(THWFlowOptions o) const
    {
        return FromBits(static_cast<std::uint8_t>(bits_ & ~Bit(o)));
    }
    friend constexpr bool operator==(THWFlowOptionSet a, THWFlowOptionSet b) { return a.bits_ == b.bits_; }

private:
    static constexpr std::uint8_t Bit(THWFlowOptions o) { return static_cast<std::uint8_t>(1u << o); }
    std::uint8_t bits_ = 0;
};

// A byte text of at most 255 characters; longer values are cut.
using TPassString = std::string;

// --- Events ----------------------------------------------------------------

using TNotifyEvent = std::function<void(TSioBaseComponent* Sender)>;
using TTriggerEvent =
    std::function<void(TSioCustomComPort* CP, std::uint16_t Msg, std::uint16_t TriggerHandle, std::uint16_t Data)>;
using TTriggerAvailEvent = std::function<void(TSioCustomComPort* CP, std::uint16_t Count)>;
using TTriggerDataEvent = std::function<void(TSioCustomComPort* CP, std::uint16_t TriggerHandle)>;
using TTriggerStatusEvent = std::function<void(TSioCustomComPort* CP, std::uint16_t TriggerHandle)>;
using TTriggerTimerEvent = std::function<void(TSioCustomComPort* CP, std::uint16_t TriggerHandle)>;
using TTriggerLineErrorEvent = std::function<void(TSioCustomComPort* CP, std::uint16_t Error, bool LineBreak)>;
using TWaitCharEvent = std::function<void(TSioCustomComPort* CP, char C)>;

// What a registered user is told, in this order over a port's life.
// pcLost comes between pcOpened and pcClosing when the device behind the open
// port goes away; the port stays open, and dead, until its next use closes
// it and opens it again.
enum TPortCallbackKind : int { pcOpened = 0, pcClosing = 1, pcClosed = 2, pcLost = 3 };
using TPortCallback = std::function<void(TSioCustomComPort* CP, TPortCallbackKind Kind)>;

// Port states.
enum TPortState : int { StateClosed = 0, StateClosing = 1, StateOpen = 2 };

// The saved trigger set lives with the dispatcher's types; the component
// only keeps it between a close and the next open.
struct TSavedTriggerHolder;

// --- The component ---------------------------------------------------------

class TSioCustomComPort : public TSioBaseComponent {
public:
    explicit TSioCustomComPort(TSioBaseComponent* owner = nullptr);
    ~TSioCustomComPort() override;

    // Dispatcher access. AcquireDispatcher opens the port first when it is
    // closed, the component is not loading and AutoOpen is set; it returns
    // null if the port stayed closed. RequireDispatcher raises ECommNotOpen
    // instead of returning null. Dispatcher() never opens.
    TSioBaseDispatcher* AcquireDispatcher();
    TSioBaseDispatcher* RequireDispatcher();
    TSioBaseDispatcher* Dispatcher() const { return dispatcher_.get(); }

    // Operations on the open port; each opens it first if needed and does
    // nothing while the port is closing. Failures raise.
    void FlushInput();
    void FlushOutput();
    void WriteString(const std::string& s);
    std::uint16_t ReadLineError();
    bool ReadLineBreak();
    // Timer triggers of the component's own (reported through
    // OnTriggerTimer), error-checked. AddTimerTrigger returns the handle
    // (0 while the port is closing); SetTimerTrigger does nothing then.
    std::uint16_t AddTimerTrigger();
    void SetTimerTrigger(std::uint16_t handle, std::int32_t ticks, bool activate);
    // Arms the component's own status trigger of a kind (stModem ..
    // stOutSent, dispatch/Dispatcher.h) with value (for stLine the line-error bits to
    // watch), adding it if this opening has none yet; a reopened port brings
    // back the one saved at its close, so arming at every opening and again
    // after each report keeps exactly one. Reported through OnTriggerStatus
    // and the kind's event (OnTriggerLineError for stLine). Opens a closed
    // port, never reopens a lost one; returns the handle (0 while closing).
    std::uint16_t ArmStatusTrigger(std::int32_t kind, std::uint16_t value);

    // The device behind the open port has gone (unplugged; the far end of a
    // pseudo-terminal closed). The component learns it at once on the main
    // thread: OnTriggerLineError fires with error 10 (unless a line-error
    // trigger has just reported it), the error report is given an
    // EDeviceLost (code ecDeviceLost, -3011) whose text names the port and
    // the device ("COM3 (/dev/pts/5): the device was lost"), and the users
    // are told pcLost (a collector waiting for a reply times out). The next
    // operation that acquires the dispatcher closes the port, writing its
    // trace and log as at every close, and opens it again; while the device
    // is still missing that fails as the first opening would.
    bool DeviceLost() const;
    // The round trip of the link to the device in milliseconds, as the open
    // port last measured it (a network port: from the server's answers to
    // purges, the first at the connection); 0 for a local device or a port
    // not open. A caller that waits for a reply adds it to the far end's
    // own time.
    std::uint32_t LinkRoundTripMs() const;

    // Users of the port (the packet collector's manager): told pcOpened
    // after the port has opened, pcClosing before it closes and pcClosed
    // after, last registered first. owner identifies the entries:
    // RemoveUserCallback removes every entry of that owner and no other
    // (it does nothing while the component is being destroyed). An entry
    // may be removed from inside a callback; a removed entry is not called
    // again. AddUserCallback returns the entry's index.
    std::int32_t AddUserCallback(const void* owner, TPortCallback callback);
    void RemoveUserCallback(const void* owner);

    void Assign(const TSioCustomComPort& source);

    // Port state and the loading handshake.
    TPortState PortState() const { return state_; }
    bool ForceApply() const { return forceApply_; }

    // --- Properties -------------------------------------------------------
    TDeviceLayer DeviceLayer() const { return deviceLayer_; }
    void SetDeviceLayer(TDeviceLayer v);
    std::uint16_t ComNumber() const { return comNumber_; }
    void SetComNumber(std::uint16_t v);
    std::int32_t Baud() const { return baud_; }
    void SetBaud(std::int32_t v);
    bool PromptForPort() const { return promptForPort_; }
    void SetPromptForPort(bool v) { promptForPort_ = v; }
    TParity Parity() const { return parity_; }
    void SetParity(TParity v);
    std::uint16_t DataBits() const { return dataBits_; }
    void SetDataBits(std::uint16_t v);
    std::uint16_t StopBits() const { return stopBits_; }
    void SetStopBits(std::uint16_t v);
    std::uint16_t InSize() const { return inSize_; }
    void SetInSize(std::uint16_t v);
    std::uint16_t OutSize() const { return outSize_; }
    void SetOutSize(std::uint16_t v);
    bool AutoOpen() const { return autoOpen_; }
    void SetAutoOpen(bool v) { autoOpen_ = v; }
    bool Open() const { return open_; }
    void SetOpen(bool v);
    bool DTR() const { return dtr_; }
    void SetDTR(bool v);
    bool RTS() const { return rts_; }
    void SetRTS(bool v);
    THWFlowOptionSet HWFlowOptions() const { return hwFlow_; }
    void SetHWFlowOptions(THWFlowOptionSet v);
    TSWFlowOptions SWFlowOptions() const { return swFlow_; }
    void SetSWFlowOptions(TSWFlowOptions v);
    char XOnChar() const { return xonChar_; }
    void SetXOnChar(char v);
    char XOffChar() const { return xoffChar_; }
    void SetXOffChar(char v);
    std::uint16_t BufferFull() const { return bufferFull_; }
    void SetBufferFull(std::uint16_t v);
    std::uint16_t BufferResume() const { return bufferResume_; }
    void SetBufferResume(std::uint16_t v);
    TTraceLogState Tracing() const { return tracing_; }
    void SetTracing(TTraceLogState v);
    std::uint32_t TraceSize() const { return traceSize_; }
    void SetTraceSize(std::uint32_t v);
    const TPassString& TraceName() const { return traceName_; }
    void SetTraceName(const TPassString& v) { traceName_ = v.substr(0, 255); }
    bool TraceHex() const { return traceHex_; }
    void SetTraceHex(bool v) { traceHex_ = v; }
    bool TraceAllHex() const { return traceAllHex_; }
    void SetTraceAllHex(bool v) { traceAllHex_ = v; }
    TTraceLogState Logging() const { return logging_; }
    void SetLogging(TTraceLogState v);
    std::uint32_t LogSize() const { return logSize_; }
    void SetLogSize(std::uint32_t v);
    const TPassString& LogName() const { return logName_; }
    void SetLogName(const TPassString& v) { logName_ = v.substr(0, 255); }
    bool LogHex() const { return logHex_; }
    void SetLogHex(bool v) { logHex_ = v; }
    bool LogAllHex() const { return logAllHex_; }
    void SetLogAllHex(bool v) { logAllHex_ = v; }
    bool UseMSRShadow() const { return useMSRShadow_; }
    bool UseEventWord() const { return useEventWord_; }
    void SetUseEventWord(bool v);
    std::uint16_t CommNotificationLevel() const { return commNotificationLevel_; }
    void SetCommNotificationLevel(std::uint16_t v) { commNotificationLevel_ = v; }
    TTapiMode TapiMode() const { return tapiMode_; }
    void SetTapiMode(TTapiMode v) { tapiMode_ = v; }
    bool RS485Mode() const { return rs485Mode_; }
    void SetRS485Mode(bool v);
    std::uint16_t TriggerLength() const { return triggerLength_; }
    void SetTriggerLength(std::uint16_t v);
    std::uint8_t ThreadBoost() const { return threadBoost_; }
    void SetThreadBoost(std::uint8_t v);

    // Events. Setting one of the ten trigger events updates the routing.
    const TNotifyEvent& OnPortOpen() const { return onPortOpen_; }
    void SetOnPortOpen(TNotifyEvent e) { onPortOpen_ = std::move(e); }
    const TNotifyEvent& OnPortClose() const { return onPortClose_; }
    void SetOnPortClose(TNotifyEvent e) { onPortClose_ = std::move(e); }
    const TTriggerEvent& OnTrigger() const { return onTrigger_; }
    void SetOnTrigger(TTriggerEvent e);
    const TTriggerAvailEvent& OnTriggerAvail() const { return onTriggerAvail_; }
    void SetOnTriggerAvail(TTriggerAvailEvent e);
    const TTriggerDataEvent& OnTriggerData() const { return onTriggerData_; }
    void SetOnTriggerData(TTriggerDataEvent e);
    const TTriggerStatusEvent& OnTriggerStatus() const { return onTriggerStatus_; }
    void SetOnTriggerStatus(TTriggerStatusEvent e);
    const TTriggerTimerEvent& OnTriggerTimer() const { return onTriggerTimer_; }
    void SetOnTriggerTimer(TTriggerTimerEvent e);
    const TTriggerLineErrorEvent& OnTriggerLineError() const { return onTriggerLineError_; }
    void SetOnTriggerLineError(TTriggerLineErrorEvent e);
    const TNotifyEvent& OnTriggerModemStatus() const { return onTriggerModemStatus_; }
    void SetOnTriggerModemStatus(TNotifyEvent e);
    const TNotifyEvent& OnTriggerOutbuffFree() const { return onTriggerOutbuffFree_; }
    void SetOnTriggerOutbuffFree(TNotifyEvent e);
    const TNotifyEvent& OnTriggerOutbuffUsed() const { return onTriggerOutbuffUsed_; }
    void SetOnTriggerOutbuffUsed(TNotifyEvent e);
    const TNotifyEvent& OnTriggerOutSent() const { return onTriggerOutSent_; }
    void SetOnTriggerOutSent(TNotifyEvent e);
    const TWaitCharEvent& OnWaitChar() const { return onWaitChar_; }
    void SetOnWaitChar(TWaitCharEvent e) { onWaitChar_ = std::move(e); }

    // The notification target (the hidden window); null while closed.
    TMessageTarget* NotifyWindow() const;

    // Handles one notification as the hidden window's procedure does; the
    // target calls it on the main thread.
    std::intptr_t WindowProc(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam);

protected:
    // Overridable steps, in the order the component's slots have them.
    virtual void CreateDispatcher();
    virtual void DeviceLayerChanged() {}
    virtual std::int32_t OpenPortDevice();
    virtual void SetNotifyWindow(bool on);
    virtual void EnsureComNumber();
    virtual void SetUseMSRShadow(bool v) { useMSRShadow_ = v; }
    virtual void DoTrigger(std::uint16_t Msg, std::uint16_t TriggerHandle, std::uint16_t Data);
    virtual void DoTriggerAvail(std::uint16_t Count);
    virtual void DoTriggerData(std::uint16_t TriggerHandle);
    virtual void DoTriggerStatus(std::uint16_t TriggerHandle);
    virtual void DoTriggerTimer(std::uint16_t TriggerHandle);
    virtual void UpdateEventRouting();
    virtual void DoTriggerLineError(std::uint16_t Error, bool LineBreak);
    virtual void DoTriggerModemStatus();
    virtual void DoTriggerOutbuffFree();
    virtual void DoTriggerOutbuffUsed();
    virtual void DoTriggerOutSent();
    virtual void DoWaitChar(char C);
    virtual void ClosePort();
    virtual void YieldToDevice();
    virtual void NotifyPortOpened();
    virtual void NotifyPortClosed();
    virtual void NotifyPortClosing();
    virtual void OpenPort();

    void Loaded() override;

private:
    class TNotifyTarget;
    struct TUserEntry;

    std::int32_t Check(std::int32_t code) const;
    // "COM3 (/dev/pts/5)": the port and the device, for messages.
    std::string PortLabel() const;
    // "COM3 (/dev/pts/5): the port could not be opened: " and the system's
    // reason, for an opening that failed with code.
    std::string OpenFailureMessage(std::int32_t code) const;
    void HandleDeviceLost();
    void RaiseIfLost(const TSioBaseDispatcher& d) const;
    void FinishClose();
    void DeferredClose(std::intptr_t lParam);
    void DiscardDispatcher();
    void NotifyUsers(TPortCallbackKind kind);
    void ApplyTraceLog(bool trace, TTraceLogState value);
    void FixMarks(double fullFactor, double resumeFactor);
    bool AnyTriggerEvent() const;
    // Which notifications the notification window has an event for (see
    // TNotifyTarget::SetWanted).
    std::uint32_t WantedNotifications() const;
    void PushLineSettings();
    void PushFlowMarks();

    TPortState state_ = StateClosed;
    bool forceApply_ = false;
    bool openAfterLoad_ = false;
    std::unique_ptr<TSioBaseDispatcher> dispatcher_;
    std::unique_ptr<TNotifyTarget> target_;
    // The target of the last close, kept until the next open or the end:
    // the close may run inside one of its own messages.
    std::unique_ptr<TNotifyTarget> retiredTarget_;
    bool destroying_ = false;
    bool deferredClosePending_ = false;  // a close message waits for the threads
    std::vector<std::shared_ptr<TUserEntry>> userCallbacks_;
    std::unique_ptr<TSavedTriggerHolder> savedTriggers_;
    bool triggersSaved_ = false;
    bool lossHandled_ = false;   // the loss of this opening's device was reported
    bool handlingLoss_ = false;  // HandleDeviceLost is running
    std::int32_t statusHandles_[8] = {};  // ArmStatusTrigger's handle per kind

    TDeviceLayer deviceLayer_ = dlWin32;
    std::uint16_t comNumber_ = 0;
    std::int32_t baud_ = 19200;
    bool promptForPort_ = true;
    TParity parity_ = pNone;
    std::uint16_t dataBits_ = 8;
    std::uint16_t stopBits_ = 1;
    std::uint16_t inSize_ = 4096;
    std::uint16_t outSize_ = 4096;
    bool autoOpen_ = true;
    bool open_ = false;
    bool dtr_ = true;
    bool rts_ = true;
    THWFlowOptionSet hwFlow_;
    TSWFlowOptions swFlow_ = swfNone;
    char xonChar_ = 17;
    char xoffChar_ = 19;
    std::uint16_t bufferFull_ = 0;
    std::uint16_t bufferResume_ = 0;
    TTraceLogState tracing_ = tlOff;
    std::uint32_t traceSize_ = 10000;
    TPassString traceName_ = "SIO.TRC";
    bool traceHex_ = true;
    bool traceAllHex_ = false;
    TTraceLogState logging_ = tlOff;
    std::uint32_t logSize_ = 10000;
    TPassString logName_ = "SIO.LOG";
    TPassString logWritten_;  // the log file a close of this component has written
    bool logHex_ = true;
    bool logAllHex_ = false;
    bool useMSRShadow_ = true;
    bool useEventWord_ = true;
    std::uint16_t commNotificationLevel_ = 10;
    TTapiMode tapiMode_ = tmAuto;
    bool rs485Mode_ = false;
    std::uint16_t triggerLength_ = 1;
    std::uint8_t threadBoost_ = 0;
    std::uint8_t supportedLayers_ = SupportedDeviceLayers();

    TNotifyEvent onPortOpen_, onPortClose_;
    TTriggerEvent onTrigger_;
    TTriggerAvailEvent onTriggerAvail_;
    TTriggerDataEvent onTriggerData_;
    TTriggerStatusEvent onTriggerStatus_;
    TTriggerTimerEvent onTriggerTimer_;
    TTriggerLineErrorEvent onTriggerLineError_;
    TNotifyEvent onTriggerModemStatus_, onTriggerOutbuffFree_, onTriggerOutbuffUsed_, onTriggerOutSent_;
    TWaitCharEvent onWaitChar_;
};

// The class the program instantiates; it publishes the properties above
// and adds nothing.
class TSioComPort : public TSioCustomComPort {
public:
    using TSioCustomComPort::TSioCustomComPort;
};

}  // namespace sio
