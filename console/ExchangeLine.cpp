#include "ExchangeLine.h"

#include "ConsoleErrors.h"
#include "ConsoleStrings.h"
#include "GripperProtocol.h"
#include "Memo.h"
#include "PortChoice.h"
#include "Unit1.h"

#include "base/BaseComponent.h"
#include "packet/DataPacket.h"
#include "port/ComPort.h"
#include "dispatch/Dispatcher.h"

namespace tarnell {

namespace {
// A frame takes about 8 ms at 9600 baud; a device that takes no output at
// all must not hold the window longer than this.
constexpr std::uint32_t kOutputSentWaitMs = 1000;
// Beyond an exchange's own limit, the collector's tick timer may run up to
// a tick and its check late, and a time-out message holds its end until
// the operator closes it: this is what a waiter gives it more.
constexpr std::uint32_t kGraceMs = 2000;
}  // namespace

TExchangeLine::TExchangeLine(TForm1& form) : form_(form) {}

bool TExchangeLine::PortOpen() const
{
    return form_.ComPort->Dispatcher() != nullptr && !form_.ComPort->DeviceLost();
}

bool TExchangeLine::Busy() const
{
    const TConsoleState& s = form_.state_;
    return owed_ && !s.TimedOut && !s.ReplyReceived;
}

void TExchangeLine::Start(TExchange exchange)
{
    TForm1& f = form_;
    TConsoleState& s = f.state_;
    // A frame shown as sent must reach the wire. The one before this command
    // may still be on its way out (two commands in quick succession), and a
    // discard would take it off the line (a pseudo-terminal's too, which
    // shows nothing queued): so output is discarded only when it did not
    // leave in time, or the port is about to open.
    sio::TSioBaseDispatcher* d = f.ComPort->Dispatcher();
    const bool opening = !PortOpen();
    // Only the operator opens a port: a poll or a scan that found none
    // would otherwise show the port dialog nobody asked for.
    if (opening && exchange.background)
        throw EPortError(strings::Tr(strings::kNoPortOpen));
    const bool stuck = !opening && !d->WaitOutputSent(kOutputSentWaitMs);
    // Opens the port at the first command: the port dialog, then the line.
    // A port that would not open (in use, missing) is not tried again: the
    // next command offers the dialog.
    try {
        f.ComPort->FlushInput();
    } catch (...) {
        const std::exception_ptr error = f.NamingPort(std::current_exception(), strings::kOpenFailedNext);
        f.portChoice_->Forget();
        std::rethrow_exception(error);
    }
    try {
        if (opening || stuck)
            f.ComPort->FlushOutput();
    } catch (...) {
        std::rethrow_exception(f.NamingPort(std::current_exception()));
    }
    s.TimedOut = false;
    s.ReplyReceived = false;
    quiet_ = exchange.quiet;
    ticks_ = exchange.ticks;
    address_ = protocol::CommandAddress(exchange.command);
    done_ = std::move(exchange.done);
    if (!quiet_)
        f.Memo1->InsertLine(0, QStringLiteral("Tx: ") + QString::fromLatin1(exchange.command.data(),
                                                                           qsizetype(exchange.command.size())));
    s.LastFrame = protocol::Frame(exchange.command);
    // Disabled first, so that every command gets a fresh time limit. Armed
    // before the frame goes out: bytes that reach a disarmed collector are
    // dropped, so a fast answer (or its echo) would otherwise be lost, or
    // the tail of a half-collected echo be taken for the reply.
    f.ComDataPacket->SetEnabled(false);
    f.ComDataPacket->SetTimeOut(exchange.ticks);
    f.ComDataPacket->SetEnabled(true);
    owed_ = false;
    try {
        f.ComPort->WriteString(s.LastFrame);
        owed_ = true;
    } catch (...) {
        // Nothing went out, so no answer is awaited: no time-out to follow.
        f.ComDataPacket->SetEnabled(false);
        done_ = nullptr;
        f.Memo1->FlushPending();
        std::rethrow_exception(f.NamingPort(std::current_exception()));
    }
    // The frame is on its way: the output may change and paint while the
    // line is busy with it and the answer.
    f.Memo1->FlushIfDue();
}

bool TExchangeLine::AwaitFree()
{
    if (!Busy())
        return !form_.closing_;
    const std::uint32_t limit =
        ticks_ > 0 ? static_cast<std::uint32_t>(ticks_) * sio::MsPerTick + kGraceMs : sio::kWaitForever;
    sio::ServeMessagesUntil([this] { return !Busy() || form_.closing_; }, limit);
    if (form_.closing_)
        return false;
    if (Busy())
        GiveUp();
    return true;
}

void TExchangeLine::GiveUp()
{
    done_ = nullptr;
    if (!Busy())
        return;
    owed_ = false;
    form_.state_.TimedOut = true;
    form_.ComDataPacket->SetEnabled(false);
}

void TExchangeLine::Packet(const std::string& data)
{
    if (!quiet_) {
        form_.ComDataPacketStringPacket(form_.ComDataPacket.get(), data);
        return;
    }
    TConsoleState& s = form_.state_;
    s.LastReply = data;
    if (protocol::IsEcho(data, s.LastFrame)) {
        // Our own frame heard back on a two-wire bus: wait on, full limit.
        form_.ComDataPacket->SetEnabled(true);
        return;
    }
    QuietReply(data);
}

void TExchangeLine::QuietReply(const std::string& data)
{
    // The late answer of another gripper is not this command's: wait on.
    const std::optional<int> from = protocol::ReplyAddress(data);
    if (address_ && from && *address_ != *from) {
        form_.ComDataPacket->SetEnabled(true);
        return;
    }
    form_.state_.ReplyReceived = true;
    // Nothing after the answer belongs to a quiet command.
    form_.ComDataPacket->SetEnabled(false);
    if (auto done = std::exchange(done_, nullptr))
        done(data);
}

void TExchangeLine::Timeout()
{
    if (!quiet_) {
        form_.ComDataPacketTimeout(form_.ComDataPacket.get());
        return;
    }
    form_.state_.TimedOut = true;
    form_.ComDataPacket->SetEnabled(false);
    if (auto done = std::exchange(done_, nullptr))
        done(std::nullopt);
}

}  // namespace tarnell
