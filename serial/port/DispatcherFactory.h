// Which dispatcher serves a port component: chosen by platform and by the
// component's device layer, in one place, so that nothing above the platform
// files names a platform dispatcher.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace sio {

// Declared here rather than by including port/ComPort.h, which includes this
// header's unit in turn (the component asks the factory for its dispatcher).
class TSioBaseDispatcher;
class TSioCustomComPort;
enum TDeviceLayer : std::uint8_t;

// The local serial device of this platform (a tty on Linux, a COM port on
// Windows). Defined in the platform's dispatcher unit.
std::unique_ptr<TSioBaseDispatcher> CreateLocalDispatcher(TSioCustomComPort* owner);

// A network port (RFC 2217 or raw TCP), where the build has one
// (TARNELL_NETWORK_PORTS); defined in SioNetwork.
std::unique_ptr<TSioBaseDispatcher> CreateNetworkDispatcher(TSioCustomComPort* owner);

// A new dispatcher for owner on the given layer; null when this build has no
// dispatcher for that layer.
std::unique_ptr<TSioBaseDispatcher> CreateDispatcherFor(TDeviceLayer layer, TSioCustomComPort* owner);

// The layer that port n is on: a COM number whose entry in $SIO_PORT_DIR
// links to a network address ("rfc2217://HOST:PORT", "tcp://HOST:PORT") is
// on dlWinsock, every other COM number on dlWin32. configured stands for a
// port without a number (n <= 0) and for a build without network ports.
TDeviceLayer LayerOfPort(int n, TDeviceLayer configured);

// The network address that port n's entry in $SIO_PORT_DIR links to; ""
// when there is none, or the build has no network ports.
std::string NetworkPortAddress(int n);

// What a device text names, told apart here alone for every user of ports:
// a network port ("rfc2217://HOST:PORT", "tcp://HOST:PORT") well formed or
// not, an address of another scheme ("http://..."), which no dispatcher
// takes, or else the path of a local device. A build without network ports
// takes no address at all: every scheme is unknown to it.
enum class TAddressKind { LocalDevice, NetworkPort, BadNetworkAddress, UnknownScheme };
TAddressKind KindOfAddress(const std::string& text);

// The forms a network port is written in, for messages; "" in a build
// without network ports.
std::string NetworkAddressForms();

}  // namespace sio
