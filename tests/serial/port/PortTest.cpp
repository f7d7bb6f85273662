// The port component on pseudo-terminals, with the operator's choice of port
// answered in advance through the chooser hook.
#include "errors/Exceptions.h"
#include "base/BaseComponent.h"
#include "port/ComPort.h"
#include "devices/posix/PosixDispatcher.h"
#include "selection/PortSelection.h"
#include "base/SystemCalls.h"
#include "dispatch/Dispatcher.h"

#include "PtyPort.h"
#include "PumpUntil.h"
#include "SettingsSpy.h"

#include <gtest/gtest.h>

#include <sys/file.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

namespace fs = std::filesystem;
using namespace sio;
using sio::test::TPortDir;
using sio::test::TPtyPort;

namespace {

class PortTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetMessageQueue(&queue);
        SetExceptionReporter([this](std::exception_ptr e) {
            try {
                std::rethrow_exception(e);
            } catch (const std::exception& x) {
                std::lock_guard lock(reportLock);
                reported.push_back(x.what());
            }
        });
        sys::InstallSysCalls(&spy);
        oldCwd = fs::current_path();
        fs::current_path(dir.Path());  // SIO.LOG goes to the current folder
    }
    void TearDown() override
    {
        fs::current_path(oldCwd);
        SetPortChooser(nullptr);
        sys::InstallSysCalls(nullptr);
        SetExceptionReporter(nullptr);
        SetMessageQueue(nullptr);
    }

    // Serves the main thread's queue until pred holds (at most 10 s).
    bool PumpUntil(const std::function<bool()>& pred)
    {
        return sio::test::PumpUntil(queue, pred, std::chrono::seconds(10));
    }

    // A chooser that picks the item for port n (or answers result).
    int chooserCalls = 0;
    void Choose(int n, int result = mrOk)
    {
        SetPortChooser([this, n, result](TComSelectForm& f) {
            ++chooserCalls;
            for (int i = 0; i < static_cast<int>(f.Items().size()); ++i)
                if (f.PortOfItem(i) == n)
                    f.SetItemIndex(i);
            return result;
        });
    }

    std::vector<std::string> Reported()
    {
        std::lock_guard lock(reportLock);
        return reported;
    }

    TLocalMessageQueue queue;
    TSettingsSpy spy;
    TPortDir dir;
    fs::path oldCwd;
    std::mutex reportLock;
    std::vector<std::string> reported;
};

std::string ReadFile(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The console's settings.
void ConsoleSettings(TSioComPort& cp)
{
    cp.SetBaud(9600);
    cp.SetParity(pEven);
    cp.SetDTR(false);
    cp.SetRTS(false);
    cp.SetRS485Mode(true);
    cp.SetLogging(tlOn);
}

TEST_F(PortTest, FirstUseAsksForAPortAndCancelAsksAgainNextTime)
{
    TPtyPort com3(dir, 3);
    TSioComPort cp;
    ConsoleSettings(cp);
    // Cancel, and closing the dialog by its title bar, both refuse.
    for (int result : {mrAbort, mrCancel}) {
        Choose(3, result);
        try {
            cp.FlushInput();
            FAIL() << "no exception";
        } catch (const ENoPortSelected& e) {
            EXPECT_EQ(e.ErrorCode(), -2011);
            EXPECT_STREQ(e.what(), "The ComNumber property of the TSioComPort has not been set");
        }
        EXPECT_EQ(cp.ComNumber(), 0);
        EXPECT_FALSE(cp.Open());
        EXPECT_EQ(cp.Dispatcher(), nullptr);
    }
    EXPECT_EQ(chooserCalls, 2);
    EXPECT_EQ(com3.ReadAvailable(), "");

    Choose(3);
    cp.FlushInput();
    EXPECT_EQ(chooserCalls, 3);
    EXPECT_EQ(cp.ComNumber(), 3);
    EXPECT_TRUE(cp.Open());
    EXPECT_EQ(cp.PortState(), StateOpen);
    cp.WriteString("STA;0\n\r");
    EXPECT_EQ(com3.ReadExactly(7), "STA;0\n\r");
    cp.FlushInput();  // open now: nobody is asked
    EXPECT_EQ(chooserCalls, 3);
}

// A port whose device has gone: the open fails with the class and code that
// callers test, in words that name the port and its device and say why.
TEST_F(PortTest, AnOpenFailureNamesThePortAndItsDeviceAndSaysWhy)
{
    std::string missing;
    {
        TPtyPort gone(dir, 4);
        missing = gone.SlavePath();
    }  // its pseudo-terminal is gone; the entry links to nothing now
    fs::create_symlink(missing, dir.Entry(4));
    TSioComPort cp;
    cp.SetComNumber(4);
    try {
        cp.SetOpen(true);
        FAIL() << "no exception";
    } catch (const EBadId& e) {
        EXPECT_EQ(e.ErrorCode(), -2001);
        const std::string text = e.what();
        EXPECT_EQ(text.rfind("COM4 (", 0), 0u) << text;
        EXPECT_NE(text.find(missing), std::string::npos) << text;
        EXPECT_NE(text.find("): ie_BadId - Specified comport doesn't exist: " + std::string(std::strerror(ENOENT))),
                  std::string::npos)
            << text;
    }
    EXPECT_FALSE(cp.Open());
    EXPECT_EQ(cp.ComNumber(), 4);
}

TEST_F(PortTest, OpenFailuresKeepThePortClosedAndTheNumberSet)
{
    TPtyPort com3(dir, 3);
    // Another program holds the port.
    int holder = ::open(com3.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);

    TSioComPort cp;
    Choose(3);
    for (int i = 0; i < 2; ++i) {
        try {
            cp.WriteString("x");
            FAIL() << "no exception";
        } catch (const EAlreadyOpen& e) {
            EXPECT_EQ(e.what(), "COM3 (" + com3.SlavePath() + ") is already in use");
            EXPECT_EQ(e.ErrorCode(), -2008);
        }
        EXPECT_EQ(cp.ComNumber(), 3);
        EXPECT_FALSE(cp.Open());
        EXPECT_EQ(cp.PortState(), StateClosed);
        EXPECT_EQ(cp.Dispatcher(), nullptr);
    }
    EXPECT_EQ(chooserCalls, 1);  // the second try goes to the same port
    ::close(holder);
    cp.WriteString("x");
    EXPECT_EQ(com3.ReadExactly(1), "x");
    // A second component of this process is refused in the same words.
    TSioComPort second;
    second.SetComNumber(3);
    try {
        second.FlushInput();
        FAIL() << "no exception";
    } catch (const EAlreadyOpen& e) {
        EXPECT_EQ(e.what(), "COM3 (" + com3.SlavePath() + ") is already in use");
    }

    TSioComPort missing;
    missing.SetComNumber(7);
    EXPECT_THROW(missing.FlushOutput(), EBadId);

    TSioComPort noPrompt;
    noPrompt.SetPromptForPort(false);
    EXPECT_THROW(noPrompt.FlushInput(), ENoPortSelected);
    EXPECT_EQ(chooserCalls, 1);

    TSioComPort noAutoOpen;
    noAutoOpen.SetComNumber(3);
    noAutoOpen.SetAutoOpen(false);
    EXPECT_EQ(noAutoOpen.AcquireDispatcher(), nullptr);
    EXPECT_THROW(noAutoOpen.FlushInput(), ECommNotOpen);
}

TEST_F(PortTest, ConfirmingAnEmptyListFailsAndAsksAgain)
{
    TSioComPort cp;
    Choose(1);
    EXPECT_THROW(cp.FlushInput(), EConvertError);
    EXPECT_EQ(cp.ComNumber(), 0);
    EXPECT_THROW(cp.FlushInput(), EConvertError);
    EXPECT_EQ(chooserCalls, 2);
}

TEST_F(PortTest, LineSettingsReachTheOpenDeviceAtOnce)
{
    TPtyPort com4(dir, 4);
    TSioComPort cp;
    ConsoleSettings(cp);
    cp.SetComNumber(4);
    cp.SetParity(pNone);  // closed: only stored
    EXPECT_EQ(spy.Count(), 0u);
    cp.FlushInput();
    TWrittenSettings t = spy.Last();
    EXPECT_EQ(t.Baud, 9600u);
    EXPECT_FALSE(t.Parity);

    std::size_t before = spy.Count();
    cp.SetParity(pEven);
    ASSERT_GT(spy.Count(), before);
    t = spy.Last();
    EXPECT_TRUE(t.Parity);
    EXPECT_FALSE(t.OddParity);
    EXPECT_FALSE(t.MarkSpace);
    EXPECT_EQ(t.DataBits, 8);
    EXPECT_FALSE(t.TwoStopBits);

    cp.SetParity(pOdd);
    EXPECT_TRUE(spy.Last().OddParity);
    cp.SetBaud(19200);
    EXPECT_EQ(spy.Last().Baud, 19200u);
    EXPECT_TRUE(spy.Last().OddParity);
    // And the dispatcher reports the same.
    std::int32_t baud = 0;
    std::uint8_t parity = 0, dataBits = 0, stopBits = 0;
    cp.Dispatcher()->QueryLineSettings(baud, parity, dataBits, stopBits);
    EXPECT_EQ(baud, 19200);
    EXPECT_EQ(parity, ODDPARITY);
}

TEST_F(PortTest, Rs485AndHardwareFlowExcludeEachOther)
{
    TSioComPort cp;
    cp.SetHWFlowOptions({hwfUseRTS, hwfRequireCTS, hwfUseDTR});
    cp.SetRS485Mode(true);
    EXPECT_FALSE(cp.RTS());
    EXPECT_EQ(cp.HWFlowOptions(), (THWFlowOptionSet{hwfUseDTR}));
    cp.SetHWFlowOptions(cp.HWFlowOptions().With(hwfRequireDSR));
    EXPECT_TRUE(cp.RS485Mode());
    cp.SetHWFlowOptions(cp.HWFlowOptions().With(hwfRequireCTS));
    EXPECT_FALSE(cp.RS485Mode());
    cp.SetRS485Mode(true);
    cp.SetHWFlowOptions(cp.HWFlowOptions().With(hwfUseRTS));
    EXPECT_FALSE(cp.RS485Mode());
}

TEST_F(PortTest, FlowControlMarks)
{
    TSioComPort hw;
    hw.SetHWFlowOptions({hwfUseDTR});
    EXPECT_EQ(hw.BufferFull(), 3686);
    EXPECT_EQ(hw.BufferResume(), 409);
    TSioComPort sw;
    sw.SetSWFlowOptions(swfBoth);
    EXPECT_EQ(sw.BufferFull(), 3072);
    EXPECT_EQ(sw.BufferResume(), 1024);
    // Marks that fit stay; a full mark above the input size is scaled down,
    // a resume mark above the full mark becomes a tenth of it.
    TSioComPort m;
    m.SetBufferFull(5000);
    EXPECT_EQ(m.BufferFull(), 4500);
    m.SetBufferFull(2000);
    m.SetBufferResume(2500);
    EXPECT_EQ(m.BufferResume(), 200);
    m.SetBufferResume(300);
    m.SetHWFlowOptions({hwfUseDTR});
    EXPECT_EQ(m.BufferFull(), 2000);
    EXPECT_EQ(m.BufferResume(), 300);
}

TEST_F(PortTest, WhileOpenRs485OnLeavesAnUnchangedFlowSettingAlone)
{
    TPtyPort com2(dir, 2);
    TSioComPort cp;
    cp.SetComNumber(2);
    cp.SetRTS(false);
    cp.FlushInput();
    std::size_t before = spy.Count();
    cp.SetRS485Mode(true);  // neither hwfUseRTS nor hwfRequireCTS: nothing to push
    EXPECT_EQ(spy.Count(), before);
    cp.SetRS485Mode(false);
    cp.SetHWFlowOptions({hwfUseRTS});
    before = spy.Count();
    cp.SetRS485Mode(true);  // now the flow setting changes and is pushed
    EXPECT_GT(spy.Count(), before);
    EXPECT_TRUE(cp.HWFlowOptions().Empty());
}

TEST_F(PortTest, DtrOwnedByHandshakeKeepsTheProperty)
{
    TPtyPort com2(dir, 2);
    TSioComPort cp;
    cp.SetComNumber(2);
    cp.SetHWFlowOptions({hwfUseDTR});
    cp.FlushInput();
    cp.SetDTR(false);
    EXPECT_TRUE(cp.DTR());
    cp.SetHWFlowOptions({});
    cp.SetDTR(false);
    EXPECT_FALSE(cp.DTR());
}

TEST_F(PortTest, TraceAndLogStates)
{
    TSioComPort cp;
    cp.SetTracing(tlDump);  // closed: only off and on are kept
    EXPECT_EQ(cp.Tracing(), tlOff);
    cp.SetLogging(tlPause);
    EXPECT_EQ(cp.Logging(), tlOff);
    cp.SetTraceSize(5000000);
    EXPECT_EQ(cp.TraceSize(), 4000000u);
    cp.SetLogSize(20000000);
    EXPECT_EQ(cp.LogSize(), 16000000u);

    TPtyPort com2(dir, 2);
    cp.SetComNumber(2);
    cp.SetTracing(tlOn);
    cp.SetTraceSize(100);
    cp.FlushInput();
    cp.WriteString("AB");
    cp.SetTracing(tlPause);
    EXPECT_EQ(cp.Tracing(), tlPause);
    cp.WriteString("CD");  // not recorded while paused
    cp.SetTracing(tlAppendAndContinue);
    EXPECT_EQ(cp.Tracing(), tlOn);
    EXPECT_EQ(ReadFile("SIO.TRC"), "Transmit: \r\nAB");
    cp.SetTracing(tlPause);
    cp.SetTraceSize(200);  // a paused trace ends with a new size
    EXPECT_EQ(cp.Tracing(), tlOff);
    cp.SetTracing(tlPause);  // pausing needs a running trace
    EXPECT_EQ(cp.Tracing(), tlOff);
    cp.SetTraceSize(5000000);
    cp.SetTracing(tlOn);
    cp.WriteString("EF");
    cp.SetTraceSize(5000000);  // the same size once capped: the trace is kept
    cp.SetOpen(false);  // the close writes the running trace and ends it
    EXPECT_EQ(ReadFile("SIO.TRC"), "Transmit: \r\nEF");
    EXPECT_EQ(cp.Tracing(), tlOff);
}

TEST_F(PortTest, LogWrittenAtCloseHasTheHeaderAndTheTraffic)
{
    TPtyPort com3(dir, 3);
    {
        TSioComPort cp;
        ConsoleSettings(cp);
        std::atomic<int> avail{0};
        cp.SetOnTriggerAvail([&](TSioCustomComPort*, std::uint16_t count) { avail += count; });
        Choose(3);
        cp.FlushInput();
        cp.FlushOutput();
        cp.WriteString("STA;0\n\r");
        ASSERT_EQ(com3.ReadExactly(7), "STA;0\n\r");
        com3.Write("S=0000\n\r");
        ASSERT_TRUE(PumpUntil([&] { return avail.load() >= 8; }));
        // The component goes with the window; its close writes the log.
    }
    std::string log = ReadFile(dir.Path() + "/SIO.LOG");
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.rfind("SIO v4.07\r\n", 0), 0u) << log;
    EXPECT_NE(log.find("\r\nDevice: \\\\.\\COM3\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Time      Type      SubType       Data      OtherData\r\n"
                       "--------  --------  ------------  --------  ---------\r\n"),
              std::string::npos);
    auto hasLine = [&](const std::string& type, const std::string& sub, const std::string& tail) {
        std::istringstream in(log);
        std::string line;
        while (std::getline(in, line)) {
            if (line.size() > 44 && line.compare(10, type.size(), type) == 0 &&
                line.compare(20, sub.size(), sub) == 0 && line.find(tail, 44) != std::string::npos)
                return true;
        }
        return false;
    };
    EXPECT_TRUE(hasLine("TrgHdAlc", "Window", "")) << log;
    EXPECT_TRUE(hasLine("Dispatch", "WriteCom", "STA;0[0A][0D]")) << log;
    EXPECT_TRUE(hasLine("Dispatch", "ReadCom", "S=0000[0A][0D]")) << log;
    EXPECT_TRUE(Reported().empty());
}

// The dispatch log is written after the device has closed: what the close
// of the device notes is in it, and so is everything before.
TEST_F(PortTest, TheLogAtCloseHoldsWhatTheDevicesCloseNoted)
{
    TPtyPort com2(dir, 2);
    struct TNotingClose : TSettingsSpy {
        std::atomic<TSioLog*> log{nullptr};
        // Every descriptor the port closes (its device, its wake events).
        int Close(int fd) override
        {
            if (TSioLog* l = log.exchange(nullptr)) {
                static const char text[] = "Noted-while-the-device-closed.";
                l->AddLogEntry(ltDispatch, lsStatus, 0, text, sizeof text - 1);
            }
            return TSysCalls::Close(fd);
        }
    } noting;
    sys::InstallSysCalls(&noting);
    {
        TSioComPort cp;
        cp.SetComNumber(2);
        cp.SetLogging(tlOn);
        cp.WriteString("first");
        ASSERT_EQ(com2.ReadExactly(5), "first");
        noting.log = &cp.Dispatcher()->Log();
        cp.SetOpen(false);
        EXPECT_EQ(noting.log.load(), nullptr);  // the close did close something
        EXPECT_TRUE(Reported().empty());
    }
    const std::string log = ReadFile("SIO.LOG");
    EXPECT_NE(log.find("WriteCom"), std::string::npos) << log;
    EXPECT_NE(log.find("first"), std::string::npos) << log;
    EXPECT_NE(log.find("Noted-while-the-device-closed."), std::string::npos) << log;
}

TEST_F(PortTest, NotificationsBecomeEventsOnTheMainThread)
{
    TPtyPort com2(dir, 2);
    TSioComPort cp;
    cp.SetComNumber(2);
    std::vector<std::uint16_t> msgs;
    std::uint16_t timerHandle = 0, fired = 0;
    bool onMain = true;
    cp.SetOnTrigger([&](TSioCustomComPort*, std::uint16_t msg, std::uint16_t, std::uint16_t) {
        msgs.push_back(msg);
        onMain = onMain && queue.IsMainThread();
    });
    cp.SetOnTriggerTimer([&](TSioCustomComPort* p, std::uint16_t h) {
        EXPECT_EQ(p, &cp);
        fired = h;
    });
    cp.SetOnTriggerAvail([&](TSioCustomComPort*, std::uint16_t) { throw std::runtime_error("handler failed"); });
    timerHandle = cp.AddTimerTrigger();
    EXPECT_EQ(timerHandle % 8, 0);
    cp.SetTimerTrigger(timerHandle, 1, true);
    ASSERT_TRUE(PumpUntil([&] { return fired != 0; }));
    EXPECT_EQ(fired, timerHandle);
    com2.Write("x");
    ASSERT_TRUE(PumpUntil([&] { return !Reported().empty(); }));
    EXPECT_EQ(Reported().front(), "handler failed");  // shown, not propagated
    EXPECT_TRUE(onMain);
    EXPECT_NE(std::find(msgs.begin(), msgs.end(), WM_SIO_TIMER), msgs.end());
    EXPECT_NE(std::find(msgs.begin(), msgs.end(), WM_SIO_AVAIL), msgs.end());
    EXPECT_THROW(cp.SetTimerTrigger(8000, 1, true), EBadTriggerHandle);
}

TEST_F(PortTest, StatusNotificationsAreDecodedByKind)
{
    TPtyPort com2(dir, 2);
    TSioComPort cp;
    cp.SetComNumber(2);
    std::vector<std::string> seen;
    cp.SetOnTriggerStatus([&](TSioCustomComPort*, std::uint16_t h) { seen.push_back("status" + std::to_string(h)); });
    cp.SetOnTriggerModemStatus([&](TSioBaseComponent*) { seen.push_back("modem"); });
    cp.SetOnTriggerLineError([&](TSioCustomComPort*, std::uint16_t error, bool lineBreak) {
        seen.push_back("line" + std::to_string(error) + (lineBreak ? "b" : ""));
    });
    cp.SetOnTriggerOutbuffFree([&](TSioBaseComponent*) { seen.push_back("free"); });
    cp.SetOnTriggerOutbuffUsed([&](TSioBaseComponent*) { seen.push_back("used"); });
    cp.SetOnTriggerOutSent([&](TSioBaseComponent*) { seen.push_back("sent"); });
    std::vector<std::uint16_t> data;
    cp.SetOnTrigger([&](TSioCustomComPort*, std::uint16_t, std::uint16_t, std::uint16_t d) { data.push_back(d); });
    cp.FlushInput();
    TMessageTarget* window = cp.NotifyWindow();
    ASSERT_NE(window, nullptr);
    const std::intptr_t port = static_cast<std::intptr_t>(cp.Dispatcher()->PortIndex()) << 16;
    for (std::uintptr_t kind = 1; kind <= 6; ++kind)
        window->HandleMessage(WM_SIO_STATUS, 16 + kind, port + 40);
    EXPECT_EQ(seen, (std::vector<std::string>{"status17", "modem", "status18", "line0", "status19", "free", "status20",
                                              "used", "status21", "sent", "status22"}));
    EXPECT_EQ(data, std::vector<std::uint16_t>(6, 40));  // the low word of lParam
    // A port index that names no dispatcher reaches nobody.
    seen.clear();
    window->HandleMessage(WM_SIO_STATUS, 17, port + (std::intptr_t{200} << 16));
    window->HandleMessage(0x0400, 17, port);  // not one of ours
    EXPECT_TRUE(seen.empty());
}

TEST_F(PortTest, CloseFromInsideAWindowHandler)
{
    TPtyPort com2(dir, 2);
    TSioComPort cp;
    cp.SetComNumber(2);
    int opened = 0, closed = 0;
    cp.SetOnPortOpen([&](TSioBaseComponent*) { ++opened; });
    cp.SetOnPortClose([&](TSioBaseComponent*) { ++closed; });
    cp.SetOnTriggerAvail([&](TSioCustomComPort* p, std::uint16_t) { p->SetOpen(false); });
    cp.FlushInput();
    EXPECT_EQ(opened, 1);
    com2.Write("hello");
    ASSERT_TRUE(PumpUntil([&] { return closed == 1; }));
    ASSERT_TRUE(PumpUntil([&] { return cp.PortState() == StateClosed; }));
    EXPECT_FALSE(cp.Open());
    EXPECT_EQ(cp.Dispatcher(), nullptr);
    EXPECT_EQ(closed, 1);
    // The port is free again and opens anew.
    cp.FlushInput();
    EXPECT_EQ(opened, 2);
    EXPECT_TRUE(Reported().empty());
}

TEST_F(PortTest, UserCallbacksInOrderAndRemovable)
{
    TPtyPort com2(dir, 2);
    TSioComPort cp;
    cp.SetComNumber(2);
    std::vector<std::string> seen;
    int a = 0, b = 0, c = 0;
    cp.AddUserCallback(&a, [&](TSioCustomComPort*, TPortCallbackKind k) { seen.push_back("a" + std::to_string(k)); });
    cp.AddUserCallback(&b, [&](TSioCustomComPort*, TPortCallbackKind k) {
        seen.push_back("b" + std::to_string(k));
        if (k == pcClosing)
            cp.RemoveUserCallback(&a);  // removed before its turn: not called
    });
    cp.AddUserCallback(&c, [&](TSioCustomComPort*, TPortCallbackKind k) { seen.push_back("c" + std::to_string(k)); });
    cp.SetOnPortOpen([&](TSioBaseComponent*) { seen.push_back("open"); });
    cp.SetOnPortClose([&](TSioBaseComponent*) { seen.push_back("close"); });
    cp.SetOpen(true);
    cp.SetOpen(false);
    EXPECT_EQ(seen, (std::vector<std::string>{"c0", "b0", "a0", "open", "c1", "b1", "c2", "b2", "close"}));
}

TEST_F(PortTest, AUserFailingAtTheCloseStillClosesThePort)
{
    TPtyPort com2(dir, 2);
    TSioComPort cp;
    cp.SetComNumber(2);
    bool fail = true;
    int closed = 0;
    cp.AddUserCallback(&fail, [&](TSioCustomComPort*, TPortCallbackKind k) {
        if (k == pcClosing && fail) {
            fail = false;
            throw std::runtime_error("user failed");
        }
    });
    cp.SetOnPortClose([&](TSioBaseComponent*) { ++closed; });
    cp.FlushInput();
    EXPECT_THROW(cp.SetOpen(false), std::runtime_error);
    EXPECT_EQ(cp.PortState(), StateClosed);
    EXPECT_FALSE(cp.Open());
    EXPECT_EQ(cp.Dispatcher(), nullptr);
    EXPECT_EQ(closed, 1);
    // Not stuck half closed: the next write opens the port and goes out.
    cp.WriteString("again");
    EXPECT_EQ(com2.ReadExactly(5), "again");
}

// Users create triggers when told that the port has opened (the packet
// manager its timer); the component carries its own across closes.
TEST_F(PortTest, TimerTriggersSurviveAPortChangeAndAFailedOpening)
{
    TPtyPort com2(dir, 2), com5(dir, 5);
    TSioComPort cp;
    cp.SetComNumber(2);
    std::uint16_t userTimer = 0, fired = 0;
    bool refuse = false;
    cp.AddUserCallback(&userTimer, [&](TSioCustomComPort* p, TPortCallbackKind k) {
        if (k != pcOpened)
            return;
        if (refuse) {
            refuse = false;
            throw std::runtime_error("user refused");
        }
        userTimer = p->AddTimerTrigger();
    });
    cp.SetOnTriggerTimer([&](TSioCustomComPort*, std::uint16_t h) { fired = h; });
    cp.FlushInput();
    std::uint16_t own = cp.AddTimerTrigger();
    std::uint16_t firstUserTimer = userTimer;
    cp.SetComNumber(5);
    ASSERT_NE(userTimer, firstUserTimer);
    cp.SetTimerTrigger(userTimer, 1, true);  // made at the new opening: still there
    ASSERT_TRUE(PumpUntil([&] { return fired == userTimer; }));

    cp.SetOpen(false);
    refuse = true;
    EXPECT_THROW(cp.SetOpen(true), std::runtime_error);
    EXPECT_EQ(cp.Dispatcher(), nullptr);
    cp.FlushInput();
    cp.SetTimerTrigger(own, 1, true);  // not lost with the failed opening
    ASSERT_TRUE(PumpUntil([&] { return fired == own; }));
}

TEST_F(PortTest, ChangingComNumberWhileOpenMovesToTheNewPort)
{
    TPtyPort com2(dir, 2), com5(dir, 5);
    TSioComPort cp;
    cp.SetComNumber(2);
    cp.SetLogging(tlOn);
    cp.SetTriggerLength(1);
    std::uint16_t fired = 0;
    cp.SetOnTriggerTimer([&](TSioCustomComPort*, std::uint16_t h) { fired = h; });
    cp.FlushInput();
    std::uint16_t h = cp.AddTimerTrigger();
    cp.SetComNumber(5);
    EXPECT_TRUE(cp.Open());
    EXPECT_EQ(cp.Logging(), tlOn);
    EXPECT_TRUE(fs::exists("SIO.LOG"));  // the old port's log, written at its close
    cp.WriteString("on five");
    EXPECT_EQ(com5.ReadExactly(7), "on five");
    // The timer trigger came along.
    cp.SetTimerTrigger(h, 1, true);
    ASSERT_TRUE(PumpUntil([&] { return fired == h; }));
}

TEST_F(PortTest, AFailingLogDumpAtDestructionStillFreesTheDevice)
{
    TPtyPort com2(dir, 2);
    {
        TSioComPort cp;
        cp.SetComNumber(2);
        cp.SetLogging(tlOn);
        cp.SetLogName("no/such/folder/SIO.LOG");
        cp.WriteString("x");
        // The log is written once the device has closed: its failure is
        // raised, and the port is closed all the same.
        EXPECT_ANY_THROW(cp.SetOpen(false));
        EXPECT_FALSE(cp.Open());
        cp.WriteString("y");  // opens it again; the destructor's close fails alike
        EXPECT_TRUE(cp.Open());
    }
    ASSERT_FALSE(Reported().empty());
    // The device was closed: another component takes the port.
    TSioComPort next;
    next.SetComNumber(2);
    next.FlushInput();
    EXPECT_TRUE(next.Open());
}

// A method handler that, on the first avail notification, runs fn on the
// main thread and waits for it: the dispatcher thread is then delivering
// for as long as fn runs, as it is while a packet event runs.
struct TMainThreadHook {
    TSioBaseDispatcher* Dispatcher = nullptr;
    std::function<void()> Fn;
    bool Done = false;  // dispatcher thread only
    void Handle(std::uint32_t msg, std::uintptr_t, std::intptr_t)
    {
        if (msg == WM_SIO_AVAIL && !Done) {
            Done = true;
            Dispatcher->RunOnMainThread(Fn);
        }
    }
};

TEST_F(PortTest, ClosingDuringADeliveryFinishesWhenTheDeliveryHasEnded)
{
    TPtyPort com2(dir, 2);
    int baseThreads = sio::test::ThreadCount();
    TSioComPort cp;
    cp.SetComNumber(2);
    int closed = 0;
    cp.SetOnPortClose([&](TSioBaseComponent*) { ++closed; });
    cp.FlushInput();
    TMainThreadHook hook;
    hook.Dispatcher = cp.Dispatcher();
    bool openDuringClose = false;
    TPortState stateDuringClose = StateClosed;
    std::atomic<bool> ran{false};
    std::uint16_t lateTimer = 99;
    hook.Fn = [&] {
        cp.SetOpen(false);
        openDuringClose = cp.Open();
        stateDuringClose = cp.PortState();
        // Refused quietly while the close is pending.
        cp.WriteString("late");
        cp.FlushInput();
        lateTimer = cp.AddTimerTrigger();
        ran = true;
    };
    cp.Dispatcher()->AddMethodHandler(NotifyMethod<TMainThreadHook, &TMainThreadHook::Handle>(&hook));
    com2.Write("x");
    ASSERT_TRUE(PumpUntil([&] { return ran.load(); }));
    // OnPortClose came at once; the dispatcher was still delivering.
    EXPECT_EQ(closed, 1);
    EXPECT_TRUE(openDuringClose);
    EXPECT_EQ(stateDuringClose, StateClosing);
    EXPECT_EQ(lateTimer, 0);
    ASSERT_TRUE(PumpUntil([&] { return cp.PortState() == StateClosed; }));
    EXPECT_FALSE(cp.Open());
    EXPECT_EQ(cp.Dispatcher(), nullptr);
    EXPECT_EQ(closed, 1);
    EXPECT_TRUE(PumpUntil([&] { return sio::test::ThreadCount() == baseThreads; }));
    EXPECT_EQ(com2.ReadAvailable(), "");
    cp.FlushInput();  // and it opens again
    EXPECT_TRUE(cp.Open());
}

TEST_F(PortTest, DestroyedWhileItsCloseWaitsForTheDispatcher)
{
    TPtyPort com2(dir, 2);
    int baseThreads = sio::test::ThreadCount();
    auto cp = std::make_unique<TSioComPort>();
    cp->SetComNumber(2);
    cp->FlushInput();
    TMainThreadHook hook;
    hook.Dispatcher = cp->Dispatcher();
    std::atomic<bool> ran{false};
    hook.Fn = [&] {
        cp->SetOpen(false);
        EXPECT_EQ(cp->PortState(), StateClosing);
        cp.reset();  // the window goes while its port is still closing
        // The dispatcher still finishing its close no longer refers to it.
        EXPECT_EQ(hook.Dispatcher->Owner(), nullptr);
        ran = true;
    };
    cp->Dispatcher()->AddMethodHandler(NotifyMethod<TMainThreadHook, &TMainThreadHook::Handle>(&hook));
    com2.Write("x");
    ASSERT_TRUE(PumpUntil([&] { return ran.load(); }));
    // The pending close finishes without the component and frees the
    // dispatcher with its threads.
    ASSERT_TRUE(PumpUntil([&] { return queue.PendingCount() == 0 && sio::test::ThreadCount() == baseThreads; }));
    TSioComPort next;
    next.SetComNumber(2);
    next.FlushInput();
    EXPECT_TRUE(next.Open());
    EXPECT_TRUE(Reported().empty());
}

TEST_F(PortTest, AssignCopiesSettingsNotTheOpenState)
{
    TPtyPort com2(dir, 2);
    TSioComPort src;
    ConsoleSettings(src);
    src.SetComNumber(2);
    src.SetTraceName("x.trc");
    src.FlushInput();
    int calls = 0;
    src.AddUserCallback(&calls, [&](TSioCustomComPort*, TPortCallbackKind) { ++calls; });
    TSioComPort copy;
    copy.Assign(src);
    EXPECT_FALSE(copy.Open());
    EXPECT_EQ(copy.ComNumber(), 2);
    EXPECT_EQ(copy.Baud(), 9600);
    EXPECT_EQ(copy.Parity(), pEven);
    EXPECT_TRUE(copy.RS485Mode());
    EXPECT_EQ(copy.Logging(), tlOn);
    EXPECT_EQ(copy.TraceName(), "x.trc");
    EXPECT_EQ(copy.Version(), "v4.07");
    src.SetOpen(false);
    EXPECT_EQ(calls, 2);  // closing, closed on the source
    copy.FlushInput();
    EXPECT_EQ(calls, 3);  // opened on the copy, through the copied entry
}

TEST_F(PortTest, LoadingFromAFormDefersTheOpen)
{
    TPtyPort com2(dir, 2);
    TSioComPort cp;
    cp.BeginLoading();
    cp.SetComNumber(2);
    cp.SetOpen(true);  // only remembered while loading
    EXPECT_EQ(cp.Dispatcher(), nullptr);
    EXPECT_EQ(cp.AcquireDispatcher(), nullptr);
    cp.EndLoading();
    EXPECT_TRUE(cp.Open());
    EXPECT_EQ(cp.PortState(), StateOpen);

    // A port that cannot be opened after loading is reported, not raised.
    TSioComPort bad;
    bad.BeginLoading();
    bad.SetComNumber(9);
    bad.SetOpen(true);
    EXPECT_NO_THROW(bad.EndLoading());
    EXPECT_FALSE(bad.Open());
    ASSERT_EQ(Reported().size(), 1u);
    EXPECT_EQ(Reported().front().rfind("COM9 (", 0), 0u) << Reported().front();
    EXPECT_NE(Reported().front().find("): ie_BadId - Specified comport doesn't exist"), std::string::npos);
}

TEST_F(PortTest, EnumerationsKeepTheirNamesAndOrder)
{
    EXPECT_STREQ(EnumName(pSpace), "pSpace");
    EXPECT_EQ(static_cast<int>(pEven), 2);
    EXPECT_STREQ(EnumName(tlAppendAndContinue), "tlAppendAndContinue");
    EXPECT_EQ(static_cast<int>(tlPause), 5);
    EXPECT_STREQ(EnumName(hwfRequireCTS), "hwfRequireCTS");
    EXPECT_EQ(THWFlowOptionSet({hwfUseDTR, hwfRequireCTS}).Bits(), 0x09);
    EXPECT_STREQ(EnumName(swfTransmit), "swfTransmit");
    EXPECT_STREQ(EnumName(tmOff), "tmOff");
    EXPECT_STREQ(EnumName(dlWinsock), "dlWinsock");
    // Only the layers this build has are accepted: network ports where it
    // has sockets.
    TSioComPort cp;
    cp.SetDeviceLayer(dlWinsock);
#ifdef TARNELL_NETWORK_PORTS
    EXPECT_EQ(cp.DeviceLayer(), dlWinsock);
    EXPECT_EQ(SupportedDeviceLayers(), (1u << dlWin32) | (1u << dlWinsock));
#else
    EXPECT_EQ(cp.DeviceLayer(), dlWin32);
#endif
}

}  // namespace
