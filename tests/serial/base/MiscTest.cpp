// The tick clock and tick timers, and the message queue without a toolkit.
#include "ReportedErrors.h"
#include "base/BaseComponent.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace sio;
using namespace std::chrono_literals;

namespace {

class TickTest : public ::testing::Test {
protected:
    void TearDown() override { UseRealClock(); }
};

}  // namespace

TEST_F(TickTest, TickIsMillisecondsOver55)
{
    SetTestClock(55 * 1000 + 54);
    EXPECT_EQ(MillisecondClock(), 55u * 1000 + 54);
    EXPECT_EQ(TickCount(), 1000u);
    AdvanceTestClock(1);
    EXPECT_EQ(TickCount(), 1001u);
    // The last tick before the wrap and the first after it.
    SetTestClock(0xFFFFFFFFu);
    EXPECT_EQ(TickCount(), TickRange - 1);
    AdvanceTestClock(1);
    EXPECT_EQ(MillisecondClock(), 0u);
    EXPECT_EQ(TickCount(), 0u);
}

TEST_F(TickTest, TimerExpiresAfterItsDuration)
{
    SetTestClock(100 * 55);
    TTickTimer timer;
    StartTimer(timer, 25);
    EXPECT_EQ(timer.StartTicks, 100u);
    EXPECT_EQ(timer.ExpireTicks, 125u);
    EXPECT_FALSE(TimerExpired(timer));
    SetTestClock(125 * 55);
    EXPECT_FALSE(TimerExpired(timer));  // expired only once past the expiry tick
    SetTestClock(126 * 55);
    EXPECT_TRUE(TimerExpired(timer));
}

TEST_F(TickTest, DurationsAreCapped)
{
    SetTestClock(0);
    TTickTimer timer;
    StartTimer(timer, 0x7FFFFFFF);
    EXPECT_EQ(timer.ExpireTicks - timer.StartTicks, static_cast<std::uint32_t>(MaxTimerTicks));
    EXPECT_EQ(MaxTimerTicks, static_cast<std::int32_t>(0xFFFFFFFFu / 55 / 2));
}

TEST_F(TickTest, TimerRunningAcrossTheWrapExpiresOnTime)
{
    // Started ten ticks before the millisecond clock wraps.
    SetTestClock(0xFFFFFFFFu - 10 * 55);
    TTickTimer timer;
    StartTimer(timer, 25);
    const std::uint32_t start = timer.StartTicks;
    EXPECT_GT(timer.ExpireTicks, TickRange - 1);  // beyond the last tick value

    AdvanceTestClock(20 * 55);  // wrapped, 20 ticks on
    EXPECT_LT(TickCount(), start);
    EXPECT_FALSE(TimerExpired(timer));
    AdvanceTestClock(10 * 55);  // 30 ticks on
    EXPECT_TRUE(TimerExpired(timer));
}

TEST_F(TickTest, TimerStartedAfterTheWrapIsNotConfusedWithOne)
{
    SetTestClock(0xFFFFFFFFu - 5);
    TTickTimer before;
    StartTimer(before, 1000);
    AdvanceTestClock(100);
    TTickTimer after;
    StartTimer(after, 1000);
    EXPECT_FALSE(TimerExpired(before));
    EXPECT_FALSE(TimerExpired(after));
    AdvanceTestClock(1001 * 55);
    EXPECT_TRUE(TimerExpired(before));
    EXPECT_TRUE(TimerExpired(after));
}

TEST_F(TickTest, InjectionIsSafeFromSeveralThreads)
{
    SetTestClock(0);
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        std::uint32_t last = 0;
        while (!stop.load()) {
            const std::uint32_t now = MillisecondClock();
            EXPECT_GE(now, last);  // only ever advanced
            last = now;
        }
    });
    std::vector<std::thread> writers;
    for (int i = 0; i < 2; ++i)
        writers.emplace_back([] {
            for (int k = 0; k < 10000; ++k) AdvanceTestClock(1);
        });
    for (auto& w : writers) w.join();
    stop.store(true);
    reader.join();
    EXPECT_EQ(MillisecondClock(), 20000u);
}

// ---------------------------------------------------------------------------
// TLocalMessageQueue

namespace {

struct RecordingTarget : TMessageTarget {
    std::thread::id handledOn;
    std::vector<std::uint32_t> messages;
    std::uintptr_t lastW = 0;
    std::intptr_t lastL = 0;
    std::intptr_t answer = 0;
    std::function<void()> during;  // runs inside the handler

    std::intptr_t HandleMessage(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) override
    {
        handledOn = std::this_thread::get_id();
        messages.push_back(msg);
        lastW = wParam;
        lastL = lParam;
        if (during) during();
        return answer;
    }
};

// Pumps q on this (the main) thread until fut is ready, for at most 5 s.
template <typename T>
bool PumpUntilReady(TLocalMessageQueue& q, std::future<T>& fut)
{
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (fut.wait_for(0s) != std::future_status::ready) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        q.WaitAndProcess(100);
    }
    return true;
}

using ReporterGuard = sio::test::TReportedErrors;

}  // namespace

TEST(LocalMessageQueue, PostedMessageIsHandledOnTheMainThread)
{
    TLocalMessageQueue q;
    RecordingTarget target;
    EXPECT_TRUE(q.IsMainThread());
    std::thread poster([&] {
        EXPECT_FALSE(q.IsMainThread());
        EXPECT_TRUE(q.PostMessage(&target, WM_SIO_CLOSE, 0, 3 << 16));
    });
    poster.join();
    EXPECT_EQ(q.PendingCount(), 1u);
    EXPECT_TRUE(q.WaitAndProcess(5000));
    ASSERT_EQ(target.messages.size(), 1u);
    EXPECT_EQ(target.messages[0], WM_SIO_CLOSE);
    EXPECT_EQ(target.lastL, 3 << 16);
    EXPECT_EQ(target.handledOn, std::this_thread::get_id());
    EXPECT_FALSE(q.ProcessOneMessage());

    // Another thread's pump step leaves the main thread's messages alone.
    q.PostMessage(&target, WM_SIO_DATA, 0, 0);
    std::thread([&] { EXPECT_FALSE(q.ProcessOneMessage()); }).join();
    EXPECT_EQ(q.PendingCount(), 1u);
    EXPECT_TRUE(q.ProcessOneMessage());
    EXPECT_EQ(target.messages.size(), 2u);
}

TEST(LocalMessageQueue, SendWaitsForTheHandlersResult)
{
    TLocalMessageQueue q;
    RecordingTarget target;
    target.answer = 77;
    auto fut = std::async(std::launch::async, [&] {
        std::intptr_t result = 0;
        const bool ok = q.SendMessageTimeout(&target, WM_SIO_AVAIL, 12, 5, 5000, &result);
        return ok ? result : -1;
    });
    ASSERT_TRUE(PumpUntilReady(q, fut));
    EXPECT_EQ(fut.get(), 77);
    EXPECT_EQ(target.handledOn, std::this_thread::get_id());
    EXPECT_EQ(target.lastW, 12u);
}

TEST(LocalMessageQueue, SendOnTheMainThreadRunsAtOnce)
{
    TLocalMessageQueue q;
    RecordingTarget target;
    target.answer = 5;
    std::intptr_t result = 0;
    EXPECT_TRUE(q.SendMessageTimeout(&target, WM_SIO_DATA, 0, 0, 0, &result));
    EXPECT_EQ(result, 5);
    EXPECT_EQ(target.messages.size(), 1u);
    EXPECT_EQ(q.PendingCount(), 0u);
}

TEST(LocalMessageQueue, TimedOutSendIsNeverDeliveredLater)
{
    TLocalMessageQueue q;
    RecordingTarget target;
    std::thread sender([&] {
        std::intptr_t result = 99;
        EXPECT_FALSE(q.SendMessageTimeout(&target, WM_SIO_TIMER, 0, 0, 50, &result));
        EXPECT_EQ(result, 99);  // untouched
    });
    sender.join();
    EXPECT_FALSE(q.ProcessOneMessage());
    EXPECT_TRUE(target.messages.empty());
}

TEST(LocalMessageQueue, SendGivenUpWhileBeingHandledLeavesNoDanglingResult)
{
    TLocalMessageQueue q;
    RecordingTarget target;
    std::promise<void> senderGaveUp;
    auto gaveUp = senderGaveUp.get_future();
    std::thread sender([&] {
        std::intptr_t result = 0;
        EXPECT_FALSE(q.SendMessageTimeout(&target, WM_SIO_STATUS, 0, 0, 100, &result));
        senderGaveUp.set_value();
    });
    // The handler outlasts the sender's wait; the sender's stack is gone by
    // the time the handler's result is stored.
    target.answer = 1;
    target.during = [&] { EXPECT_EQ(gaveUp.wait_for(5s), std::future_status::ready); };
    EXPECT_TRUE(q.WaitAndProcess(5000));
    sender.join();
    EXPECT_EQ(target.messages.size(), 1u);
}

TEST(LocalMessageQueue, RunOnMainThreadRunsThereAndReportsExceptions)
{
    ReporterGuard reporter;
    TLocalMessageQueue q;
    std::thread::id ranOn;
    auto fut = std::async(std::launch::async, [&] {
        q.RunOnMainThread([&] { ranOn = std::this_thread::get_id(); });
        q.RunOnMainThread([] { throw std::runtime_error("handler failed"); });
        return true;
    });
    ASSERT_TRUE(PumpUntilReady(q, fut));
    EXPECT_TRUE(fut.get());
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    ASSERT_EQ(reporter.reported.size(), 1u);
    EXPECT_EQ(reporter.reported[0], "handler failed");

    // On the main thread itself the call runs at once, with the same report.
    q.RunOnMainThread([] { throw std::runtime_error("direct"); });
    ASSERT_EQ(reporter.reported.size(), 2u);
    EXPECT_EQ(reporter.reported[1], "direct");
}

TEST(LocalMessageQueue, AFailingReportDoesNotEscapeThePumpStep)
{
    // This reporter throws itself for anything but a std::exception; an
    // escaping report would leave the message unfinished (and a waiting
    // sender stranded).
    ReporterGuard reporter;
    TLocalMessageQueue q;
    RecordingTarget target;
    target.during = [] { throw 42; };
    q.PostMessage(&target, WM_SIO_AVAIL, 0, 0);
    bool handled = false;
    EXPECT_NO_THROW(handled = q.ProcessOneMessage());
    EXPECT_TRUE(handled);
    EXPECT_EQ(q.PendingCount(), 0u);
}

TEST(LocalMessageQueue, DiscardDropsOnlyTheTargetsMessagesAndReleasesSenders)
{
    TLocalMessageQueue q;
    RecordingTarget doomed, other;
    q.PostMessage(&doomed, WM_SIO_AVAIL, 0, 0);
    q.PostMessage(&other, WM_SIO_DATA, 0, 0);
    auto send = std::async(std::launch::async, [&] {
        std::intptr_t r = 0;
        return q.SendMessageTimeout(&doomed, WM_SIO_TIMER, 0, 0, 60000, &r);
    });
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (q.PendingCount() < 3 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(q.PendingCount(), 3u);

    q.DiscardMessages(&doomed);
    ASSERT_EQ(send.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(send.get());
    EXPECT_EQ(q.PendingCount(), 1u);
    EXPECT_TRUE(q.ProcessOneMessage());
    EXPECT_TRUE(doomed.messages.empty());
    EXPECT_EQ(other.messages.size(), 1u);
}

TEST(LocalMessageQueue, DestroyingTheQueueReleasesWaitingCallers)
{
    auto q = std::make_unique<TLocalMessageQueue>();
    std::atomic<bool> ran{false};
    std::thread caller([&, raw = q.get()] { raw->RunOnMainThread([&] { ran.store(true); }); });
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (q->PendingCount() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(q->PendingCount(), 1u);
    q.reset();
    caller.join();
    EXPECT_FALSE(ran.load());
}

TEST(LocalMessageQueue, QuitRequestSurvivesThePumpStep)
{
    TLocalMessageQueue q;
    RecordingTarget target;
    SetMessageQueue(&q);
    q.PostQuit();
    q.PostMessage(&target, WM_SIO_AVAIL, 0, 0);
    EXPECT_TRUE(sio::ProcessOneMessage());  // the free pump step goes through MessageQueue()
    EXPECT_FALSE(sio::ProcessOneMessage());
    SetMessageQueue(nullptr);
    EXPECT_EQ(target.messages.size(), 1u);
    EXPECT_TRUE(q.QuitRequested());
    EXPECT_TRUE(q.TakeQuit());
    EXPECT_FALSE(q.QuitRequested());
}

TEST(LocalMessageQueue, DefaultQueueBelongsToTheFirstThreadThatAsked)
{
    EXPECT_TRUE(MessageQueue().IsMainThread());
    std::thread other([] { EXPECT_FALSE(MessageQueue().IsMainThread()); });
    other.join();
}
