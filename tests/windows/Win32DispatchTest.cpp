// The Win32 dispatcher under Wine against tarnell-sim on a pseudo-terminal.
// with-sim.sh serves COM1 (--no-wire-timing) and COM2 (--echo); the prefix
// maps COM1..COM50 to the build's port folder, so every other port is absent.
#include "port/DispatcherFactory.h"
#include "base/BaseComponent.h"
#include "port/ComPort.h"
#include "selection/PortSelection.h"
#include "errors/ErrorTexts.h"
#include "devices/win32/Win32Dispatcher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace sio::test {
namespace {

constexpr auto kDeadline = std::chrono::seconds(10);

class Win32Dispatch : public ::testing::Test {
protected:
    void SetUp() override { SetMessageQueue(&queue); }
    void TearDown() override
    {
        d.reset();
        SetMessageQueue(nullptr);
    }

    // No parity: Wine sets a pseudo-terminal's parity with tcsetattr, which
    // Debian's C library refuses (EINVAL) once the terminal has ignored it.
    std::int32_t Open(int n, std::uint8_t parity = NOPARITY)
    {
        d = std::make_unique<TSioWin32Dispatcher>(nullptr);
        return d->OpenDevice(PortDeviceName(n), 9600, parity, 8, 1, 4096, 4096, 0);
    }

    bool PumpUntil(const std::function<bool()>& pred)
    {
        auto end = std::chrono::steady_clock::now() + kDeadline;
        while (!pred()) {
            if (std::chrono::steady_clock::now() >= end)
                return pred();
            queue.WaitAndProcess(5);
        }
        return true;
    }

    // Sends a frame and collects the reply up to and including LF CR. A reply
    // that never ends says what came and what state the dispatcher was in
    // (with-sim.sh then shows what the simulator heard and sent).
    std::string Exchange(const std::string& command)
    {
        const std::string frame = command + "\n\r";
        EXPECT_EQ(d->WriteBytes(frame.data(), static_cast<std::int32_t>(frame.size())), 0);
        std::string got;
        const bool ended = PumpUntil([&] {
            char buf[256];
            std::int32_t n = std::min<std::int32_t>(d->InputCount(), sizeof buf);
            if (n > 0 && d->ReadBytes(buf, n) == n)
                got.append(buf, static_cast<std::size_t>(n));
            return got.size() >= 2 && got.compare(got.size() - 2, 2, "\n\r") == 0;
        });
        if (!ended) {
            std::string shown;
            for (unsigned char c : got) {
                char hex[8];
                std::snprintf(hex, sizeof hex, c >= 0x20 && c < 0x7F ? "%c" : "\\x%02X", c);
                shown += hex;
            }
            ADD_FAILURE() << "no whole reply to " << command << ": got \"" << shown << "\"; active "
                          << d->Active() << ", lost " << d->DeviceLost() << ", OS error " << d->LastOsError()
                          << ", events " << d->EventsWork() << ", output left " << d->OutputUsed();
        }
        return got;
    }

    TLocalMessageQueue queue;
    std::unique_ptr<TSioWin32Dispatcher> d;
};

TEST_F(Win32Dispatch, OpensWithTheLineSettingsAndExchangesInOrder)
{
    ASSERT_EQ(Open(1), 0);
    EXPECT_NE(d->Handle(), nullptr);
    std::int32_t baud = 0;
    std::uint8_t parity = 0, bits = 0, stop = 0;
    d->QueryLineSettings(baud, parity, bits, stop);
    EXPECT_EQ(baud, 9600);
    EXPECT_EQ(bits, 8);
    EXPECT_EQ(stop, 1);
    EXPECT_EQ(parity, NOPARITY);

    // A new baud goes to the device and is read back from it.
    ASSERT_EQ(d->ApplyLineSettings(19200, KeepParity, KeepDataBits, KeepStopBits), 0);
    d->QueryLineSettings(baud, parity, bits, stop);
    EXPECT_EQ(baud, 19200);
    ASSERT_EQ(d->ApplyLineSettings(9600, KeepParity, KeepDataBits, KeepStopBits), 0);

    EXPECT_EQ(Exchange("STA;0"), "STA;0:192;\n\r");
    // Replies keep their order and nothing is lost or doubled.
    for (int place = 1; place <= 8; ++place) {
        const std::string reply = Exchange("RCL;0;" + std::to_string(place));
        EXPECT_EQ(reply.rfind("A0;" + std::to_string(place) + ";", 0), 0u) << reply;
    }
    EXPECT_EQ(d->InputCount(), 0);
    EXPECT_EQ(d->TakeLineError(), leNone);
    d->CloseDevice();
    EXPECT_EQ(d->Handle(), nullptr);
    // The same dispatcher opens the port again.
    ASSERT_EQ(Open(1), 0);
    EXPECT_EQ(Exchange("VER;0").rfind("VER;0", 0), 0u);
}

// The collector's time limit: a timer trigger of 25 ticks (55 ms each, from
// the multimedia clock) fires, and not before its time.
struct TTimerSink {
    std::mutex lock;
    std::condition_variable cv;
    int fired = 0;
    void HandleNotification(std::uint32_t msg, std::uintptr_t, std::intptr_t)
    {
        if (msg != WM_SIO_TIMER)
            return;
        std::lock_guard l(lock);
        ++fired;
        cv.notify_all();
    }
};

TEST_F(Win32Dispatch, TheReplyTimeLimitFiresAfterItsTicks)
{
    ASSERT_EQ(Open(1), 0);
    TTimerSink sink;
    d->AddMethodHandler(NotifyMethod<TTimerSink, &TTimerSink::HandleNotification>(&sink));
    const std::int32_t timer = d->AddTimerTrigger();
    ASSERT_GT(timer, 0);
    const std::uint32_t start = TickCount();
    ASSERT_EQ(d->SetTimerTrigger(timer, 25, true), 0);
    std::unique_lock l(sink.lock);
    ASSERT_TRUE(sink.cv.wait_for(l, kDeadline, [&] { return sink.fired > 0; }));
    EXPECT_GE(TickCount() - start, 25u);
    l.unlock();
    d->CloseDevice();
}

TEST_F(Win32Dispatch, EchoBusAndRs485DirectionStillExchange)
{
    // COM2 echoes every frame first, as a two-wire bus does.
    ASSERT_EQ(Open(2), 0);
    d->SetRs485Mode(true);
    EXPECT_TRUE(d->Rs485Mode());
    // Wine has no RTS_CONTROL_TOGGLE: the dispatcher switches RTS itself,
    // which a pseudo-terminal has no line for; the exchange must not suffer.
    std::string got = Exchange("STA;0");
    EXPECT_EQ(got.substr(0, 7), "STA;0\n\r");
    if (got.size() == 7)
        PumpUntil([&] {
            char buf[64];
            std::int32_t n = std::min<std::int32_t>(d->InputCount(), sizeof buf);
            if (n > 0 && d->ReadBytes(buf, n) == n)
                got.append(buf, static_cast<std::size_t>(n));
            return got.size() >= 19;
        });
    EXPECT_EQ(got, "STA;0\n\rSTA;0:192;\n\r");
    d->CloseDevice();
}

// The drain wait sleeps until the writer has watched the driver's queue
// empty (ClearCommError) and woken it: after a block of frames, with the
// driver's direction and with RTS switched by the program, the wait ends
// with everything sent, and every reply and the next exchange arrive whole.
TEST_F(Win32Dispatch, TheDrainWaitEndsOnceABlockHasLeft)
{
    for (int port : {1, 2}) {
        SCOPED_TRACE(port);
        ASSERT_EQ(Open(port), 0);
        const bool echo = port == 2;
        if (echo)
            d->SetRs485Mode(true);
        std::string block;
        for (int i = 0; i < 50; ++i)
            block += "STA;0\n\r";
        ASSERT_EQ(d->WriteBytes(block.data(), static_cast<std::int32_t>(block.size())), 0);
        EXPECT_TRUE(d->WaitOutputSent(static_cast<std::uint32_t>(kDeadline.count()) * 1000));
        EXPECT_EQ(d->OutputUsed(), 0);
        const std::string one = echo ? "STA;0\n\rSTA;0:192;\n\r" : "STA;0:192;\n\r";
        auto collect = [&](std::size_t size) {
            std::string got;
            PumpUntil([&] {
                char buf[256];
                std::int32_t n = std::min<std::int32_t>(d->InputCount(), sizeof buf);
                if (n > 0 && d->ReadBytes(buf, n) == n)
                    got.append(buf, static_cast<std::size_t>(n));
                return got.size() >= size;
            });
            return got;
        };
        std::string expected;
        for (int i = 0; i < 50; ++i)
            expected += one;
        EXPECT_EQ(collect(expected.size()), expected);
        // Nothing left to send: the wait ends at once.
        EXPECT_TRUE(d->WaitOutputSent(static_cast<std::uint32_t>(kDeadline.count()) * 1000));
        // The next exchange after the wait.
        ASSERT_EQ(d->WriteBytes("STA;0\n\r", 7), 0);
        EXPECT_TRUE(d->WaitOutputSent(static_cast<std::uint32_t>(kDeadline.count()) * 1000));
        EXPECT_EQ(collect(one.size()), one);
        d->CloseDevice();
    }
}

TEST_F(Win32Dispatch, MissingPortsAndTheProbe)
{
    // COM3 maps to a folder entry nobody made: refused, and not "in use".
    EXPECT_LT(Open(3), 0);
    EXPECT_NE(d->LastOsError(), 5);
    EXPECT_FALSE(IsPortAvailable(3));
    EXPECT_FALSE(IsPortAvailable(0));
    // The list probes COM1..COM50 by opening them: exactly the two served.
    TComSelectForm form;
    ASSERT_EQ(form.Items().size(), 2u);
    EXPECT_EQ(form.Items()[0], "COM1");
    EXPECT_EQ(form.Items()[1], "COM2");
    EXPECT_EQ(form.SelectedPort(), 1);
    // The factory gives the Win32 dispatcher for the local layer.
    auto made = CreateDispatcherFor(dlWin32, nullptr);
    EXPECT_NE(dynamic_cast<TSioWin32Dispatcher*>(made.get()), nullptr);
    // Error texts come from the system's table.
    EXPECT_FALSE(ErrorMessage(-1450).empty());
}

// Needs the modem-line fixture (win_dispatch_lines_test): with modem lines
// Wine's WaitCommEvent waits, and the fixture logs every change of RTS.
TEST_F(Win32Dispatch, ModemLinesGiveEventsAndRtsFollowsEachBlock)
{
    const char* log = std::getenv("TARNELL_MODEM_LOG");
    ASSERT_NE(log, nullptr) << "run with the modem-line fixture";
    const std::string logPath = std::string("Z:") + log;
    std::remove(logPath.c_str());
    ASSERT_EQ(Open(1), 0);
    ASSERT_TRUE(PumpUntil([&] { return d->EventsWork(); }));
    // Lines the fixture reports: CTS, DSR and DCD on.
    EXPECT_EQ(d->ModemStatus() & 0xB0u, 0xB0u);
    d->SetRs485Mode(true);
    // Wine has no RTS_CONTROL_TOGGLE: RTS rises before each block and drops
    // once it has left. The simulator answers at once, so the next frame
    // waits for the drop: one sent while the writer is still seeing the last
    // one out would rightly keep RTS up for both.
    auto readLog = [&] {
        std::string text;
        if (std::FILE* f = std::fopen(logPath.c_str(), "r")) {
            char buf[4096];
            std::size_t n;
            while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
                text.append(buf, n);
            std::fclose(f);
        }
        return text;
    };
    auto rises = [](const std::string& text) {
        std::size_t n = 0;
        for (std::size_t at = text.find("rts=1"); at != std::string::npos; at = text.find("rts=1", at + 1))
            ++n;
        return n;
    };
    std::string text;
    for (std::size_t i = 1; i <= 3; ++i) {
        ASSERT_EQ(Exchange("STA;0"), "STA;0:192;\n\r");
        ASSERT_TRUE(PumpUntil([&] {
            text = readLog();
            const std::string last = "rts=0 dtr=0\n";
            return rises(text) >= i && text.size() >= last.size() &&
                   text.compare(text.size() - last.size(), last.size(), last) == 0;
        })) << text;
    }
    EXPECT_EQ(rises(text), 3u) << text;
    d->CloseDevice();
}

// Counts the main thread's own looks at the driver's queue.
class TLookCounting : public TSioWin32Dispatcher {
public:
    using TSioWin32Dispatcher::TSioWin32Dispatcher;
    std::thread::id main = std::this_thread::get_id();
    int ownLooks = 0;
    bool sawQueued = false;

protected:
    bool OutputDraining() override
    {
        const bool draining = TSioWin32Dispatcher::OutputDraining();
        if (std::this_thread::get_id() == main) {
            ++ownLooks;
            sawQueued = sawQueued || draining;
        }
        return draining;
    }
};

// Needs the fixture too, which can make the driver's queue read "1 byte" for
// a number of looks: the drain waits sleep while the writer looks, and the
// writer wakes them once it reads empty (a 2 ms recheck would look ~100 times).
TEST_F(Win32Dispatch, ModemLinesFixtureHoldsTheQueueAndTheDrainWaitsSleep)
{
    const char* hold = std::getenv("TARNELL_OUTQ_HOLD");
    ASSERT_NE(hold, nullptr) << "run with the modem-line fixture";
    const std::string holdPath = std::string("Z:") + hold;
    auto holdQueue = [&](int looks) {
        std::FILE* f = std::fopen(holdPath.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fprintf(f, "%d\n", looks);
        std::fclose(f);
    };
    auto counting = std::make_unique<TLookCounting>(nullptr);
    TLookCounting& c = *counting;
    d = std::move(counting);
    ASSERT_EQ(d->OpenDevice(PortDeviceName(1), 9600, NOPARITY, 8, 1, 4096, 4096, 0), 0);
    ASSERT_EQ(Exchange("STA;0"), "STA;0:192;\n\r");

    c.ownLooks = 0;
    holdQueue(200);
    EXPECT_TRUE(d->WaitOutputSent(static_cast<std::uint32_t>(kDeadline.count()) * 1000));
    EXPECT_TRUE(c.sawQueued);
    EXPECT_LE(c.ownLooks, 8);
    std::FILE* left = std::fopen(holdPath.c_str(), "r");
    EXPECT_EQ(left, nullptr) << "the fixture never took the hold";
    if (left)
        std::fclose(left);

    // The drain before new line settings, behind a frame just written. The
    // hold is in place before the frame: the writer may otherwise see it
    // leave and report the queue empty before the hold is taken.
    c.ownLooks = 0;
    c.sawQueued = false;
    holdQueue(200);
    ASSERT_EQ(d->WriteBytes("STA;0\n\r", 7), 0);
    ASSERT_EQ(d->ApplyLineSettings(19200, KeepParity, KeepDataBits, KeepStopBits), 0);
    EXPECT_TRUE(c.sawQueued);
    EXPECT_LE(c.ownLooks, 10);
    // The reply to that frame came at the old speed, before the change.
    std::string got;
    PumpUntil([&] {
        char buf[64];
        std::int32_t n = std::min<std::int32_t>(d->InputCount(), sizeof buf);
        if (n > 0 && d->ReadBytes(buf, n) == n)
            got.append(buf, static_cast<std::size_t>(n));
        return got.size() >= 12;
    });
    EXPECT_EQ(got, "STA;0:192;\n\r");
    d->CloseDevice();
}

// Needs the fixture too, which can stop a frame on its way to the driver and
// then keep it, as a driver keeps what the line has not sent yet. A discard
// while the writer has the frame in hand purges the driver only once the
// writer has let go of it: purged first, the frame would reach the driver
// after the purge, and the line.
TEST_F(Win32Dispatch, ModemLinesFixtureADiscardedFrameOnItsWayNeverReachesTheLine)
{
    const char* hold = std::getenv("TARNELL_TXQ_HOLD");
    ASSERT_NE(hold, nullptr) << "run with the modem-line fixture";
    const std::string holdPath = std::string("Z:") + hold;
    auto fileSays = [&](const std::string& word) {
        char got[16] = "";
        std::FILE* f = std::fopen(holdPath.c_str(), "r");
        if (!f)
            return false;
        if (!std::fgets(got, sizeof got, f))
            got[0] = 0;
        std::fclose(f);
        return std::string(got).rfind(word, 0) == 0;
    };
    ASSERT_EQ(Open(1), 0) << ErrorMessage(-d->LastOsError());
    ASSERT_EQ(Exchange("STA;0"), "STA;0:192;\n\r");

    std::FILE* f = std::fopen(holdPath.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("hold\n", f);
    std::fclose(f);
    ASSERT_EQ(d->WriteBytes("RCL;0;1\n\r", 9), 0);
    ASSERT_TRUE(PumpUntil([&] { return fileSays("paused"); })) << "the fixture never stopped the write";
    EXPECT_EQ(d->DiscardOutput(), 0);
    std::remove(holdPath.c_str());
    // The next frame takes with it whatever the driver kept: only its own
    // answer may come back.
    EXPECT_EQ(Exchange("STA;0"), "STA;0:192;\n\r");
    d->CloseDevice();
}

TEST_F(Win32Dispatch, LostDeviceEndsTheThreadsAndReportsOnce)
{
    ASSERT_EQ(Open(1), 0) << ErrorMessage(-d->LastOsError());
    ASSERT_EQ(Exchange("STA;0"), "STA;0:192;\n\r");
    const char* killFile = std::getenv("TARNELL_SIM_KILL");
    ASSERT_NE(killFile, nullptr) << "run through with-sim.sh";
    std::FILE* f = std::fopen(killFile, "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    // The reader's next look fails: the device is gone, the threads end.
    ASSERT_TRUE(PumpUntil([&] { return d->DeviceLost() && !d->Active(); }));
    EXPECT_EQ(d->TakeLineError(), leDeviceFailed);
    EXPECT_EQ(d->TakeLineError(), leNone);
    d->CloseDevice();
}

}  // namespace
}  // namespace sio::test
