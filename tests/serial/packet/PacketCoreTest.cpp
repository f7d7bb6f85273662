// The collector's byte processing, driven through a port without a device.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "PacketFakePort.h"
#include "errors/Exceptions.h"
#include "base/BaseComponent.h"
#include "ReportedErrors.h"
#include "packet/DataPacket.h"

using namespace sio;
using sio::test::TFakePacketPort;

namespace {

std::string Bytes(std::initializer_list<int> v)
{
    std::string s;
    for (int b : v)
        s += static_cast<char>(b);
    return s;
}

bool PumpOneMessage() { return sio::ProcessOneMessage(); }

void PumpMessages()
{
    while (PumpOneMessage()) {
    }
}

class PacketCore : public ::testing::Test {
protected:
    TFakePacketPort port;
    std::unique_ptr<TSioDataPacket> c = std::make_unique<TSioDataPacket>();
    std::vector<std::string> packets;
    std::vector<std::string> rawPackets;
    int timeouts = 0;

    std::string Last() const { return packets.empty() ? "<no packet>" : packets.back(); }

    void SetUp() override
    {
        c->SetName("ComDataPacket");
        c->OnStringPacket = [this](TSioDataPacket*, const std::string& s) { packets.push_back(s); };
        c->OnPacket = [this](TSioDataPacket*, const std::uint8_t* d, std::int32_t n) {
            rawPackets.emplace_back(reinterpret_cast<const char*>(d), static_cast<std::size_t>(n));
        };
        c->OnTimeout = [this](TSioBaseComponent*) { ++timeouts; };
        c->SetPacketPort(&port);
    }
    void TearDown() override
    {
        c.reset();
        PumpMessages();
        UseRealClock();  // FireTimer moves it on
    }

    // The main window's reply collector: any data up to LF CR.
    void ReplyCollector(TSioDataPacket& p, bool include = true)
    {
        p.SetStartCond(scAnyData);
        p.SetEndCond({ecString});
        p.SetEndString("\n\r");
        p.SetIncludeStrings(include);
    }
};

TEST(PacketPattern, EscapesWildcardsAndAsciiCaseFolding)
{
    auto p = TPacketPattern::Prepare("a\\?b?\\\\", false);
    EXPECT_EQ(p.Pattern, "a?b?\\");
    EXPECT_EQ(p.Mask, "00010");
    EXPECT_TRUE(p.Matches(1, '?'));
    EXPECT_FALSE(p.Matches(1, 'x'));  // an escaped question mark is literal
    EXPECT_TRUE(p.Matches(3, 'x'));
    EXPECT_TRUE(p.Matches(3, 0xFF));
    EXPECT_TRUE(p.Matches(4, '\\'));
    EXPECT_FALSE(p.Matches(5, 'a'));  // past the end never matches

    EXPECT_EQ(TPacketPattern::Prepare("ab\\", false).Pattern, "ab");  // a trailing backslash is dropped
    EXPECT_EQ(TPacketPattern::Prepare("\\", true).Length(), 0u);

    auto ci = TPacketPattern::Prepare("ok\\n", true);  // folded before the escape: "\N" is a literal N
    EXPECT_EQ(ci.Pattern, "OKN");
    EXPECT_TRUE(ci.Matches(0, 'o'));
    EXPECT_TRUE(ci.Matches(1, 'K'));
    EXPECT_FALSE(ci.Matches(2, '\n'));

    auto cs = TPacketPattern::Prepare("ok", false);
    EXPECT_FALSE(cs.Matches(0, 'O'));
    EXPECT_TRUE(cs.Matches(0, 'o'));

    // Bytes above 127 are compared unchanged, also with case folding.
    auto hi = TPacketPattern::Prepare(Bytes({0xE4}), true);
    EXPECT_TRUE(hi.Matches(0, 0xE4));
    EXPECT_FALSE(hi.Matches(0, 0xC4));
    EXPECT_EQ(AsciiUpper('z'), 'Z');
    EXPECT_EQ(AsciiUpper('{'), '{');
    EXPECT_EQ(AsciiUpper(0xFC), 0xFC);
}

TEST_F(PacketCore, PropertyDefaults)
{
    TSioDataPacket p;
    EXPECT_FALSE(p.Enabled());
    EXPECT_TRUE(p.AutoEnable());
    EXPECT_EQ(p.StartCond(), scString);
    EXPECT_TRUE(p.EndCond().Empty());
    EXPECT_EQ(p.StartString(), "");
    EXPECT_EQ(p.EndString(), "");
    EXPECT_TRUE(p.IgnoreCase());
    EXPECT_EQ(p.ComPort(), nullptr);
    EXPECT_EQ(p.PacketSize(), 0);
    EXPECT_TRUE(p.IncludeStrings());
    EXPECT_EQ(p.TimeOut(), 2184);
    EXPECT_EQ(p.Version(), "v4.07");
    EXPECT_EQ(p.PacketState(), TPacketState::Idle);
}

TEST_F(PacketCore, ConfigurationErrorsLeaveTheCollectorUnchanged)
{
    struct Case {
        TPacketStartCond start;
        TPacketEndSet end;
        std::string startString, endString;
        int size;
        int code;
        const char* text;
    };
    const Case cases[] = {
        {scString, {}, "", "", 0, -5501, "Start string is empty"},
        {scString, {}, "\\", "", 0, -5501, "Start string is empty"},
        {scString, {ecPacketSize}, "\\?\\?", "", 3, -5502, "Packet size cannot be smaller than start string"},
        {scAnyData, {}, "", "", 0, -5503, "CharCount packets must have an end-condition"},
        {scAnyData, {ecString}, "", "", 0, -5504, "End string is empty"},
        {scAnyData, {ecPacketSize}, "", "", 0, -5505, "Packet size cannot be zero"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.code);
        c->SetStartCond(k.start);
        c->SetEndCond(k.end);
        c->SetStartString(k.startString);
        c->SetEndString(k.endString);
        c->SetPacketSize(k.size);
        port.Log.clear();
        try {
            c->SetEnabled(true);
            ADD_FAILURE() << "no exception";
        } catch (const EInvalidProperty& e) {
            EXPECT_EQ(e.ErrorCode(), k.code);
            EXPECT_STREQ(e.what(), k.text);
        }
        EXPECT_FALSE(c->Enabled());
        EXPECT_EQ(c->PacketState(), TPacketState::Idle);
        EXPECT_FALSE(c->HoldsPort());
        EXPECT_EQ(port.Manager->Collector(), nullptr);
        EXPECT_TRUE(port.Log.empty());
    }
    // The same start string of four characters as written fits a size of 4.
    c->SetStartString("\\?\\?");
    c->SetStartCond(scString);
    c->SetEndCond({ecPacketSize});
    c->SetPacketSize(4);
    EXPECT_NO_THROW(c->SetEnabled(true));
}

TEST_F(PacketCore, StartStringAloneIsLoggedAsSizePacket)
{
    c->SetStartString("AB");
    c->SetAutoEnable(false);
    c->SetEnabled(true);
    port.Log.clear();
    port.Feed("zABz");
    EXPECT_EQ(packets, std::vector<std::string>{"AB"});
    auto names = port.LogNames();
    ASSERT_GE(names.size(), 2u);
    EXPECT_EQ(names[names.size() - 2], "StringPacket");
    EXPECT_EQ(port.Log[names.size() - 2].Bytes, "Packet:ComDataPacket");
    EXPECT_EQ(names.back(), "SizePacket");
    EXPECT_EQ(port.Log.back().Bytes, "AB");

    // Without its strings the start-only packet is empty.
    c->SetIncludeStrings(false);
    c->SetEnabled(true);
    port.Feed("AB");
    EXPECT_EQ(Last(), "");
}

TEST_F(PacketCore, BothEndConditionsWhicheverComesFirst)
{
    c->SetStartCond(scAnyData);
    c->SetEndCond({ecString, ecPacketSize});
    c->SetEndString("#");
    c->SetPacketSize(4);
    c->SetEnabled(true);
    port.Feed("ab#");
    EXPECT_EQ(Last(), "ab#");
    // The size is reached at the "#": it ends by size, not by end string.
    port.Log.clear();
    port.Feed("abc#");
    EXPECT_EQ(Last(), "abc#");
    auto names = port.LogNames();
    EXPECT_EQ(std::count(names.begin(), names.end(), "SizePacket"), 1);
    EXPECT_EQ(std::count(names.begin(), names.end(), "StringPacket"), 1);  // the text entry only
    c->SetIncludeStrings(false);
    port.Feed("wxyz");
    EXPECT_EQ(Last(), "wxyz");  // by size: nothing cut off
    port.Feed("#");
    EXPECT_EQ(Last(), "");      // by end string: the end string cut off
    EXPECT_EQ(packets.size(), 4u);
    EXPECT_EQ(rawPackets, packets);  // OnPacket saw the same bytes, in place
}

TEST_F(PacketCore, MainWindowCollectorLogSequence)
{
    ReplyCollector(*c);
    c->SetAutoEnable(false);
    c->SetTimeOut(25);
    port.Log.clear();
    c->SetEnabled(true);
    EXPECT_EQ(port.LogNames(), (std::vector<std::string>{"Enable", "Collecting", "EndStr"}));
    EXPECT_EQ(port.Log[0].Bytes, "Packet:ComDataPacket");
    EXPECT_EQ(port.Log[2].Bytes, "\n\r");
    port.Log.clear();
    port.Feed("ok\n\r");
    EXPECT_EQ(port.LogNames(), (std::vector<std::string>{"Idle", "Disable", "StringPacket", "StringPacket"}));
    EXPECT_EQ(port.Log[3].Bytes, "ok\n\r");
}

TEST_F(PacketCore, TimeLimitStartsOnceAndOnlyWhenCollecting)
{
    ReplyCollector(*c);
    c->SetTimeOut(0);
    c->SetEnabled(true);
    EXPECT_TRUE(port.TimerCalls.empty());  // no time limit at all

    c->SetEnabled(false);
    port.TimerCalls.clear();
    c->SetTimeOut(25);
    c->SetEnabled(true);
    ASSERT_EQ(port.TimerCalls.size(), 1u);
    EXPECT_EQ(port.TimerCalls[0].Ticks, 25);
    EXPECT_EQ(port.TimerCalls[0].Handle, 8);
    EXPECT_TRUE(port.TimerArmed());

    // Enabling an enabled collector neither re-arms nor restarts its timer;
    // a new TimeOut waits for the next enabling.
    c->SetTimeOut(40);
    c->SetEnabled(true);
    port.Feed("partial");
    EXPECT_EQ(port.TimerCalls.size(), 1u);

    c->SetEnabled(false);
    EXPECT_FALSE(port.TimerArmed());
    c->SetEnabled(true);
    EXPECT_EQ(port.TimerCalls.back().Ticks, 40);
}

TEST_F(PacketCore, TimeoutFiresOnceDiscardsHeldBytesAndDisables)
{
    ReplyCollector(*c);
    c->SetTimeOut(25);
    c->SetEnabled(true);  // AutoEnable does not apply to a time-out
    port.Feed("half a rep");
    EXPECT_EQ(port.Manager->HeldCount(), 10);
    port.FireTimer();
    EXPECT_EQ(timeouts, 1);
    EXPECT_FALSE(c->Enabled());
    EXPECT_EQ(port.Manager->HeldCount(), 0);
    EXPECT_EQ(port.Manager->Collector(), nullptr);
    EXPECT_FALSE(port.TimerArmed());
    port.FireTimer();  // nobody collects: ignored
    EXPECT_EQ(timeouts, 1);
    // The discarded bytes are not part of the next reply.
    c->SetEnabled(true);
    port.Feed("ly\n\r");
    EXPECT_EQ(packets, std::vector<std::string>{"ly\n\r"});
    auto names = port.LogNames();
    EXPECT_NE(std::find(names.begin(), names.end(), "PcktTimeout"), names.end());
}

TEST_F(PacketCore, TimerOfAnotherHandleIsIgnored)
{
    ReplyCollector(*c);
    c->SetEnabled(true);
    port.Manager->HandleNotification(WM_SIO_TIMER, 16, 0);
    port.Manager->HandleNotification(WM_SIO_DATA, 8, 0);
    EXPECT_EQ(timeouts, 0);
    EXPECT_TRUE(c->Enabled());
}

// The time limit ran out just as the main thread armed the collector afresh;
// the dispatcher thread's notification of it comes after and must not end
// the new collection (nor one without a time limit).
TEST_F(PacketCore, TimerNotificationOfAnEarlierLimitIsIgnored)
{
    ReplyCollector(*c);
    c->SetTimeOut(25);
    c->SetEnabled(true);
    const auto handle = static_cast<std::uintptr_t>(port.Manager->TimerHandle());
    AdvanceTestClock(26 * MsPerTick);
    c->SetEnabled(false);
    c->SetEnabled(true);
    port.Manager->HandleNotification(WM_SIO_TIMER, handle, 0);
    EXPECT_EQ(timeouts, 0);
    EXPECT_TRUE(c->Enabled());
    AdvanceTestClock(26 * MsPerTick);
    c->SetEnabled(false);
    c->SetTimeOut(0);
    c->SetEnabled(true);
    port.Manager->HandleNotification(WM_SIO_TIMER, handle, 0);
    EXPECT_EQ(timeouts, 0);
    port.Feed("ok\n\r");
    EXPECT_EQ(packets, std::vector<std::string>{"ok\n\r"});
}

TEST_F(PacketCore, HandlerExceptionIsReportedAndProcessingGoesOn)
{
    sio::test::TReportedErrors errors;
    const auto& reported = errors.reported;
    ReplyCollector(*c);
    c->OnPacket = [](TSioDataPacket*, const std::uint8_t*, std::int32_t) { throw std::runtime_error("boom"); };
    c->SetEnabled(true);
    port.Feed("a\n\rb\n\r");
    EXPECT_EQ(reported, (std::vector<std::string>{"boom", "boom"}));
    EXPECT_TRUE(packets.empty());  // OnStringPacket skipped after OnPacket raised
    EXPECT_TRUE(c->Enabled());     // AutoEnable still applied
    EXPECT_EQ(port.Manager->HeldCount(), 0);
    EXPECT_FALSE(port.Manager->InEvent());
}

// The timer cannot be stopped as the packet's event begins. That error must
// not escape the notification (it would end the dispatcher thread) nor cost
// the packet.
TEST_F(PacketCore, FailedTimerStopIsReportedAndThePacketStillDelivered)
{
    sio::test::TReportedErrors errors;
    const auto& reported = errors.reported;
    ReplyCollector(*c);
    c->SetTimeOut(25);
    c->SetEnabled(true);
    port.SetTimerResult = -5003;
    EXPECT_NO_THROW(port.Feed("x\n\r"));
    PumpMessages();
    EXPECT_EQ(packets, std::vector<std::string>{"x\n\r"});
    EXPECT_EQ(reported, std::vector<std::string>{"Bad trigger handle"});
    EXPECT_FALSE(port.Manager->InEvent());
    EXPECT_EQ(c->PacketState(), TPacketState::Collecting);  // AutoEnable: armed again
    EXPECT_EQ(port.Manager->Collector(), c.get());
    port.SetTimerResult = 0;
    port.Feed("y\n\r");
    EXPECT_EQ(Last(), "y\n\r");
}

TEST_F(PacketCore, ReEnablingInsideTheHandlerCollectsTheRestOfTheRead)
{
    ReplyCollector(*c);
    c->SetAutoEnable(false);
    int calls = 0;
    c->OnStringPacket = [&](TSioDataPacket* p, const std::string& s) {
        packets.push_back(s);
        if (++calls == 1) {
            EXPECT_TRUE(p->Manager()->InEvent());
            p->SetEnabled(true);  // only marks it: armed as the event ends
            EXPECT_TRUE(p->ArmPending());
            EXPECT_EQ(p->PacketState(), TPacketState::Idle);
        }
    };
    c->SetEnabled(true);
    port.Feed("one\n\rtwo\n\rthree\n\r");
    EXPECT_EQ(packets, (std::vector<std::string>{"one\n\r", "two\n\r"}));
    EXPECT_FALSE(c->Enabled());
    EXPECT_EQ(port.Manager->HeldCount(), 0);
}

TEST_F(PacketCore, TwoAnyDataCollectorsShareThePort)
{
    TSioDataPacket second;
    std::vector<std::string> secondPackets;
    second.SetName("Second");
    second.OnStringPacket = [&](TSioDataPacket*, const std::string& s) { secondPackets.push_back(s); };
    second.SetPacketPort(&port);
    EXPECT_EQ(port.Manager->PacketCount(), 2u);
    ReplyCollector(*c);
    ReplyCollector(second);
    c->SetEnabled(true);
    second.SetEnabled(true);
    EXPECT_TRUE(c->HoldsPort());
    EXPECT_TRUE(second.AwaitingPort());
    EXPECT_EQ(second.PacketState(), TPacketState::Idle);

    // Re-armed in attach order after each packet: the first one keeps the port.
    port.Feed("a\n\rb\n\r");
    EXPECT_EQ(packets, (std::vector<std::string>{"a\n\r", "b\n\r"}));
    EXPECT_TRUE(secondPackets.empty());

    // While the first is disabled the second collects, from its next byte.
    c->SetEnabled(false);
    EXPECT_TRUE(second.AwaitingPort());
    port.Feed("c\n\r");
    EXPECT_EQ(secondPackets, std::vector<std::string>{"c\n\r"});
    EXPECT_TRUE(second.HoldsPort());

    // The first one enabled now waits for the port; once the second's packet
    // is over, the first is armed first again and owns the port.
    c->SetEnabled(true);
    EXPECT_TRUE(c->AwaitingPort());
    port.Feed("d\n\r");
    EXPECT_EQ(secondPackets.size(), 2u);
    EXPECT_TRUE(c->HoldsPort());
    EXPECT_TRUE(second.AwaitingPort());
    port.Feed("e\n\r");
    EXPECT_EQ(Last(), "e\n\r");
    EXPECT_EQ(packets.size(), 3u);
    EXPECT_EQ(secondPackets.size(), 2u);
}

TEST_F(PacketCore, TakingThePortRestartsOtherCollectorsPartialMatches)
{
    TSioDataPacket other;
    other.SetStartString("XYZ");
    other.SetPacketPort(&port);
    c->SetStartString("B");
    c->SetEndCond({ecString});
    c->SetEndString("!");
    other.SetEnabled(true);
    c->SetEnabled(true);
    std::vector<std::string> otherPackets;
    other.OnStringPacket = [&](TSioDataPacket*, const std::string& s) { otherPackets.push_back(s); };
    port.Feed("XY");
    EXPECT_EQ(other.BeginIndex(), 0);
    port.Feed("B");  // other's partial XY is dropped when c takes the port
    EXPECT_TRUE(c->HoldsPort());
    EXPECT_EQ(other.BeginIndex(), -1);
    EXPECT_EQ(other.PacketState(), TPacketState::Waiting);
    port.Feed("Z!XYZ");
    EXPECT_EQ(packets, std::vector<std::string>{"BZ!"});
    EXPECT_EQ(otherPackets, std::vector<std::string>{"XYZ"});
}

// Another collector, left with an invalid start string by a plain store,
// fails when the port is taken and it is armed afresh. That is its error,
// not the taker's: the taker must own the port and collect all the same.
TEST_F(PacketCore, OtherCollectorFailingAsThePortIsTakenDoesNotStopTheTaker)
{
    sio::test::TReportedErrors errors;
    const auto& reported = errors.reported;
    TSioDataPacket other;
    other.SetPacketPort(&port);
    other.SetStartString("X");
    other.SetEnabled(true);
    other.SetStartString("");  // checked at its next arming
    ReplyCollector(*c);
    EXPECT_NO_THROW(c->SetEnabled(true));
    EXPECT_TRUE(c->Enabled());
    EXPECT_EQ(c->PacketState(), TPacketState::Collecting);
    EXPECT_FALSE(other.Enabled());
    EXPECT_EQ(other.PacketState(), TPacketState::Idle);
    port.Feed("ok\n\r");
    EXPECT_EQ(packets, std::vector<std::string>{"ok\n\r"});
    PumpMessages();
    EXPECT_EQ(reported, std::vector<std::string>{"Start string is empty"});
}

TEST_F(PacketCore, EnabledWhileClosedIsArmedWhenThePortOpens)
{
    TFakePacketPort closed;
    closed.Open = false;
    TSioDataPacket p;
    p.SetPacketPort(&closed);
    ReplyCollector(p);
    p.SetEndString("");  // invalid, but not checked while the port is closed
    p.SetEnabled(true);
    EXPECT_TRUE(p.Enabled());
    EXPECT_EQ(p.PacketState(), TPacketState::Idle);
    EXPECT_FALSE(closed.Manager->Active());

    closed.Open = true;
    // -5504 fails the opening; the manager is left as after a close.
    EXPECT_THROW(closed.Manager->PortChanged(pcOpened), EInvalidProperty);
    EXPECT_FALSE(closed.Manager->Active());
    EXPECT_EQ(p.PacketState(), TPacketState::Idle);
    closed.Open = false;

    p.SetEndString("\n\r");
    EXPECT_EQ(closed.MethodHandlers, 0);
    closed.Open = true;
    closed.Manager->PortChanged(pcOpened);
    EXPECT_EQ(closed.MethodHandlers, 1);
    EXPECT_EQ(p.PacketState(), TPacketState::Collecting);
    std::vector<std::string> got;
    p.OnStringPacket = [&](TSioDataPacket*, const std::string& s) { got.push_back(s); };
    closed.Feed("hi\n\r");
    EXPECT_EQ(got, std::vector<std::string>{"hi\n\r"});

    // Closing disarms but keeps Enabled; reopening arms again.
    closed.Feed("par");
    closed.Manager->PortChanged(pcClosing);
    closed.Manager->PortChanged(pcClosed);
    EXPECT_TRUE(p.Enabled());
    EXPECT_EQ(p.PacketState(), TPacketState::Idle);
    EXPECT_EQ(closed.MethodHandlers, 0);
    EXPECT_EQ(closed.Manager->HeldCapacity(), 0);
    closed.Manager->PortChanged(pcOpened);
    EXPECT_EQ(p.PacketState(), TPacketState::Collecting);
    closed.Feed("tial\n\r");
    EXPECT_EQ(got.back(), "tial\n\r");
}

TEST_F(PacketCore, FormLoadingDefersActivationAndArming)
{
    TFakePacketPort loading;
    loading.Loading = true;  // the port is open but its form is still being read
    TSioDataPacket p;
    p.BeginLoading();
    p.SetPacketPort(&loading);
    EXPECT_FALSE(loading.Manager->Active());
    ReplyCollector(p);
    p.SetEnabled(true);
    EXPECT_TRUE(p.ArmPending());
    EXPECT_EQ(p.PacketState(), TPacketState::Idle);
    loading.Loading = false;
    p.EndLoading();
    EXPECT_TRUE(loading.Manager->Active());
    EXPECT_FALSE(p.ArmPending());
    EXPECT_EQ(p.PacketState(), TPacketState::Collecting);
    std::vector<std::string> got;
    p.OnStringPacket = [&](TSioDataPacket*, const std::string& s) { got.push_back(s); };
    loading.Feed("up\n\r");
    EXPECT_EQ(got, std::vector<std::string>{"up\n\r"});
}

TEST_F(PacketCore, HeldGrowsInStepsAndIsFreedWhenEmpty)
{
    c->SetStartCond(scAnyData);
    c->SetEndCond({ecString});
    c->SetEndString("!");
    c->SetEnabled(true);
    port.Feed(std::string(100, 'x'));
    EXPECT_EQ(port.Manager->HeldCapacity(), 8192);
    port.Feed(std::string(8092, 'x'));  // 8192 held: one more step
    EXPECT_EQ(port.Manager->HeldCount(), 8192);
    EXPECT_EQ(port.Manager->HeldCapacity(), 16384);
    port.Feed(std::string(8192, 'y'));
    EXPECT_EQ(port.Manager->HeldCapacity(), 24576);
    port.Feed("!");
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].size(), 16385u);
    EXPECT_EQ(packets[0].substr(16380), "yyyy!");
    EXPECT_EQ(port.Manager->HeldCapacity(), 0);
}

// After every reply the console listens with no time limit. A device that
// streams without LF CR (noise, a wrong line speed) for an hour at 9600 baud
// must leave the memory where it was, tell the operator once, and not stop
// the next reply.
TEST_F(PacketCore, AnHourOfBytesWithoutAnEndKeepsHeldWithinTheLimitAndIsReportedOnce)
{
    sio::test::TReportedErrors errors;
    ReplyCollector(*c);
    c->SetTimeOut(0);
    c->SetEnabled(true);
    std::string piece(8192, '\0');  // what one avail brings at most
    std::uint32_t noise = 12345;
    for (char& ch : piece) {
        noise = noise * 1103515245u + 12345u;
        ch = static_cast<char>(noise >> 24);
        if (ch == '\n')
            ch = 'x';
    }
    const std::size_t hour = 9600 / 10 * 3600;  // about 3.5 MB
    std::int32_t mostHeld = 0, mostCapacity = 0;
    for (std::size_t fed = 0; fed < hour; fed += piece.size()) {
        port.Feed(piece);
        mostHeld = std::max(mostHeld, port.Manager->HeldCount());
        mostCapacity = std::max(mostCapacity, port.Manager->HeldCapacity());
    }
    EXPECT_LE(mostHeld, TSioDataPacketManager::HeldLimit);
    // A packet of exactly the limit fits, and growth keeps room for one byte more.
    EXPECT_LE(mostCapacity, TSioDataPacketManager::HeldLimit + TSioDataPacketManager::HeldStep);
    EXPECT_TRUE(packets.empty());
    PumpMessages();
    ASSERT_EQ(errors.reported.size(), 1u);
    EXPECT_NE(errors.reported[0].find("65536"), std::string::npos) << errors.reported[0];

    EXPECT_TRUE(c->Enabled());
    port.Feed("STA;0;1\n\r");
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].substr(packets[0].size() - 9), "STA;0;1\n\r");
    EXPECT_LE(packets[0].size(), static_cast<std::size_t>(TSioDataPacketManager::HeldLimit));
    PumpMessages();
    EXPECT_EQ(errors.reported.size(), 1u);
}

TEST_F(PacketCore, ManagerIsSharedAndReleasedAfterTheLastCollectorLeaves)
{
    auto& list = TSioDataPacketManagerList::Instance();
    TSioDataPacketManager* m = port.Manager;
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(list.Find(&port), m);
    EXPECT_EQ(port.Subscribed, 1);
    EXPECT_EQ(port.MethodHandlers, 1);
    {
        TSioDataPacket other;
        other.SetPacketPort(&port);
        EXPECT_EQ(other.Manager(), m);
        EXPECT_EQ(m->PacketCount(), 2u);
    }
    EXPECT_EQ(m->PacketCount(), 1u);

    // The collector that holds the port leaves: the manager does not keep it.
    ReplyCollector(*c);
    c->SetEnabled(true);
    EXPECT_EQ(m->Collector(), c.get());
    c->SetPacketPort(nullptr);
    EXPECT_EQ(c->Manager(), nullptr);
    EXPECT_TRUE(c->Enabled());
    EXPECT_EQ(c->PacketState(), TPacketState::Idle);
    // The last one left: the manager left the dispatcher and the port at once,
    // and is no longer found; it is destroyed through the message queue.
    EXPECT_EQ(port.Subscribed, 0);
    EXPECT_EQ(port.MethodHandlers, 0);
    EXPECT_EQ(list.Find(&port), nullptr);
    EXPECT_EQ(list.RetiredCount(), 1u);
    PumpMessages();
    EXPECT_EQ(list.RetiredCount(), 0u);

    // A new collector gets a new manager.
    c->SetPacketPort(&port);
    EXPECT_EQ(port.Subscribed, 1);
    EXPECT_NE(c->Manager(), nullptr);
    EXPECT_EQ(list.Find(&port), c->Manager());
}

// Enabled must mean armed on an open port: enabling again does nothing, so
// a collector that reads Enabled but is not armed would never collect.
TEST_F(PacketCore, EnabledCollectorJoiningAnOpenPortIsArmedThere)
{
    TFakePacketPort other;
    TSioDataPacket stays;  // keeps the first manager
    stays.SetPacketPort(&port);
    ReplyCollector(*c);
    c->SetEnabled(true);
    c->SetPacketPort(&other);
    EXPECT_TRUE(c->Enabled());
    EXPECT_EQ(c->PacketState(), TPacketState::Collecting);
    other.Feed("there\n\r");
    EXPECT_EQ(packets, std::vector<std::string>{"there\n\r"});
    c->SetPacketPort(&port);
    port.Feed("back\n\r");
    EXPECT_EQ(Last(), "back\n\r");

    // An invalid configuration fails the move as it fails the enabling.
    c->SetPacketPort(nullptr);
    c->SetEndString("");  // not checked without a port
    EXPECT_TRUE(c->Enabled());
    EXPECT_THROW(c->SetPacketPort(&other), EInvalidProperty);
    EXPECT_FALSE(c->Enabled());
    EXPECT_EQ(c->Manager(), other.Manager);
    c->SetPacketPort(nullptr);  // before other goes
}

TEST_F(PacketCore, CollectorLeavingDuringItsOwnEvent)
{
    ReplyCollector(*c);
    int handled = 0;
    c->OnStringPacket = [&](TSioDataPacket* p, const std::string& s) {
        packets.push_back(s);
        p->SetPacketPort(nullptr);
        // A handler that serves the message loop (a message box) sees the
        // manager's release once; it must not come back while the event runs.
        while (handled < 100 && PumpOneMessage())
            ++handled;
    };
    c->SetEnabled(true);
    port.Feed("x\n\ry\n\r");
    EXPECT_LE(handled, 1);
    EXPECT_EQ(packets, std::vector<std::string>{"x\n\r"});
    EXPECT_EQ(c->Manager(), nullptr);
    EXPECT_EQ(port.Manager, nullptr);
    EXPECT_EQ(TSioDataPacketManagerList::Instance().RetiredCount(), 1u);
    PumpMessages();  // the manager goes now that its event is over
    EXPECT_EQ(TSioDataPacketManagerList::Instance().RetiredCount(), 0u);
    EXPECT_EQ(TSioDataPacketManagerList::Instance().Find(&port), nullptr);
}

// A collector moved to another port by its own handler belongs to that
// port's manager (and lock) from then on: the event's end must not arm it
// there from the old port's dispatcher thread.
TEST_F(PacketCore, CollectorMovedToAnotherPortDuringItsEventIsLeftAlone)
{
    TFakePacketPort other;
    TSioDataPacket stays;  // keeps the first manager alive
    stays.SetPacketPort(&port);
    ReplyCollector(*c);
    c->OnStringPacket = [&](TSioDataPacket* p, const std::string& s) {
        packets.push_back(s);
        p->SetPacketPort(&other);
    };
    c->SetEnabled(true);
    port.Feed("x\n\r");
    EXPECT_EQ(packets, std::vector<std::string>{"x\n\r"});
    EXPECT_EQ(c->Manager(), other.Manager);
    EXPECT_FALSE(c->Enabled());
    EXPECT_EQ(c->PacketState(), TPacketState::Idle);
    EXPECT_EQ(other.Manager->Collector(), nullptr);
    EXPECT_TRUE(other.TimerCalls.empty());
    c->SetEnabled(true);  // enabled on its new port, it collects there
    other.Feed("y\n\r");
    EXPECT_EQ(Last(), "y\n\r");
    c->SetPacketPort(nullptr);  // before other goes
}

TEST_F(PacketCore, CollectorDestroyedInsideAnotherCollectorsEvent)
{
    auto victim = std::make_unique<TSioDataPacket>();
    victim->SetPacketPort(&port);
    victim->SetStartString("never");
    victim->SetEnabled(true);
    ReplyCollector(*c);
    c->OnStringPacket = [&](TSioDataPacket*, const std::string& s) {
        packets.push_back(s);
        victim.reset();
    };
    c->SetEnabled(true);
    port.Feed("a\n\rb\n\r");
    EXPECT_EQ(packets, (std::vector<std::string>{"a\n\r", "b\n\r"}));
    EXPECT_EQ(port.Manager->PacketCount(), 1u);
}

}  // namespace
