// The exchanges the modules beside the form run (Verify, the bus panel, the
// monitor): Readout's own steps, so that they share its port, collector,
// waits and guards; and quiet commands, which leave the output window and
// the time-out message to the operator's own commands.
#include "Unit1.h"

#include "GripperProtocol.h"

#include "SioMisc.h"
#include "SioPacket.h"
#include "SioUser.h"

namespace tarnell {

bool TForm1::BeginSequence()
{
    if (sequenceRunning_)
        return false;
    sequenceRunning_ = true;
    if (!WaitForOwedAnswer()) {
        SetSequenceRunning(false);
        return false;
    }
    SetSequenceRunning(true);
    return true;
}

void TForm1::EndSequence() { SetSequenceRunning(false); }

bool TForm1::SequenceExchange(const std::string& command)
{
    SendCommand(command);
    return WaitForAnswer();
}

bool TForm1::QuietExchange(const std::string& command, int ticks)
{
    quietDone_ = nullptr;
    // The limit is kept to the millisecond here: the collector's tick timer
    // may run up to a tick and its check late, which on a short limit is a
    // third more per silent address. The collector's own limit, a tick
    // later, stays as the backstop.
    Transmit(command, true, ticks + 1);
    // The gripper's time starts when the frame has left for the device (a
    // network port holds it for the server's purge answers first), held
    // for at most as long again, as the collector's limit is.
    const std::uint32_t limitMs = static_cast<std::uint32_t>(ticks) * sio::MsPerTick;
    auto answered = [this] { return state_.TimedOut || state_.ReplyReceived || closing_; };
    sio::ServeMessagesUntil(
        [&] {
            sio::TSioBaseDispatcher* d = ComPort->Dispatcher();
            return answered() || !d || d->OutputNotHandedOver() == 0;
        },
        limitMs);
    sio::ServeMessagesUntil(answered, limitMs);
    if (closing_)
        return false;
    if (!state_.TimedOut && !state_.ReplyReceived) {
        state_.TimedOut = true;
        ComDataPacket->SetEnabled(false);
    }
    return true;
}

void TForm1::SendQuiet(const std::string& command, int ticks, std::function<void(std::optional<std::string>)> done)
{
    quietDone_ = nullptr;
    Transmit(command, true, ticks);
    quietDone_ = std::move(done);
}

void TForm1::QuietReply(const std::string& data)
{
    // The late answer of another gripper is not this command's: wait on.
    const std::optional<int> sent = protocol::CommandAddress(state_.LastFrame);
    const std::optional<int> from = protocol::ReplyAddress(data);
    if (sent && from && *sent != *from) {
        ComDataPacket->SetEnabled(true);
        return;
    }
    state_.ReplyReceived = true;
    // Nothing after the answer belongs to a quiet command.
    ComDataPacket->SetEnabled(false);
    if (auto done = std::exchange(quietDone_, nullptr))
        done(data);
}

void TForm1::QuietTimeout()
{
    if (auto done = std::exchange(quietDone_, nullptr))
        done(std::nullopt);
}

}  // namespace tarnell
