#include "GripperSession.h"

#include "InterruptWatch.h"

#include "GripperPort.h"

#include "SioExcept.h"
#include "SioMisc.h"
#include "SioPacket.h"
#include "SioPort.h"
#include "SioSelCom.h"
#include "SioStrMap.h"
#include "SioUser.h"

#include <cstdio>
#include <cstring>

namespace tarnell::cli {

// The console's port component, able to open a device path as well as a
// port number. The dispatcher opens any absolute path it is given; only the
// component insists on a number, so the path goes in where the number's
// device name would.
class TCliComPort final : public sio::TSioComPort {
public:
    explicit TCliComPort(std::string devicePath) : devicePath_(std::move(devicePath)) {}
    ~TCliComPort() override = default;

protected:
    void EnsureComNumber() override
    {
        if (devicePath_.empty())
            sio::TSioComPort::EnsureComNumber();
    }

    std::int32_t OpenPortDevice() override
    {
        if (devicePath_.empty())
            return sio::TSioComPort::OpenPortDevice();
        sio::TSioBaseDispatcher* d = Dispatcher();
        d->SetDeviceName(devicePath_);
        // The same options and code mapping as a numbered port's opening.
        std::uint8_t options = 0;
        if (DTR())
            options |= sio::optDtrOn;
        if (RTS())
            options |= sio::optRtsOn;
        if (HWFlowOptions().Contains(sio::hwfUseDTR))
            options |= sio::optDtrHandshake;
        if (HWFlowOptions().Contains(sio::hwfUseRTS))
            options |= sio::optRtsHandshake;
        std::int32_t r = d->OpenDevice(devicePath_, Baud(), static_cast<std::uint8_t>(Parity()),
                                       static_cast<std::uint8_t>(DataBits()), static_cast<std::uint8_t>(StopBits()),
                                       InSize(), OutSize(), options);
        if (r == sio::ecAccessDenied)
            return sio::ecAlreadyOpen;
        if (r == sio::ecFileNotFound || r == sio::ecPathNotFound)
            return sio::ecBadId;
        return r;
    }

private:
    std::string devicePath_;
};

namespace {

// Beyond the collector's own limit: the wait ends even if a device that went
// away took the collector's timer with it.
constexpr std::uint32_t kBackstopMs = 3000;

}  // namespace

std::string TPortChoice::Name() const { return devicePath.empty() ? "COM" + std::to_string(comNumber) : devicePath; }

TGripperSession::TGripperSession(const TPortChoice& port, const TLineSettings& line)
    : portName_(port.Name()), logFile_(line.logFile), queue_(std::make_unique<sio::TLocalMessageQueue>())
{
    sio::SetMessageQueue(queue_.get());
    // Before the port starts its threads, so that they leave the signals to it.
    watch_ = std::make_unique<TInterruptWatch>(*queue_);
    // What the serial layer reports on the main thread (a packet that never
    // ended, a thread that failed) is kept for the message of the exchange
    // it spoils; whether the port is still usable the dispatcher says.
    sio::SetExceptionReporter([this](std::exception_ptr e) {
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& x) {
            if (note_.empty())
                note_ = x.what();
        } catch (...) {
            if (note_.empty())
                note_ = "unknown error";
        }
    });

    port_ = std::make_unique<TCliComPort>(port.devicePath);
    packet_ = std::make_unique<sio::TSioDataPacket>();
    portsetup::TGripperLine setup;
    setup.baud = line.baud;
    setup.evenParity = line.evenParity;
    setup.logName = line.logFile;
    portsetup::SetUpGripperPort(*port_, *packet_, setup);
    if (port.network)
        port_->SetDeviceLayer(sio::dlWinsock);
    if (port.devicePath.empty())
        port_->SetComNumber(static_cast<std::uint16_t>(port.comNumber));
    // A tool without a window never asks: no port is an error.
    port_->SetPromptForPort(false);
    port_->SetOnTriggerLineError(
        [this](sio::TSioCustomComPort*, std::uint16_t error, bool) { OnLineError(error); });
    packet_->OnStringPacket = [this](sio::TSioDataPacket*, const std::string& data) { OnPacket(data); };
    packet_->OnTimeout = [this](sio::TSioBaseComponent*) { OnTimeout(); };
}

TGripperSession::~TGripperSession()
{
    try {
        port_->SetOpen(false);  // writes the dispatch log
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarnell-cli: %s: dispatch log %s: %s\n", portName_.c_str(), logFile_.c_str(), e.what());
    }
    packet_.reset();
    port_.reset();
    // Whatever the closing posted is handled before the queue goes.
    while (queue_->ProcessOneMessage()) {
    }
    watch_.reset();
    sio::SetExceptionReporter(nullptr);
    sio::SetMessageQueue(nullptr);
}

EInterrupted::EInterrupted(int signal)
    : std::runtime_error(std::string("interrupted (") + strsignal(signal) + ")"), signal_(signal)
{
}

void TGripperSession::ThrowIfInterrupted() const
{
    if (int s = watch_->Signal())
        throw EInterrupted(s);
}

std::optional<std::string> TGripperSession::Exchange(const std::string& command, std::int32_t timeoutTicks)
{
    ThrowIfInterrupted();
    if (lost_)
        throw EPortError(GoneText());
    const std::string frame = protocol::Frame(command);
    try {
        // Opens the port at the first exchange.
        port_->FlushInput();
        port_->FlushOutput();
        replied_ = false;
        timedOut_ = false;
        lastFrame_ = frame;
        // Armed before the frame goes out: bytes that arrive while no
        // collector is enabled are dropped, and a fast bus answers (or
        // echoes) before a collector armed afterwards would be listening.
        // Disabled first, so that every command gets a fresh time limit.
        packet_->SetEnabled(false);
        packet_->SetTimeOut(timeoutTicks);
        packet_->SetEnabled(true);
        port_->WriteString(frame);
    } catch (const sio::ESioException& e) {
        packet_->SetEnabled(false);
        throw EPortError(e.what());
    }

    const std::uint32_t limit = static_cast<std::uint32_t>(timeoutTicks) * sio::MsPerTick + kBackstopMs;
    sio::ServeMessagesUntil([this] { return replied_ || timedOut_ || lost_ || watch_->Signal() != 0; }, limit);
    if (watch_->Signal()) {
        packet_->SetEnabled(false);
        ThrowIfInterrupted();
    }
    if (replied_)
        return reply_;
    if (timedOut_)
        return std::nullopt;
    packet_->SetEnabled(false);
    if (lost_ || DeviceGone()) {
        lost_ = true;
        throw EPortError(GoneText());
    }
    return std::nullopt;
}

std::string TGripperSession::TakeNote()
{
    std::string note;
    note.swap(note_);
    return note;
}

std::string TGripperSession::GoneText()
{
    const std::string note = TakeNote();
    return note.empty() ? "the device has gone away" : "the device has gone away (" + note + ")";
}

void TGripperSession::OnPacket(const std::string& data)
{
    if (protocol::IsEcho(data, lastFrame_)) {
        // Our own frame heard back on a two-wire bus: wait on, full limit.
        packet_->SetEnabled(true);
        return;
    }
    // Only the first reply counts; the collector stays off until the next
    // command.
    reply_ = data;
    replied_ = true;
}

void TGripperSession::OnTimeout()
{
    timedOut_ = true;
    packet_->SetEnabled(false);
}

void TGripperSession::OnLineError(std::uint16_t error)
{
    if (error == sio::leDeviceFailed) {
        lost_ = true;
        return;
    }
    // A parity or framing error spoils at most one reply, which then fails
    // its own checks; the trigger is armed again for the next.
    ArmLostDeviceTrigger();
}

void TGripperSession::ArmLostDeviceTrigger()
{
    // The backstop of the wait still notices a lost device the trigger missed.
    try {
        portsetup::ArmLineErrorTrigger(*port_);
    } catch (const sio::ESioException&) {
    }
}

bool TGripperSession::DeviceGone() const
{
    sio::TSioBaseDispatcher* d = port_->Dispatcher();
    return !d || !d->Active();
}

}  // namespace tarnell::cli
