// The exchanges the modules beside the form run (Verify, the bus panel, the
// monitor), all through the window's line: Readout's own steps, so that they
// share its waits and guards; and quiet commands, which leave the output
// window and the time-out message to the operator's own commands and, being
// no command of the operator's, open no port.
#include "Unit1.h"

#include "GripperProtocol.h"

#include "base/BaseComponent.h"
#include "packet/DataPacket.h"
#include "dispatch/Dispatcher.h"

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
    // The limit is kept to the millisecond here: the collector's tick timer
    // may run up to a tick and its check late, which on a short limit is a
    // third more per silent address. The collector's own limit, a tick
    // later, stays as the backstop.
    TExchange exchange{command, ticks + 1, true, true, nullptr};
    line_->Start(std::move(exchange));
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
    line_->GiveUp();  // no answer in time: it counts as none
    return true;
}

void TForm1::SendQuiet(const std::string& command, int ticks, std::function<void(std::optional<std::string>)> done)
{
    line_->Start({command, ticks, true, true, std::move(done)});
}

}  // namespace tarnell
