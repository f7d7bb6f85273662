// The link from a manager to a real port component and its dispatcher,
// made where the collector joins a port (PacketManager.cpp defines it).
#pragma once

#include "packet/DataPacket.h"

#include <memory>

namespace sio {

std::unique_ptr<IPacketPort> LinkToComPort(TSioCustomComPort* port);

}  // namespace sio
