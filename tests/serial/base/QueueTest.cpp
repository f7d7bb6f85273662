// TIOQueue: the record protocol (push, peek, hand back, pop, clear, wait) and
// its threading contract, exercised by several producers and consumers.
#include "base/IOQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

using namespace sio;
using namespace std::chrono_literals;

namespace {

std::unique_ptr<TDataBuffer> DataRecord(std::int32_t size, std::uint8_t fill)
{
    auto record = std::make_unique<TDataBuffer>(size);
    std::memset(record->Data(), fill, static_cast<std::size_t>(size));
    record->UsedCount = size;
    return record;
}

}  // namespace

TEST(IOQueue, RecordsKeepTheirOrderAndTheByteTotal)
{
    TIOQueue q;
    q.Push(DataRecord(10, 'a'));
    q.Push(std::make_unique<TStatusBuffer>(0x80));
    q.Push(std::make_unique<TLogBuffer>(1, 2, 0, 0, "xyz", 3));
    EXPECT_EQ(q.Count(), 3u);
    EXPECT_EQ(q.ByteTotal(), 10u + LogEntryCost(3));

    auto first = q.Pop();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->Kind(), TIOBufferKind::Data);
    EXPECT_EQ(static_cast<TDataBuffer&>(*first).Data()[9], 'a');
    EXPECT_EQ(q.ByteTotal(), LogEntryCost(3));
    auto second = q.Pop();
    ASSERT_EQ(second->Kind(), TIOBufferKind::Status);
    EXPECT_EQ(static_cast<TStatusBuffer&>(*second).Status, 0x80u);
    auto third = q.Pop();
    ASSERT_EQ(third->Kind(), TIOBufferKind::Log);
    EXPECT_EQ(static_cast<TLogBuffer&>(*third).EntryBytes, (std::vector<std::uint8_t>{'x', 'y', 'z'}));
    EXPECT_EQ(q.ByteTotal(), 0u);
    EXPECT_FALSE(q.Pop());
}

TEST(IOQueue, PeekMarksInUseUntilHandedBackOrPopped)
{
    TIOQueue q;
    q.Push(DataRecord(4, 1));
    q.Push(DataRecord(4, 2));
    TIOBuffer* held = q.Peek();
    ASSERT_NE(held, nullptr);
    EXPECT_TRUE(held->InUse());
    EXPECT_EQ(q.Peek(), nullptr);  // the first record is taken

    q.HandBack(held);
    EXPECT_FALSE(held->InUse());
    TIOBuffer* again = q.Peek();
    EXPECT_EQ(again, held);

    auto popped = q.Pop();
    EXPECT_EQ(popped.get(), held);
    EXPECT_FALSE(popped->InUse());
    EXPECT_EQ(q.ByteTotal(), 4u);
    EXPECT_EQ(static_cast<TDataBuffer*>(q.Peek())->Data()[0], 2);
}

TEST(IOQueue, ClearSparesTheRecordInUse)
{
    TIOQueue q;
    q.Push(DataRecord(7, 1));
    q.Push(DataRecord(5, 2));
    q.Push(std::make_unique<TStatusBuffer>(1));
    TIOBuffer* held = q.Peek();
    q.Clear();
    EXPECT_EQ(q.Count(), 1u);
    EXPECT_EQ(q.ByteTotal(), 7u);
    // The consumer can still finish with it.
    auto* data = static_cast<TDataBuffer*>(held);
    data->ReadCount = data->UsedCount;
    EXPECT_EQ(q.Pop().get(), held);
    EXPECT_EQ(q.ByteTotal(), 0u);

    q.Push(DataRecord(3, 0));
    q.Clear();
    EXPECT_TRUE(q.Empty());
}

TEST(IOQueue, PopIfOverTrimsOnlyAboveTheLimit)
{
    TIOQueue q;
    for (int i = 0; i < 3; ++i) q.Push(std::make_unique<TLogBuffer>(1, 1, 0, 0, "0123456789", 10));
    const std::uint32_t entry = LogEntryCost(10);
    EXPECT_FALSE(q.PopIfOver(3 * entry));
    EXPECT_TRUE(q.PopIfOver(3 * entry - 1));
    EXPECT_EQ(q.ByteTotal(), 2 * entry);
    EXPECT_FALSE(q.PopIfOver(2 * entry));
}

// The reader's received bytes: small reads share records, and the bytes
// queued never exceed the limit, so the queue's memory stays bounded however
// the device trickles.
TEST(IOQueue, AppendedBytesShareRecordsAndStopAtTheLimit)
{
    TIOQueue q;
    std::string sent;
    int queued = 0;
    for (int i = 0; i < 1000; ++i) {
        const std::uint8_t byte = static_cast<std::uint8_t>(i);
        sent.push_back(static_cast<char>(byte));
        queued += q.AppendData(&byte, 1, 256, 600);
    }
    EXPECT_EQ(queued, 600);
    EXPECT_EQ(q.DataBytes(), 600u);
    EXPECT_EQ(q.Count(), 3u);  // 256 + 256 + 88, not 600 records
    EXPECT_EQ(q.ByteTotal(), 3u * 256u);

    // Reading makes room again; the bytes come out in order.
    auto first = q.Pop();
    EXPECT_EQ(q.DataBytes(), 344u);
    const std::uint8_t zeros[300] = {};
    EXPECT_EQ(q.AppendData(zeros, 300, 256, 600), 256);  // the last record's 168, then a new one
    EXPECT_EQ(q.Count(), 3u);
    std::string got;
    while (auto record = q.Pop()) {
        auto& data = static_cast<TDataBuffer&>(*record);
        got.append(reinterpret_cast<const char*>(data.Data()), static_cast<std::size_t>(data.UsedCount));
    }
    EXPECT_EQ(got, sent.substr(256, 344) + std::string(256, '\0'));
    EXPECT_EQ(q.DataBytes(), 0u);
    EXPECT_EQ(q.ByteTotal(), 0u);

    // A record the consumer holds is not written to.
    EXPECT_EQ(q.AppendData(zeros, 10, 256, 600), 10);
    auto* held = static_cast<TDataBuffer*>(q.Peek());
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(q.AppendData(zeros, 1, 256, 600), 1);
    EXPECT_EQ(held->UsedCount, 10);
    EXPECT_EQ(q.Count(), 2u);
}

TEST(IOQueue, WaitReturnsAtOnceWithARecordAndWakesOnPushOrWake)
{
    TIOQueue q;
    EXPECT_FALSE(q.Wait(20));  // nothing arrives
    q.Push(std::make_unique<TStatusBuffer>(1));
    EXPECT_TRUE(q.Wait(60000));

    TIOQueue empty;
    auto waiter = std::async(std::launch::async, [&] { return empty.Wait(60000); });
    std::this_thread::sleep_for(10ms);
    empty.Wake();
    ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(waiter.get());
    // The wake event resets itself.
    EXPECT_FALSE(empty.Wait(20));

    auto pushWaiter = std::async(std::launch::async, [&] { return empty.Wait(60000); });
    std::this_thread::sleep_for(10ms);
    empty.Push(DataRecord(1, 1));
    ASSERT_EQ(pushWaiter.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(pushWaiter.get());
}

// The input queue's pattern: two readers and a status thread push, the
// dispatcher thread peeks, reads part of a record, hands it back or pops it,
// and another thread clears and inspects the queue meanwhile. Every record
// that is not cleared arrives once and in each producer's order.
TEST(IOQueue, ProducersConsumerAndClearerUnderContention)
{
    TIOQueue q;
    constexpr int kRecords = 3000;
    constexpr int kProducers = 3;
    std::atomic<int> producersLeft{kProducers};
    std::atomic<bool> stopClearing{false};

    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kRecords; ++i) {
                if (p == 2) {
                    q.Push(std::make_unique<TStatusBuffer>(static_cast<std::uint32_t>(i)));
                } else {
                    auto record = std::make_unique<TDataBuffer>(8);
                    std::memcpy(record->Data(), &p, sizeof p);
                    std::memcpy(record->Data() + 4, &i, sizeof i);
                    record->UsedCount = 8;
                    q.Push(std::move(record));
                }
            }
            producersLeft.fetch_sub(1);
        });
    }
    std::atomic<bool> firstReceived{false};
    std::thread clearer([&] {
        int rounds = 0;
        while (!stopClearing.load()) {
            // Clearing starts once something got through, so that a busy
            // machine cannot have every record cleared before the consumer runs.
            if (firstReceived.load() && ++rounds % 50 == 0) q.Clear();
            (void)q.Count();
            (void)q.ByteTotal();
            std::this_thread::yield();
        }
    });

    int lastSeen[kProducers] = {-1, -1, -1};
    int received = 0;
    bool orderKept = true;
    for (;;) {
        TIOBuffer* record = q.Peek();
        if (record == nullptr) {
            if (producersLeft.load() == 0 && q.Empty()) break;
            q.Wait(10);
            continue;
        }
        int producer = 2;
        int seq = 0;
        if (record->Kind() == TIOBufferKind::Data) {
            auto* data = static_cast<TDataBuffer*>(record);
            // Read it in two steps, handing it back in between.
            if (data->ReadCount == 0) {
                data->ReadCount = 4;
                q.HandBack(record);
                continue;
            }
            std::memcpy(&producer, data->Data(), sizeof producer);
            std::memcpy(&seq, data->Data() + 4, sizeof seq);
        } else {
            seq = static_cast<int>(static_cast<TStatusBuffer*>(record)->Status);
        }
        auto owned = q.Pop();
        if (owned.get() != record) {
            orderKept = false;
            break;
        }
        if (seq <= lastSeen[producer]) orderKept = false;
        lastSeen[producer] = seq;
        ++received;
        firstReceived.store(true);
    }
    stopClearing.store(true);
    clearer.join();
    for (auto& t : producers) t.join();

    EXPECT_TRUE(orderKept);
    EXPECT_GT(received, 0);
    EXPECT_LE(received, kProducers * kRecords);
    EXPECT_EQ(q.ByteTotal(), 0u);
}

// The dispatch log's pattern: many threads append, several trim at once
// with PopIfOver and one drains with Pop. Nothing is lost or counted twice.
TEST(IOQueue, ManyProducersAndTrimmersKeepTheTotalExact)
{
    TIOQueue q;
    constexpr int kProducers = 4;
    constexpr int kEntries = 2000;
    std::atomic<int> producersLeft{kProducers};
    std::atomic<long> removed{0};
    std::atomic<long> removedBytes{0};

    std::vector<std::thread> threads;
    for (int p = 0; p < kProducers; ++p) {
        threads.emplace_back([&, p] {
            const char bytes[8] = {};
            for (int i = 0; i < kEntries; ++i) {
                const std::uint32_t count = static_cast<std::uint32_t>((i + p) % 8);
                q.Push(std::make_unique<TLogBuffer>(1, 1, 0, 0, bytes, count));
            }
            producersLeft.fetch_sub(1);
        });
    }
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            while (producersLeft.load() > 0) {
                auto record = t == 0 ? q.Pop() : q.PopIfOver(20 * LogEntryCost(4));
                if (record) {
                    removed.fetch_add(1);
                    removedBytes.fetch_add(record->Size());
                } else {
                    std::this_thread::yield();
                }
            }
        });
    }
    for (auto& t : threads) t.join();

    long remainingBytes = 0;
    long remaining = 0;
    const std::uint32_t total = q.ByteTotal();
    while (auto record = q.Pop()) {
        ++remaining;
        remainingBytes += record->Size();
    }
    long expectedBytes = 0;
    for (int p = 0; p < kProducers; ++p)
        for (int i = 0; i < kEntries; ++i) expectedBytes += LogEntryCost(static_cast<std::uint32_t>((i + p) % 8));
    EXPECT_EQ(removed.load() + remaining, static_cast<long>(kProducers) * kEntries);
    EXPECT_EQ(removedBytes.load() + remainingBytes, expectedBytes);
    EXPECT_EQ(static_cast<long>(total), remainingBytes);
    EXPECT_EQ(q.ByteTotal(), 0u);
}
