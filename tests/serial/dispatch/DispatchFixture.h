// Shared set-up of the dispatcher tests: a local message queue whose main
// thread is the test's thread, a port folder with a pseudo-terminal as COM3,
// and helpers that wait while serving the queue.
#pragma once

#include "PtyPort.h"
#include "PumpUntil.h"
#include "SioMisc.h"
#include "SioPosix.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace sio::test {

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
