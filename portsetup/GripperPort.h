// The one set-up of the port component and the reply collector for talking to
// a gripper bus. The window, tarnell-cli, the soak and the benchmarks all use
// it, so that every test of the exchange tests the window's own set-up.
#pragma once

#include <cstdint>
#include <string>

namespace sio {
class TSioComPort;
class TSioCustomComPort;
class TSioDataPacket;
}  // namespace sio

namespace tarnell::portsetup {

// Framing, parity, overrun and break: what an operator wants to hear of.
// A lost device sets every bit of the error word, so a trigger on these
// fires for it too.
extern const std::uint16_t kLineErrors;

struct TGripperLine {
    std::int32_t baud = 9600;
    bool evenParity = true;
    // The dispatch log's file; empty: no dispatch log is written.
    std::string logName;
    // The trace's file name, should the trace be switched on; empty: none.
    std::string traceName;
};

// 8 data bits, 1 stop bit, DTR and RTS off, RS-485 direction; the collector
// takes any data up to the frame end, disabled, with the reply time limit.
// The port arms the line-error trigger at every opening. The caller assigns
// the collector's and the trigger's handlers.
void SetUpGripperPort(sio::TSioComPort& port, sio::TSioDataPacket& packet, const TGripperLine& line);

// The line-error trigger fires once; arming it at the opening and again
// after each report keeps exactly one. Does nothing on a port not open.
void ArmLineErrorTrigger(sio::TSioCustomComPort& port);

}  // namespace tarnell::portsetup
