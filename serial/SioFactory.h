// Which dispatcher serves a port component: chosen by platform and by the
// component's device layer, in one place, so that nothing above the platform
// files names a platform dispatcher.
#pragma once

#include "SioPort.h"

#include <cstdint>
#include <memory>

namespace sio {

class TSioBaseDispatcher;

// The local serial device of this platform (a tty on Linux, a COM port on
// Windows). Defined in the platform's dispatcher unit.
std::unique_ptr<TSioBaseDispatcher> CreateLocalDispatcher(TSioCustomComPort* owner);

// A new dispatcher for owner on the given layer; null when this build has no
// dispatcher for that layer.
std::unique_ptr<TSioBaseDispatcher> CreateDispatcherFor(TDeviceLayer layer, TSioCustomComPort* owner);

}  // namespace sio
