// Command transmission: how the window sets up its port and reply
// collector, sends a command, and the operator actions that send directly
// (the command line, the function keys) or change the line (parity).
#include "Unit1.h"

#include "ComboBox.h"
#include "ConsoleErrors.h"
#include "ConsoleStrings.h"
#include "GroupBoxes.h"
#include "GripperPort.h"
#include "GripperProtocol.h"
#include "Memo.h"
#include "PortChoice.h"
#include "PortStatusLine.h"
#include "StringGrid.h"

#include "SioPacket.h"
#include "SioPort.h"
#include "SioUser.h"

#include <QKeyEvent>

namespace tarnell {

namespace {
// A frame takes about 8 ms at 9600 baud; a device that takes no output at
// all must not hold the window longer than this.
constexpr std::uint32_t kOutputSentWaitMs = 1000;
}  // namespace

void TForm1::CreatePort()
{
    ComPort = std::make_unique<sio::TSioComPort>();
    ComDataPacket = std::make_unique<sio::TSioDataPacket>();
    portsetup::TGripperLine line;
    line.logName = "SIO.LOG";
    line.traceName = "SIO.TRC";
    portsetup::SetUpGripperPort(*ComPort, *ComDataPacket, line);
    ComPort->SetOnTriggerLineError([this](sio::TSioCustomComPort* cp, std::uint16_t error, bool lineBreak) {
        // A lost device is reported as a line error first: the port line
        // shows the loss before the message about it waits for the operator.
        if (PortStatus)
            PortStatus->Refresh();
        ComPortTriggerLineError(cp, error, lineBreak);
    });
    ComDataPacket->OnStringPacket = [this](sio::TSioDataPacket* sender, const std::string& data) {
        ComDataPacketStringPacket(sender, data);
    };
    ComDataPacket->OnTimeout = [this](sio::TSioBaseComponent* sender) { ComDataPacketTimeout(sender); };
}

std::exception_ptr TForm1::NamingPort(std::exception_ptr error, const char* next) const
{
    // Taken before the caller lets go of the port's number.
    const QString label = TPortStatusLine::PortLabel(*ComPort);
    try {
        std::rethrow_exception(error);
    } catch (const std::bad_alloc&) {
        return error;
    } catch (const std::exception& e) {
        const QString text = QString::fromUtf8(e.what());
        const QString name = QStringLiteral("COM%1").arg(ComPort->ComNumber());
        // No port chosen (the dialog cancelled).
        if (label.isEmpty())
            return error;
        // A text that names the port already keeps its own name for it.
        const bool named = text.startsWith(name + QLatin1Char(' ')) || text.startsWith(name + QLatin1Char(':'));
        if (named && *next == '\0')
            return error;
        return std::make_exception_ptr(
            EPortError((named ? text : label + QStringLiteral(": ") + text) + QString::fromUtf8(next)));
    } catch (...) {
    }
    return error;
}

void TForm1::ArmLineErrorTrigger()
{
    if (ComPort)
        portsetup::ArmLineErrorTrigger(*ComPort);
}

void TForm1::SendCommand(const std::string& s)
{
    // A command of the operator's (or Readout's) takes over the line: a
    // quiet command's waiter is not told of what comes now.
    quietDone_ = nullptr;
    Transmit(s, false, protocol::kReplyTimeoutTicks);
}

void TForm1::Transmit(const std::string& s, bool quiet, int ticks)
{
    // A frame shown as sent must reach the wire. The one before this command
    // may still be on its way out (two commands in quick succession), and a
    // discard would take it off the line (a pseudo-terminal's too, which
    // shows nothing queued): so output is discarded only when it did not
    // leave in time, or the port is about to open.
    sio::TSioBaseDispatcher* d = ComPort->Dispatcher();
    const bool opening = !d || ComPort->DeviceLost();
    const bool stuck = !opening && !d->WaitOutputSent(kOutputSentWaitMs);
    // Opens the port at the first command: the port dialog, then the line.
    // A port that would not open (in use, missing) is not tried again: the
    // next command offers the dialog.
    try {
        ComPort->FlushInput();
    } catch (...) {
        const std::exception_ptr error = NamingPort(std::current_exception(), strings::kOpenFailedNext);
        portChoice_->Forget();
        std::rethrow_exception(error);
    }
    try {
        if (opening || stuck)
            ComPort->FlushOutput();
    } catch (...) {
        std::rethrow_exception(NamingPort(std::current_exception()));
    }
    state_.TimedOut = false;
    state_.ReplyReceived = false;
    quiet_ = quiet;
    const std::string command = protocol::ReplaceAddress(s, state_.GripperAddress);
    if (!quiet)
        Memo1->InsertLine(0, QStringLiteral("Tx: ") + QString::fromLatin1(command.data(), qsizetype(command.size())));
    state_.LastFrame = protocol::Frame(command);
    // Disabled first, so that every command gets a fresh time limit. Armed
    // before the frame goes out: bytes that reach a disarmed collector are
    // dropped, so a fast answer (or its echo) would otherwise be lost, or
    // the tail of a half-collected echo be taken for the reply.
    ComDataPacket->SetEnabled(false);
    ComDataPacket->SetTimeOut(ticks);
    ComDataPacket->SetEnabled(true);
    answerOwed_ = false;
    try {
        ComPort->WriteString(state_.LastFrame);
        answerOwed_ = true;
    } catch (...) {
        // Nothing went out, so no answer is awaited: no time-out to follow.
        ComDataPacket->SetEnabled(false);
        Memo1->FlushPending();
        std::rethrow_exception(NamingPort(std::current_exception()));
    }
    // The frame is on its way: the output may change and paint while the
    // line is busy with it and the answer.
    Memo1->FlushIfDue();
}

void TForm1::bSenden2Click()
{
    const QString t = cbCommands->currentText();
    if (!cbCommands->HasItem(t))
        cbCommands->AddSorted(t);
    const QByteArray bytes = t.toLatin1();
    SendCommand(std::string(bytes.constData(), std::size_t(bytes.size())));
}

void TForm1::FormKeyUp(QKeyEvent& key)
{
    if (key.isAutoRepeat() || key.key() < Qt::Key_F1 || key.key() > Qt::Key_F12)
        return;
    // A sequence owns the line until its last answer.
    if (sequenceRunning_)
        return;
    const QString cell = StringGrid3->Cell(1, key.key() - Qt::Key_F1);
    if (cell.isEmpty())
        return;
    const QByteArray bytes = cell.toLatin1();
    SendCommand(std::string(bytes.constData(), std::size_t(bytes.size())));
}

void TForm1::rgParityClick()
{
    const sio::TParity parity = rgParity->ItemIndex() == 1 ? sio::pNone : sio::pEven;
    // A lost device takes no settings. The port keeps the operator's choice
    // all the same and opens with it again at the next command: nothing to
    // report about a device already reported lost.
    const bool lost = ComPort->DeviceLost();
    try {
        ComPort->SetParity(parity);
    } catch (...) {
        PortStatus->Refresh();
        if (!lost)
            std::rethrow_exception(NamingPort(std::current_exception()));
    }
    PortStatus->Refresh();
}

}  // namespace tarnell
