// Measures, on a pseudo-terminal linked as COM3:
//  - bytes per second received through the dispatcher: a far-end thread
//    writes as fast as the pty takes it, a method handler takes every avail
//    notification's bytes with ReadBytes;
//  - bytes per second sent with WriteBytes and read at the far end;
//  - the time from a byte written at the far end to the handler;
//  - the CPU time an open dispatcher uses while the line is idle.
// Usage: sio_dispatch_bench [megabytes=32] [idle seconds=5]
#include "PtyPort.h"
#include "base/BaseComponent.h"
#include "devices/posix/PosixDispatcher.h"

#include <algorithm>
#include <atomic>
#include <vector>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include <sys/resource.h>

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Sink {
    sio::TSioBaseDispatcher* d = nullptr;
    std::atomic<std::uint64_t> taken{0};
    std::atomic<std::uint64_t> notes{0};
    void HandleNotification(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t)
    {
        if (msg != sio::WM_SIO_AVAIL)
            return;
        static thread_local char buf[sio::DispatchBufferSize];
        auto n = static_cast<std::int32_t>(wParam);
        if (d->ReadBytes(buf, n) == n)
            taken += static_cast<std::uint64_t>(n);
        ++notes;
    }
};

}  // namespace

int main(int argc, char** argv)
{
    const std::uint64_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 32;
    const int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 5;
    const std::uint64_t total = megabytes << 20;
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    sio::TLocalMessageQueue queue;
    sio::SetMessageQueue(&queue);
    sio::test::TPortDir dir;
    sio::test::TPtyPort pty(dir, 3);

    {
        sio::TSioPosixDispatcher d(nullptr);
        if (d.OpenDevice(sio::test::ComName(3), 115200, sio::NOPARITY, 8, 1, 4096, 4096, 0) != 0) {
            std::fprintf(stderr, "open failed\n");
            return 1;
        }
        Sink sink;
        sink.d = &d;
        d.AddMethodHandler(sio::NotifyMethod<Sink, &Sink::HandleNotification>(&sink));
        d.SetAvailLength(1);

        // Receive.
        const double cpu0 = CpuSeconds();
        auto t0 = Clock::now();
        std::thread far([&] {
            std::string block(65536, 'r');
            std::uint64_t sent = 0;
            while (sent < total)
                sent += pty.Write(block.data(), std::min<std::uint64_t>(block.size(), total - sent));
        });
        while (sink.taken.load() < total)
            queue.WaitAndProcess(5);
        auto t1 = Clock::now();
        far.join();
        const double cpu1 = CpuSeconds();
        double secs = std::chrono::duration<double>(t1 - t0).count();
        std::printf("receive: %llu bytes in %.3f s = %.1f MB/s, %llu avail notifications, CPU %.2f s\n",
                    static_cast<unsigned long long>(total), secs, static_cast<double>(total) / secs / 1e6,
                    static_cast<unsigned long long>(sink.notes.load()), cpu1 - cpu0);

        // Send.
        std::atomic<std::uint64_t> got{0};
        std::thread reader([&] {
            while (got.load() < total) {
                std::string s = pty.ReadExactly(1 << 20, std::chrono::milliseconds(50));
                got += s.size();
            }
        });
        std::string chunk(4096, 's');
        t0 = Clock::now();
        std::uint64_t queued = 0;
        while (queued < total) {
            if (d.WriteBytes(chunk.data(), 4096) == 0)
                queued += 4096;
            else
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        reader.join();
        t1 = Clock::now();
        secs = std::chrono::duration<double>(t1 - t0).count();
        std::printf("send:    %llu bytes in %.3f s = %.1f MB/s (4096-byte output ring)\n",
                    static_cast<unsigned long long>(total), secs, static_cast<double>(total) / secs / 1e6);

        // Latency: one byte written at the far end until the handler has it.
        std::vector<double> samples;
        for (int i = 0; i < 200; ++i) {
            const std::uint64_t before = sink.taken.load();
            auto s0 = Clock::now();
            pty.Write("L", 1);
            while (sink.taken.load() == before)
                std::this_thread::yield();
            samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - s0).count());
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        std::sort(samples.begin(), samples.end());
        std::printf("latency: far-end write to method handler: median %.0f us, 99th percentile %.0f us, max %.0f us\n",
                    samples[samples.size() / 2], samples[samples.size() * 99 / 100], samples.back());

        // Idle.
        const double idle0 = CpuSeconds();
        t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
        t1 = Clock::now();
        const double idle1 = CpuSeconds();
        secs = std::chrono::duration<double>(t1 - t0).count();
        std::printf("idle:    %.4f s CPU in %.1f s = %.3f %% of one core\n", idle1 - idle0, secs,
                    100.0 * (idle1 - idle0) / secs);
        d.RemoveMethodHandler(sio::NotifyMethod<Sink, &Sink::HandleNotification>(&sink));
    }
    sio::SetMessageQueue(nullptr);
    return 0;
}
