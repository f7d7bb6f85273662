#include "GripperPort.h"

#include "GripperProtocol.h"

#include "packet/DataPacket.h"
#include "port/ComPort.h"
#include "dispatch/Dispatcher.h"

namespace tarnell::portsetup {

const std::uint16_t kLineErrors =
    sio::CE_RXOVER | sio::CE_OVERRUN | sio::CE_RXPARITY | sio::CE_FRAME | sio::CE_BREAK;

void SetUpGripperPort(sio::TSioComPort& port, sio::TSioDataPacket& packet, const TGripperLine& line)
{
    port.SetName("ComPort");
    port.SetBaud(line.baud);
    port.SetParity(line.evenParity ? sio::pEven : sio::pNone);
    port.SetDTR(false);
    port.SetRTS(false);
    port.SetRS485Mode(true);
    if (!line.traceName.empty())
        port.SetTraceName(line.traceName);
    if (!line.logName.empty()) {
        port.SetLogName(line.logName);
        port.SetLogging(sio::tlOn);
    }
    port.SetOnPortOpen([&port](sio::TSioBaseComponent*) { ArmLineErrorTrigger(port); });

    packet.SetName("ComDataPacket");
    packet.SetComPort(&port);
    packet.SetEnabled(false);
    packet.SetAutoEnable(false);
    packet.SetStartCond(sio::scAnyData);
    packet.SetEndCond({sio::ecString});
    packet.SetEndString(std::string(protocol::kFrameEnd));
    packet.SetPacketSize(0);
    packet.SetTimeOut(protocol::kReplyTimeoutTicks);
}

void ArmLineErrorTrigger(sio::TSioCustomComPort& port)
{
    if (port.PortState() == sio::StateOpen)
        port.ArmStatusTrigger(sio::stLine, kLineErrors);
}

}  // namespace tarnell::portsetup
