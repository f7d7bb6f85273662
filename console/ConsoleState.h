// The console's state, one set shared by all handlers of the main window.
#pragma once

#include "GripperProtocol.h"

#include <QColor>

#include <array>
#include <string>

namespace tarnell {

struct TConsoleState {
    // The bus address for "#ADR" and the read and write sequences.
    int GripperAddress = 0;
    // The frame last written to the port (command + LF + CR), and the data of
    // the last packet received, end characters included. Byte strings.
    std::string LastFrame;
    std::string LastReply;
    // The handshake between a command and its answer: after a command both
    // are false, and exactly one becomes true when the exchange ends.
    bool TimedOut = false;
    bool ReplyReceived = false;
    // The address field's colour, kept while the field is highlighted.
    QColor AddressColor;
    // The cell last edited in either parameter grid (both grids share it).
    int EditCol = 0;
    int EditRow = 0;
    // Range limits, indexed by grid column 1..3; the numbers are the
    // gripper types' own, from the protocol module. The start type is 50 mm.
    int MaxPosition = protocol::PositionRange(0).max;
    int MaxForce = protocol::ForceRange(0).max;
    std::array<int, 4> MinLimits{0, protocol::PositionRange(0).min, protocol::PositionRange(0).min,
                                 protocol::ForceRange(0).min};
    std::array<int, 4> MaxLimits{0, MaxPosition, MaxPosition, MaxForce};
};

}  // namespace tarnell
