// The dispatcher on a pseudo-terminal: opening, data both ways, buffer
// edges, discarding, the device going away, closing.
#include "DispatchFixture.h"

#include "ReportedErrors.h"
#include "errors/Exceptions.h"
#include "errors/ErrorTexts.h"

#include <gmock/gmock.h>

#include <atomic>
#include <fstream>
#include <thread>
#include <vector>

#include <sys/ioctl.h>

namespace sio::test {
namespace {

TEST_F(DispatchTest, BytesWrittenArriveExactlyOnTheOtherSide)
{
    ASSERT_EQ(Open(), 0);
    EXPECT_TRUE(d->Active());
    std::string block;
    for (int i = 0; i < 3000; ++i)
        block.push_back(static_cast<char>(i * 7));
    ASSERT_EQ(d->WriteBytes("STA;0\n\r", 7), 0);
    ASSERT_EQ(d->WriteBytes(block.data(), static_cast<std::int32_t>(block.size())), 0);
    EXPECT_EQ(pty->ReadExactly(7 + block.size()), "STA;0\n\r" + block);
    EXPECT_TRUE(PumpUntil([&] { return d->OutputUsed() == 0; }));
}

TEST_F(DispatchTest, BlocksKeepTheirOrderWhetherTheDeviceTakesThemAtOnceOrInPieces)
{
    // WriteBytes hands a block to the device itself when nothing is queued
    // before it; the writer sends what the device does not take at once.
    // A device that now refuses, now takes a piece, now takes all mixes the
    // two ways; the far end must see every block whole and in order.
    struct Choppy : sys::TSysCalls {
        std::atomic<int> calls{0};
        ssize_t Write(int fd, const void* buf, std::size_t n) override
        {
            switch (calls++ % 3) {
            case 0: errno = EAGAIN; return -1;
            case 1: return sys::TSysCalls::Write(fd, buf, std::min<std::size_t>(n, 5));
            default: return sys::TSysCalls::Write(fd, buf, n);
            }
        }
    } choppy;
    ASSERT_EQ(Open(256), 0);
    sys::InstallSysCalls(&choppy);
    std::vector<std::string> blocks;
    std::string expected;
    for (int i = 0; i < 300; ++i) {
        blocks.push_back(std::to_string(i) + ":" + std::string(static_cast<std::size_t>(i % 40), static_cast<char>('a' + i % 26)) + ";");
        expected += blocks.back();
    }
    std::string seen;
    std::thread far([&] {
        WaitUntil([&] { return (seen += pty->ReadAvailable()).size() >= expected.size(); },
                  std::chrono::milliseconds(20000));
    });
    for (const std::string& block : blocks) {
        while (d->WriteBytes(block.data(), static_cast<std::int32_t>(block.size())) == ecOutputBufferTooSmall)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    far.join();
    EXPECT_EQ(seen, expected);
    d.reset();
    sys::InstallSysCalls(nullptr);
}

TEST_F(DispatchTest, BytesFromTheOtherSideReachReadBytes)
{
    ASSERT_EQ(Open(), 0);
    std::string data;
    for (int i = 0; i < 5000; ++i)
        data.push_back(static_cast<char>(255 - i % 256));
    ASSERT_EQ(pty->Write(data), data.size());
    // More than the 8192-byte dispatch buffer arrives in two helpings.
    std::string got = ReadAll(data.size());
    EXPECT_EQ(got, data);
    EXPECT_EQ(d->InputCount(), 0);

    std::string more(9000, 'x');
    ASSERT_EQ(pty->Write(more), more.size());
    std::string first = ReadAll(DispatchBufferSize);
    ASSERT_EQ(first.size(), DispatchBufferSize);
    EXPECT_EQ(ReadAll(9000 - DispatchBufferSize), std::string(9000 - DispatchBufferSize, 'x'));
}

TEST_F(DispatchTest, ReadBytesBeyondTheUnreadCountTakesNothing)
{
    ASSERT_EQ(Open(), 0);
    char buf[8] = {};
    EXPECT_EQ(d->ReadBytes(buf, 1), ecBufferIsEmpty);
    pty->Write("abc");
    ASSERT_TRUE(PumpUntil([&] { return d->InputCount() == 3; }));
    EXPECT_EQ(d->ReadBytes(buf, 4), ecBufferIsEmpty);
    EXPECT_EQ(d->InputCount(), 3);
    EXPECT_EQ(d->ReadBytes(buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), "abc");
    EXPECT_EQ(d->ReadBytes(buf, 0), 0);
}

TEST_F(DispatchTest, AFullDispatchBufferLeavesTheDispatcherThreadAsleepUntilThereIsRoom)
{
    ASSERT_EQ(Open(), 0);
    std::string data;
    for (int i = 0; i < 9000; ++i)
        data.push_back(static_cast<char>(i % 253));
    ASSERT_EQ(pty->Write(data), data.size());
    ASSERT_TRUE(PumpUntil([&] { return d->InputCount() == static_cast<std::int32_t>(DispatchBufferSize); }));
    // Every cycle of the dispatcher thread that finds the buffer full logs
    // one entry: a thread that sleeps until a read makes room (or 50 ms
    // pass) adds a few dozen in a second, one that spins thousands.
    d->StartLog(0);
    PumpUntil([] { return false; }, std::chrono::milliseconds(1000));
    EXPECT_LT(d->Log().EntryCount(), 100u);
    // Reading makes room, and the bytes that waited follow in order.
    std::string got = ReadAll(DispatchBufferSize);
    got += ReadAll(9000 - DispatchBufferSize);
    EXPECT_TRUE(got == data);
}

TEST_F(DispatchTest, InputThatNobodyReadsStopsAtInSizeAndTheRestIsAReceiveOverflow)
{
    constexpr std::uint16_t inSize = 1024;
    d = std::make_unique<TSioPosixDispatcher>(nullptr);
    ASSERT_EQ(d->OpenDevice(ComName(3), 9600, NOPARITY, 8, 1, inSize, 4096, 0), 0);
    std::string data;
    for (int i = 0; i < 64 * 1024; ++i)
        data.push_back(static_cast<char>(i % 251));
    ASSERT_EQ(pty->Write(data), data.size());
    // Nobody reads: the dispatch buffer fills, then the input queue up to
    // InSize; what comes after is lost, as a driver loses it.
    ASSERT_TRUE(PumpUntil([&] { return d->TakeLineError() == leBuffer; }));
    // The reader goes on draining the device; the pseudo-terminal's own
    // buffers hand it the rest within moments.
    PumpUntil([] { return false; }, std::chrono::milliseconds(1000));
    int pending = -1;
    ASSERT_EQ(::ioctl(d->Fd(), FIONREAD, &pending), 0);
    ASSERT_EQ(pending, 0);
    std::string got;
    while (PumpUntil([&] { return d->InputCount() > 0; }, std::chrono::milliseconds(1000))) {
        std::string chunk(static_cast<std::size_t>(d->InputCount()), '\0');
        ASSERT_EQ(d->ReadBytes(chunk.data(), static_cast<std::int32_t>(chunk.size())),
                  static_cast<std::int32_t>(chunk.size()));
        got += chunk;
    }
    // The dispatch buffer, the queue, and the one read the reader may still
    // have had in hand when the device ran dry.
    EXPECT_GE(got.size(), DispatchBufferSize);
    EXPECT_LE(got.size(), DispatchBufferSize + inSize + ReadRecordSize);
    // What was kept arrives in order: the oldest first, nothing made up.
    EXPECT_EQ(got.substr(0, inSize), data.substr(0, inSize));
    std::size_t at = 0;
    for (char c : got) {
        while (at < data.size() && data[at] != c)
            ++at;
        ASSERT_LT(at, data.size()) << "a byte out of order";
        ++at;
    }
}

TEST_F(DispatchTest, WriteBytesTakesTheWholeBlockOrNothing)
{
    // A writer that cannot write keeps the ring as WriteBytes left it.
    struct Stall : sys::TSysCalls {
        ssize_t Write(int, const void*, std::size_t) override
        {
            errno = EAGAIN;
            return -1;
        }
        int Poll(pollfd* fds, nfds_t n, int timeout) override
        {
            // Never room on the device; the wake fd still works.
            for (nfds_t i = 0; i < n; ++i)
                if (fds[i].events & POLLOUT)
                    fds[i].events = 0;
            return sys::TSysCalls::Poll(fds, n, timeout);
        }
    } stall;
    ASSERT_EQ(Open(64), 0);
    sys::InstallSysCalls(&stall);
    EXPECT_EQ(d->WriteBytes("", 0), 0);
    ASSERT_EQ(d->WriteBytes(std::string(10, 'a').data(), 10), 0);
    // The writer takes the block out of the ring at once; wait for that.
    ASSERT_TRUE(PumpUntil([&] { return d->OutputUsed() == 0; }));
    ASSERT_EQ(d->WriteBytes(std::string(64, 'b').data(), 64), 0);
    // The writer is busy with the first block, so the ring stays full.
    EXPECT_EQ(d->OutputFree(), 0);
    EXPECT_EQ(d->WriteBytes("c", 1), ecOutputBufferTooSmall);
    EXPECT_EQ(d->OutputUsed(), 64);
    EXPECT_EQ(d->DiscardOutput(), 0);
    EXPECT_EQ(d->OutputUsed(), 0);
    EXPECT_EQ(d->WriteBytes(std::string(65, 'd').data(), 65), ecOutputBufferTooSmall);
    EXPECT_EQ(d->OutputUsed(), 0);
    d.reset();
    sys::InstallSysCalls(nullptr);
}

TEST_F(DispatchTest, DiscardOutputStopsAWriterThatTheOtherSideDoesNotRead)
{
    ASSERT_EQ(Open(4096), 0);
    // Far more than a pseudo-terminal buffers, with nobody reading: the
    // writer ends up waiting for room with a block in hand.
    std::string chunk(4096, 'z');
    int written = 0;
    for (int i = 0; i < 200 && written < 60; ++i) {
        if (d->OutputFree() == 4096 && d->WriteBytes(chunk.data(), 4096) == 0)
            ++written;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_LT(written, 60) << "the pseudo-terminal never filled up";
    EXPECT_EQ(d->DiscardOutput(), 0);
    EXPECT_EQ(d->OutputUsed(), 0);
    // The writer is free again: new bytes go out once the far end reads.
    ASSERT_EQ(d->WriteBytes("END", 3), 0);
    std::string seen;
    EXPECT_TRUE(WaitUntil([&] {
        seen += pty->ReadAvailable();
        return seen.size() >= 3 && seen.compare(seen.size() - 3, 3, "END") == 0;
    }));
}

TEST_F(DispatchTest, DiscardOutputAbandonsABlockThatIsStillGoingOut)
{
    // A device that takes one byte per write, slowly: the writer is in the
    // middle of a block, making progress, when the discard comes.
    struct Trickle : sys::TSysCalls {
        std::atomic<int> olds{0};
        ssize_t Write(int fd, const void* buf, std::size_t) override
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            ssize_t n = sys::TSysCalls::Write(fd, buf, 1);
            if (n == 1 && *static_cast<const char*>(buf) == 'o')
                ++olds;
            return n;
        }
    } trickle;
    ASSERT_EQ(Open(4096), 0);
    sys::InstallSysCalls(&trickle);
    ASSERT_EQ(d->WriteBytes(std::string(4096, 'o').data(), 4096), 0);
    ASSERT_TRUE(WaitUntil([&] { return trickle.olds.load() >= 10; }));
    EXPECT_EQ(d->DiscardOutput(), 0);
    const int sentBeforeReturn = trickle.olds.load();
    ASSERT_EQ(d->WriteBytes("END", 3), 0);
    std::string seen;
    EXPECT_TRUE(WaitUntil([&] {
        seen += pty->ReadAvailable();
        return seen.size() >= 3 && seen.compare(seen.size() - 3, 3, "END") == 0;
    }));
    // The rest of the block was dropped, and nothing of it followed the
    // discard.
    EXPECT_LT(trickle.olds.load(), 4096);
    EXPECT_EQ(trickle.olds.load(), sentBeforeReturn);
    d.reset();
    sys::InstallSysCalls(nullptr);
}

TEST_F(DispatchTest, DiscardInputDropsWhatHasArrived)
{
    ASSERT_EQ(Open(), 0);
    pty->Write("old bytes");
    ASSERT_TRUE(PumpUntil([&] { return d->InputCount() == 9; }));
    EXPECT_EQ(d->DiscardInput(), 0);
    EXPECT_EQ(d->InputCount(), 0);
    pty->Write("new");
    EXPECT_EQ(ReadAll(3), "new");
}

TEST_F(DispatchTest, ASecondOpenOfThePortIsRefused)
{
    ASSERT_EQ(Open(), 0);
    TSioPosixDispatcher second(nullptr);
    EXPECT_EQ(second.OpenDevice(ComName(3), 9600, 0, 8, 1, 4096, 4096, 0), -5);
    EXPECT_FALSE(second.Active());
    EXPECT_FALSE(second.DeviceIsOpen());
    // The first one still works.
    ASSERT_EQ(d->WriteBytes("ok", 2), 0);
    EXPECT_EQ(pty->ReadExactly(2), "ok");
}

TEST_F(DispatchTest, OpenFailuresCarryTheSystemError)
{
    TSioPosixDispatcher missing(nullptr);
    EXPECT_EQ(missing.OpenDevice(ComName(9), 9600, 0, 8, 1, 4096, 4096, 0), -2);
    // Not a tty at all.
    std::string file = dir.Entry(5);
    { std::ofstream(file) << "x"; }
    TSioPosixDispatcher notTty(nullptr);
    EXPECT_EQ(notTty.OpenDevice(ComName(5), 9600, 0, 8, 1, 4096, 4096, 0), -ENOTTY);
    EXPECT_FALSE(notTty.Active());
}

// A dispatcher made when the process has no descriptors left has no wake
// events: its opening fails with "too many files" instead of starting
// threads that could never be woken.
TEST_F(DispatchTest, NoDescriptorsForTheWakeEventsFailsTheOpening)
{
    struct TNoDescriptors : sio::sys::TSysCalls {
        int EventFd(unsigned, int) override
        {
            errno = EMFILE;
            return -1;
        }
    } none;
    sio::sys::TSysCalls* previous = sio::sys::InstallSysCalls(&none);
    auto starved = std::make_unique<TSioPosixDispatcher>(nullptr);
    sio::sys::InstallSysCalls(previous);

    EXPECT_EQ(starved->OpenDevice(ComName(3), 9600, 0, 8, 1, 4096, 4096, 0), -4);
    EXPECT_FALSE(starved->Active());
    EXPECT_FALSE(starved->DeviceIsOpen());
    // The port was not taken.
    ASSERT_EQ(Open(), 0);
}

TEST_F(DispatchTest, TheOtherSideClosingEndsTheThreadsWithLineError10Once)
{
    ASSERT_EQ(Open(), 0);
    ASSERT_EQ(d->WriteBytes("x", 1), 0);
    pty->Write("partial");
    ASSERT_TRUE(PumpUntil([&] { return d->InputCount() == 7; }));
    pty->CloseMaster();
    ASSERT_TRUE(PumpUntil([&] { return !d->Active(); }));
    EXPECT_EQ(d->RunningThreads(), 0);
    EXPECT_EQ(d->TakeLineError(), leDeviceFailed);
    EXPECT_EQ(d->TakeLineError(), leNone);
    // A write after the failure fails; it neither hangs nor crashes.
    EXPECT_LT(d->WriteBytes("y", 1), 0);
    d->CloseDevice();
    EXPECT_FALSE(d->DeviceIsOpen());
}

// A procedure handler that fails on the line error of a lost device.
std::atomic<std::thread::id> g_availThread;
std::atomic<std::thread::id> g_statusThread;
void FailOnLineError(std::uint32_t msg, std::uintptr_t, std::intptr_t)
{
    if (msg == WM_SIO_AVAIL)
        g_availThread = std::this_thread::get_id();
    if (msg == WM_SIO_STATUS) {
        g_statusThread = std::this_thread::get_id();
        throw std::runtime_error("handler failed");
    }
}

// The loss reaches the handlers from the thread that delivers everything
// else, and a handler's exception goes to the error report, not to the end
// of the process.
TEST_F(DispatchTest, ALossIsDeliveredByTheDispatcherThreadAndAFailingHandlerIsReported)
{
    TReportedErrors errors;
    ASSERT_EQ(Open(), 0);
    d->AddProcedureHandler(&FailOnLineError);
    d->SetAvailLength(1);
    std::int32_t line = d->AddStatusTrigger(stLine);
    ASSERT_EQ(d->SetStatusTrigger(line, 0x1F, true), 0);
    pty->Write("x");
    ASSERT_TRUE(PumpUntil([&] { return g_availThread.load() != std::thread::id(); }));
    pty->CloseMaster();
    ASSERT_TRUE(PumpUntil([&] { return !d->Active(); }));
    EXPECT_EQ(g_statusThread.load(), g_availThread.load());
    EXPECT_EQ(errors.reported, std::vector<std::string>{"handler failed"});
    EXPECT_TRUE(d->DeviceLost());
    d->RemoveProcedureHandler(&FailOnLineError);
}

TEST_F(DispatchTest, ADeviceThatFailsAtOnceEndsTheThreadsCleanly)
{
    // The adapter is pulled out as the port opens: the first read fails
    // while the other threads are still being started.
    struct Gone : sys::TSysCalls {
        std::atomic<int> device{-1};
        int Open(const char* path, int flags) override
        {
            const int fd = sys::TSysCalls::Open(path, flags);
            device = fd;
            return fd;
        }
        // A pulled adapter shows a hang-up at once (the reader sleeps
        // without a time limit until its device or its wake has something).
        int Poll(pollfd* fds, nfds_t n, int timeout) override
        {
            for (nfds_t i = 0; i < n; ++i)
                if (fds[i].fd == device.load() && (fds[i].events & POLLIN)) {
                    const int r = sys::TSysCalls::Poll(fds, n, 0);
                    if (r >= 0 && fds[i].revents == 0) {
                        fds[i].revents = POLLHUP;
                        return r + 1;
                    }
                    return r;
                }
            return sys::TSysCalls::Poll(fds, n, timeout);
        }
        ssize_t Read(int, void*, std::size_t) override
        {
            errno = EIO;
            return -1;
        }
    } gone;
    sys::InstallSysCalls(&gone);
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(Open(), 0);
        ASSERT_TRUE(PumpUntil([&] { return !d->Active(); }));
        EXPECT_EQ(d->TakeLineError(), leDeviceFailed);
        d.reset();
    }
    sys::InstallSysCalls(nullptr);
}

TEST_F(DispatchTest, ClosingWhileDataFlowsBothWays)
{
    ASSERT_EQ(Open(), 0);
    std::atomic<bool> stop{false};
    int master = pty->Master();
    std::thread far([&] {
        std::string blob(512, 'q');
        char sink[4096];
        while (!stop.load()) {
            (void)::write(master, blob.data(), blob.size());
            while (::read(master, sink, sizeof sink) > 0) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::string out(1000, 'w');
    for (int i = 0; i < 20; ++i) {
        d->WriteBytes(out.data(), 1000);
        char buf[512];
        std::int32_t n = std::min(d->InputCount(), 512);
        if (n > 0) {
            EXPECT_EQ(d->ReadBytes(buf, n), n);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    d->CloseDevice();
    EXPECT_FALSE(d->Active());
    EXPECT_EQ(d->RunningThreads(), 0);
    d.reset();
    stop = true;
    far.join();
}

TEST_F(DispatchTest, CloseAndReopen200TimesLeaksNeitherDescriptorsNorThreads)
{
    ASSERT_EQ(Open(), 0);
    d.reset();
    const int fds = OpenDescriptorCount();
    const int threads = ThreadCount();
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(Open(), 0) << "round " << i;
        if (i % 50 == 0) {
            pty->Write("ping");
            ASSERT_EQ(ReadAll(4), "ping");
        }
        d.reset();
    }
    EXPECT_EQ(OpenDescriptorCount(), fds);
    EXPECT_EQ(ThreadCount(), threads);
    EXPECT_EQ(PortListCount(), 0);
}

TEST_F(DispatchTest, StartingTheThreadsTwiceIsAProgrammingError)
{
    ASSERT_EQ(Open(), 0);
    EXPECT_THROW(d->StartThreads(), ESioException);
}

TEST_F(DispatchTest, PortListSlotsAreReused)
{
    auto a = std::make_unique<TSioPosixDispatcher>(nullptr);
    auto b = std::make_unique<TSioPosixDispatcher>(nullptr);
    EXPECT_EQ(a->PortIndex(), 0);
    EXPECT_EQ(b->PortIndex(), 1);
    EXPECT_EQ(PortListAt(1), b.get());
    a.reset();
    EXPECT_EQ(PortListAt(0), nullptr);
    EXPECT_EQ(PortListCount(), 2);
    TSioPosixDispatcher c(nullptr);
    EXPECT_EQ(c.PortIndex(), 0);
    b.reset();
    EXPECT_EQ(PortListCount(), 1);
}

// The order of a dispatcher's locks is checked where each is taken, so that
// a change that could deadlock stops at once in the debug (sanitizer) runs.
TEST(LockOrderTest, ALockTakenAfterALaterOneOfTheSameDispatcherStopsTheProgram)
{
#ifdef NDEBUG
    GTEST_SKIP() << "the lock order is checked in debug builds only (presets asan and tsan)";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    int one = 0, other = 0;
    TRankedLock dispatch(&one, TLockRank::Dispatch), main(&one, TLockRank::Main), output(&one, TLockRank::Output);
    TRankedLock otherDispatch(&other, TLockRank::Dispatch);
    {
        // In order; again while later ones are held (re-entrant); another
        // dispatcher's lock is no part of this one's order.
        std::lock_guard d(dispatch), m(main), o(output);
        std::lock_guard d2(dispatch), m2(main);
        std::lock_guard x(otherDispatch);
    }
    {
        std::lock_guard o(output);  // released above: nothing later is held
    }
    std::lock_guard m(main);
    EXPECT_DEATH({ std::lock_guard d(dispatch); }, "the dispatch lock taken while the main lock is held");
    EXPECT_DEATH(
        {
            std::lock_guard o(output);
            std::lock_guard m2(main);  // held already: allowed
            std::lock_guard d(dispatch);
        },
        "the dispatch lock taken while the (main|output) lock is held");
#endif
}

// A device kind's own locks come after the base's three, in their order,
// and the descriptor's lock of a Linux device last of all.
TEST(LockOrderTest, ADeviceKindsLocksComeAfterTheBasesAndTheDescriptorLockLast)
{
#ifdef NDEBUG
    GTEST_SKIP() << "the lock order is checked in debug builds only (presets asan and tsan)";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    int one = 0;
    TRankedLock main(&one, TLockRank::Main), output(&one, TLockRank::Output);
    TRankedLock control(&one, TLockRank::Control), ack(&one, TLockRank::Ack);
    TRankedLock negotiation(&one, TLockRank::Negotiation), device(&one, TLockRank::Device);
    {
        std::lock_guard m(main), o(output), c(control), a(ack), n(negotiation), f(device);
    }
    EXPECT_DEATH(
        {
            std::lock_guard c(control);
            std::lock_guard o(output);
        },
        "the output lock taken while the control lock is held");
    EXPECT_DEATH(
        {
            std::lock_guard n(negotiation);
            std::lock_guard a(ack);
        },
        "the ack lock taken while the negotiation lock is held");
    EXPECT_DEATH(
        {
            std::lock_guard f(device);
            std::lock_guard m(main);
        },
        "the main lock taken while the device lock is held");
#endif
}

}  // namespace
}  // namespace sio::test
