// The serial layer's message queue on the Qt event loop.
#include "QtMessageQueue.h"
#include "base/BaseComponent.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <functional>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

// Polls pred for up to 5 s without serving the event loop.
bool WaitFor(const std::function<bool()>& pred)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Records what it was sent and on which thread.
class Recorder : public sio::TMessageTarget {
public:
    std::intptr_t HandleMessage(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam) override
    {
        std::lock_guard lock(m);
        msgs.push_back(msg);
        threads.push_back(std::this_thread::get_id());
        if (msg == 0xDEAD)
            throw std::runtime_error("handler failed");
        return static_cast<std::intptr_t>(wParam) + lParam;
    }
    std::vector<std::uint32_t> Msgs()
    {
        std::lock_guard lock(m);
        return msgs;
    }
    std::mutex m;
    std::vector<std::uint32_t> msgs;
    std::vector<std::thread::id> threads;
};

}  // namespace

class QtMessageQueueTest : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        reported.clear();
        sio::SetExceptionReporter([this](std::exception_ptr e) {
            try {
                std::rethrow_exception(e);
            } catch (const std::exception& x) {
                reported.push_back(x.what());
            }
        });
    }
    void cleanup() { sio::SetExceptionReporter(nullptr); }

    void postsFromAThreadArriveInOrderOnTheMainThread()
    {
        tarnell::QtMessageQueue q;
        Recorder r;
        std::jthread t([&] {
            for (std::uint32_t i = 1; i <= 5; ++i)
                QVERIFY(q.PostMessage(&r, i, 0, 0));
        });
        t.join();
        QTRY_COMPARE_WITH_TIMEOUT(r.Msgs().size(), std::size_t(5), 5000);
        QCOMPARE(r.Msgs(), (std::vector<std::uint32_t>{1, 2, 3, 4, 5}));
        for (auto id : r.threads)
            QVERIFY(id == std::this_thread::get_id());
    }

    void sendWaitsForTheResultOfTheMainThread()
    {
        tarnell::QtMessageQueue q;
        Recorder r;
        std::atomic<bool> ok{false};
        std::intptr_t result = 0;
        std::jthread t([&] { ok = q.SendMessageTimeout(&r, 0x7E01, 40, 2, 3000, &result); });
        QTRY_VERIFY_WITH_TIMEOUT(ok.load(), 5000);
        t.join();
        QCOMPARE(result, std::intptr_t(42));
        QVERIFY(r.threads.at(0) == std::this_thread::get_id());
        // On the main thread itself the call runs at once.
        QVERIFY(q.SendMessageTimeout(&r, 0x7E02, 1, 1, 3000, &result));
        QCOMPARE(result, std::intptr_t(2));
    }

    void aSendGivenUpIsNeverDelivered()
    {
        tarnell::QtMessageQueue q;
        Recorder r;
        bool ok = true;
        // The main thread does not pump while the sender waits.
        std::jthread t([&] { ok = q.SendMessageTimeout(&r, 0x7E03, 0, 0, 1000, nullptr); });
        t.join();
        QVERIFY(!ok);
        while (q.ProcessOneMessage()) {
        }
        QCoreApplication::processEvents();
        QVERIFY(r.Msgs().empty());
        QCOMPARE(q.PendingCount(), std::size_t(0));
    }

    void runOnMainThreadWaitsAndReportsExceptions()
    {
        tarnell::QtMessageQueue q;
        std::thread::id ranOn;
        std::atomic<bool> back{false};
        std::jthread t([&] {
            q.RunOnMainThread([&] { ranOn = std::this_thread::get_id(); });
            q.RunOnMainThread([] { throw std::runtime_error("boom"); });
            back = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(back.load(), 5000);
        t.join();
        QVERIFY(ranOn == std::this_thread::get_id());
        QCOMPARE(reported, QStringList{"boom"});
    }

    void handlerExceptionsGoToTheReport()
    {
        tarnell::QtMessageQueue q;
        Recorder r;
        QVERIFY(q.PostMessage(&r, 0xDEAD, 0, 0));
        QVERIFY(q.ProcessOneMessage());
        QCOMPARE(reported, QStringList{"handler failed"});
    }

    void discardDropsOnlyThatTargetsMessages()
    {
        tarnell::QtMessageQueue q;
        Recorder a, b;
        q.PostMessage(&a, 1, 0, 0);
        q.PostMessage(&b, 2, 0, 0);
        q.PostMessage(&a, 3, 0, 0);
        std::atomic<int> sendDone{-1};
        std::jthread t([&] { sendDone = q.SendMessageTimeout(&a, 4, 0, 0, 10000, nullptr) ? 1 : 0; });
        // Wait without serving the queue (QTRY would serve it).
        QVERIFY(WaitFor([&] { return q.PendingCount() == 4; }));
        q.DiscardMessages(&a);
        // The waiting sender is let go at once, told that nothing was handled.
        QVERIFY(WaitFor([&] { return sendDone.load() == 0; }));
        t.join();
        while (q.ProcessOneMessage()) {
        }
        QVERIFY(a.Msgs().empty());
        QCOMPARE(b.Msgs(), std::vector<std::uint32_t>{2});
    }

    void pumpStepHandlesOneMessageAtATime()
    {
        tarnell::QtMessageQueue q;
        Recorder r;
        q.PostMessage(&r, 1, 0, 0);
        q.PostMessage(&r, 2, 0, 0);
        // Another thread's pump step runs nothing of the main thread's.
        bool handledElsewhere = true;
        std::jthread([&] { handledElsewhere = q.ProcessOneMessage(); }).join();
        QVERIFY(!handledElsewhere);
        QVERIFY(r.Msgs().empty());
        QVERIFY(q.ProcessOneMessage());
        QCOMPARE(r.Msgs(), std::vector<std::uint32_t>{1});
        QVERIFY(q.ProcessOneMessage());
        QCOMPARE(r.Msgs(), (std::vector<std::uint32_t>{1, 2}));
        // The wake events left behind find nothing to do.
        QCoreApplication::processEvents();
        QCOMPARE(r.Msgs().size(), std::size_t(2));
    }

    void pumpStepKeepsAQuitRequest()
    {
        tarnell::QtMessageQueue q;
        Recorder r;
        QEventLoop loop;
        QTimer::singleShot(0, &loop, [&] {
            loop.quit();
            q.PostMessage(&r, 9, 0, 0);
            for (int i = 0; i < 10; ++i)
                q.ProcessOneMessage();
        });
        bool timedOut = false;
        QTimer::singleShot(5000, &loop, [&] {
            timedOut = true;
            loop.exit(1);
        });
        QCOMPARE(loop.exec(), 0);
        QVERIFY(!timedOut);
        QCOMPARE(r.Msgs(), std::vector<std::uint32_t>{9});
    }

    void destructionReleasesWaitingThreads()
    {
        auto q = std::make_unique<tarnell::QtMessageQueue>();
        Recorder r;
        std::atomic<int> state{0};
        tarnell::QtMessageQueue* raw = q.get();
        std::jthread t([&] {
            bool ok = raw->SendMessageTimeout(&r, 5, 0, 0, 10000, nullptr);
            state = ok ? 2 : 1;
        });
        QVERIFY(WaitFor([&] { return raw->PendingCount() == 1; }));
        q.reset();
        t.join();
        QCOMPARE(state.load(), 1);
        QCoreApplication::processEvents();
        QVERIFY(r.Msgs().empty());
    }

    void blockingStepSleepsUntilAMessageOrItsDeadline()
    {
        tarnell::QtMessageQueue q;
        QCoreApplication::processEvents();  // nothing left over to wake the loop early
        // What the event loop does while nothing comes: it goes to sleep
        // (aboutToBlock) and wakes (awake). A wait that spins never sleeps
        // and wakes at every pass; one that sleeps in small steps, through
        // the loop or beside it, wakes many times in a second.
        int sleeps = 0, wakes = 0;
        QAbstractEventDispatcher* loop = QAbstractEventDispatcher::instance();
        QObject::connect(loop, &QAbstractEventDispatcher::aboutToBlock, &q, [&] { ++sleeps; });
        QObject::connect(loop, &QAbstractEventDispatcher::awake, &q, [&] { ++wakes; });
        auto slept = [&] { return QString("slept %1 times, woke %2 times").arg(sleeps).arg(wakes); };

        const auto t0 = std::chrono::steady_clock::now();
        q.WaitAndProcess(1000);
        QVERIFY(std::chrono::steady_clock::now() - t0 >= std::chrono::milliseconds(950));  // not before its deadline
        QVERIFY2(sleeps == 1 && wakes >= 1 && wakes <= 2, qPrintable(slept()));

        // A wait for a condition nobody makes true sleeps through to its
        // deadline: one step, and one more for the last few milliseconds at
        // most.
        sio::SetMessageQueue(&q);
        sleeps = wakes = 0;
        QVERIFY(!sio::ServeMessagesUntil([] { return false; }, 1000));
        QVERIFY2(sleeps >= 1 && sleeps <= 2 && wakes <= 4, qPrintable(slept()));
        sio::SetMessageQueue(nullptr);

        // A serial thread's call, made once the main thread is asleep, ends
        // the sleep, and a wait without a deadline serves it while the
        // caller's condition is false.
        std::atomic<bool> asleep{false};
        QObject::connect(loop, &QAbstractEventDispatcher::aboutToBlock, &q, [&] {
            asleep = true;
            asleep.notify_all();
        });
        bool ran = false;
        std::jthread t([&] {
            asleep.wait(false);
            q.RunOnMainThread([&] { ran = true; });
        });
        sio::SetMessageQueue(&q);
        sleeps = wakes = 0;
        QVERIFY(sio::ServeMessagesUntil([&] { return ran; }, sio::kWaitForever));
        QVERIFY2(sleeps >= 1 && sleeps <= 2, qPrintable(slept()));
        sio::SetMessageQueue(nullptr);
        QVERIFY(!sio::ServeMessagesUntil([] { return false; }, 0));
    }

    void theSerialLayersOwnWaitLeavesQtsEventsQueued()
    {
        tarnell::QtMessageQueue q;
        sio::SetMessageQueue(&q);
        // Stands for the operator's click, queued before the wait starts.
        bool clicked = false, clickedInside = false;
        QTimer::singleShot(0, &q, [&] { clicked = true; });
        QMetaObject::invokeMethod(&q, [&] { clicked = true; }, Qt::QueuedConnection);
        Recorder r;
        std::atomic<bool> ran{false};
        std::jthread t([&] {
            q.PostMessage(&r, 0x7E01, 0, 0);
            q.RunOnMainThread([&] {
                clickedInside = clicked;
                ran = true;
            });
        });
        // Served: the serial thread's message and its call, and the wake of
        // a waker; not the queued click.
        QVERIFY(sio::ServeOwnMessagesUntil([&] { return ran.load(); }, 10000));
        QVERIFY(!clicked && !clickedInside);
        QCOMPARE(r.Msgs(), std::vector<std::uint32_t>{0x7E01});
        QVERIFY(!sio::ServeOwnMessagesUntil([] { return false; }, 200));
        QVERIFY(!clicked);
        std::jthread waker([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            ran = false;
            sio::WakeMainThread();
        });
        QVERIFY(sio::ServeOwnMessagesUntil([&] { return !ran.load(); }, 10000));
        QVERIFY(!clicked);
        // The click runs afterwards, in the event loop's own turn.
        QTRY_VERIFY_WITH_TIMEOUT(clicked, 5000);
        sio::SetMessageQueue(nullptr);
    }

    void isMainThreadOnlyOnTheCreatingThread()
    {
        tarnell::QtMessageQueue q;
        QVERIFY(q.IsMainThread());
        bool other = true;
        std::jthread t([&] { other = q.IsMainThread(); });
        t.join();
        QVERIFY(!other);
    }

private:
    QStringList reported;
};

QTEST_GUILESS_MAIN(QtMessageQueueTest)
#include "QtMessageQueueTest.moc"
