// The collector on a real port component over a pseudo-terminal: bytes go
// through the dispatcher's threads, events come on the main thread.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "PtyPort.h"
#include "PumpUntil.h"
#include "errors/Exceptions.h"
#include "base/BaseComponent.h"
#include "packet/DataPacket.h"
#include "port/ComPort.h"
#include "selection/PortSelection.h"
#include "base/SystemCalls.h"
#include "dispatch/Dispatcher.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

using namespace sio;
using sio::test::TPortDir;
using sio::test::TPtyPort;

namespace {

class PacketPort : public ::testing::Test {
protected:
    TLocalMessageQueue queue;
    TPortDir dir;
    TPtyPort pty{dir, 3};
    std::unique_ptr<TSioComPort> port = std::make_unique<TSioComPort>();
    std::unique_ptr<TSioDataPacket> c = std::make_unique<TSioDataPacket>();
    std::vector<std::string> packets;
    int timeouts = 0;
    std::vector<std::string> reported;
    std::thread::id mainThread = std::this_thread::get_id();
    bool allOnMainThread = true;

    void SetUp() override
    {
        SetMessageQueue(&queue);
        SetExceptionReporter([this](std::exception_ptr e) {
            try {
                std::rethrow_exception(e);
            } catch (const std::exception& x) {
                reported.push_back(x.what());
            }
        });
        port->SetName("ComPort");
        port->SetComNumber(3);
        port->SetLogName(dir.Path() + "/SIO.LOG");
        c->SetName("ComDataPacket");
        c->OnStringPacket = [this](TSioDataPacket*, const std::string& s) {
            allOnMainThread = allOnMainThread && std::this_thread::get_id() == mainThread;
            packets.push_back(s);
        };
        c->OnTimeout = [this](TSioBaseComponent*) {
            allOnMainThread = allOnMainThread && std::this_thread::get_id() == mainThread;
            ++timeouts;
        };
        c->SetComPort(port.get());
    }
    void TearDown() override
    {
        EXPECT_TRUE(allOnMainThread);
        extra.clear();
        c.reset();
        port.reset();
        while (queue.ProcessOneMessage()) {
        }
        EXPECT_EQ(TSioDataPacketManagerList::Instance().Count(), 0u);
        EXPECT_EQ(TSioDataPacketManagerList::Instance().RetiredCount(), 0u);
        SetExceptionReporter(nullptr);
        SetMessageQueue(nullptr);
    }

    // Serves the main thread's queue until pred holds (at most 10 s).
    bool PumpUntil(const std::function<bool()>& pred)
    {
        return sio::test::PumpUntil(queue, pred, std::chrono::seconds(10));
    }
    // The event has run on the main thread, and the dispatcher thread has
    // finished with it (removed the bytes, re-armed the collectors).
    bool EventsOver() { return !c->Manager() || !c->Manager()->InEvent(); }
    bool WaitPackets(std::size_t n)
    {
        return PumpUntil([&] { return packets.size() >= n && EventsOver(); });
    }
    // Bytes the manager holds after a read: they have been taken from the port.
    bool WaitHeld(std::int32_t n)
    {
        return PumpUntil([&] { return c->Manager() && c->Manager()->HeldCount() >= n; });
    }
    void Reply(TSioDataPacket& p, bool include = true)
    {
        p.SetStartCond(scAnyData);
        p.SetEndCond({ecString});
        p.SetEndString("\n\r");
        p.SetIncludeStrings(include);
    }
    // The manager's timer trigger as the dispatcher holds it.
    bool TimerArmed()
    {
        TSioTriggerSet set;
        port->Dispatcher()->SaveTriggers(set);
        for (const auto& t : set.Timers.value_or(std::vector<TTimerTrigger>{}))
            if (t.Handle == c->Manager()->TimerHandle())
                return t.Armed != 0;
        ADD_FAILURE() << "no timer trigger";
        return false;
    }

    std::vector<std::unique_ptr<TSioDataPacket>> extra;
};

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST_F(PacketPort, ReplyWithAndWithoutItsEndStringOnTheMainThread)
{
    port->SetOpen(true);
    EXPECT_TRUE(c->Manager()->Active());
    Reply(*c);
    c->SetEnabled(true);
    pty.Write("OK\n\r");
    ASSERT_TRUE(WaitPackets(1));
    EXPECT_EQ(packets[0], "OK\n\r");

    c->SetIncludeStrings(false);
    pty.Write("OK\n\r");
    ASSERT_TRUE(WaitPackets(2));
    EXPECT_EQ(packets[1], "OK");
}

TEST_F(PacketPort, ReplyInTwoReadsCompletesAtTheCarriageReturn)
{
    port->SetOpen(true);
    Reply(*c);
    c->SetAutoEnable(false);
    c->SetEnabled(true);
    pty.Write("VER;0;A1\n");
    ASSERT_TRUE(WaitHeld(9));
    EXPECT_TRUE(packets.empty());
    pty.Write("\r");
    ASSERT_TRUE(WaitPackets(1));
    EXPECT_EQ(packets[0], "VER;0;A1\n\r");
    EXPECT_FALSE(c->Enabled());
}

TEST_F(PacketPort, PatternsRealignmentAndCaseFolding)
{
    port->SetOpen(true);
    c->SetStartCond(scAnyData);
    c->SetEndCond({ecString});
    c->SetEndString("aab");
    c->SetEnabled(true);
    pty.Write("aaab");
    ASSERT_TRUE(WaitPackets(1));
    EXPECT_EQ(packets[0], "aaab");

    c->SetEnabled(false);
    c->SetStartCond(scString);
    c->SetStartString("$?");
    c->SetEndString("#");
    c->SetEnabled(true);
    pty.Write("xx$A1#");
    ASSERT_TRUE(WaitPackets(2));
    EXPECT_EQ(packets[1], "$A1#");

    c->SetEnabled(false);
    c->SetStartString("\\?");
    c->SetEndCond({});
    c->SetEnabled(true);
    pty.Write("ab?");
    ASSERT_TRUE(WaitPackets(3));
    EXPECT_EQ(packets[2], "?");

    c->SetEnabled(false);
    c->SetStartString("\\\\");
    c->SetEnabled(true);
    pty.Write("?\\");
    ASSERT_TRUE(WaitPackets(4));
    EXPECT_EQ(packets[3], "\\");

    c->SetEnabled(false);
    c->SetStartString("ok");
    c->SetEnabled(true);
    pty.Write("oKOk");
    ASSERT_TRUE(WaitPackets(6));
    EXPECT_EQ(packets[4], "oK");
    EXPECT_EQ(packets[5], "Ok");
}

TEST_F(PacketPort, BothEndConditionsAndTheSizeComesFirst)
{
    port->SetOpen(true);
    c->SetStartString("S");
    c->SetEndCond({ecString, ecPacketSize});
    c->SetEndString("#");
    c->SetPacketSize(4);
    c->SetIncludeStrings(false);
    c->SetEnabled(true);
    pty.Write("S1#S12#");
    ASSERT_TRUE(WaitPackets(2));
    EXPECT_EQ(packets[0], "1");    // by end string: both strings cut off
    EXPECT_EQ(packets[1], "12#");  // by size at the '#': only the start string cut off
}

TEST_F(PacketPort, TimeLimitZeroNeverArmsTheTimer)
{
    port->SetOpen(true);
    Reply(*c);
    c->SetTimeOut(0);
    c->SetEnabled(true);
    EXPECT_TRUE(c->HoldsPort());
    EXPECT_FALSE(TimerArmed());
    c->SetEnabled(false);
    c->SetTimeOut(25);
    c->SetEnabled(true);
    EXPECT_TRUE(TimerArmed());
    c->SetEnabled(false);
    EXPECT_FALSE(TimerArmed());
    // A negative time limit is none at all, not an instant time-out.
    c->SetTimeOut(-1);
    c->SetEnabled(true);
    EXPECT_TRUE(c->HoldsPort());
    EXPECT_FALSE(TimerArmed());
}

TEST_F(PacketPort, TimeoutDiscardsHeldBytesAndDisables)
{
    // The clock stands still until "half" is held: on a busy machine the
    // limit could otherwise run out first, and bytes that come after a
    // time-out are rightly kept for the next packet.
    SetTestClock(MillisecondClock());
    struct TRealClockAgain {
        ~TRealClockAgain() { UseRealClock(); }
    } realClockAgain;
    port->SetOpen(true);
    Reply(*c);
    c->SetTimeOut(2);
    c->SetEnabled(true);
    pty.Write("half");
    ASSERT_TRUE(WaitHeld(4));
    EXPECT_EQ(timeouts, 0);
    AdvanceTestClock(5 * MsPerTick);  // past the limit, and past its hold-back for a frame not yet sent
    ASSERT_TRUE(PumpUntil([&] { return timeouts == 1 && EventsOver(); }));
    EXPECT_FALSE(c->Enabled());
    EXPECT_EQ(c->Manager()->HeldCount(), 0);
    EXPECT_TRUE(packets.empty());

    c->SetTimeOut(0);
    c->SetEnabled(true);
    pty.Write("rest\n\r");
    ASSERT_TRUE(WaitPackets(1));
    EXPECT_EQ(packets[0], "rest\n\r");
    EXPECT_EQ(timeouts, 1);
}

TEST_F(PacketPort, InvalidConfigurationOnEnabling)
{
    port->SetOpen(true);
    c->SetStartCond(scAnyData);
    try {
        c->SetEnabled(true);
        ADD_FAILURE() << "no exception";
    } catch (const EInvalidProperty& e) {
        EXPECT_EQ(e.ErrorCode(), -5503);
        EXPECT_STREQ(e.what(), "CharCount packets must have an end-condition");
    }
    EXPECT_FALSE(c->Enabled());
    EXPECT_EQ(c->Manager()->Collector(), nullptr);
}

TEST_F(PacketPort, TwoAnyDataCollectorsShareOnePort)
{
    port->SetOpen(true);
    extra.push_back(std::make_unique<TSioDataPacket>());
    TSioDataPacket& second = *extra.back();
    std::vector<std::string> secondPackets;
    second.OnStringPacket = [&](TSioDataPacket*, const std::string& s) { secondPackets.push_back(s); };
    second.SetComPort(port.get());
    EXPECT_EQ(second.Manager(), c->Manager());
    Reply(*c);
    Reply(second);
    c->SetEnabled(true);
    second.SetEnabled(true);
    EXPECT_TRUE(second.AwaitingPort());

    pty.Write("a\n\r");
    ASSERT_TRUE(WaitPackets(1));
    EXPECT_TRUE(c->HoldsPort());  // re-armed first after the event
    c->SetEnabled(false);
    pty.Write("b\n\r");
    ASSERT_TRUE(PumpUntil([&] { return secondPackets.size() == 1 && EventsOver(); }));
    EXPECT_EQ(secondPackets[0], "b\n\r");
    EXPECT_EQ(packets.size(), 1u);
}

TEST_F(PacketPort, EnabledWhileClosedIsArmedAtOpeningAndAgainAfterAClose)
{
    Reply(*c);
    c->SetEnabled(true);
    EXPECT_EQ(c->PacketState(), TPacketState::Idle);
    EXPECT_FALSE(c->Manager()->Active());

    port->SetOpen(true);
    EXPECT_EQ(c->PacketState(), TPacketState::Collecting);
    pty.Write("one\n\r");
    ASSERT_TRUE(WaitPackets(1));

    port->SetOpen(false);
    EXPECT_TRUE(c->Enabled());
    EXPECT_EQ(c->PacketState(), TPacketState::Idle);
    EXPECT_FALSE(c->Manager()->Active());
    port->SetOpen(true);
    EXPECT_EQ(c->PacketState(), TPacketState::Collecting);
    pty.Write("two\n\r");
    ASSERT_TRUE(WaitPackets(2));
    EXPECT_EQ(packets[1], "two\n\r");
}

// A port destroyed while open and collecting, before its collector: the
// collector lets go of it and can be bound to another port and work there.
TEST_F(PacketPort, PortDestroyedBeforeItsCollectorUnbindsIt)
{
    Reply(*c);
    c->SetEnabled(true);
    port->SetOpen(true);
    EXPECT_EQ(c->PacketState(), TPacketState::Collecting);

    port.reset();
    EXPECT_EQ(c->ComPort(), nullptr);
    EXPECT_EQ(c->Manager(), nullptr);
    EXPECT_EQ(c->PacketState(), TPacketState::Idle);
    while (queue.ProcessOneMessage()) {
    }
    EXPECT_EQ(TSioDataPacketManagerList::Instance().Count(), 0u);

    port = std::make_unique<TSioComPort>();
    port->SetComNumber(3);
    c->SetComPort(port.get());
    port->SetOpen(true);
    pty.Write("again\n\r");
    ASSERT_TRUE(WaitPackets(1));
    EXPECT_EQ(packets[0], "again\n\r");
}

TEST_F(PacketPort, InvalidConfigurationFailsTheOpeningAndTheNextOpeningWorks)
{
    Reply(*c);
    c->SetEndString("");  // not checked while the port is closed
    c->SetEnabled(true);
    EXPECT_THROW(port->SetOpen(true), EInvalidProperty);
    EXPECT_EQ(port->PortState(), StateClosed);
    EXPECT_EQ(port->Dispatcher(), nullptr);
    EXPECT_FALSE(c->Manager()->Active());
    EXPECT_TRUE(c->Enabled());

    c->SetEndString("\n\r");
    port->SetOpen(true);
    EXPECT_EQ(c->PacketState(), TPacketState::Collecting);
    pty.Write("fixed\n\r");
    ASSERT_TRUE(WaitPackets(1));
    EXPECT_EQ(packets[0], "fixed\n\r");
}

TEST_F(PacketPort, FailingOpenEventElsewhereLeavesTheCollectorUsable)
{
    Reply(*c);
    c->SetEnabled(true);
    bool fail = true;
    port->SetOnPortOpen([&](TSioBaseComponent*) {
        if (fail)
            throw std::runtime_error("open handler failed");
    });
    EXPECT_THROW(port->SetOpen(true), std::runtime_error);
    EXPECT_EQ(port->PortState(), StateClosed);
    c->SetEnabled(false);  // no dispatcher: nothing to stop, nothing raised
    c->SetEnabled(true);
    fail = false;
    port->SetOpen(true);
    EXPECT_TRUE(c->Manager()->Active());
    pty.Write("again\n\r");
    ASSERT_TRUE(WaitPackets(1));
    EXPECT_EQ(packets[0], "again\n\r");
}

TEST_F(PacketPort, HandlerExceptionIsReportedAndCollectingGoesOn)
{
    port->SetOpen(true);
    Reply(*c);
    int calls = 0;
    c->OnStringPacket = [&](TSioDataPacket*, const std::string& s) {
        packets.push_back(s);
        if (++calls == 1)
            throw std::runtime_error("handler failed");
    };
    c->SetEnabled(true);
    pty.Write("x\n\r");
    ASSERT_TRUE(WaitPackets(1));
    pty.Write("y\n\r");
    ASSERT_TRUE(WaitPackets(2));
    EXPECT_EQ(reported, std::vector<std::string>{"handler failed"});
    EXPECT_EQ(packets[1], "y\n\r");
}

// The handler leaves its collector with an invalid end string; the error
// comes up only as the event ends, on the dispatcher thread. It must reach
// the operator without taking the port's dispatcher thread down with it.
TEST_F(PacketPort, InvalidConfigurationLeftByAHandlerIsReportedAndThePortGoesOn)
{
    port->SetOpen(true);
    Reply(*c);
    extra.push_back(std::make_unique<TSioDataPacket>());
    TSioDataPacket& other = *extra.back();
    std::vector<std::string> otherPackets;
    other.OnStringPacket = [&](TSioDataPacket*, const std::string& s) { otherPackets.push_back(s); };
    other.SetComPort(port.get());
    other.SetStartString("#");  // a start string alone is its packet
    c->OnStringPacket = [&](TSioDataPacket* p, const std::string& s) {
        packets.push_back(s);
        p->SetEndString("");  // only marked for arming here: checked as the event ends
    };
    c->SetEnabled(true);
    other.SetEnabled(true);
    pty.Write("one\n\r");
    ASSERT_TRUE(PumpUntil([&] { return !reported.empty() && EventsOver(); }));
    EXPECT_EQ(reported, std::vector<std::string>{"End string is empty"});
    EXPECT_FALSE(c->Enabled());  // as after a failed enabling
    EXPECT_EQ(c->PacketState(), TPacketState::Idle);
    EXPECT_FALSE(c->HoldsPort());
    EXPECT_EQ(other.PacketState(), TPacketState::Waiting);  // the other collector was armed again

    // The dispatcher thread still delivers, and the collector mended and
    // enabled again gets the next reply.
    pty.Write("#");
    ASSERT_TRUE(PumpUntil([&] { return otherPackets.size() == 1 && EventsOver(); }));
    c->OnStringPacket = [&](TSioDataPacket*, const std::string& s) { packets.push_back(s); };
    c->SetEndString("\n\r");
    c->SetEnabled(true);
    pty.Write("two\n\r");
    ASSERT_TRUE(WaitPackets(2));
    EXPECT_EQ(packets[1], "two\n\r");
    EXPECT_EQ(reported.size(), 1u);
}

TEST_F(PacketPort, HandlerClosesThePortInsideItsEvent)
{
    port->SetOpen(true);
    Reply(*c);
    c->OnStringPacket = [&](TSioDataPacket*, const std::string& s) {
        packets.push_back(s);
        if (packets.size() == 1)
            port->SetOpen(false);
    };
    c->SetEnabled(true);
    pty.Write("bye\n\rlost\n\r");
    ASSERT_TRUE(WaitPackets(1));
    ASSERT_TRUE(PumpUntil([&] { return port->PortState() == StateClosed; }));
    EXPECT_EQ(packets, std::vector<std::string>{"bye\n\r"});
    EXPECT_TRUE(c->Enabled());  // AutoEnable: armed again when the port opens
    EXPECT_EQ(c->PacketState(), TPacketState::Idle);
    EXPECT_FALSE(c->Manager()->Active());

    port->SetOpen(true);
    EXPECT_EQ(c->PacketState(), TPacketState::Collecting);
    pty.Write("back\n\r");
    ASSERT_TRUE(WaitPackets(2));
    EXPECT_EQ(packets[1], "back\n\r");
}

// Replies stream in from another thread while the main thread changes the
// collector's settings between them: for the thread sanitizer, and to see
// that every packet is still a whole reply.
TEST_F(PacketPort, SettingsChangedWhileRepliesStreamIn)
{
    port->SetOpen(true);
    Reply(*c);
    c->SetTimeOut(0);
    c->SetEnabled(true);
    constexpr int replies = 300;
    std::thread writer([&] {
        for (int k = 0; k < replies; ++k) {
            std::string r = "R" + std::to_string(k) + "\n\r";
            pty.Write(r);
            if (k % 7 == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    int step = 0;
    bool done = PumpUntil([&] {
        switch (++step % 5) {
        case 0: c->SetTimeOut(step % 2 ? 0 : 500); break;
        case 1: c->SetIncludeStrings(true); break;
        case 2: (void)c->Manager()->HeldCount(); break;
        case 3: c->SetAutoEnable(true); break;
        default: c->SetEnabled(true); break;  // already enabled: nothing happens
        }
        return packets.size() >= static_cast<std::size_t>(replies) && EventsOver();
    });
    writer.join();
    ASSERT_TRUE(done) << packets.size();
    for (int k = 0; k < replies; ++k)
        EXPECT_EQ(packets[static_cast<std::size_t>(k)], "R" + std::to_string(k) + "\n\r");
    EXPECT_EQ(timeouts, 0);
}

TEST_F(PacketPort, DispatchLogNamesTheCollector)
{
    port->SetLogging(tlOn);
    port->SetOpen(true);
    c->SetStartString("AB");  // the start string alone is the packet
    c->SetEnabled(true);
    pty.Write("xAB");
    ASSERT_TRUE(WaitPackets(1));
    port->SetOpen(false);  // writes the log
    std::string log = ReadFile(dir.Path() + "/SIO.LOG");
    auto has = [&](const std::string& what) { return log.find(what) != std::string::npos; };
    EXPECT_TRUE(has("Packet    Enable        00000000  Packet:ComDataPacket")) << log;
    EXPECT_TRUE(has("Packet    StartStr      00000000  AB"));
    EXPECT_TRUE(has("Packet    Waiting       00000000  Packet:ComDataPacket"));
    EXPECT_TRUE(has("Packet    StringPacket  00000000  Packet:ComDataPacket"));
    EXPECT_TRUE(has("Packet    SizePacket    00000000  AB"));
    EXPECT_TRUE(has("TrgHdAlc  Method"));
}


// The console's way with a lost device: the far end goes away while the
// collector waits for a reply; the next command finds the device missing,
// and once the far end is back, the command after that just works.
TEST_F(PacketPort, ALostDeviceEndsTheWaitIsReportedAndTheNextCommandOpensItAgain)
{
    int asked = 0;
    SetPortChooser([&](TComSelectForm&) {
        ++asked;
        return mrCancel;
    });
    std::vector<std::uint16_t> lineErrors;
    struct TForget {
        TSioComPort& port;
        ~TForget() { port.SetOnTriggerLineError(nullptr); }
    } forget{*port};
    port->SetLogging(tlOn);
    port->SetOnPortOpen([&](TSioBaseComponent*) { port->ArmStatusTrigger(stLine, 0x1F); });
    port->SetOnTriggerLineError([&](TSioCustomComPort* cp, std::uint16_t error, bool) {
        lineErrors.push_back(error);
        cp->ArmStatusTrigger(stLine, 0x1F);
    });
    Reply(*c);
    c->SetTimeOut(1000);  // 55 s: within the test only the loss ends this wait
    port->FlushInput();
    c->SetEnabled(true);
    port->WriteString("STA;0\n\r");
    ASSERT_EQ(pty.ReadExactly(7), "STA;0\n\r");

    pty.CloseMaster();
    ASSERT_TRUE(PumpUntil([&] { return timeouts == 1 && !reported.empty() && EventsOver(); }));
    EXPECT_EQ(lineErrors, std::vector<std::uint16_t>{leDeviceFailed});
    EXPECT_EQ(reported, std::vector<std::string>{"COM3 (" + pty.SlavePath() + "): the device was lost"});
    EXPECT_TRUE(port->DeviceLost());

    // Still missing: the command fails as a first opening would, without
    // asking for a port; the dead port was closed and its log written.
    EXPECT_THROW(port->WriteString("STA;0\n\r"), EBadId);
    EXPECT_FALSE(port->Open());
    std::string log = ReadFile(dir.Path() + "/SIO.LOG");
    EXPECT_NE(log.find("Packet:ComDataPacket"), std::string::npos) << log;

    TPtyPort back(dir, 3);
    c->SetEnabled(true);
    port->WriteString("STA;0\n\r");
    EXPECT_EQ(back.ReadExactly(7), "STA;0\n\r");
    back.Write("STA;0;00\n\r");
    ASSERT_TRUE(WaitPackets(1));
    EXPECT_EQ(packets[0], "STA;0;00\n\r");
    EXPECT_EQ(asked, 0);

    // Lost again: one line error, although the trigger was armed at both
    // openings and after each report.
    back.CloseMaster();
    ASSERT_TRUE(PumpUntil([&] { return reported.size() == 2 && EventsOver(); }));
    EXPECT_EQ(lineErrors, (std::vector<std::uint16_t>{leDeviceFailed, leDeviceFailed}));

    // A collector bound to the lost port joins it as it is; the next command
    // reopens the port, with the collector's one timer.
    c->SetComPort(nullptr);
    c->SetComPort(port.get());
    EXPECT_TRUE(port->DeviceLost());
    TPtyPort third(dir, 3);
    port->FlushInput();
    EXPECT_FALSE(port->DeviceLost());
    TSioTriggerSet set;
    port->Dispatcher()->SaveTriggers(set);
    EXPECT_EQ(set.Timers->size(), 1u);
    port->SetOpen(false);  // while its far end and the handlers' locals live
    SetPortChooser(nullptr);
}

// The device taken away in each way a driver shows it, just after a reply
// has been read: the reply still comes first, then the loss. A hang-up met
// by the writer is a loss too.
TEST_F(PacketPort, EveryWayADeviceGoesAwayDeliversTheLastReplyFirst)
{
    enum TWay { ZeroRead, Eio, Enxio, HangUpOnly, HangUpOnWrite };
    std::vector<std::string> seen;
    struct TPulled : sys::TSysCalls {
        std::atomic<TWay> way{ZeroRead};
        std::atomic<int> device{-1};
        std::atomic<bool> pulled{false};
        std::atomic<bool> lastSent{false};
        int Open(const char* path, int flags) override
        {
            int fd = TSysCalls::Open(path, flags);
            device = fd;
            return fd;
        }
        int Poll(pollfd* fds, nfds_t n, int timeoutMs) override
        {
            const bool writing = n >= 1 && (fds[0].events & POLLOUT);
            if (!pulled || n < 1 || fds[0].fd != device || writing != (way == HangUpOnWrite))
                return TSysCalls::Poll(fds, n, timeoutMs);
            int r = TSysCalls::Poll(fds, n, 0);
            if (r >= 0 && fds[0].revents == 0)
                ++r;
            fds[0].revents |= way == ZeroRead || way == Eio || way == Enxio ? POLLIN : POLLHUP;
            return r;
        }
        ssize_t Write(int fd, const void* buf, std::size_t count) override
        {
            if (!pulled || fd != device || way != HangUpOnWrite)
                return TSysCalls::Write(fd, buf, count);
            errno = EAGAIN;
            return -1;
        }
        ssize_t Read(int fd, void* buf, std::size_t count) override
        {
            if (!pulled || fd != device || way == HangUpOnWrite)
                return TSysCalls::Read(fd, buf, count);
            if (!lastSent.exchange(true)) {
                std::memcpy(buf, "OK\n\r", 4);
                return 4;
            }
            switch (way.load()) {
            case ZeroRead: return 0;
            case Eio: errno = EIO; return -1;
            case Enxio: errno = ENXIO; return -1;
            case HangUpOnly:
            case HangUpOnWrite: errno = EAGAIN; return -1;
            }
            return 0;
        }
    } pulled;
    struct TRestore {
        TSioComPort& port;
        ~TRestore()
        {
            port.SetOpen(false);
            sys::InstallSysCalls(nullptr);
        }
    } restore{*port};

    c->OnStringPacket = [&](TSioDataPacket*, const std::string& s) { seen.push_back("packet " + s); };
    c->OnTimeout = [&](TSioBaseComponent*) { seen.push_back("timeout"); };
    port->SetOnTriggerLineError(
        [&](TSioCustomComPort*, std::uint16_t error, bool) { seen.push_back("line error " + std::to_string(error)); });
    Reply(*c);
    c->SetTimeOut(1000);
    for (TWay way : {ZeroRead, Eio, Enxio, HangUpOnly, HangUpOnWrite}) {
        SCOPED_TRACE(way);
        seen.clear();
        reported.clear();
        pulled.way = way;
        pulled.lastSent = false;
        pulled.pulled = false;
        // The last round's wake byte was never read: taken here, with the
        // port closed, it cannot slip past the flush below into this round.
        if (int slave = ::open(pty.SlavePath().c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY); slave >= 0) {
            char stale[64];
            while (::read(slave, stale, sizeof stale) > 0) {
            }
            ::close(slave);
        }
        sys::InstallSysCalls(&pulled);
        port->FlushInput();
        c->SetEnabled(true);
        pulled.pulled = true;
        std::vector<std::string> expected{"packet OK\n\r", "line error 10", "timeout"};
        if (way == HangUpOnWrite) {
            port->WriteString("STA;0\n\r");
            expected.erase(expected.begin());
        } else {
            // A driver wakes the reader's wait when its device goes; the
            // fake cannot, so a byte from the far end does (it is not read).
            ASSERT_EQ(pty.Write("x"), 1u);
        }
        ASSERT_TRUE(PumpUntil([&] { return seen.size() == expected.size() && reported.size() == 1 && EventsOver(); }));
        EXPECT_EQ(seen, expected);
        EXPECT_EQ(reported[0], "COM3 (" + pty.SlavePath() + "): the device was lost");
        port->SetOpen(false);
        sys::InstallSysCalls(nullptr);
    }
}

}  // namespace

namespace {

// A command sent from inside the reply's event (as a Readout's next command
// can be, before the dispatcher thread has left the event) flushes the input:
// what came after the reply must not open the next packet.
TEST_F(PacketPort, AFlushInsideTheEventDropsWhatCameAfterTheReply)
{
    Reply(*c);
    port->SetOpen(true);
    c->SetEnabled(true);
    bool flushed = false;
    c->OnStringPacket = [&](TSioDataPacket*, const std::string& s) {
        packets.push_back(s);
        if (flushed)
            return;
        flushed = true;
        port->FlushInput();
        c->SetEnabled(false);
        c->SetEnabled(true);
    };
    pty.Write(std::string("A\n\rTAIL"));
    ASSERT_TRUE(WaitPackets(1));
    pty.Write(std::string("B\n\r"));
    ASSERT_TRUE(WaitPackets(2));
    EXPECT_EQ(packets, (std::vector<std::string>{"A\n\r", "B\n\r"}));
}

}  // namespace
