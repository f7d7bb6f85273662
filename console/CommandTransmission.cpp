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

#include "packet/DataPacket.h"
#include "port/ComPort.h"
#include "dispatch/Dispatcher.h"

#include <QKeyEvent>

namespace tarnell {

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
    // What comes back goes to the exchange it belongs to: the line decides.
    line_ = std::make_unique<TExchangeLine>(*this);
    ComDataPacket->OnStringPacket = [this](sio::TSioDataPacket*, const std::string& data) { line_->Packet(data); };
    ComDataPacket->OnTimeout = [this](sio::TSioBaseComponent*) { line_->Timeout(); };
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
            EPortError((named ? text : label + QStringLiteral(": ") + text) + (*next ? strings::Tr(next) : QString())));
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
    // An exchange still on the wire (a poll, a command sent just before)
    // keeps its reply: this command goes out after its answer or time-out.
    if (line_->Busy() && !WaitForOwedAnswer())
        return;
    TExchange exchange;
    exchange.command = protocol::ReplaceAddress(s, state_.GripperAddress);
    exchange.ticks = protocol::kReplyTimeoutTicks;
    line_->Start(std::move(exchange));
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
