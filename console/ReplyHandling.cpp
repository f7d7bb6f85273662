// What comes back: a reply line, the time-out of the wait for one, and line
// errors. A reply is shown, ends the wait, and may set the gripper type or
// the status boxes.
#include "Unit1.h"

#include "ConsoleErrors.h"
#include "ConsoleStrings.h"
#include "Dialogs.h"
#include "GroupBoxes.h"
#include "GripperProtocol.h"
#include "Memo.h"

#include "packet/DataPacket.h"
#include "port/ComPort.h"

namespace tarnell {

void TForm1::ComDataPacketStringPacket(sio::TSioBaseComponent*, const std::string& Data)
{
    state_.LastReply = Data;
    if (protocol::IsEcho(state_.LastReply, state_.LastFrame)) {
        // Our own frame heard back on a two-wire bus: wait on, full limit.
        ComDataPacket->SetEnabled(true);
        return;
    }
    state_.ReplyReceived = true;
    const std::string shown = protocol::Trimmed(state_.LastReply);
    Memo1->InsertLine(0, QStringLiteral("->Rx: ") + QString::fromLatin1(shown.data(), qsizetype(shown.size())));
    // Listen on without a limit: later data shows as further lines.
    ComDataPacket->SetTimeOut(0);
    ComDataPacket->SetEnabled(true);

    if (auto model = protocol::DetectModel(state_.LastFrame, state_.LastReply))
        rgGripperType->SetItemIndex(model->typeIndex);

    if (protocol::IsStatusExchange(state_.LastFrame, state_.LastReply)) {
        // The reply keeps only what follows its first ":".
        const std::string full = state_.LastReply;
        const std::size_t colon = full.find(':');
        if (colon != std::string::npos)
            state_.LastReply = full.substr(colon + 1);
        try {
            cgStatus->SetValue(protocol::StatusValue(full));
        } catch (const protocol::EConvertError& e) {
            // The report shows the offending bytes as the operator saw them.
            throw EConvertError(strings::Tr(strings::kConvertError)
                                    .arg(QString::fromLatin1(e.Text().data(), qsizetype(e.Text().size()))));
        }
    }
}

void TForm1::ComDataPacketTimeout(sio::TSioBaseComponent*)
{
    state_.TimedOut = true;
    ComDataPacket->SetEnabled(false);
    // A wait ended by the loss of the device: the loss has been reported,
    // naming the port; a time-out box for the same event would only mislead.
    if (ComPort && ComPort->DeviceLost())
        return;
    Dialogs().ShowMessage(this, strings::Tr(strings::kTimeoutMessage), TMessageKind::Information);
}

void TForm1::ComPortTriggerLineError(sio::TSioCustomComPort*, std::uint16_t, bool)
{
    Memo1->AddLine(tr("Line ERROR detected!"));
    ArmLineErrorTrigger();
}

}  // namespace tarnell
