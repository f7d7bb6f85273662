// Line settings, flow control, DTR/RTS, RS-485 direction, line errors and
// modem lines, and injected system-call faults. The device is a
// pseudo-terminal; TFakeLines answers the ioctls that a pty lacks.
#include "DispatchFixture.h"
#include "FakeLines.h"

#include "errors/ErrorTexts.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <functional>
#include <atomic>
#include <mutex>
#include <thread>

namespace sio::test {
namespace {

using ::testing::ElementsAre;

// Counts how often the main thread went to sleep in the test's queue.
class TSleepCounter final : public TQueueStandIn {
public:
    using TQueueStandIn::TQueueStandIn;
    bool WaitAndProcess(std::uint32_t timeoutMs) override
    {
        sleeps += timeoutMs > 0;
        return TQueueStandIn::WaitAndProcess(timeoutMs);
    }
    bool WaitAndProcessOwn(std::uint32_t timeoutMs) override
    {
        sleeps += timeoutMs > 0;
        return TQueueStandIn::WaitAndProcessOwn(timeoutMs);
    }

    std::atomic<int> sleeps{0};
};

class LinesTest : public DispatchTest {
protected:
    void TearDown() override
    {
        d.reset();
        counter_.reset();  // after the threads that may still post to it
        sys::InstallSysCalls(nullptr);
        DispatchTest::TearDown();
    }
    void Install() { sys::InstallSysCalls(&fake); }
    TSleepCounter& CountSleeps()
    {
        counter_ = std::make_unique<TSleepCounter>(queue);
        return *counter_;
    }

    // The events without the settings writes, for ordering checks.
    std::vector<std::string> LineEvents()
    {
        auto all = fake.Events();
        std::vector<std::string> out;
        std::copy_if(all.begin(), all.end(), std::back_inserter(out),
                     [](const std::string& e) { return e != "tcsets" && e != "lsr"; });
        return out;
    }

    TFakeLines fake;
    std::unique_ptr<TSleepCounter> counter_;
};


TEST_F(LinesTest, SettingsAreWrittenOnlyWhenSomethingChanged)
{
    Install();
    ASSERT_EQ(Open(), 0);
    const int writes = fake.SettingsWrites();
    EXPECT_EQ(d->ApplyLineSettings(KeepBaud, KeepParity, KeepDataBits, KeepStopBits), 0);
    EXPECT_EQ(d->ApplyLineSettings(9600, NOPARITY, 8, 1), 0);
    EXPECT_EQ(fake.SettingsWrites(), writes);

    EXPECT_EQ(d->ApplyLineSettings(19200, EVENPARITY, 7, 2), 0);
    EXPECT_EQ(fake.SettingsWrites(), writes + 1);
    EXPECT_EQ(fake.LastCflag() & TermBits::CBAUD_, TermBits::BOTHER_);
    EXPECT_EQ(fake.LastSpeed(), 19200u);
    EXPECT_EQ(fake.LastCflag() & TermBits::CSIZE_, TermBits::CS7_);
    EXPECT_TRUE(fake.LastCflag() & TermBits::PARENB_);
    EXPECT_FALSE(fake.LastCflag() & TermBits::PARODD_);
    EXPECT_TRUE(fake.LastCflag() & TermBits::CSTOPB_);

    // A pseudo-terminal reports 8N1 whatever was set; the dispatcher
    // reports what was asked for.
    std::int32_t baud;
    std::uint8_t parity, bits, stop;
    d->QueryLineSettings(baud, parity, bits, stop);
    EXPECT_EQ(baud, 19200);
    EXPECT_EQ(parity, EVENPARITY);
    EXPECT_EQ(bits, 7);
    EXPECT_EQ(stop, 2);

    // Only the parity changes: the rest is kept.
    EXPECT_EQ(d->ApplyLineSettings(KeepBaud, MARKPARITY, KeepDataBits, KeepStopBits), 0);
    EXPECT_EQ(fake.LastCflag() & (TermBits::PARENB_ | TermBits::PARODD_ | TermBits::CMSPAR_),
              TermBits::PARENB_ | TermBits::PARODD_ | TermBits::CMSPAR_);
    d->QueryLineSettings(baud, parity, bits, stop);
    EXPECT_EQ(baud, 19200);
    EXPECT_EQ(parity, MARKPARITY);
}

TEST_F(LinesTest, NewSettingsWaitUntilTheDriverHasSentWhatWasWritten)
{
    Install();
    ASSERT_EQ(Open(), 0);
    // The writer has handed the bytes to the driver, which still holds them.
    fake.HoldTransmitter(true);
    ASSERT_EQ(d->WriteBytes("STO;0;1;250;30;10\n\r", 19), 0);
    EXPECT_EQ(pty->ReadExactly(19), "STO;0;1;250;30;10\n\r");
    // Sent once the settings wait for the driver: it has looked at its queue.
    const int looked = fake.LooksWhileHeld();
    std::thread sent([&] {
        WaitUntil([&] { return fake.LooksWhileHeld() > looked; });
        fake.HoldTransmitter(false);
    });
    EXPECT_EQ(d->ApplyLineSettings(KeepBaud, EVENPARITY, KeepDataBits, KeepStopBits), 0);
    sent.join();
    // Changed under the last bytes, the line would have garbled them.
    EXPECT_EQ(fake.SettingsWritesWhileHeld(), 0);
    EXPECT_TRUE(fake.LastCflag() & TermBits::PARENB_);
}

// The driver holds the last bytes until the writer has looked at its queue
// 200 times. The waits for the drain (before a discard, before new line
// settings) end only once the writer has found the queue empty; meanwhile
// the main thread sleeps, woken a few times, never looking again and again.
TEST_F(LinesTest, DrainWaitsSleepUntilTheWriterFindsTheDriversQueueEmpty)
{
    Install();
    ASSERT_EQ(Open(), 0);
    TSleepCounter& counter = CountSleeps();
    ASSERT_EQ(d->WriteBytes("STA;0\n\r", 7), 0);
    EXPECT_EQ(pty->ReadExactly(7), "STA;0\n\r");
    fake.HoldTransmitterForLooks(200);
    EXPECT_TRUE(d->WaitOutputSent(10000));
    EXPECT_GE(fake.OtherLooks(), 200);
    // A 2 ms recheck would have looked about a hundred times.
    EXPECT_LE(counter.sleeps.load(), 5);
    EXPECT_LE(fake.OwnLooks(), 8);

    counter.sleeps = 0;
    ASSERT_EQ(d->WriteBytes("STO;0;1;250;30;10\n\r", 19), 0);
    EXPECT_EQ(pty->ReadExactly(19), "STO;0;1;250;30;10\n\r");
    fake.HoldTransmitterForLooks(200);
    EXPECT_EQ(d->ApplyLineSettings(KeepBaud, EVENPARITY, KeepDataBits, KeepStopBits), 0);
    EXPECT_EQ(fake.SettingsWritesWhileHeld(), 0);
    EXPECT_GE(fake.OtherLooks(), 200);
    EXPECT_TRUE(fake.LastCflag() & TermBits::PARENB_);
    // One more sleep: the pause of 18 characters before the change.
    EXPECT_LE(counter.sleeps.load(), 6);
    EXPECT_LE(fake.OwnLooks(), 9);
}

// A pseudo-terminal's queue always reads empty: with nothing in the writer's
// hands the wait ends at once; with a block the far end takes slowly, it
// ends when the writer has handed the last piece on, after a few wakes.
TEST_F(LinesTest, OnAPseudoTerminalTheDrainWaitEndsWithTheWritersLastPiece)
{
    // The real pseudo-terminal's lines; the stand-in only tells when its
    // buffer is full.
    fake.modemLines = false;
    Install();
    ASSERT_EQ(Open(65535), 0);
    TSleepCounter& counter = CountSleeps();
    ASSERT_EQ(d->WriteBytes("STA;0\n\r", 7), 0);
    EXPECT_TRUE(d->WaitOutputSent(10000));
    EXPECT_EQ(counter.sleeps.load(), 0);
    EXPECT_EQ(pty->ReadExactly(7), "STA;0\n\r");

    // Nobody reads: the writer ends up holding a block that the full
    // pseudo-terminal does not take, and the ring fills behind it.
    const std::string chunk(4096, 'z');
    std::size_t written = 0;
    ASSERT_TRUE(WaitUntil([&] {
        if (d->WriteBytes(chunk.data(), 4096) == 0)
            written += chunk.size();
        return fake.WritesWithoutRoom() > 0;
    })) << "the pseudo-terminal never filled up";
    while (d->WriteBytes(chunk.data(), 4096) == 0)
        written += chunk.size();
    ASSERT_GT(d->OutputUsed(), 0);
    std::size_t seen = 0;
    std::thread far([&] {
        // Once the main thread is asleep in the wait, in small bites.
        if (!WaitUntil([&] { return counter.sleeps.load() > 0; }))
            return;
        while (seen < written) {
            const std::string got = pty->ReadExactly(std::min<std::size_t>(256, written - seen));
            if (got.empty())
                return;
            seen += got.size();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    EXPECT_TRUE(d->WaitOutputSent(20000));
    far.join();
    EXPECT_EQ(seen, written);
    EXPECT_LE(counter.sleeps.load(), 5);
}

TEST_F(LinesTest, StopBitsAreClampedAndFiveDataBitsGetOneAndAHalf)
{
    Install();
    ASSERT_EQ(Open(), 0);
    std::int32_t baud;
    std::uint8_t parity, bits, stop;
    EXPECT_EQ(d->ApplyLineSettings(KeepBaud, KeepParity, KeepDataBits, 4), 0);
    d->QueryLineSettings(baud, parity, bits, stop);
    EXPECT_EQ(stop, 2);
    EXPECT_EQ(d->ApplyLineSettings(KeepBaud, KeepParity, KeepDataBits, 0), 0);
    d->QueryLineSettings(baud, parity, bits, stop);
    EXPECT_EQ(stop, 1);
    EXPECT_FALSE(fake.LastCflag() & TermBits::CSTOPB_);
    // 5 data bits with one stop bit asked for: 1.5 stop bits (CSTOPB).
    EXPECT_EQ(d->ApplyLineSettings(KeepBaud, KeepParity, 5, 1), 0);
    EXPECT_EQ(fake.LastCflag() & TermBits::CSIZE_, TermBits::CS5_);
    EXPECT_TRUE(fake.LastCflag() & TermBits::CSTOPB_);
    d->QueryLineSettings(baud, parity, bits, stop);
    EXPECT_EQ(bits, 5);
    EXPECT_EQ(stop, 2);
    // Sizes the line cannot have are refused and change nothing.
    const int writes = fake.SettingsWrites();
    EXPECT_LT(d->ApplyLineSettings(KeepBaud, KeepParity, 9 + 1, KeepStopBits), 0);
    EXPECT_EQ(fake.SettingsWrites(), writes);
}

TEST_F(LinesTest, LegacyBaudCodesBecomeBitsPerSecond)
{
    EXPECT_EQ(BaudToBitsPerSecond(0xFF16), 9600u);
    EXPECT_EQ(BaudToBitsPerSecond(0xFEFF), 115200u);
    EXPECT_EQ(BaudToBitsPerSecond(0xFF27), 256000u);
    EXPECT_EQ(BaudToBitsPerSecond(0xFF19), 0xFF19u);
    EXPECT_EQ(BaudToBitsPerSecond(57600), 57600u);

    Install();
    ASSERT_EQ(Open(), 0);
    EXPECT_EQ(d->ApplyLineSettings(0xFF16, KeepParity, KeepDataBits, KeepStopBits), 0);
    EXPECT_EQ(fake.LastSpeed(), 9600u);
    std::int32_t baud;
    std::uint8_t parity, bits, stop;
    d->QueryLineSettings(baud, parity, bits, stop);
    EXPECT_EQ(baud, 9600);
    EXPECT_EQ(d->ApplyLineSettings(0xFF19, KeepParity, KeepDataBits, KeepStopBits), 0);
    d->QueryLineSettings(baud, parity, bits, stop);
    EXPECT_EQ(baud, 0xFF19);
}

TEST_F(LinesTest, DtrAndRtsFollowTheOptionsAndTheHandshake)
{
    Install();
    d = std::make_unique<TSioPosixDispatcher>(nullptr);
    ASSERT_EQ(d->OpenDevice(ComName(3), 9600, 0, 8, 1, 4096, 4096, optDtrOn), 0);
    auto ev = LineEvents();
    ASSERT_GE(ev.size(), 2u);
    EXPECT_EQ(ev[0], "dtr+");
    EXPECT_EQ(ev[1], "rts-");
    fake.ClearEvents();
    EXPECT_EQ(d->SetRts(true), 0);
    EXPECT_THAT(LineEvents(), ElementsAre("rts+"));

    // DTR under handshake control: SetDtr does nothing and says so.
    ASSERT_EQ(d->SetHardwareFlow(3686, 409, hfUseDtr), 0);
    fake.ClearEvents();
    EXPECT_EQ(d->SetDtr(false), 1);
    EXPECT_THAT(LineEvents(), ::testing::IsEmpty());
    std::uint8_t hw, sw;
    char xon, xoff;
    ASSERT_EQ(d->QueryFlowOptions(hw, sw, xon, xoff), 0);
    EXPECT_EQ(hw, hfUseDtr);
    EXPECT_EQ(sw, 0);
}

TEST_F(LinesTest, FlowControlMarksAreCheckedAndPushed)
{
    Install();
    ASSERT_EQ(Open(), 0);
    const int writes = fake.SettingsWrites();
    EXPECT_EQ(d->SetHardwareFlow(100, 200, hfUseRts), ecBadArgument);
    EXPECT_EQ(d->SetHardwareFlow(4097, 0, hfUseRts), ecBadArgument);
    EXPECT_EQ(d->SetSoftwareFlow(10, 20, sfReceive), ecBadArgument);
    EXPECT_EQ(fake.SettingsWrites(), writes);

    ASSERT_EQ(d->SetHardwareFlow(3686, 409, hfUseRts | hfRequireCts), 0);
    EXPECT_TRUE(fake.LastCflag() & TermBits::CRTSCTS_);
    std::uint8_t hw, sw;
    char xon, xoff;
    d->QueryFlowOptions(hw, sw, xon, xoff);
    EXPECT_EQ(hw, hfUseRts | hfRequireCts);
    EXPECT_EQ(d->SetRts(false), 1);

    ASSERT_EQ(d->SetHardwareFlow(0, 0, 0), 0);
    EXPECT_FALSE(fake.LastCflag() & TermBits::CRTSCTS_);
    ASSERT_EQ(d->SetSoftwareFlow(3072, 1024, sfReceive | sfTransmit), 0);
    EXPECT_EQ(fake.LastIflag() & (TermBits::IXON_ | TermBits::IXOFF_), TermBits::IXON_ | TermBits::IXOFF_);
    EXPECT_EQ(fake.LastVstart(), 17);
    EXPECT_EQ(fake.LastVstop(), 19);
    d->QueryFlowOptions(hw, sw, xon, xoff);
    EXPECT_EQ(sw, sfReceive | sfTransmit);
    ASSERT_EQ(d->SetFlowChars('A', 'B'), 0);
    EXPECT_EQ(fake.LastVstart(), 'A');
    EXPECT_EQ(fake.LastVstop(), 'B');
    ASSERT_EQ(d->ClearSoftwareFlow(), 0);
    EXPECT_EQ(fake.LastIflag() & (TermBits::IXON_ | TermBits::IXOFF_), 0u);
}

TEST_F(LinesTest, ProgramControlledRs485RaisesRtsAroundEachBlock)
{
    fake.lineStatus = true;
    fake.lsrBusyPolls = 3;
    Install();
    ASSERT_EQ(Open(), 0);
    d->SetRs485Mode(true);
    EXPECT_EQ(d->Rs485Path(), TRs485Path::Program);
    fake.ClearEvents();
    EXPECT_EQ(d->WriteBytes("", 0), 0);
    EXPECT_THAT(LineEvents(), ::testing::IsEmpty());

    ASSERT_EQ(d->WriteBytes("STA;0\n\r", 7), 0);
    EXPECT_EQ(pty->ReadExactly(7), "STA;0\n\r");
    ASSERT_TRUE(WaitUntil([&] { return LineEvents().size() >= 3; }));
    EXPECT_THAT(LineEvents(), ElementsAre("rts+", "write:STA;0\n\r", "rts-"));
    // RTS dropped only after the transmitter reported empty.
    auto all = fake.Events();
    auto lsrs = std::count(all.begin(), all.end(), "lsr");
    EXPECT_EQ(lsrs, 4);
    EXPECT_EQ(all.back(), "rts-");
    // The settings write leaves RTS alone in RS-485 mode.
    fake.ClearEvents();
    ASSERT_EQ(d->ApplyLineSettings(KeepBaud, EVENPARITY, KeepDataBits, KeepStopBits), 0);
    EXPECT_THAT(LineEvents(), ElementsAre("dtr-"));
}

TEST_F(LinesTest, ProgramControlledRs485DropsRtsOnlyWhenNothingIsLeftToSend)
{
    fake.lineStatus = true;
    Install();
    ASSERT_EQ(Open(), 0);
    d->SetRs485Mode(true);
    fake.HoldTransmitter(true);
    ASSERT_EQ(d->WriteBytes("A", 1), 0);
    // The writer waits for the transmitter to empty after "A"...
    ASSERT_TRUE(WaitUntil([&] {
        auto all = fake.Events();
        return std::find(all.begin(), all.end(), "lsr") != all.end();
    }));
    // ...when the next block is queued.
    ASSERT_EQ(d->WriteBytes("B", 1), 0);
    fake.HoldTransmitter(false);
    EXPECT_EQ(pty->ReadExactly(2), "AB");
    ASSERT_TRUE(WaitUntil([&] {
        auto ev = LineEvents();
        return !ev.empty() && ev.back() == "rts-";
    }));
    // "B" went out with RTS raised: the driver would otherwise have sent it
    // into a transceiver switched to receive.
    bool rts = false;
    for (const auto& e : LineEvents()) {
        if (e == "rts+" || e == "rts-")
            rts = e == "rts+";
        if (e == "write:B") {
            EXPECT_TRUE(rts);
        }
    }

    // A block that a discard abandons half-way drops RTS too, or the
    // transceiver would stay on transmit and the reply go unheard.
    fake.StallWrites(true);
    ASSERT_EQ(d->WriteBytes("stuck", 5), 0);
    ASSERT_TRUE(WaitUntil([&] { return d->OutputUsed() == 0; }));  // the writer holds it
    fake.ClearEvents();
    EXPECT_EQ(d->DiscardOutput(), 0);
    EXPECT_TRUE(WaitUntil([&] {
        auto ev = LineEvents();
        return !ev.empty() && ev.back() == "rts-";
    }));
    fake.StallWrites(false);
}

TEST_F(LinesTest, ProgramControlledRs485WithoutTransmitterStateRefusesToWrite)
{
    fake.outQueue = false;
    Install();
    ASSERT_EQ(Open(), 0);
    d->SetRs485Mode(true);
    EXPECT_EQ(d->WriteBytes("x", 1), ecBaseAddressNotSet);
    EXPECT_EQ(d->OutputUsed(), 0);
    d->SetRs485Mode(false);
    EXPECT_EQ(d->WriteBytes("x", 1), 0);
}

TEST_F(LinesTest, TheDriversRs485ModeSwitchesTheDirectionItself)
{
    fake.rs485 = true;
    Install();
    ASSERT_EQ(Open(), 0);
    d->SetRs485Mode(true);
    EXPECT_EQ(d->Rs485Path(), TRs485Path::Kernel);
    fake.ClearEvents();
    ASSERT_EQ(d->SetHardwareFlow(0, 0, 0), 0);
    auto all = fake.Events();
    const std::string enabled = "rs485:" + std::to_string(TermBits::RS485_ENABLED | TermBits::RS485_RTS_ON_SEND);
    EXPECT_NE(std::find(all.begin(), all.end(), enabled), all.end());
    std::uint8_t hw, sw;
    char xon, xoff;
    d->QueryFlowOptions(hw, sw, xon, xoff);
    EXPECT_EQ(hw, hfUseRts);  // RTS_CONTROL_TOGGLE
    fake.ClearEvents();
    ASSERT_EQ(d->WriteBytes("abc", 3), 0);
    EXPECT_EQ(pty->ReadExactly(3), "abc");
    ASSERT_TRUE(WaitUntil([&] { return !LineEvents().empty(); }));
    EXPECT_THAT(LineEvents(), ElementsAre("write:abc"));
    // Leaving RS-485 mode and pushing the flow control again turns it off.
    const std::string disabled = "rs485:" + std::to_string(TermBits::RS485_RTS_ON_SEND);
    d->SetRs485Mode(false);
    ASSERT_EQ(d->SetHardwareFlow(0, 0, 0), 0);
    all = fake.Events();
    EXPECT_NE(std::find(all.begin(), all.end(), disabled), all.end());
    // So does closing: the next program to open the device finds it as it
    // was before.
    d->SetRs485Mode(true);
    ASSERT_EQ(d->SetHardwareFlow(0, 0, 0), 0);
    fake.ClearEvents();
    d->CloseDevice();
    all = fake.Events();
    EXPECT_NE(std::find(all.begin(), all.end(), disabled), all.end());
}

TEST_F(LinesTest, APseudoTerminalGetsProgramControlledDirectionAndStillWrites)
{
    ASSERT_EQ(Open(), 0);
    d->SetRs485Mode(true);
    EXPECT_EQ(d->Rs485Path(), TRs485Path::Program);
    ASSERT_EQ(d->SetHardwareFlow(0, 0, 0), 0);
    ASSERT_EQ(d->WriteBytes("pty", 3), 0);
    EXPECT_EQ(pty->ReadExactly(3), "pty");
}

TEST_F(LinesTest, LineErrorsAndBreaksFromTheErrorCounters)
{
    fake.counters = true;
    Install();
    ASSERT_EQ(Open(), 0);
    EXPECT_EQ(d->TakeLineError(), leNone);
    fake.BumpCounters(1, 1, 1);
    // The status thread notices within 100 ms; the dispatcher thread then
    // refreshes the line-error word.
    ASSERT_TRUE(WaitUntil([&] { return d->TakeLineBreak(); }));
    EXPECT_EQ(d->TakeLineError(), leParity);  // parity and framing: parity reported, both cleared
    EXPECT_EQ(d->TakeLineError(), leNone);
    EXPECT_FALSE(d->TakeLineBreak());
    fake.BumpCounters(1, 0, 0);
    ASSERT_TRUE(WaitUntil([&] { return d->TakeLineError() == leFraming; }));
}

// Records status notifications on the dispatcher thread.
class StatusSink {
public:
    void HandleNotification(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam)
    {
        if (msg != WM_SIO_STATUS)
            return;
        std::lock_guard l(lock_);
        notes_.push_back({wParam, lParam & 0xFFFF});
    }
    std::vector<std::pair<std::uintptr_t, std::intptr_t>> Notes()
    {
        std::lock_guard l(lock_);
        return notes_;
    }

private:
    std::mutex lock_;
    std::vector<std::pair<std::uintptr_t, std::intptr_t>> notes_;
};

TEST_F(LinesTest, StatusTriggersFireOnceWhenTheirConditionHolds)
{
    fake.counters = true;
    Install();
    ASSERT_EQ(Open(), 0);
    StatusSink sink;
    auto method = NotifyMethod<StatusSink, &StatusSink::HandleNotification>(&sink);
    d->AddMethodHandler(method);
    EXPECT_EQ(d->AddStatusTrigger(6), ecBadArgument);
    std::int32_t line = d->AddStatusTrigger(stLine);
    std::int32_t modem = d->AddStatusTrigger(stModem);
    std::int32_t sent = d->AddStatusTrigger(stOutSent);
    ASSERT_EQ(line & 7, stLine);
    ASSERT_EQ(modem & 7, stModem);
    EXPECT_EQ(d->SetStatusTrigger(line & ~7, 0, true), ecBadTriggerHandle);
    ASSERT_EQ(d->SetStatusTrigger(line, CE_FRAME | CE_RXPARITY, true), 0);
    ASSERT_EQ(d->SetStatusTrigger(modem, static_cast<std::uint16_t>(MS_CTS_ON << 8), true), 0);
    ASSERT_EQ(d->SetStatusTrigger(sent, 0, true), 0);

    fake.BumpCounters(1, 0, 0);
    ASSERT_TRUE(WaitUntil([&] { return !sink.Notes().empty(); }));
    EXPECT_EQ(sink.Notes()[0].first, static_cast<std::uintptr_t>(line));
    EXPECT_EQ(d->TakeLineError(), leFraming);

    fake.SetLines(kTiocmCts);
    ASSERT_TRUE(WaitUntil([&] { return sink.Notes().size() >= 2; }));
    EXPECT_EQ(sink.Notes()[1].first, static_cast<std::uintptr_t>(modem));

    ASSERT_EQ(d->WriteBytes("s", 1), 0);
    ASSERT_TRUE(WaitUntil([&] { return sink.Notes().size() >= 3; }));
    EXPECT_EQ(sink.Notes()[2].first, static_cast<std::uintptr_t>(sent));

    // Each fired once and stays disarmed.
    fake.BumpCounters(1, 0, 0);
    fake.SetLines(0);
    ASSERT_EQ(d->WriteBytes("t", 1), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(sink.Notes().size(), 3u);
    EXPECT_EQ(d->RemoveTrigger(line), 0);
    d->RemoveMethodHandler(method);
    d.reset();
}

TEST_F(LinesTest, ModemLineChangesAreSeen)
{
    Install();
    ASSERT_EQ(Open(), 0);
    EXPECT_EQ(d->ModemStatus() & 0xF0, 0u);
    fake.SetLines(kTiocmCts | kTiocmCd);
    ASSERT_TRUE(WaitUntil([&] { return (d->ModemStatus() & 0xF0) == (MS_CTS_ON | MS_RLSD_ON); }));
    fake.SetLines(kTiocmDsr);
    ASSERT_TRUE(WaitUntil([&] { return (d->ModemStatus() & 0xF0) == MS_DSR_ON; }));
}

TEST_F(LinesTest, OpenErrorsAreTranslatedAsTheUserNeedsThem)
{
    struct FailingOpen : sys::TSysCalls {
        int err = 0;
        int Open(const char*, int) override
        {
            errno = err;
            return -1;
        }
    } failing;
    sys::InstallSysCalls(&failing);
    auto openWith = [&](int err) {
        failing.err = err;
        TSioPosixDispatcher disp(nullptr);
        return disp.OpenDevice(ComName(3), 9600, 0, 8, 1, 4096, 4096, 0);
    };
    EXPECT_EQ(openWith(ENOENT), -2);
    EXPECT_EQ(openWith(ENODEV), -2);
    EXPECT_EQ(openWith(EIO), -2);
    EXPECT_EQ(openWith(EBUSY), -5);
    // Permission denied keeps its own number (and so the system's text).
    EXPECT_EQ(openWith(EACCES), -EACCES);
    EXPECT_EQ(openWith(EMFILE), -4);
}

TEST_F(LinesTest, InterruptedReadsLoseNoBytes)
{
    fake.eintrEveryRead = 2;
    Install();
    ASSERT_EQ(Open(), 0);
    std::string data;
    for (int i = 0; i < 3000; ++i)
        data.push_back(static_cast<char>('A' + i % 26));
    ASSERT_EQ(pty->Write(data), data.size());
    EXPECT_EQ(ReadAll(data.size()), data);
}

TEST_F(LinesTest, AFailingWriteEndsTheThreadsWithLineError10)
{
    fake.failWritesWith = EIO;
    Install();
    ASSERT_EQ(Open(), 0);
    ASSERT_EQ(d->WriteBytes("doomed", 6), 0);
    ASSERT_TRUE(PumpUntil([&] { return !d->Active(); }));
    EXPECT_EQ(d->LastOsError(), EIO);
    EXPECT_EQ(d->TakeLineError(), leDeviceFailed);
    EXPECT_EQ(d->TakeLineError(), leNone);
}

// The writer's waits go through the system-call seam like every other call
// on the device: a failing wait for output ends the port as a device
// failure, and an interrupted wait for the transmitter is repeated.
TEST_F(LinesTest, TheWritersWaitsGoThroughTheSeam)
{
    struct TWaits : TFakeLines {
        std::atomic<int> deviceFd{-1};
        std::atomic<bool> failIdleWaits{false};
        std::atomic<int> interruptedTransmitterWaits{0};
        int Poll(pollfd* fds, nfds_t count, int timeoutMs) override
        {
            bool device = false;
            for (nfds_t i = 0; i < count; ++i)
                device = device || fds[i].fd == deviceFd.load();
            // The writer's wait for output watches only its wake events.
            if (!device && count == 2 && failIdleWaits.load()) {
                errno = ENOMEM;
                return -1;
            }
            // The wait for an empty transmitter watches the writer wake alone.
            if (!device && count == 1 && interruptedTransmitterWaits.load() < 100) {
                static thread_local bool again = false;
                again = !again;
                if (again) {
                    ++interruptedTransmitterWaits;
                    errno = EINTR;
                    return -1;
                }
            }
            return TFakeLines::Poll(fds, count, timeoutMs);
        }
    } waits;
    waits.lineStatus = true;
    waits.lsrBusyPolls = 3;
    sys::InstallSysCalls(&waits);
    ASSERT_EQ(Open(), 0);
    waits.deviceFd = d->Fd();
    d->SetRs485Mode(true);
    ASSERT_EQ(d->Rs485Path(), TRs485Path::Program);
    waits.ClearEvents();
    ASSERT_EQ(d->WriteBytes("STA;0\n\r", 7), 0);
    EXPECT_EQ(pty->ReadExactly(7), "STA;0\n\r");
    ASSERT_TRUE(WaitUntil([&] {
        auto e = waits.Events();
        return !e.empty() && e.back() == "rts-";
    }));
    EXPECT_EQ(waits.interruptedTransmitterWaits.load(), 3);  // once for each busy look

    // The writer sleeps without a time limit at rest: more output brings it
    // back to its wait, which now fails.
    waits.failIdleWaits = true;
    ASSERT_EQ(d->WriteBytes("x", 1), 0);
    ASSERT_TRUE(PumpUntil([&] { return !d->Active(); }));
    EXPECT_EQ(d->LastOsError(), ENOMEM);
    EXPECT_EQ(d->TakeLineError(), leDeviceFailed);
    d.reset();
}

// A method handler passes its event to the main thread and waits there
// (as the packet collector does) while the main thread changes the parity
// with a block still going out. The main thread serves that event during
// the drain, so the dispatcher thread is not held for the drain's 10 s.
TEST_F(LinesTest, ANewParityServesTheDispatcherThreadWhileTheOutputDrains)
{
    Install();
    ASSERT_EQ(Open(), 0);
    std::atomic<bool> changing{false};
    std::atomic<bool> ranWhileChanging{false};
    std::atomic<bool> ran{false};
    struct THandler {
        TSioBaseDispatcher* d;
        std::function<void()> onMain;
        void HandleNotification(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t)
        {
            if (msg != WM_SIO_AVAIL)
                return;
            std::string bytes(wParam, '\0');
            d->ReadBytes(bytes.data(), static_cast<std::int32_t>(wParam));
            d->RunOnMainThread(onMain);
        }
    } handler{d.get(), [&] {
                  ranWhileChanging = changing.load();
                  fake.StallWrites(false);  // the device takes bytes again
                  ran = true;
              }};
    // The device takes nothing for now: the writer holds the block.
    fake.StallWrites(true);
    ASSERT_EQ(d->WriteBytes("STA;0\n\r", 7), 0);
    d->AddMethodHandler(NotifyMethod<THandler, &THandler::HandleNotification>(&handler));
    d->SetAvailLength(1);
    pty->Write("?");
    // The dispatcher thread now waits for the main thread.
    ASSERT_TRUE(WaitUntil([&] { return queue.PendingCount() > 0; }));

    changing = true;
    EXPECT_EQ(d->ApplyLineSettings(KeepBaud, EVENPARITY, KeepDataBits, KeepStopBits), 0);
    changing = false;
    EXPECT_TRUE(ran.load());
    EXPECT_TRUE(ranWhileChanging.load());
    // The line changed only once the block had gone out.
    auto events = fake.Events();
    auto written = std::find(events.begin(), events.end(), "write:STA;0\n\r");
    ASSERT_NE(written, events.end());
    EXPECT_NE(std::find(written, events.end(), "tcsets"), events.end());
    EXPECT_EQ(pty->ReadExactly(7), "STA;0\n\r");
    d.reset();
}

}  // namespace
}  // namespace sio::test
