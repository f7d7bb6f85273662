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

// The hidden notification window: the dispatcher sends it the trigger
// notifications, the component posts it the deferred close. It runs on the
// main thread. After the close it is detached and ignores everything, so
// that a late message never reaches a component that is gone. If the
// component is destroyed while a deferred close is pending, the target takes
// over the dispatcher and finishes that close on its own.
class TSioCustomComPort::TNotifyTarget final : public TMessageTarget {
public:
    explicit TNotifyTarget(TSioCustomComPort* port) : port_(port) {}

    void Detach() { port_ = nullptr; }

    // Bit n: message WM_SIO_AVAIL + n (avail, data, timer) has an event;
    // bit 3 + k: a status notification of kind k has one.
    void SetWanted(std::uint32_t bits) { wanted_.store(bits, std::memory_order_release); }
    bool WantsNotification(std::uint32_t msg, std::uintptr_t wParam) const override
    {
        const std::uint32_t bits = wanted_.load(std::memory_order_acquire);
        if (msg >= WM_SIO_AVAIL && msg < WM_SIO_STATUS)
            return (bits >> (msg - WM_SIO_AVAIL)) & 1u;
        if (msg == WM_SIO_STATUS)
            return (bits >> (3 + (wParam & 7))) & 1u;
        return true;
    }

    // Takes the dispatcher of a close still waiting for its threads; the
    // pending close message continues the wait and then frees both.
    void AdoptPendingClose(std::unique_ptr<TSioBaseDispatcher> dispatcher)
    {
        port_ = nullptr;
        dispatcher->DetachOwner();
        orphan_ = std::move(dispatcher);
    }

    std::intptr_t HandleMessage(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) override
    {
        if (port_)
            return port_->WindowProc(msg, wParam, lParam);
        if (orphan_ && msg == WM_SIO_CLOSE) {
            if (orphan_->Active()) {
                // Not yet: it comes again when the last thread has ended.
                orphan_->PostWhenInactive(this, msg, wParam, lParam);
                return 0;
            }
            orphan_->RemoveWindowHandler(this);
            orphan_.reset();
            MessageQueue().DiscardMessages(this);
            delete this;  // nothing touches this object after the return
        }
        return 0;
    }

private:
    TSioCustomComPort* port_;
    std::unique_ptr<TSioBaseDispatcher> orphan_;
    std::atomic<std::uint32_t> wanted_{0};
};

// ---------------------------------------------------------------------------

TSioCustomComPort::TSioCustomComPort(TSioBaseComponent* owner)
    : TSioBaseComponent(owner), savedTriggers_(std::make_unique<TSavedTriggerHolder>())
{
}

TSioCustomComPort::~TSioCustomComPort()
{
    // Collectors bound to this port let go of it first, while it is whole.
    NotifyFreeing();
    destroying_ = true;
    // Close the port. A trace or log that cannot be written must not keep
    // the device open: report it and close without that dump.
    for (int attempt = 0; attempt < 3 && state_ == StateOpen; ++attempt) {
        try {
            ClosePort();
        } catch (...) {
            ReportException(std::current_exception());
            if (state_ == StateOpen) {
                if (tracing_ == tlOn || tracing_ == tlPause)
                    tracing_ = tlOff;
                else
                    logging_ = tlOff;
            }
        }
    }
    if (state_ == StateOpen) {
        // Should a close still have left the port open: close it without
        // telling anybody.
        userCallbacks_.clear();
        try {
            DiscardDispatcher();
        } catch (...) {
            ReportException(std::current_exception());
        }
    }
    if (deferredClosePending_ && dispatcher_ && target_) {
        // A deferred close is pending: it finishes without this component.
        TNotifyTarget* t = target_.release();
        t->AdoptPendingClose(std::move(dispatcher_));
    } else if (dispatcher_) {
        DiscardDispatcher();
    }
    if (target_) {
        MessageQueue().DiscardMessages(target_.get());
        target_.reset();
    }
    if (retiredTarget_) {
        MessageQueue().DiscardMessages(retiredTarget_.get());
        retiredTarget_.reset();
    }
    for (auto& e : userCallbacks_)
        e->Alive = false;
    userCallbacks_.clear();
    TSioBaseDispatcher::FreeTriggerSet(savedTriggers_->Set);
}

std::int32_t TSioCustomComPort::Check(std::int32_t code) const { return RaiseOnError(this, code); }

// --- Dispatcher access and operations ---------------------------------------

TSioBaseDispatcher* TSioCustomComPort::AcquireDispatcher()
{
    // A port whose device has gone is closed and opened again: the device may
    // be back. Not from inside a delivery of the dead dispatcher, nor while
    // its loss is being reported: the operations then fail with the loss.
    if (dispatcher_ && state_ == StateOpen && dispatcher_->DeviceLost() && !IsLoading() && !handlingLoss_ &&
        !dispatcher_->InDispatch()) {
        // Its dispatcher thread has handed the loss on once the threads end.
        dispatcher_->WaitThreadsEnded();
        HandleDeviceLost();
        if (state_ == StateOpen && dispatcher_)
            ClosePort();
    }
    if (!dispatcher_ && !IsLoading() && state_ != StateOpen && autoOpen_)
        SetOpen(true);
    return dispatcher_.get();
}

bool TSioCustomComPort::DeviceLost() const { return state_ == StateOpen && dispatcher_ && dispatcher_->DeviceLost(); }

std::uint32_t TSioCustomComPort::LinkRoundTripMs() const
{
    return state_ == StateOpen && dispatcher_ ? dispatcher_->LinkRoundTripMs() : 0;
}

std::string TSioCustomComPort::PortLabel() const
{
    std::string label = "COM" + std::to_string(comNumber_);
    std::string device = dispatcher_ ? dispatcher_->DeviceLocation() : std::string();
    // A device given without a number (tarnell-cli --device) is its own name.
    if (comNumber_ == 0 && !device.empty())
        return device;
    return device.empty() ? label : label + " (" + device + ")";
}

std::string TSioCustomComPort::OpenFailureMessage(std::int32_t code) const
{
    std::string label = PortLabel();
    // A platform that keeps no location of its own: the device opened.
    if (comNumber_ > 0 && (!dispatcher_ || dispatcher_->DeviceLocation().empty()))
        label += " (" + PortDeviceName(comNumber_) + ")";
    const std::int32_t err = dispatcher_ ? dispatcher_->LastOsError() : 0;
    const std::string system = err != 0 ? CleanSystemMessage(platform::SystemErrorText(err)) : std::string();
    // A code without a class says nothing by itself: the system's text and
    // number do.
    if (!CodeHasClass(code))
        return label + ": the port could not be opened: " +
               (err != 0 ? system + " (system error " + std::to_string(err) + ")" : "error " + std::to_string(code));
    // The class's own text stays (callers know it); the system's reason
    // follows, unless that text is the system's already.
    std::string text = label + ": " + ErrorMessage(code);
    const bool ioCode = code >= -162 && code <= -2;
    if (err != 0 && !(ioCode && err == -code) && !system.empty())
        text += ": " + system;
    return text;
}

void TSioCustomComPort::RaiseIfLost(const TSioBaseDispatcher& d) const
{
    if (d.DeviceLost())
        throw EDeviceLost(ecDeviceLost, PortLabel() + ": the device was lost");
}

void TSioCustomComPort::HandleDeviceLost()
{
    if (lossHandled_ || handlingLoss_ || state_ != StateOpen || !dispatcher_ || !dispatcher_->DeviceLost())
        return;
    lossHandled_ = true;
    const EDeviceLost lost(ecDeviceLost, PortLabel() + ": the device was lost");
    struct THandling {
        bool& flag;
        ~THandling() { flag = false; }
    } handling{handlingLoss_};
    handlingLoss_ = true;
    // Line error 10, unless a line-error trigger has reported it already.
    try {
        bool lineBreak = ReadLineBreak();
        std::uint16_t error = ReadLineError();
        if (error == leDeviceFailed)
            DoTriggerLineError(error, lineBreak);
    } catch (...) {
        ReportException(std::current_exception());
    }
    // The operator, in plain words; then the users (a waiting collector times out).
    ReportException(std::make_exception_ptr(lost));
    try {
        NotifyUsers(pcLost);
    } catch (...) {
        ReportException(std::current_exception());
    }
}

TSioBaseDispatcher* TSioCustomComPort::RequireDispatcher()
{
    TSioBaseDispatcher* d = AcquireDispatcher();
    if (!d)
        RaiseForCode(ecCommNotOpen);
    return d;
}

void TSioCustomComPort::FlushInput()
{
    if (state_ == StateClosing)
        return;
    TSioBaseDispatcher* d = RequireDispatcher();
    RaiseIfLost(*d);
    Check(d->DiscardInput());
}

void TSioCustomComPort::FlushOutput()
{
    if (state_ == StateClosing)
        return;
    TSioBaseDispatcher* d = RequireDispatcher();
    RaiseIfLost(*d);
    Check(d->DiscardOutput());
}

void TSioCustomComPort::WriteString(const std::string& s)
{
    if (state_ == StateClosing)
        return;
    TSioBaseDispatcher* d = RequireDispatcher();
    RaiseIfLost(*d);
    if (s.empty())
        return;
    Check(d->WriteBytes(s.data(), static_cast<std::int32_t>(s.size())));
}

std::uint16_t TSioCustomComPort::ReadLineError()
{
    if (state_ != StateOpen || !dispatcher_)
        return 0;
    return static_cast<std::uint16_t>(Check(dispatcher_->TakeLineError()));
}

bool TSioCustomComPort::ReadLineBreak()
{
    if (state_ != StateOpen || !dispatcher_)
        return false;
    return dispatcher_->TakeLineBreak();
}

std::uint16_t TSioCustomComPort::AddTimerTrigger()
{
    if (state_ == StateClosing)
        return 0;
    TSioBaseDispatcher* d = RequireDispatcher();
    return static_cast<std::uint16_t>(Check(d->AddTimerTrigger()));
}

void TSioCustomComPort::SetTimerTrigger(std::uint16_t handle, std::int32_t ticks, bool activate)
{
    if (state_ == StateClosing)
        return;
    TSioBaseDispatcher* d = RequireDispatcher();
    Check(d->SetTimerTrigger(handle, static_cast<std::uint32_t>(ticks), activate));
}

std::uint16_t TSioCustomComPort::ArmStatusTrigger(std::int32_t kind, std::uint16_t value)
{
    if (state_ == StateClosing)
        return 0;
    if (kind < stModem || kind > stOutSent)
        RaiseForCode(ecBadArgument);
    // The dispatcher at hand, lost or not: a handler of the loss re-arms,
    // and the trigger is saved at the close and restored at the reopening.
    TSioBaseDispatcher* d = dispatcher_ ? dispatcher_.get() : RequireDispatcher();
    std::int32_t& handle = statusHandles_[kind];
    if (handle != 0 && d->SetStatusTrigger(handle, value, true) == 0)
        return static_cast<std::uint16_t>(handle);
    handle = Check(d->AddStatusTrigger(kind));
    Check(d->SetStatusTrigger(handle, value, true));
    return static_cast<std::uint16_t>(handle);
}

void TSioCustomComPort::YieldToDevice()
{
    if (state_ == StateClosing)
        return;
    TSioBaseDispatcher* d = RequireDispatcher();
    Check(d->DeviceYield());
}

// --- User callbacks -----------------------------------------------------------

std::int32_t TSioCustomComPort::AddUserCallback(const void* owner, TPortCallback callback)
{
    userCallbacks_.push_back(std::make_shared<TUserEntry>(TUserEntry{owner, std::move(callback), true}));
    return static_cast<std::int32_t>(userCallbacks_.size()) - 1;
}

void TSioCustomComPort::RemoveUserCallback(const void* owner)
{
    if (destroying_)
        return;
    for (std::size_t i = userCallbacks_.size(); i-- > 0;) {
        if (userCallbacks_[i]->Owner == owner) {
            userCallbacks_[i]->Alive = false;
            userCallbacks_.erase(userCallbacks_.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
}

void TSioCustomComPort::NotifyUsers(TPortCallbackKind kind)
{
    // A callback may add or remove entries; walk a copy and skip the removed.
    auto entries = userCallbacks_;
    for (std::size_t i = entries.size(); i-- > 0;) {
        if (entries[i]->Alive && entries[i]->Callback)
            entries[i]->Callback(this, kind);
    }
}

void TSioCustomComPort::NotifyPortOpened()
{
    NotifyUsers(pcOpened);
    if (onPortOpen_)
        onPortOpen_(this);
}

void TSioCustomComPort::NotifyPortClosing() { NotifyUsers(pcClosing); }

void TSioCustomComPort::NotifyPortClosed()
{
    NotifyUsers(pcClosed);
    if (onPortClose_)
        onPortClose_(this);
}

// --- Opening and closing ------------------------------------------------------

void TSioCustomComPort::SetOpen(bool v)
{
    if (v == open_)
        return;
    if (IsLoading()) {
        open_ = v;
        if (v)
            openAfterLoad_ = true;
        return;
    }
    if (v)
        OpenPort();
    else
        ClosePort();
}

void TSioCustomComPort::EnsureComNumber()
{
    if (comNumber_ != 0)
        return;
    if (!promptForPort_)
        RaiseForCode(ecNoPortSelected);
    TComSelectForm form;
    if (form.ShowModal() != mrOk)
        RaiseForCode(ecNoPortSelected);
    SetComNumber(static_cast<std::uint16_t>(form.SelectedPort()));
}

void TSioCustomComPort::CreateDispatcher()
{
    // No telephony line can hand us a device on this platform.
    if (tapiMode_ == tmOn)
        RaiseForCode(ecNotOpenedByTapi);
    // A COM number that the port folder links to a network address is a
    // network port; the layer follows the map without a rebuild.
    if (tapiMode_ != tmOn) {
        const TDeviceLayer layer = LayerOfPort(comNumber_, deviceLayer_);
        if (supportedLayers_ & (1u << layer))
            deviceLayer_ = layer;
    }
    dispatcher_ = CreateDispatcherFor(deviceLayer_, this);
    if (!dispatcher_)
        RaiseForCode(ecNullApi);
}

std::int32_t TSioCustomComPort::OpenPortDevice()
{
    std::string name = tapiMode_ == tmOn ? std::string() : PortDeviceName(comNumber_);
    std::uint8_t options = 0;
    if (dtr_)
        options |= optDtrOn;
    if (rts_)
        options |= optRtsOn;
    if (hwFlow_.Contains(hwfUseDTR))
        options |= optDtrHandshake;
    if (hwFlow_.Contains(hwfUseRTS))
        options |= optRtsHandshake;
    std::int32_t r = dispatcher_->OpenDevice(name, baud_, static_cast<std::uint8_t>(parity_),
                                             static_cast<std::uint8_t>(dataBits_),
                                             static_cast<std::uint8_t>(stopBits_), inSize_, outSize_, options);
    if (r == ecAccessDenied)
        return ecAlreadyOpen;
    if (r == ecFileNotFound || r == ecPathNotFound)
        return ecBadId;
    return r;
}

void TSioCustomComPort::OpenPort()
{
    if (tapiMode_ != tmOn)
        EnsureComNumber();
    CreateDispatcher();
    dispatcher_->SetDeviceName(tapiMode_ == tmOn ? std::string() : PortDeviceName(comNumber_));
    lossHandled_ = false;
    bool restored = false;
    try {
        std::int32_t r = OpenPortDevice();
        if (r < 0) {
            // The flock refuses a second opener, root and this process too.
            if (r == ecAlreadyOpen && !IsLoading())
                throw EAlreadyOpen(ecAlreadyOpen, PortLabel() + " is already in use");
            // A network port says which address failed and why.
            if (!IsLoading()) {
                if (std::string why = dispatcher_->OpenFailureText(); !why.empty())
                    throw ESioException(r, PortLabel() + ": " + why);
                // The class and code a caller looks at stay; the text names
                // the port and the device, and says why.
                RaiseForCode(r, OpenFailureMessage(r));
            }
            Check(r);
            // Still here: loading, where codes are returned, not raised.
            DiscardDispatcher();
            open_ = false;
            state_ = StateClosed;
            return;
        }
        state_ = StateOpen;
        UpdateEventRouting();
        {
            TForceGuard force(forceApply_, true);
            SetTracing(tracing_);
            SetLogging(logging_);
            SetHWFlowOptions(hwFlow_);
            SetSWFlowOptions(swFlow_);
            SetXOnChar(xonChar_);
            SetXOffChar(xoffChar_);
            SetTriggerLength(triggerLength_);
            SetDTR(dtr_);
            SetRTS(rts_);
            SetUseEventWord(useEventWord_);
            SetRS485Mode(rs485Mode_);
            SetThreadBoost(threadBoost_);
        }
        open_ = true;
        SetNotifyWindow(true);
        if (triggersSaved_) {
            triggersSaved_ = false;
            restored = true;
            dispatcher_->RestoreTriggers(savedTriggers_->Set);
        } else {
            std::fill(std::begin(statusHandles_), std::end(statusHandles_), 0);
        }
        NotifyPortOpened();
        // Lost while opening, before the notification window was there to
        // be told.
        if (dispatcher_ && dispatcher_->DeviceLost() && target_)
            MessageQueue().PostMessage(target_.get(), WM_SIO_LOST, 0,
                                       static_cast<std::intptr_t>(dispatcher_->PortIndex()) << 16);
    } catch (...) {
        open_ = false;
        state_ = StateClosed;
        DiscardDispatcher();
        // The set still holds the triggers of the last close: the next
        // opening must bring them back, not lose them with this dispatcher.
        if (restored)
            triggersSaved_ = true;
        throw;
    }
}

// Stops the device and frees the dispatcher and the target, in that order,
// so that no thread can still reach the target when it goes.
void TSioCustomComPort::DiscardDispatcher()
{
    if (dispatcher_)
        dispatcher_->CloseDevice();
    if (target_)
        SetNotifyWindow(false);
    dispatcher_.reset();
}

void TSioCustomComPort::ClosePort()
{
    if (state_ != StateOpen)
        return;
    SetTracing(tlDump);
    // The dispatch log keeps the whole run: the first close of this
    // component writes a fresh file, later ones append their connection
    // (each with its header), and the next opening logs as configured. It is
    // written once the device has closed, so that what the close itself
    // noted is in it.
    const bool logRunning = logging_ == tlOn || logging_ == tlPause;
    const bool logAppend = logWritten_ == logName_;
    if (logRunning)
        logging_ = tlOn;  // kept for the next opening; the dispatcher's log ends with this close
    state_ = StateClosing;
    // A user that fails here must not leave the port half closed: every
    // later operation would be refused without a word. The close goes on
    // and the failure is raised at its end.
    std::exception_ptr failure;
    try {
        NotifyPortClosing();
    } catch (...) {
        failure = std::current_exception();
    }
    dispatcher_->SaveTriggers(savedTriggers_->Set);
    triggersSaved_ = true;
    dispatcher_->CloseDevice();
    if (logRunning) {
        logWritten_ = logName_;
        try {
            TSioBaseDispatcher& d = *dispatcher_;
            d.ResumeLog();
            Check(logAppend ? d.AppendLog(logName_, logHex_, logAllHex_) : d.DumpLog(logName_, logHex_, logAllHex_));
        } catch (...) {
            // The close is finished first; the failure is raised at its end.
            if (!failure)
                failure = std::current_exception();
        }
    }
    if (dispatcher_->InDispatch() && target_) {
        // Its own thread is still delivering: free it once that has ended.
        std::intptr_t lParam = static_cast<std::intptr_t>(dispatcher_->PortIndex()) << 16;
        deferredClosePending_ = MessageQueue().PostMessage(target_.get(), WM_SIO_CLOSE, 0, lParam);
        ProcessOneOwnMessage();
        if (!deferredClosePending_ && state_ == StateClosing)
            FinishClose();  // could not post, or finished by the step above
    } else {
        FinishClose();
    }
    NotifyPortClosed();
    if (failure)
        std::rethrow_exception(failure);
}

void TSioCustomComPort::FinishClose()
{
    deferredClosePending_ = false;
    SetNotifyWindow(false);
    dispatcher_.reset();
    state_ = StateClosed;
    open_ = false;
}

void TSioCustomComPort::DeferredClose(std::intptr_t lParam)
{
    if (state_ != StateClosing || !dispatcher_)
        return;
    if (dispatcher_->Active()) {
        // Not yet: it comes again when the last thread has ended.
        if (target_)
            dispatcher_->PostWhenInactive(target_.get(), WM_SIO_CLOSE, 0, lParam);
        return;
    }
    FinishClose();
}

// --- Notification window ------------------------------------------------------

void TSioCustomComPort::SetNotifyWindow(bool on)
{
    if (on) {
        if (target_)
            return;
        retiredTarget_.reset();
        target_ = std::make_unique<TNotifyTarget>(this);
        target_->SetWanted(WantedNotifications());
        if (dispatcher_)
            dispatcher_->AddWindowHandler(target_.get());
        return;
    }
    if (!target_)
        return;
    if (dispatcher_)
        dispatcher_->RemoveWindowHandler(target_.get());
    MessageQueue().DiscardMessages(target_.get());
    target_->Detach();
    // The close may be running inside one of this target's messages.
    retiredTarget_ = std::move(target_);
}

TMessageTarget* TSioCustomComPort::NotifyWindow() const { return target_.get(); }

std::intptr_t TSioCustomComPort::WindowProc(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam)
{
    if (!(msg >= WM_SIO_AVAIL && msg <= WM_SIO_STATUS) && msg != WM_SIO_CLOSE && msg != WM_SIO_LOST)
        return 0;
    std::lock_guard lock(PortListLock());
    try {
        std::int32_t index = static_cast<std::int32_t>((static_cast<std::uint32_t>(lParam) >> 16) & 0xFFFF);
        if (index >= PortListCount())
            return 0;
        TSioBaseDispatcher* d = PortListAt(index);
        if (!d || !d->Owner())
            return 0;
        auto* port = dynamic_cast<TSioCustomComPort*>(d->Owner());
        if (!port)
            return 0;
        if (msg == WM_SIO_LOST) {
            if (port->dispatcher_.get() == d)
                port->HandleDeviceLost();
            return 0;
        }
        auto handle = static_cast<std::uint16_t>(wParam);
        auto data = msg == WM_SIO_AVAIL ? handle : static_cast<std::uint16_t>(lParam & 0xFFFF);
        port->DoTrigger(static_cast<std::uint16_t>(msg), handle, data);
        switch (msg) {
        case WM_SIO_AVAIL:
            port->DoTriggerAvail(handle);
            break;
        case WM_SIO_DATA:
            port->DoTriggerData(handle);
            break;
        case WM_SIO_TIMER:
            port->DoTriggerTimer(handle);
            break;
        case WM_SIO_STATUS:
            port->DoTriggerStatus(handle);
            switch (handle & 7) {
            case stModem:
                port->DoTriggerModemStatus();
                break;
            case stLine: {
                // The break first: the error query would clear it.
                bool lineBreak = port->ReadLineBreak();
                std::uint16_t error = port->ReadLineError();
                port->DoTriggerLineError(error, lineBreak);
                break;
            }
            case stOutBuffFree:
                port->DoTriggerOutbuffFree();
                break;
            case stOutBuffUsed:
                port->DoTriggerOutbuffUsed();
                break;
            case stOutSent:
                port->DoTriggerOutSent();
                break;
            default:
                break;
            }
            break;
        case WM_SIO_CLOSE:
            port->DeferredClose(lParam);
            break;
        default:
            break;
        }
    } catch (...) {
        if (MessageQueue().IsMainThread())
            ReportException(std::current_exception());
    }
    return 0;
}

void TSioCustomComPort::DoTrigger(std::uint16_t Msg, std::uint16_t TriggerHandle, std::uint16_t Data)
{
    if (onTrigger_)
        onTrigger_(this, Msg, TriggerHandle, Data);
}
void TSioCustomComPort::DoTriggerAvail(std::uint16_t Count)
{
    if (onTriggerAvail_)
        onTriggerAvail_(this, Count);
}
void TSioCustomComPort::DoTriggerData(std::uint16_t TriggerHandle)
{
    if (onTriggerData_)
        onTriggerData_(this, TriggerHandle);
}
void TSioCustomComPort::DoTriggerStatus(std::uint16_t TriggerHandle)
{
    if (onTriggerStatus_)
        onTriggerStatus_(this, TriggerHandle);
}
void TSioCustomComPort::DoTriggerTimer(std::uint16_t TriggerHandle)
{
    if (onTriggerTimer_)
        onTriggerTimer_(this, TriggerHandle);
}
void TSioCustomComPort::DoTriggerLineError(std::uint16_t Error, bool LineBreak)
{
    if (onTriggerLineError_)
        onTriggerLineError_(this, Error, LineBreak);
}
void TSioCustomComPort::DoTriggerModemStatus()
{
    if (onTriggerModemStatus_)
        onTriggerModemStatus_(this);
}
void TSioCustomComPort::DoTriggerOutbuffFree()
{
    if (onTriggerOutbuffFree_)
        onTriggerOutbuffFree_(this);
}
void TSioCustomComPort::DoTriggerOutbuffUsed()
{
    if (onTriggerOutbuffUsed_)
        onTriggerOutbuffUsed_(this);
}
void TSioCustomComPort::DoTriggerOutSent()
{
    if (onTriggerOutSent_)
        onTriggerOutSent_(this);
}
void TSioCustomComPort::DoWaitChar(char C)
{
    if (onWaitChar_)
        onWaitChar_(this, C);
}

bool TSioCustomComPort::AnyTriggerEvent() const
{
    return onTrigger_ || onTriggerAvail_ || onTriggerData_ || onTriggerStatus_ || onTriggerTimer_ ||
           onTriggerLineError_ || onTriggerModemStatus_ || onTriggerOutbuffFree_ || onTriggerOutbuffUsed_ ||
           onTriggerOutSent_;
}

std::uint32_t TSioCustomComPort::WantedNotifications() const
{
    const bool any = static_cast<bool>(onTrigger_);
    auto bit = [](bool on, int n) { return on ? (1u << n) : 0u; };
    return bit(any || onTriggerAvail_, 0) | bit(any || onTriggerData_, 1) | bit(any || onTriggerTimer_, 2) |
           bit(any || onTriggerStatus_ || onTriggerModemStatus_, 3 + stModem) |
           bit(any || onTriggerStatus_ || onTriggerLineError_, 3 + stLine) |
           bit(any || onTriggerStatus_ || onTriggerOutbuffFree_, 3 + stOutBuffFree) |
           bit(any || onTriggerStatus_ || onTriggerOutbuffUsed_, 3 + stOutBuffUsed) |
           bit(any || onTriggerStatus_ || onTriggerOutSent_, 3 + stOutSent);
}

void TSioCustomComPort::UpdateEventRouting()
{
    if (target_)
        target_->SetWanted(WantedNotifications());
    if (state_ != StateOpen || !dispatcher_)
        return;
    dispatcher_->UpdateServiceFlags(AnyTriggerEvent() ? 1 : 2);
}

void TSioCustomComPort::SetOnTrigger(TTriggerEvent e)
{
    onTrigger_ = std::move(e);
    UpdateEventRouting();
}
void TSioCustomComPort::SetOnTriggerAvail(TTriggerAvailEvent e)
{
    onTriggerAvail_ = std::move(e);
    UpdateEventRouting();
}
void TSioCustomComPort::SetOnTriggerData(TTriggerDataEvent e)
{
    onTriggerData_ = std::move(e);
    UpdateEventRouting();
}
void TSioCustomComPort::SetOnTriggerStatus(TTriggerStatusEvent e)
{
    onTriggerStatus_ = std::move(e);
    UpdateEventRouting();
}
void TSioCustomComPort::SetOnTriggerTimer(TTriggerTimerEvent e)
{
    onTriggerTimer_ = std::move(e);
    UpdateEventRouting();
}
void TSioCustomComPort::SetOnTriggerLineError(TTriggerLineErrorEvent e)
{
    onTriggerLineError_ = std::move(e);
    UpdateEventRouting();
}
void TSioCustomComPort::SetOnTriggerModemStatus(TNotifyEvent e)
{
    onTriggerModemStatus_ = std::move(e);
    UpdateEventRouting();
}
void TSioCustomComPort::SetOnTriggerOutbuffFree(TNotifyEvent e)
{
    onTriggerOutbuffFree_ = std::move(e);
    UpdateEventRouting();
}
void TSioCustomComPort::SetOnTriggerOutbuffUsed(TNotifyEvent e)
{
    onTriggerOutbuffUsed_ = std::move(e);
    UpdateEventRouting();
}
void TSioCustomComPort::SetOnTriggerOutSent(TNotifyEvent e)
{
    onTriggerOutSent_ = std::move(e);
    UpdateEventRouting();
}

}  // namespace sio
