#include "SioFactory.h"

#include "SioPort.h"
#include "SioUser.h"

namespace sio {

std::uint8_t SupportedDeviceLayers()
{
#ifdef TARNELL_NETWORK_PORTS
    return (1u << dlWin32) | (1u << dlWinsock);
#else
    return 1u << dlWin32;
#endif
}

std::unique_ptr<TSioBaseDispatcher> CreateDispatcherFor(TDeviceLayer layer, TSioCustomComPort* owner)
{
    switch (layer) {
    case dlWin32:
        return CreateLocalDispatcher(owner);
    case dlWinsock:
#ifdef TARNELL_NETWORK_PORTS
        return CreateNetworkDispatcher(owner);
#else
        break;
#endif
    }
    return nullptr;
}

TDeviceLayer LayerOfPort(int n, TDeviceLayer configured)
{
#ifdef TARNELL_NETWORK_PORTS
    // The port folder says what a COM number is: a link to a network
    // address is a network port, anything else a local device.
    if (n <= 0)
        return configured;
    return NetworkPortAddress(n).empty() ? dlWin32 : dlWinsock;
#else
    (void)n;
    return configured;
#endif
}

#ifndef TARNELL_NETWORK_PORTS
std::string NetworkPortAddress(int) { return {}; }
#endif

}  // namespace sio
