#include "port/DispatcherFactory.h"

#include "port/ComPort.h"
#include "dispatch/Dispatcher.h"
#ifdef TARNELL_NETWORK_PORTS
#include "devices/network/NetworkDispatcher.h"
#endif

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

TAddressKind KindOfAddress(const std::string& text)
{
    // "scheme://": a letter, then letters, digits, "+", "-" or "."; two
    // characters at least, so that a drive "C://" stays a path.
    const std::size_t end = text.find("://");
    auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    bool scheme = end != std::string::npos && end >= 2 && letter(text[0]);
    for (std::size_t i = 1; scheme && i < end; ++i)
        scheme = letter(text[i]) || (text[i] >= '0' && text[i] <= '9') || text[i] == '+' || text[i] == '-' ||
                 text[i] == '.';
    if (!scheme)
        return TAddressKind::LocalDevice;
#ifdef TARNELL_NETWORK_PORTS
    if (LooksLikeNetworkAddress(text))
        return ParseNetworkAddress(text) ? TAddressKind::NetworkPort : TAddressKind::BadNetworkAddress;
#endif
    return TAddressKind::UnknownScheme;
}

std::string NetworkAddressForms()
{
#ifdef TARNELL_NETWORK_PORTS
    return "rfc2217://HOST:PORT or tcp://HOST:PORT (PORT 1..65535, an IPv6 address in brackets)";
#else
    return {};
#endif
}

}  // namespace sio
