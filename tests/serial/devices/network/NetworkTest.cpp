// Network ports against a real ser2net on 127.0.0.1, started here on a
// configuration file of the test's own, with tarnell-sim's pseudo-terminal
// (or one of the test's, where every byte value must cross) as its serial
// side. The console's own port and reply collector (TConsoleLink) make the
// exchanges, on COM numbers that the port folder links to the accepters.
#include <gtest/gtest.h>

#include "ConsoleLink.h"
#include "FakeDeviceServer.h"
#include "NetworkPortFixture.h"
#include "PtyPort.h"
#include "ReportedErrors.h"
#include "Ser2net.h"

#include "errors/Exceptions.h"
#include "base/MessageQueue.h"
#include "devices/network/NetworkDispatcher.h"
#include "selection/PortSelection.h"
#include "devices/network/TelnetCodec.h"
#include "dispatch/Dispatcher.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using sio::test::NetDispatcher;
using sio::test::Slurp;
using sio::test::TProcess;
using sio::test::TSer2net;
using tarnell::test::TConsoleLink;

class Network : public sio::test::TNetworkPortFixture {
protected:
    // tarnell-sim on COMn of the port folder; returns its pseudo-terminal.
    std::string StartSim(TProcess& sim, int com, std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {TARNELL_SIM, "--dir", dir_.Path(), "--com", std::to_string(com),
                                         "--no-wire-timing", "--log", dir_.Path() + "/sim" + std::to_string(com) + ".log"};
        args.insert(args.end(), extra.begin(), extra.end());
        sim.Start(args, dir_.Path() + "/sim.out");
        const std::string link = dir_.Entry(com);
        if (!sio::test::AwaitSign([&] { return fs::is_symlink(link) && fs::exists(link); }))
            throw std::runtime_error("tarnell-sim did not link " + link);
        return fs::canonical(link).string();
    }
};

// Status, a Readout's eight places and a store read back: the console's
// exchanges, collected whole from however many segments they arrive in.
void ExchangeAsTheConsoleDoes(TConsoleLink& link)
{
    TConsoleLink::TResult status = link.Exchange("STA;0");
    ASSERT_FALSE(status.hung);
    ASSERT_FALSE(status.timedOut);
    EXPECT_EQ(status.reply, "STA;0:192;\n\r");
    for (int place = 1; place <= 8; ++place) {
        TConsoleLink::TResult r = link.Exchange("RCL;0;" + std::to_string(place));
        ASSERT_FALSE(r.timedOut) << "place " << place;
        EXPECT_EQ(r.reply.rfind("A0;" + std::to_string(place) + ";", 0), 0u) << r.reply;
    }
    ASSERT_FALSE(link.Exchange("STO;0;2;480;35;44").timedOut);
    EXPECT_EQ(link.Exchange("RCL;0;2").reply, "A0;2;480;35;44\n\r");
}

TEST_F(Network, Rfc2217AndRawTcpCarryTheConsolesExchangeAndTheParitySwitchReachesTheServer)
{
    sio::test::TReportedErrors errors;
    TProcess simA, simB;
    const std::string ptyA = StartSim(simA, 1);
    const std::string ptyB = StartSim(simB, 2);
    TSer2net server(dir_.Path(), {{"telnet(rfc2217)", ptyA}, {"tcp", ptyB}});
    MapPort(5, server.Url(0));
    MapPort(6, server.Url(1));

    // The port list shows them with their addresses, without connecting.
    EXPECT_TRUE(sio::IsPortAvailable(5));
    EXPECT_EQ(sio::DescribePort(5), "network port " + server.Url(0));
    EXPECT_EQ(sio::DescribePort(6), "network port " + server.Url(1));

    {
        TConsoleLink link(5, Log());
        ExchangeAsTheConsoleDoes(link);
        EXPECT_EQ(link.Port().DeviceLayer(), sio::dlWinsock);
        sio::TSioNetworkDispatcher* d = NetDispatcher(link);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->DeviceLocation(), server.Url(0));
        EXPECT_TRUE(d->ComPortAccepted());
        // The server's answers to the opening's settings: 9600 8E1.
        ASSERT_TRUE(sio::test::WaitUntil([&] { return d->ServerValue(sio::telnet::cpSetParity).has_value(); }));
        EXPECT_EQ(d->ServerValue(sio::telnet::cpSetParity), sio::telnet::cpParityEven);
        EXPECT_EQ(d->ServerValue(sio::telnet::cpSetBaudRate), 9600u);
        EXPECT_EQ(d->ServerValue(sio::telnet::cpSetDataSize), 8u);

        // The parity switch of the window goes to the server at once.
        link.Port().SetParity(sio::pNone);
        EXPECT_TRUE(sio::test::WaitUntil(
            [&] { return d->ServerValue(sio::telnet::cpSetParity) == sio::telnet::cpParityNone; }));
        EXPECT_EQ(link.Exchange("STA;0").reply, "STA;0:192;\n\r");

        // A pseudo-terminal has no DTR or RTS: ser2net leaves SET-CONTROL
        // for them unanswered. That is a log entry; the port goes on.
        ASSERT_TRUE(sio::test::WaitUntil([&] { return d->Unacknowledged().size() >= 2; }));
        const auto late = d->Unacknowledged();
        EXPECT_NE(std::find(late.begin(), late.end(), "SET-CONTROL DTR off"), late.end());
        EXPECT_NE(std::find(late.begin(), late.end(), "SET-CONTROL RTS off"), late.end());
        EXPECT_EQ(link.Exchange("RCL;0;2").reply, "A0;2;480;35;44\n\r");
    }
    // The dispatch log tells why (its columns wrap the text).
    const std::string log = Slurp(Log());
    EXPECT_NE(log.find("No[20]answer[20]from[20]the[20]se"), std::string::npos) << log;
    {
        // Every exchange purges the server's receive and transmit sides
        // first. ser2net may carry a purge out after it has passed on the
        // frame that follows, dropping the frame or its answer, unless the
        // frame waits for every purge's answer.
        TConsoleLink link(5, dir_.Path() + "/many.log");
        int lost = 0;
        for (int i = 0; i < 500; ++i)
            lost += link.Exchange("STA;0").reply != "STA;0:192;\n\r";
        EXPECT_EQ(lost, 0);
    }

    {
        TConsoleLink link(6, Log());
        ExchangeAsTheConsoleDoes(link);
        sio::TSioNetworkDispatcher* d = NetDispatcher(link);
        ASSERT_NE(d, nullptr);
        EXPECT_FALSE(d->ComPortAccepted());  // raw: nothing but bytes
        EXPECT_FALSE(d->ServerValue(sio::telnet::cpSetParity).has_value());
    }
    EXPECT_EQ(errors.reported, std::vector<std::string>{});
    // What reached the serial side: the frames, not one telnet byte.
    EXPECT_EQ(Slurp(dir_.Path() + "/sim1.log").find("\\xff"), std::string::npos);
}

TEST_F(Network, EveryByteValueCrossesTheEscapingOnceBothWaysAndInManySegments)
{
    sio::test::TPtyPort pty(dir_, 3);
    TSer2net server(dir_.Path(), {{"telnet(rfc2217)", pty.SlavePath()}});
    MapPort(7, server.Url(0));
    sio::TSioComPort port;
    port.SetComNumber(7);
    port.SetInSize(16384);
    port.SetOutSize(16384);
    port.SetOpen(true);
    sio::TSioBaseDispatcher* d = port.RequireDispatcher();

    // Every value, runs of IAC (255) of every length up to 5, CR NUL and
    // CR LF, which a non-binary telnet would change.
    std::string block;
    for (int i = 0; i < 256; ++i)
        block += static_cast<char>(i);
    for (int run = 1; run <= 5; ++run)
        block += std::string(static_cast<std::size_t>(run), '\xff') + "x";
    block += std::string("\r\0\r\n\xff\r\xff\0", 8);
    std::string big;
    while (big.size() < 12000)
        big += block;

    ASSERT_EQ(d->WriteBytes(big.data(), static_cast<std::int32_t>(big.size())), 0);
    EXPECT_EQ(pty.ReadExactly(big.size()), big);

    // Back in pieces of 1 to 7 bytes with pauses: many TCP segments, an IAC
    // pair cut between two of them now and then.
    std::thread writer([&] {
        std::size_t at = 0, n = 1;
        while (at < big.size()) {
            const std::size_t len = std::min(n, big.size() - at);
            pty.Write(big.data() + at, len);
            at += len;
            n = n % 7 + 1;
            if (at % 512 < 7)
                std::this_thread::sleep_for(1ms);
        }
    });
    // Read where an application reads, in the handler of the bytes that
    // arrived: a read from elsewhere while a delivery is under way would
    // count as that delivery's.
    std::string got;
    port.SetOnTriggerAvail([&](sio::TSioCustomComPort*, std::uint16_t count) {
        std::string part(count, '\0');
        if (count > 0 && d->ReadBytes(part.data(), count) == count)
            got += part;
    });
    const bool whole = sio::ServeMessagesUntil([&] { return got.size() >= big.size(); }, 20000);
    writer.join();
    ASSERT_TRUE(whole) << got.size() << " of " << big.size();
    EXPECT_EQ(got, big);
}

TEST_F(Network, AServerKilledMidReadoutIsALostDeviceAndTheNextCommandConnectsAgain)
{
    sio::test::TReportedErrors errors;
    TProcess sim;
    // Answers take 300 ms, so that the kill finds the exchange waiting.
    const std::string pty = StartSim(sim, 1, {"--delay", "300"});
    TSer2net server(dir_.Path(), {{"telnet(rfc2217)", pty}});
    MapPort(5, server.Url(0));
    TConsoleLink link(5, Log());
    ASSERT_EQ(link.Exchange("RCL;0;1").reply, "A0;1;100;20;10\n\r")
        << "simulator: " << Slurp(dir_.Path() + "/sim1.log") << "\nser2net: " << server.Output();
    ASSERT_EQ(link.Exchange("RCL;0;2").reply, "A0;2;150;30;15\n\r");

    // ser2net dies (SIGKILL: nothing said) once the simulator has heard place 3.
    std::thread killer([&] {
        sio::test::AwaitSign([&] { return Slurp(dir_.Path() + "/sim1.log").find("RCL;0;3") != std::string::npos; });
        server.Stop(SIGKILL);
    });
    TConsoleLink::TResult r = link.Exchange("RCL;0;3");
    killer.join();
    EXPECT_FALSE(r.hung);
    EXPECT_TRUE(r.timedOut);
    EXPECT_TRUE(link.Port().DeviceLost());
    EXPECT_GE(link.LineErrors(), 1);
    ASSERT_EQ(errors.reported.size(), 1u);
    EXPECT_EQ(errors.reported[0], "COM5 (" + server.Url(0) + "): the device was lost");

    // While the server is away, the next command fails as an opening does:
    // the port, the address and the system's reason.
    try {
        link.Exchange("STA;0");
        ADD_FAILURE() << "the exchange went through without a server";
    } catch (const sio::ESioException& e) {
        EXPECT_EQ(std::string(e.what()), "COM5 (" + server.Url(0) + "): cannot connect: Connection refused");
    }
    // Back on the same port: the next command connects again. The answer
    // to place 3, held in the pseudo-terminal while no server read it, may
    // come first, as ser2net forwards it when it opens the device.
    server.Start();
    TConsoleLink::TResult again = link.Exchange("STA;0");
    if (again.reply == "A0;3;200;40;20\n\r")
        again = link.Exchange("STA;0");
    EXPECT_FALSE(again.timedOut);
    EXPECT_EQ(again.reply, "STA;0:192;\n\r");
    EXPECT_EQ(link.Port().DeviceLayer(), sio::dlWinsock);
}

// A wait for a purge's answer that never comes ends at its limit; after
// three such waits in a row the output no longer waits, though the server
// answers the other purge every time.
TEST_F(Network, AServerThatLeavesAPurgeUnansweredIsWaitedForThreeTimesAndThenNoLonger)
{
    sio::test::TReportedErrors errors;
    sio::test::TDeviceOptions silentOnTransmit;
    silentOnTransmit.answerTransmitPurge = false;
    sio::test::TRfc2217Device device(silentOnTransmit);
    sio::test::TFakeDeviceServer server([&](int fd, sio::test::TFakeDeviceServer& s) { device.Serve(fd, s); });
    MapPort(7, server.Url());
    {
        TConsoleLink link(7, Log());
        for (int i = 0; i < 6; ++i) {
            const TConsoleLink::TResult r = link.Exchange("STA;0");
            EXPECT_FALSE(r.timedOut || r.hung) << "exchange " << i;
            EXPECT_EQ(r.reply, "STA;0:192;\n\r") << "exchange " << i;
        }
        // Counted by kind: the receive purges' answers do not reset the
        // count of the transmit purges left unanswered.
        sio::TSioNetworkDispatcher* d = NetDispatcher(link);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->PurgeMisses(sio::telnet::purgeTransmit), sio::PurgeMissesToGiveUp);
        EXPECT_EQ(d->PurgeMisses(sio::telnet::purgeReceive), 0);
    }
    // The dispatch log's data column wraps its text and writes blanks as
    // [20]; its lines end in CR LF.
    std::string log = Slurp(Log()), text;
    log.erase(std::remove(log.begin(), log.end(), '\r'), log.end());
    for (std::size_t at = 0; at < log.size();) {
        if (log.compare(at, 4, "[20]") == 0) {
            text += ' ';
            at += 4;
        } else if (log[at] == '\n' && log.find_first_not_of(' ', at + 1) > at + 40) {
            at = log.find_first_not_of(' ', at + 1);  // a wrapped line goes on
        } else {
            text += log[at++];
        }
    }
    EXPECT_NE(text.find("No answer from the server to PURGE-DATA transmit 3 times in a row; the output no longer "
                        "waits for one."),
              std::string::npos)
        << log;
    EXPECT_EQ(errors.reported, std::vector<std::string>{});
}

TEST_F(Network, AnUnreachableServerIsAClearOpenErrorAtTheConnectLimit)
{
    // Nobody listens: refused at once.
    const std::string refused = "rfc2217://127.0.0.1:" + std::to_string(sio::test::FreeTcpPort());
    MapPort(5, refused);
    // A listener whose queue is full drops the connection request: the
    // connect waits for an answer that never comes.
    sio::test::TListener listener(0);
    listener.FillBacklog();
    const std::string silent = "tcp://127.0.0.1:" + std::to_string(listener.Port());
    MapPort(6, silent);
    MapPort(8, "rfc2217://127.0.0.1:99999");

    struct TCase {
        int com;
        std::string text;
        std::chrono::milliseconds least;  // the opening takes at least this long
    } cases[] = {
        {5, "COM5 (" + refused + "): cannot connect: Connection refused", 0ms},
        // The limit, whole: the opening gives up at it (the message says
        // so), and not earlier.
        {6, "COM6 (" + silent + "): cannot connect: no answer within 3 s (Connection timed out)", 2900ms},
        {8,
         "COM8 (rfc2217://127.0.0.1:99999): not a network address (rfc2217://HOST:PORT or tcp://HOST:PORT, "
         "PORT 1..65535)",
         0ms},
    };
    for (const TCase& c : cases) {
        sio::TSioComPort port;
        port.SetComNumber(static_cast<std::uint16_t>(c.com));
        const auto start = std::chrono::steady_clock::now();
        try {
            port.SetOpen(true);
            ADD_FAILURE() << "COM" << c.com << " opened";
        } catch (const sio::ESioException& e) {
            EXPECT_EQ(std::string(e.what()), c.text);
        }
        EXPECT_GE(std::chrono::steady_clock::now() - start, c.least) << "COM" << c.com;
        EXPECT_FALSE(port.Open());
    }
}

// A name with two addresses, the first of which never answers (as an IPv6
// address on a network without IPv6 routing does): the opening goes on to
// the second, ser2net, well within the limit, and the exchanges work.
TEST_F(Network, ANameWhoseFirstAddressNeverAnswersReachesSer2netAtItsSecond)
{
    sio::test::TReportedErrors errors;
    TProcess sim;
    const std::string pty = StartSim(sim, 1);
    TSer2net server(dir_.Path(), {{"telnet(rfc2217)", pty}});
    // The first address: 127.0.0.2 on ser2net's port, a listener whose
    // queue is full.
    sio::test::TListener silent(0, "127.0.0.2", server.Port(0));
    silent.FillBacklog();
    sio::SetNameResolver([](const std::string& host) {
        return host == "gripper-gw" ? std::vector<std::string>{"127.0.0.2", "127.0.0.1"} : std::vector<std::string>{};
    });
    const std::string url = "rfc2217://gripper-gw:" + std::to_string(server.Port(0));
    MapPort(5, url);
    {
        TConsoleLink link(5, Log());
        ExchangeAsTheConsoleDoes(link);
        sio::TSioNetworkDispatcher* d = NetDispatcher(link);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->DeviceLocation(), url);
        EXPECT_TRUE(d->ComPortAccepted());
    }
    sio::SetNameResolver(nullptr);
    EXPECT_EQ(errors.reported, std::vector<std::string>{});
}

}  // namespace
