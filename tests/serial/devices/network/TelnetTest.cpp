// The telnet stream's decoder and builders, and network addresses: the
// cases a server's byte stream can cut in awkward places.
#include <gtest/gtest.h>

#include "port/DispatcherFactory.h"
#include "devices/network/NetworkDispatcher.h"
#include "devices/network/TelnetCodec.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace sio::telnet;
using Bytes = std::vector<std::uint8_t>;

Bytes B(std::initializer_list<int> v)
{
    Bytes b;
    for (int x : v)
        b.push_back(static_cast<std::uint8_t>(x));
    return b;
}

// Feeds the stream one byte at a time: every cut a TCP segment can make.
void FeedBytewise(TTelnetDecoder& d, const Bytes& in, Bytes& data, std::vector<TTelnetEvent>& events)
{
    for (std::uint8_t b : in)
        d.Feed(&b, 1, data, events);
}

TEST(Telnet, CommandsAndEscapesCutAnywhereLeaveTheDataExact)
{
    // 'a' IAC IAC 'b' | IAC DO COM-PORT | IAC SB COM-PORT 106 IAC IAC IAC SE |
    // IAC NOP | 'c' | SB without SE, ended by the next command | 'd'.
    const Bytes stream = B({'a', 255, 255, 'b', 255, 253, 44, 255, 250, 44, 106, 255, 255, 255, 240, 255, 241, 'c',
                            255, 250, 44, 107, 0x30, 255, 251, 1, 'd'});
    for (int bytewise = 0; bytewise < 2; ++bytewise) {
        TTelnetDecoder d;
        Bytes data;
        std::vector<TTelnetEvent> events;
        if (bytewise)
            FeedBytewise(d, stream, data, events);
        else
            d.Feed(stream.data(), stream.size(), data, events);
        EXPECT_EQ(data, B({'a', 255, 'b', 'c', 'd'}));
        ASSERT_EQ(events.size(), 5u);
        EXPECT_EQ(events[0].kind, TTelnetEvent::Negotiation);
        EXPECT_EQ(events[0].verb, DO);
        EXPECT_EQ(events[0].option, OptComPort);
        EXPECT_EQ(events[1].kind, TTelnetEvent::Subnegotiation);
        EXPECT_EQ(events[1].payload, B({106, 255}));
        EXPECT_EQ(events[2].verb, NOP);
        EXPECT_EQ(events[3].payload, B({107, 0x30}));
        EXPECT_EQ(events[4].verb, WILL);
        EXPECT_EQ(events[4].option, OptEcho);
        // Each command knows which data came before it.
        std::vector<std::size_t> places;
        for (const TTelnetEvent& e : events)
            places.push_back(e.dataAt);
        EXPECT_EQ(places, (std::vector<std::size_t>{3, 3, 3, 4, 4}));
    }

    // A server that does not send binary: CR NUL is a CR, CR LF stays.
    TTelnetDecoder d;
    d.SetCrNul(true);
    Bytes data;
    std::vector<TTelnetEvent> events;
    FeedBytewise(d, B({'\r', 0, 'x', '\r', '\n', 0}), data, events);
    EXPECT_EQ(data, B({'\r', 'x', '\r', '\n', 0}));
}

TEST(Telnet, BuildersEscapeAndAnAbandonedWriteIsNeverCutInsideAPair)
{
    Bytes out;
    ComPortBaudInto(9600, out);
    EXPECT_EQ(out, B({255, 250, 44, 1, 0, 0, 0x25, 0x80, 255, 240}));
    out.clear();
    ComPortBaudInto(0xFF00FF, out);  // a value byte of 255 is doubled too
    EXPECT_EQ(out, B({255, 250, 44, 1, 0, 255, 255, 0, 255, 255, 255, 240}));

    out.clear();
    const Bytes data = B({'a', 255, '\r', 'b'});
    EscapeInto(data.data(), data.size(), out, true);
    EXPECT_EQ(out, B({'a', 255, 255, '\r', 0, 'b'}));
    // After 'a' IAC: one more byte completes the pair; after the pair none.
    EXPECT_EQ(BytesToCompletePair(out.data(), 2, out.size(), true), 1u);
    EXPECT_EQ(BytesToCompletePair(out.data(), 3, out.size(), true), 0u);
    EXPECT_EQ(BytesToCompletePair(out.data(), 4, out.size(), true), 1u);  // CR without its NUL
    EXPECT_EQ(BytesToCompletePair(out.data(), 4, out.size(), false), 0u);
}

TEST(Telnet, NetworkAddressesAreReadAsAnOperatorWritesThem)
{
    auto a = sio::ParseNetworkAddress("rfc2217://gripper-gw.plant:4001");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->mode, sio::TNetworkAddress::Rfc2217);
    EXPECT_EQ(a->host, "gripper-gw.plant");
    EXPECT_EQ(a->port, 4001);
    auto v6 = sio::ParseNetworkAddress("tcp://[fd00::7]:2000/");
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->host, "fd00::7");
    EXPECT_EQ(v6->Text(), "tcp://[fd00::7]:2000");
    for (const char* bad : {"rfc2217://host", "rfc2217://:4001", "tcp://host:0", "tcp://host:65536", "tcp://a b:1",
                            "tcp://fd00::7:2000", "telnet://host:23", "rfc2217://host:40x1"})
        EXPECT_FALSE(sio::ParseNetworkAddress(bad)) << bad;
}

// The factory tells a network port from a device path and from an address of
// a scheme no port speaks (tarnell-cli's --device); the port folder takes
// the same two schemes as network ports.
TEST(Telnet, TheFactoryTellsWhatADeviceTextNames)
{
    using K = sio::TAddressKind;
    const std::pair<const char*, K> cases[] = {
        {"rfc2217://gripper-gw.plant:4001", K::NetworkPort}, {"tcp://[fd00::7]:2000", K::NetworkPort},
        {"tcp://host", K::BadNetworkAddress},                {"http://127.0.0.1:80", K::UnknownScheme},
        {"telnet://host:23", K::UnknownScheme},              {"/dev/ttyUSB0", K::LocalDevice},
        {"C://serial", K::LocalDevice},                      {"./odd://name", K::LocalDevice},
        {"\\\\.\\COM12", K::LocalDevice},
    };
    for (const auto& [text, kind] : cases)
        EXPECT_EQ(sio::KindOfAddress(text), kind) << text;

    // In the port folder, a link to another scheme is no network port.
    char name[] = "/tmp/sio-address-XXXXXX";
    const std::string dir = ::mkdtemp(name);
    std::filesystem::create_symlink("rfc2217://127.0.0.1:4001", dir + "/COM5");
    std::filesystem::create_symlink("http://127.0.0.1:80", dir + "/COM6");
    ::setenv("SIO_PORT_DIR", dir.c_str(), 1);
    EXPECT_EQ(sio::NetworkPortAddress(5), "rfc2217://127.0.0.1:4001");
    EXPECT_EQ(sio::NetworkPortAddress(6), "");
    ::unsetenv("SIO_PORT_DIR");
    std::filesystem::remove_all(dir);
}

}  // namespace
