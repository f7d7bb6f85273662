// Shared set-up of the dispatcher tests: a local message queue whose main
// thread is the test's thread, a port folder with a pseudo-terminal as COM3,
// and helpers that wait while serving the queue.
#pragma once

#include "PtyPort.h"
#include "PumpUntil.h"
#include "base/BaseComponent.h"
#include "devices/posix/PosixDispatcher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace sio::test {

// Installed for its lifetime, it stands in for the test's queue (and then
// hands the place back): a test overrides what it wants to watch.
class TQueueStandIn : public IMessageQueue {
public:
    explicit TQueueStandIn(TLocalMessageQueue& queue) : q_(queue) { SetMessageQueue(this); }
    ~TQueueStandIn() override { SetMessageQueue(&q_); }
    TQueueStandIn(const TQueueStandIn&) = delete;
    TQueueStandIn& operator=(const TQueueStandIn&) = delete;

    bool PostMessage(TMessageTarget* t, std::uint32_t m, std::uintptr_t w, std::intptr_t l) override
    {
        return q_.PostMessage(t, m, w, l);
    }
    bool SendMessageTimeout(TMessageTarget* t, std::uint32_t m, std::uintptr_t w, std::intptr_t l,
                            std::uint32_t timeoutMs, std::intptr_t* result) override
    {
        return q_.SendMessageTimeout(t, m, w, l, timeoutMs, result);
    }
    void RunOnMainThread(const std::function<void()>& fn) override { q_.RunOnMainThread(fn); }
    bool ProcessOneMessage() override { return q_.ProcessOneMessage(); }
    bool WaitAndProcess(std::uint32_t timeoutMs) override { return q_.WaitAndProcess(timeoutMs); }
    bool WaitAndProcessOwn(std::uint32_t timeoutMs) override { return q_.WaitAndProcessOwn(timeoutMs); }
    void DiscardMessages(TMessageTarget* t) override { q_.DiscardMessages(t); }
    bool IsMainThread() const override { return q_.IsMainThread(); }

private:
    TLocalMessageQueue& q_;
};

class DispatchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetMessageQueue(&queue);
        pty = std::make_unique<TPtyPort>(dir, 3);
    }
    void TearDown() override
    {
        d.reset();
        UseRealClock();
        SetMessageQueue(nullptr);
    }

    // Opens COM3 at 9600 8N1 with the default queue sizes.
    std::int32_t Open(std::uint16_t outSize = 4096, std::uint8_t parity = NOPARITY)
    {
        d = std::make_unique<TSioPosixDispatcher>(nullptr);
        return d->OpenDevice(ComName(3), 9600, parity, 8, 1, 4096, outSize, 0);
    }

    // Waits for pred while serving the message queue, up to the deadline.
    bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds deadline = kDeadline)
    {
        return sio::test::PumpUntil(queue, pred, deadline);
    }

    std::string ReadAll(std::size_t count)
    {
        std::string out(count, '\0');
        if (!PumpUntil([&] { return d->InputCount() >= static_cast<std::int32_t>(count); }))
            return {};
        if (d->ReadBytes(out.data(), static_cast<std::int32_t>(count)) != static_cast<std::int32_t>(count))
            return {};
        return out;
    }

    TLocalMessageQueue queue;
    TPortDir dir;
    std::unique_ptr<TPtyPort> pty;
    std::unique_ptr<TSioPosixDispatcher> d;
};

}  // namespace sio::test
