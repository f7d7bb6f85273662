// Triggers and the delivery of notifications: avail and timer triggers,
// method and window handlers, removals during a delivery, service flags,
// handle allocation, saved trigger sets, closing during a delivery.
#include "DispatchFixture.h"

#include "errors/ErrorTexts.h"

#include <gmock/gmock.h>

#include <atomic>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

namespace sio::test {
namespace {

struct Note {
    std::uint32_t msg;
    std::uintptr_t wParam;
    std::intptr_t lParam;
    std::string bytes;
};

// A method handler that reads up to `take` of the offered bytes (all of
// them when take is negative) and records what it saw.
class Reader {
public:
    Reader(TSioBaseDispatcher& d, int take) : d_(d), take_(take) {}

    void HandleNotification(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam)
    {
        std::string bytes;
        if (msg == WM_SIO_AVAIL) {
            int n = take_ < 0 ? static_cast<int>(wParam) : std::min<int>(take_, static_cast<int>(wParam));
            bytes.resize(static_cast<std::size_t>(n));
            if (d_.ReadBytes(bytes.data(), n) != n)
                bytes = "<read failed>";
        }
        if (onCall)
            onCall(msg);
        std::lock_guard l(lock_);
        notes_.push_back({msg, wParam, lParam, bytes});
    }

    TSioNotifyMethod Method() { return NotifyMethod<Reader, &Reader::HandleNotification>(this); }

    std::vector<Note> Notes()
    {
        std::lock_guard l(lock_);
        return notes_;
    }
    std::size_t Count()
    {
        std::lock_guard l(lock_);
        return notes_.size();
    }

    std::function<void(std::uint32_t)> onCall;

private:
    TSioBaseDispatcher& d_;
    int take_;
    std::mutex lock_;
    std::vector<Note> notes_;
};

class Window : public TMessageTarget {
public:
    std::intptr_t HandleMessage(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t) override
    {
        if (onMessage)
            onMessage(msg, wParam);
        ++count;
        return 0;
    }
    std::function<void(std::uint32_t, std::uintptr_t)> onMessage;
    std::atomic<int> count{0};
};

class TriggerTest : public DispatchTest {
protected:
    // Gives the dispatcher thread time to act on what it was woken for;
    // used only to show that something did not happen.
    void LetCyclesPass() { PumpUntil([] { return false; }, std::chrono::milliseconds(300)); }

    // Handlers live as long as the fixture, so that they outlive the
    // dispatcher (TearDown destroys it first).
    Reader& NewReader(int take) { return readers.emplace_back(*d, take); }
    Window& NewWindow() { return windows.emplace_back(); }
    std::deque<Reader> readers;
    std::deque<Window> windows;
};

TEST_F(TriggerTest, AvailNotificationOffersAllBytesThatArrivedTogether)
{
    ASSERT_EQ(Open(), 0);
    Reader& r = NewReader(-1);
    d->AddMethodHandler(r.Method());
    d->SetAvailLength(1);
    pty->Write("abc");
    ASSERT_TRUE(PumpUntil([&] { return r.Count() >= 1; }));
    auto notes = r.Notes();
    EXPECT_EQ(notes[0].msg, WM_SIO_AVAIL);
    EXPECT_EQ(notes[0].wParam, 3u);
    EXPECT_EQ(notes[0].bytes, "abc");
    EXPECT_EQ(notes[0].lParam, static_cast<std::intptr_t>(d->PortIndex()) * 65536);
    EXPECT_EQ(d->InputCount(), 0);
    LetCyclesPass();
    EXPECT_EQ(r.Count(), 1u);
}

TEST_F(TriggerTest, TheReadIndexMovesByTheMostThatAnyHandlerRead)
{
    ASSERT_EQ(Open(), 0);
    Reader& two = NewReader(2);
    Reader& all = NewReader(-1);
    d->AddMethodHandler(two.Method());
    d->AddMethodHandler(all.Method());
    d->SetAvailLength(1);
    pty->Write("xyz");
    ASSERT_TRUE(PumpUntil([&] { return all.Count() >= 1; }));
    // Both saw the same bytes from the same position.
    EXPECT_EQ(two.Notes()[0].bytes, "xy");
    EXPECT_EQ(all.Notes()[0].bytes, "xyz");
    EXPECT_EQ(d->InputCount(), 0);
}

TEST_F(TriggerTest, BytesLeftUnreadAreOfferedAgainOnlyWithNewerBytes)
{
    ASSERT_EQ(Open(), 0);
    Reader& two = NewReader(2);
    d->AddMethodHandler(two.Method());
    d->SetAvailLength(1);
    pty->Write("abc");
    ASSERT_TRUE(PumpUntil([&] { return two.Count() >= 1; }));
    EXPECT_EQ(d->InputCount(), 1);
    LetCyclesPass();
    EXPECT_EQ(two.Count(), 1u);
    pty->Write("d");
    ASSERT_TRUE(PumpUntil([&] { return two.Count() >= 2; }));
    auto notes = two.Notes();
    EXPECT_EQ(notes[1].wParam, 2u);
    EXPECT_EQ(notes[1].bytes, "cd");
}

TEST_F(TriggerTest, AFullBufferThatWrappedOnceRoundIsStillOffered)
{
    ASSERT_EQ(Open(), 0);
    // 8200 bytes with nobody reading: the dispatch buffer fills exactly
    // once round, the rest waits in the input queue.
    std::string data;
    for (int i = 0; i < 8200; ++i)
        data.push_back(static_cast<char>(i % 251));
    ASSERT_EQ(pty->Write(data), data.size());
    ASSERT_TRUE(PumpUntil([&] { return d->InputCount() == static_cast<std::int32_t>(DispatchBufferSize); }));
    Reader& r = NewReader(-1);
    d->AddMethodHandler(r.Method());
    d->SetAvailLength(1);
    ASSERT_TRUE(PumpUntil([&] { return r.Count() >= 2; }));
    auto notes = r.Notes();
    EXPECT_EQ(notes[0].wParam, DispatchBufferSize);
    EXPECT_EQ(notes[0].bytes + notes[1].bytes, data);
}

TEST_F(TriggerTest, AvailLengthHoldsNotificationsBackUntilEnoughHaveArrived)
{
    ASSERT_EQ(Open(), 0);
    Reader& r = NewReader(-1);
    d->AddMethodHandler(r.Method());
    d->SetAvailLength(4);
    pty->Write("ab");
    ASSERT_TRUE(PumpUntil([&] { return d->InputCount() == 2; }));
    LetCyclesPass();
    EXPECT_EQ(r.Count(), 0u);
    pty->Write("cd");
    ASSERT_TRUE(PumpUntil([&] { return r.Count() >= 1; }));
    EXPECT_EQ(r.Notes()[0].bytes, "abcd");
    // RemoveTrigger(1) switches the avail trigger off.
    EXPECT_EQ(d->RemoveTrigger(AvailTriggerHandle), 0);
    EXPECT_EQ(d->AvailLength(), 0);
    pty->Write("efgh");
    ASSERT_TRUE(PumpUntil([&] { return d->InputCount() == 4; }));
    LetCyclesPass();
    EXPECT_EQ(r.Count(), 1u);
}

TEST_F(TriggerTest, ATimerArmedFor25TicksFiresOnce25To26TicksLater)
{
    // A clock that moves only when the test moves it, placed near the wrap
    // of the 32-bit millisecond clock so the wrap is crossed on the way.
    const std::uint32_t start = (0xFFFFFFFFu / MsPerTick - 10) * MsPerTick;
    SetTestClock(start);
    ASSERT_EQ(Open(), 0);
    Reader& r = NewReader(-1);
    d->AddMethodHandler(r.Method());
    std::int32_t h = d->AddTimerTrigger();
    ASSERT_GT(h, 0);
    EXPECT_EQ(h % 8, 0);
    ASSERT_EQ(d->SetTimerTrigger(h, 25, true), 0);

    AdvanceTestClock(24 * MsPerTick);
    LetCyclesPass();
    EXPECT_EQ(r.Count(), 0u);
    AdvanceTestClock(MsPerTick);  // 25 ticks: not yet past the expiry tick
    LetCyclesPass();
    EXPECT_EQ(r.Count(), 0u);
    AdvanceTestClock(MsPerTick);  // 26 ticks
    ASSERT_TRUE(PumpUntil([&] { return r.Count() >= 1; }));
    auto notes = r.Notes();
    EXPECT_EQ(notes[0].msg, WM_SIO_TIMER);
    EXPECT_EQ(notes[0].wParam, static_cast<std::uintptr_t>(h));
    AdvanceTestClock(100 * MsPerTick);
    LetCyclesPass();
    EXPECT_EQ(r.Count(), 1u);

    // Duration 0 re-arms with the stored 25.
    ASSERT_EQ(d->SetTimerTrigger(h, 0, true), 0);
    AdvanceTestClock(25 * MsPerTick);
    LetCyclesPass();
    EXPECT_EQ(r.Count(), 1u);
    AdvanceTestClock(MsPerTick);
    ASSERT_TRUE(PumpUntil([&] { return r.Count() >= 2; }));

    // Disarming keeps it from firing.
    ASSERT_EQ(d->SetTimerTrigger(h, 5, true), 0);
    ASSERT_EQ(d->SetTimerTrigger(h, 0, false), 0);
    AdvanceTestClock(10 * MsPerTick);
    LetCyclesPass();
    EXPECT_EQ(r.Count(), 2u);
}

// A reply's time limit waits for the frame: while the device takes nothing
// the limit does not run out (up to twice its length), and once the writer
// has handed the frame over it counts afresh from then.
TEST_F(TriggerTest, AReplyTimerCountsFromWhenTheOutputWasHandedOver)
{
    struct Stall : sys::TSysCalls {
        std::atomic<bool> hold{true};
        ssize_t Write(int fd, const void* buf, std::size_t n) override
        {
            if (hold) {
                errno = EAGAIN;
                return -1;
            }
            return sys::TSysCalls::Write(fd, buf, n);
        }
        int Poll(pollfd* fds, nfds_t n, int timeout) override
        {
            // No room on the device while held; the wake fd still works.
            for (nfds_t i = 0; i < n; ++i)
                if (hold && (fds[i].events & POLLOUT))
                    fds[i].events = 0;
            return sys::TSysCalls::Poll(fds, n, timeout);
        }
    } stall;
    SetTestClock(1000 * MsPerTick);
    ASSERT_EQ(Open(), 0);
    Reader& r = NewReader(-1);
    d->AddMethodHandler(r.Method());
    const std::int32_t h = d->AddTimerTrigger();
    sys::InstallSysCalls(&stall);

    // Armed before the frame is written, as a collector is.
    ASSERT_EQ(d->ArmReplyTimer(h, 3), 0);
    ASSERT_EQ(d->WriteBytes("STA;0\n\r", 7), 0);
    EXPECT_EQ(d->OutputNotHandedOver(), 7u);
    AdvanceTestClock(5 * MsPerTick);
    LetCyclesPass();
    EXPECT_EQ(r.Count(), 0u) << "ran out while the frame had not left";

    stall.hold = false;
    ASSERT_TRUE(PumpUntil([&] { return d->OutputNotHandedOver() == 0; }));
    EXPECT_EQ(pty->ReadAvailable(), "STA;0\n\r");
    AdvanceTestClock(3 * MsPerTick);
    LetCyclesPass();
    EXPECT_EQ(r.Count(), 0u) << "counted from before the hand-over";
    AdvanceTestClock(MsPerTick);
    ASSERT_TRUE(PumpUntil([&] { return r.Count() >= 1; }));
    EXPECT_EQ(r.Notes()[0].wParam, static_cast<std::uintptr_t>(h));

    // Output that never leaves ends the wait at twice the limit.
    stall.hold = true;
    ASSERT_EQ(d->ArmReplyTimer(h, 3), 0);
    ASSERT_EQ(d->WriteBytes("STA;1\n\r", 7), 0);
    AdvanceTestClock(6 * MsPerTick);
    LetCyclesPass();
    EXPECT_EQ(r.Count(), 1u);
    AdvanceTestClock(MsPerTick);
    ASSERT_TRUE(PumpUntil([&] { return r.Count() >= 2; }));
    // A discard lets go of it too: nothing is left to wait for.
    EXPECT_EQ(d->DiscardOutput(), 0);
    EXPECT_EQ(d->OutputNotHandedOver(), 0u);
    d.reset();
    sys::InstallSysCalls(nullptr);
}

// At rest the dispatcher thread sleeps without a time limit; everything
// it must act on wakes it: a lowered avail length, output for a sent-output
// trigger, a status trigger armed on a condition that holds, a timer.
TEST_F(TriggerTest, APortAtRestSleepsUntilSomethingNeedsItsDispatcherThread)
{
    ASSERT_EQ(Open(), 0);
    Reader& r = NewReader(-1);
    d->AddMethodHandler(r.Method());
    const std::int32_t timer = d->AddTimerTrigger();
    const std::int32_t ok = d->AddDataTrigger("OK", false);
    const std::int32_t sent = d->AddStatusTrigger(stOutSent);
    ASSERT_GT(timer, 0);
    ASSERT_GT(ok, 0);
    ASSERT_GT(sent, 0);
    auto seen = [&](std::uint32_t msg, std::uintptr_t wParam) {
        return PumpUntil([&] {
            for (const Note& n : r.Notes())
                if (n.msg == msg && n.wParam == wParam)
                    return true;
            return false;
        });
    };
    auto count = [&](std::uint32_t msg) {
        auto notes = r.Notes();
        return std::count_if(notes.begin(), notes.end(), [&](const Note& n) { return n.msg == msg; });
    };

    d->SetAvailLength(10);
    ASSERT_EQ(pty->Write("abcOK"), 5u);
    ASSERT_TRUE(seen(WM_SIO_DATA, static_cast<std::uintptr_t>(ok)));
    EXPECT_EQ(count(WM_SIO_AVAIL), 0);  // 5 of 10
    d->SetAvailLength(1);
    ASSERT_TRUE(seen(WM_SIO_AVAIL, 5));

    ASSERT_EQ(d->SetStatusTrigger(sent, 0, true), 0);
    ASSERT_EQ(d->WriteBytes("hi", 2), 0);
    ASSERT_TRUE(seen(WM_SIO_STATUS, static_cast<std::uintptr_t>(sent)));
    EXPECT_EQ(pty->ReadExactly(2), "hi");
    ASSERT_EQ(d->WriteBytes("ho", 2), 0);
    EXPECT_EQ(pty->ReadExactly(2), "ho");
    ASSERT_EQ(d->SetStatusTrigger(sent, 0, true), 0);  // armed after the output
    ASSERT_TRUE(PumpUntil([&] { return count(WM_SIO_STATUS) == 2; }));

    // Not one wait of the thread had a time limit so far.
    EXPECT_EQ(d->LimitedDispatchWaits(), 0u);
    EXPECT_GT(d->UnlimitedDispatchWaits(), 0u);

    // A timer armed while it sleeps so still fires, and then it sleeps
    // without a limit again.
    ASSERT_EQ(d->SetTimerTrigger(timer, 1, true), 0);
    ASSERT_TRUE(seen(WM_SIO_TIMER, static_cast<std::uintptr_t>(timer)));
    // (disarmed before its delivery: no limited wait can follow).
    const auto limited = d->LimitedDispatchWaits();
    ASSERT_EQ(pty->Write("z"), 1u);
    ASSERT_TRUE(seen(WM_SIO_AVAIL, 1));
    EXPECT_EQ(d->LimitedDispatchWaits(), limited);
    EXPECT_EQ(count(WM_SIO_TIMER), 1);
}

TEST_F(TriggerTest, DataTriggersReportTheirStringAfterTheBytesBeforeIt)
{
    ASSERT_EQ(Open(), 0);
    Reader& r = NewReader(-1);
    d->AddMethodHandler(r.Method());
    d->SetAvailLength(1);
    EXPECT_EQ(d->AddDataTrigger("", false), ecBadArgument);
    EXPECT_EQ(d->AddDataTrigger(std::string(23, 'x'), false), ecTriggerTooLong);
    std::int32_t crlf = d->AddDataTrigger("\n\r", false);
    std::int32_t aab = d->AddDataTrigger("AAB", true);
    ASSERT_GT(crlf, 0);
    ASSERT_GT(aab, 0);

    // Overlapping partial matches: "aab" is found in "aaab".
    pty->Write("xyaaab");
    ASSERT_TRUE(PumpUntil([&] { return r.Count() >= 2; }));
    auto notes = r.Notes();
    EXPECT_EQ(notes[0].msg, WM_SIO_AVAIL);
    EXPECT_EQ(notes[0].bytes, "xya");  // the bytes before the string
    EXPECT_EQ(notes[1].msg, WM_SIO_DATA);
    EXPECT_EQ(notes[1].wParam, static_cast<std::uintptr_t>(aab));
    EXPECT_EQ(notes[1].lParam & 0xFFFF, 3);

    pty->Write("STA;0\n\r");
    ASSERT_TRUE(PumpUntil([&] {
        auto n = r.Notes();
        return std::any_of(n.begin(), n.end(), [&](const Note& x) {
            return x.msg == WM_SIO_DATA && x.wParam == static_cast<std::uintptr_t>(crlf);
        });
    }));
    // Everything was read in the end, the string included.
    ASSERT_TRUE(PumpUntil([&] { return d->InputCount() == 0; }));
    std::string seen;
    for (auto& n : r.Notes())
        seen += n.bytes;
    EXPECT_EQ(seen, "xyaaabSTA;0\n\r");
    EXPECT_EQ(d->RemoveTrigger(crlf), 0);
    EXPECT_EQ(d->RemoveTrigger(crlf), ecBadTriggerHandle);
}

TEST_F(TriggerTest, TriggerHandlesAreCheckedByKind)
{
    ASSERT_EQ(Open(), 0);
    EXPECT_EQ(d->SetTimerTrigger(AvailTriggerHandle, 5, true), ecBadTriggerHandle);
    EXPECT_EQ(d->SetTimerTrigger(8000, 5, true), ecBadTriggerHandle);
    EXPECT_EQ(d->RemoveTrigger(8000), ecBadTriggerHandle);
    EXPECT_EQ(d->RemoveTrigger(0), ecBadTriggerHandle);
    std::int32_t h = d->AddTimerTrigger();
    EXPECT_EQ(d->RemoveTrigger(h), 0);
    EXPECT_EQ(d->RemoveTrigger(h), ecBadTriggerHandle);
    EXPECT_EQ(d->SetTimerTrigger(h, 5, true), ecBadTriggerHandle);
}

TEST_F(TriggerTest, HandlesAreCountedOutThenReusedUpTo4096)
{
    TSioPosixDispatcher disp(nullptr);
    std::vector<std::int32_t> handles;
    for (int i = 0; i < 4095; ++i)
        handles.push_back(disp.AddTimerTrigger());
    EXPECT_EQ(handles.front(), 8);
    EXPECT_EQ(handles.back(), 32760);
    EXPECT_EQ(disp.AddTimerTrigger(), ecNoMoreTriggers);
    ASSERT_EQ(disp.RemoveTrigger(4000), 0);
    ASSERT_EQ(disp.RemoveTrigger(16), 0);
    ASSERT_EQ(disp.RemoveTrigger(32760), 0);  // above 4096: never reused
    EXPECT_EQ(disp.AddTimerTrigger(), 16);
    EXPECT_EQ(disp.AddTimerTrigger(), 4000);
    EXPECT_EQ(disp.AddTimerTrigger(), ecNoMoreTriggers);
}

TEST_F(TriggerTest, AHandlerThatRemovesItselfIsNotCalledAgain)
{
    ASSERT_EQ(Open(), 0);
    Reader& self = NewReader(-1);
    Reader& other = NewReader(-1);
    self.onCall = [&](std::uint32_t) {
        d->RemoveMethodHandler(self.Method());
        // Deferred: the handler list still holds it during the delivery.
        EXPECT_TRUE(d->InDispatch());
    };
    d->AddMethodHandler(self.Method());
    d->AddMethodHandler(other.Method());
    d->SetAvailLength(1);
    pty->Write("1");
    ASSERT_TRUE(PumpUntil([&] { return other.Count() >= 1; }));
    pty->Write("2");
    ASSERT_TRUE(PumpUntil([&] { return other.Count() >= 2; }));
    EXPECT_EQ(self.Count(), 1u);
    EXPECT_TRUE(d->ServiceNeeded());
    d->RemoveMethodHandler(other.Method());
    EXPECT_FALSE(d->ServiceNeeded());
}

TEST_F(TriggerTest, RemovingAMethodHandlerComparesItsObjectToo)
{
    ASSERT_EQ(Open(), 0);
    Reader& a = NewReader(-1);
    Reader& b = NewReader(-1);
    d->AddMethodHandler(a.Method());
    d->AddMethodHandler(b.Method());
    d->SetAvailLength(1);
    d->RemoveMethodHandler(b.Method());
    pty->Write("z");
    ASSERT_TRUE(PumpUntil([&] { return a.Count() >= 1; }));
    LetCyclesPass();
    EXPECT_EQ(b.Count(), 0u);
}

TEST_F(TriggerTest, TheComponentsWindowAloneIsServedOnlyWhenItWantsEvents)
{
    ASSERT_EQ(Open(), 0);
    Window& w = NewWindow();
    d->AddWindowHandler(&w);
    d->SetAvailLength(1);
    d->UpdateServiceFlags(2);
    EXPECT_FALSE(d->ServiceNeeded());
    pty->Write("a");
    ASSERT_TRUE(PumpUntil([&] { return d->InputCount() == 1; }));
    LetCyclesPass();
    EXPECT_EQ(w.count.load(), 0);
    d->UpdateServiceFlags(1);
    pty->Write("b");
    ASSERT_TRUE(PumpUntil([&] { return w.count.load() >= 1; }));
    d->RemoveWindowHandler(&w);
}

// The target of the last message sent through the test's queue, seen from
// the test's thread without serving anything.
class TSendWatch final : public TQueueStandIn {
public:
    using TQueueStandIn::TQueueStandIn;
    bool SendMessageTimeout(TMessageTarget* t, std::uint32_t m, std::uintptr_t w, std::intptr_t l,
                            std::uint32_t timeoutMs, std::intptr_t* result) override
    {
        lastSendTo = t;
        return TQueueStandIn::SendMessageTimeout(t, m, w, l, timeoutMs, result);
    }

    std::atomic<TMessageTarget*> lastSendTo{nullptr};
};

TEST_F(TriggerTest, AWindowHandlerThatDoesNotAnswerIsGivenUp)
{
    ASSERT_EQ(Open(), 0);
    TSendWatch watch(queue);
    Window& first = NewWindow();
    Window& second = NewWindow();
    std::vector<std::uint32_t> order;
    first.onMessage = [&](std::uint32_t, std::uintptr_t) { order.push_back(1); };
    second.onMessage = [&](std::uint32_t, std::uintptr_t) { order.push_back(2); };
    d->AddWindowHandler(&first);
    d->AddWindowHandler(&second);
    d->SetAvailLength(1);
    pty->Write("q");
    // The main thread does not serve its queue until the send to the first
    // window has been given up (after 3 s) and the second one is tried.
    ASSERT_TRUE(WaitUntil([&] { return watch.lastSendTo.load() == &second; }, std::chrono::seconds(20)));
    ASSERT_TRUE(PumpUntil([&] { return second.count.load() >= 1; }));
    EXPECT_EQ(first.count.load(), 0);
    EXPECT_EQ(order, std::vector<std::uint32_t>{2});
    // Nobody read the byte: it waits for newer bytes, and the next delivery
    // reaches both windows.
    pty->Write("r");
    ASSERT_TRUE(PumpUntil([&] { return first.count.load() >= 1 && second.count.load() >= 2; }));
    d.reset();  // before the handlers' captures go
}

TEST_F(TriggerTest, RunOnMainThreadRunsTheCallThereWhileTheDispatcherThreadWaits)
{
    ASSERT_EQ(Open(), 0);
    const auto mainId = std::this_thread::get_id();
    std::atomic<bool> ranOnMain{false};
    std::atomic<bool> returned{false};
    std::atomic<bool> ownDispatcher{false};
    TSioBaseDispatcher* onMain = d.get();
    Reader& r = NewReader(-1);
    r.onCall = [&](std::uint32_t) {
        // A handler finds its dispatcher from its thread, without asking the
        // port component (whose pointer belongs to the main thread).
        ownDispatcher = TSioBaseDispatcher::OfCurrentThread() == d.get();
        std::thread::id where;
        d->RunOnMainThread([&] {
            where = std::this_thread::get_id();
            onMain = TSioBaseDispatcher::OfCurrentThread();
        });
        ranOnMain = where == mainId;
        returned = true;
    };
    d->AddMethodHandler(r.Method());
    d->SetAvailLength(1);
    pty->Write("m");
    ASSERT_TRUE(PumpUntil([&] { return returned.load(); }));
    EXPECT_TRUE(ranOnMain.load());
    EXPECT_TRUE(ownDispatcher.load());
    EXPECT_EQ(onMain, nullptr);
    d.reset();
}

TEST_F(TriggerTest, SavedTriggersComeBackExactlyAndNewHandlesDoNotCollide)
{
    ASSERT_EQ(Open(), 0);
    d->SetAvailLength(3);
    std::int32_t a = d->AddTimerTrigger();
    std::int32_t b = d->AddTimerTrigger();
    ASSERT_EQ(d->SetTimerTrigger(b, 40, true), 0);
    TSioTriggerSet set;
    d->SaveTriggers(set);
    ASSERT_TRUE(set.Timers.has_value());
    ASSERT_EQ(set.Timers->size(), 2u);
    d.reset();

    ASSERT_EQ(Open(), 0);
    EXPECT_EQ(d->AvailLength(), 0);
    d->RestoreTriggers(set);
    EXPECT_EQ(d->AvailLength(), 3);
    TSioTriggerSet again;
    d->SaveTriggers(again);
    ASSERT_EQ(again.Timers->size(), 2u);
    EXPECT_EQ((*again.Timers)[1].Handle, b);
    EXPECT_EQ((*again.Timers)[1].Armed, -1);
    EXPECT_EQ((*again.Timers)[1].Duration, 40u);
    EXPECT_EQ((*again.Timers)[1].ExpiryTick, (*set.Timers)[1].ExpiryTick);
    std::int32_t c = d->AddTimerTrigger();
    EXPECT_NE(c, a);
    EXPECT_NE(c, b);
    TSioBaseDispatcher::FreeTriggerSet(set);
    EXPECT_FALSE(set.Timers.has_value());
}

TEST_F(TriggerTest, TheDispatchLogRecordsRegistrationsTriggersAndBytes)
{
    ASSERT_EQ(Open(), 0);
    d->StartLog(0);
    Reader& r = NewReader(-1);
    d->AddMethodHandler(r.Method());
    d->SetAvailLength(1);
    std::int32_t h = d->AddTimerTrigger();
    d->SetTimerTrigger(h, 2, true);
    ASSERT_EQ(d->WriteBytes("W1", 2), 0);
    pty->Write("R1");
    ASSERT_TRUE(PumpUntil([&] { return r.Count() >= 2; }));  // the bytes and the timer
    d->RemoveTrigger(h);
    d->RemoveMethodHandler(r.Method());
    std::string file = dir.Path() + "/log.txt";
    ASSERT_EQ(d->DumpLog(file, true, false), 0);
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    std::string log = text.str();
    EXPECT_THAT(log, ::testing::HasSubstr("TrgHdAlc  Method"));
    EXPECT_THAT(log, ::testing::HasSubstr("TrDatChg  Avail"));
    EXPECT_THAT(log, ::testing::HasSubstr("TrigAllc  Timer"));
    EXPECT_THAT(log, ::testing::HasSubstr("TrDatChg  Timer"));
    EXPECT_THAT(log, ::testing::ContainsRegex("Dispatch  WriteCom +00000002  W1"));
    EXPECT_THAT(log, ::testing::ContainsRegex("Dispatch  ReadCom +00000002  R1"));
    EXPECT_THAT(log, ::testing::ContainsRegex("Trigger   Avail +00000002"));
    EXPECT_THAT(log, ::testing::HasSubstr("Trigger   Timer"));
    EXPECT_THAT(log, ::testing::HasSubstr("TrigDisp  Timer"));
    EXPECT_THAT(log, ::testing::HasSubstr("TrgHdDsp  Method"));
}

TEST_F(TriggerTest, ClosingFromInsideAWindowHandlerWaitsForTheDispatcherThread)
{
    ASSERT_EQ(Open(), 0);
    Window& w = NewWindow();
    bool closed = false;
    w.onMessage = [&](std::uint32_t, std::uintptr_t) {
        if (!closed) {
            closed = true;
            d->CloseDevice();
        }
    };
    d->AddWindowHandler(&w);
    d->UpdateServiceFlags(1);
    d->SetAvailLength(1);
    pty->Write("c");
    ASSERT_TRUE(PumpUntil([&] { return closed; }));
    EXPECT_FALSE(d->Active());
    EXPECT_EQ(d->RunningThreads(), 0);
    EXPECT_FALSE(d->DeviceIsOpen());
    d.reset();
}

TEST_F(TriggerTest, ACloseDuringALongDeliveryIsCompletedByTheDispatcherThread)
{
    ASSERT_EQ(Open(), 0);
    std::atomic<bool> entered{false}, release{false};
    Reader& r = NewReader(0);
    r.onCall = [&](std::uint32_t) {
        entered = true;
        release.wait(false);
    };
    d->AddMethodHandler(r.Method());
    d->SetAvailLength(1);
    pty->Write("x");
    ASSERT_TRUE(PumpUntil([&] { return entered.load(); }));
    d->CloseDevice();  // gives up waiting after about 4 s
    EXPECT_TRUE(d->ClosePending());
    EXPECT_TRUE(d->InDispatch());
    EXPECT_FALSE(d->DeviceIsOpen());
    release = true;
    release.notify_all();
    ASSERT_TRUE(PumpUntil([&] { return !d->Active(); }));
    EXPECT_FALSE(d->InDispatch());
    char c;
    EXPECT_EQ(d->ReadBytes(&c, 1), ecBufferIsEmpty);
    d.reset();
}

}  // namespace
}  // namespace sio::test
