#include "GripperSession.h"

#include "InterruptWatch.h"

#include "GripperPort.h"

#include "errors/Exceptions.h"
#include "base/BaseComponent.h"
#include "packet/DataPacket.h"
#include "base/Platform.h"
#include "port/ComPort.h"
#include "selection/PortSelection.h"
#include "errors/ErrorTexts.h"
#include "dispatch/Dispatcher.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace tarnell::cli {

// The console's port component, able to open a device path as well as a
// port number. The dispatcher opens any absolute path it is given; only the
// component insists on a number, so the path goes in where the number's
// device name would.
class TCliComPort final : public sio::TSioComPort {
public:
    explicit TCliComPort(std::string devicePath) : devicePath_(std::move(devicePath)) {}
    ~TCliComPort() override = default;

    // The system's error number of the last opening that failed (0: none);
    // the dispatcher that knew it is gone by the time the failure is told.
    std::int32_t LastOpenError() const { return lastOpenError_; }

protected:
    void EnsureComNumber() override
    {
        if (devicePath_.empty())
            sio::TSioComPort::EnsureComNumber();
    }

    std::int32_t OpenPortDevice() override
    {
        const std::int32_t r = OpenGivenDevice();
        lastOpenError_ = r < 0 && Dispatcher() ? Dispatcher()->LastOsError() : 0;
        return r;
    }

private:
    std::int32_t OpenGivenDevice()
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

    std::string devicePath_;
    std::int32_t lastOpenError_ = 0;
};

namespace {

// Beyond the collector's own limit: the wait ends even if a device that went
// away took the collector's timer with it.
constexpr std::uint32_t kBackstopMs = 3000;

// The dispatch log's entry type "User": the tool's own notes.
constexpr std::uint8_t kLogUser = 19;

// The wait for quiet after a time-out (protocol::QuietTimeMs) ends after
// two seconds at the latest: a line that never falls quiet is noise, which
// the next command's answer check meets anyway.
constexpr std::chrono::milliseconds kMostSettle{2000};

std::uint32_t MsUntil(std::chrono::steady_clock::time_point t)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(t - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<std::uint32_t>(left.count()) : 0;
}

std::string PortFailure(const std::exception& e) { return std::string("the port failed: ") + e.what(); }

// Where the device of port n was looked for, for a port that is not there.
std::string WhereLookedFor(int n)
{
    const std::string path = sio::PortDevicePath(n);
    if (const char* dir = std::getenv("SIO_PORT_DIR"); dir && *dir)
        return "looked for " + path + ", as $SIO_PORT_DIR is set";
#ifdef _WIN32
    return "looked for " + path;
#else
    const std::string ranges = "COM1..32 are /dev/ttyS0..31, COM33..40 /dev/ttyUSB0..7, COM41..48 /dev/ttyACM0..7";
    return path.empty() ? "no device stands for it: " + ranges : "looked for " + path + ": " + ranges;
#endif
}

}  // namespace

std::string PresentPorts()
{
    std::string list;
    for (int n = 1; n <= sio::MaxSelectablePort; ++n) {
        if (!sio::IsPortAvailable(n))
            continue;
        list += list.empty() ? "" : ", ";
        list += "COM" + std::to_string(n) + " (" + sio::DescribePort(n) + ")";
    }
    return list.empty() ? "no serial port is present" : "ports present: " + list;
}

std::string TPortChoice::Name() const { return devicePath.empty() ? "COM" + std::to_string(comNumber) : devicePath; }

std::string TPortChoice::Device() const
{
    if (!devicePath.empty())
        return devicePath;
    std::string path = sio::PortDevicePath(comNumber);
    std::error_code ec;
    // An entry of SIO_PORT_DIR is a link: the tty behind it is what a user
    // looks up.
    if (std::filesystem::is_symlink(path, ec)) {
        const std::filesystem::path target = std::filesystem::read_symlink(path, ec);
        if (!ec)
            return target.string();
    }
    return path;
}

std::string TPortChoice::Label() const
{
    if (!devicePath.empty())
        return devicePath;
    const std::string device = Device();
    return device.empty() ? Name() : Name() + " (" + device + ")";
}

TGripperSession::TGripperSession(const TPortChoice& port, const TLineSettings& line)
    : portName_(port.Label()), comNumber_(port.devicePath.empty() ? port.comNumber : 0), logFile_(line.logFile), queue_(std::make_unique<sio::TLocalMessageQueue>()),
      baud_(line.baud)
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
    // Every arrival is noted, so that the line's quiet is known (Settle).
    port_->SetOnTriggerAvail([this](sio::TSioCustomComPort*, std::uint16_t count) {
        lastReceived_ = std::chrono::steady_clock::now();
        if (settling_)
            heldBytes_ += count;
        ++arrivals_;
    });
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
    : std::runtime_error(std::string("interrupted (") + SignalText(signal) + ")"), signal_(signal)
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
    if (unsettled_)
        Settle();
    ThrowIfInterrupted();
    if (lost_)
        throw EPortError(GoneText());
    const std::string frame = protocol::Frame(command);
    const bool wasOpen = port_->PortState() == sio::StateOpen;
    try {
        // What came after the quiet wait (a gripper slower still) is set
        // aside as heard, not dropped unseen by the flush.
        if (sio::TSioBaseDispatcher* d = wasOpen ? port_->Dispatcher() : nullptr) {
            std::string late(static_cast<std::size_t>(std::max(0, d->InputCount())), '\0');
            if (!late.empty() && d->ReadBytes(late.data(), static_cast<std::int32_t>(late.size())) > 0)
                Discard(late, "bytes after the quiet time");
        }
        // Opens the port at the first exchange.
        port_->FlushInput();
        port_->FlushOutput();
        replied_ = false;
        timedOut_ = false;
        lastFrame_ = frame;
        expectedAddress_ = protocol::CommandAddress(command);
        deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutTicks * sio::MsPerTick);
        // Armed before the frame goes out: bytes that arrive while no
        // collector is enabled are dropped, and a fast bus answers (or
        // echoes) before a collector armed afterwards would be listening.
        // Disabled first, so that every command gets a fresh time limit.
        // Its limit is a tick longer than the one kept below to the
        // millisecond: a tick timer may end up to a tick late.
        packet_->SetEnabled(false);
        packet_->SetTimeOut(timeoutTicks + 1);
        packet_->SetEnabled(true);
        port_->WriteString(frame);
        lastReceived_ = std::chrono::steady_clock::now();
    } catch (const std::exception& e) {
        // The layer's own errors and the system's (EInOutError, outside its
        // tree: a device that is no tty, a folder, access denied) alike.
        try {
            packet_->SetEnabled(false);
        } catch (const std::exception&) {
        }
        throw EPortError(wasOpen ? "the port failed: " + WithoutPortName(e.what())
                                 : "the port could not be opened: " + OpenFailure(e));
    }

    // The gripper's time starts when the frame has left for the device (a
    // network port holds it behind the server's purge answers), held for
    // at most as long again, as the collector's limit is.
    const std::uint32_t limitMs = static_cast<std::uint32_t>(timeoutTicks) * sio::MsPerTick;
    auto over = [this] { return replied_ || timedOut_ || lost_ || watch_->Signal() != 0; };
    sio::ServeMessagesUntil(
        [&] {
            sio::TSioBaseDispatcher* d = port_->Dispatcher();
            return over() || !d || d->OutputNotHandedOver() == 0;
        },
        limitMs);
    deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    if (!sio::ServeMessagesUntil(over, limitMs) && !DeviceGone()) {
        timedOut_ = true;
        packet_->SetEnabled(false);
    }
    if (!over())
        sio::ServeMessagesUntil(over, kBackstopMs);
    if (!replied_)
        unsettled_ = true;
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

void TGripperSession::Open()
{
    ThrowIfInterrupted();
    if (port_->PortState() == sio::StateOpen)
        return;
    try {
        port_->SetOpen(true);
    } catch (const std::exception& e) {
        throw EPortError("the port could not be opened: " + OpenFailure(e));
    }
}

std::uint32_t TGripperSession::LinkRoundTripMs() const { return port_->LinkRoundTripMs(); }

void TGripperSession::Pause(std::uint32_t ms)
{
    // A signal posts to the queue, so it ends the sleep at once.
    sio::ServeMessagesUntil([this] { return watch_->Signal() != 0; }, ms);
    ThrowIfInterrupted();
}

void TGripperSession::Settle()
{
    unsettled_ = false;
    using Clock = std::chrono::steady_clock;
    const auto quiet = std::chrono::milliseconds(protocol::QuietTimeMs(baud_));
    const auto end = Clock::now() + kMostSettle;
    // Quiet since the last byte that arrived: a silent address's whole
    // limit usually was, and then there is nothing left to wait for.
    heldBytes_ = 0;
    settling_ = true;
    // Every byte that arrives moves the end of the quiet time; a whole late
    // packet is caught by the collector and noted. Bytes of a packet not yet
    // ended (a late answer cut by a stall) keep the wait going, so that its
    // tail cannot be taken for the next answer.
    struct TRestore {
        TGripperSession& s;
        ~TRestore()
        {
            s.settling_ = false;
            try {
                s.packet_->SetEnabled(false);
            } catch (const std::exception&) {
            }
        }
    } restore{*this};
    try {
        packet_->SetEnabled(false);
        packet_->SetTimeOut(static_cast<std::int32_t>(kMostSettle.count() / sio::MsPerTick + 1));
        packet_->SetEnabled(true);
    } catch (const std::exception& e) {
        throw EPortError(PortFailure(e));
    }
    for (;;) {
        const auto now = Clock::now();
        if (now >= end || lost_ || watch_->Signal() != 0)
            break;
        const auto quietEnd = heldBytes_ > 0 ? end : std::min(lastReceived_ + quiet, end);
        if (now >= quietEnd)
            break;
        const std::uint64_t seen = arrivals_;
        sio::ServeMessagesUntil([this, seen] { return lost_ || watch_->Signal() != 0 || arrivals_ != seen; },
                                MsUntil(quietEnd) + 1);
    }
}

void TGripperSession::Discard(const std::string& data, const char* why)
{
    ++discarded_;
    if (sio::TSioBaseDispatcher* d = port_->Dispatcher()) {
        const std::string text = std::string("tarnell-cli discarded ") + why + ": " + data;
        d->AddLogEntry(kLogUser, 0, static_cast<std::uint32_t>(data.size()), text.data(),
                       static_cast<std::uint32_t>(text.size()));
    }
}

std::size_t TGripperSession::OutputBufferSize() const { return port_->OutSize(); }

std::string TGripperSession::TakeNote()
{
    std::string note;
    note.swap(note_);
    return note;
}

std::string TGripperSession::OpenFailure(const std::exception& e) const
{
    // The layer's texts name no port and suggest nothing; what a user can
    // act on is said here.
    if (dynamic_cast<const sio::EBadId*>(&e) && comNumber_ > 0)
        return "there is no COM" + std::to_string(comNumber_) + " (" + WhereLookedFor(comNumber_) + "); " +
               PresentPorts();
#ifndef _WIN32
    if (auto* io = dynamic_cast<const sio::EInOutError*>(&e); io && io->ErrorCode() == ENOTTY)
        return "not a serial device (" + WithoutPortName(e.what()) + ")";
#endif
    // A code the layer has no class for says only "Sio exception": the
    // system's own text is what tells why.
    if (auto* s = dynamic_cast<const sio::ESioException*>(&e); s && s->ErrorCode() == 0 && port_->LastOpenError())
        return sio::platform::SystemErrorText(port_->LastOpenError()) + " (system error " +
               std::to_string(port_->LastOpenError()) + ")";
    return WithoutPortName(e.what());
}

std::string TGripperSession::WithoutPortName(const std::string& text) const
{
    // The port component's open failures say "NAME: the port could not be
    // opened: WHY"; this tool says the first two parts itself.
    std::string rest = text;
    for (const std::string& prefix : {portName_ + ": ", std::string("the port could not be opened: ")})
        if (rest.rfind(prefix, 0) == 0)
            rest = rest.substr(prefix.size());
    return rest;
}

std::string TGripperSession::GoneText()
{
    const std::string note = WithoutPortName(TakeNote());
    return note.empty() ? "the device has gone away" : "the device has gone away (" + note + ")";
}

void TGripperSession::OnPacket(const std::string& data)
{
    if (settling_) {
        Discard(data, "a late packet");
        // The avail notice of a packet's last bytes may come after it.
        heldBytes_ -= static_cast<std::int64_t>(data.size());
        ++arrivals_;
        packet_->SetEnabled(true);
        return;
    }
    if (protocol::IsEcho(data, lastFrame_)) {
        // Our own frame heard back on a two-wire bus: wait on, full limit.
        packet_->SetEnabled(true);
        return;
    }
    const std::optional<int> from = protocol::ReplyAddress(data);
    if (expectedAddress_ && from && *from != *expectedAddress_) {
        // The late answer of another gripper: not ours. Wait on for the
        // rest of this command's time.
        Discard(data, "an answer for another address");
        const std::uint32_t left = MsUntil(deadline_);
        if (left == 0) {
            timedOut_ = true;
            return;
        }
        packet_->SetTimeOut(static_cast<std::int32_t>((left + sio::MsPerTick - 1) / sio::MsPerTick));
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
    if (settling_)
        return;  // the quiet wait ends by its own clock
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
