// The time of one exchange through this platform's local dispatcher: a frame
// written with WriteBytes until its whole reply has reached a method handler
// on the dispatcher thread. Run against tarnell-sim --no-wire-timing, so the
// wire costs nothing and the figure is the dispatcher's and the system's.
// compare.sh runs the Linux build natively and the Windows build under Wine
// in one run and prints both rows with their ratio.
//   sio_exchange_bench PORT-NUMBER [EXCHANGES]
#include "port/DispatcherFactory.h"
#include "base/BaseComponent.h"
#include "port/ComPort.h"
#include "selection/PortSelection.h"
#include "dispatch/Dispatcher.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Collects the reply on the dispatcher thread and wakes the main thread at
// its end (LF CR).
struct TReplySink {
    sio::TSioBaseDispatcher* d = nullptr;
    std::mutex lock;
    std::condition_variable done;
    std::string got;
    bool complete = false;

    void HandleNotification(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t)
    {
        if (msg != sio::WM_SIO_AVAIL)
            return;
        char buf[sio::DispatchBufferSize];
        auto n = static_cast<std::int32_t>(wParam);
        if (d->ReadBytes(buf, n) != n)
            return;
        std::lock_guard l(lock);
        got.append(buf, static_cast<std::size_t>(n));
        if (got.size() >= 2 && got.compare(got.size() - 2, 2, "\n\r") == 0) {
            complete = true;
            done.notify_one();
        }
    }
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: sio_exchange_bench PORT-NUMBER [EXCHANGES]\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const int count = argc > 2 ? std::max(10, std::atoi(argv[2])) : 2000;
    sio::TLocalMessageQueue queue;
    sio::SetMessageQueue(&queue);
    int status = 0;
    {
        auto d = sio::CreateDispatcherFor(sio::dlWin32, nullptr);
        if (d->OpenDevice(sio::PortDeviceName(port), 9600, sio::NOPARITY, 8, 1, 4096, 4096, 0) != 0) {
            std::fprintf(stderr, "sio_exchange_bench: cannot open COM%d\n", port);
            sio::SetMessageQueue(nullptr);
            return 1;
        }
        TReplySink sink;
        sink.d = d.get();
        d->AddMethodHandler(sio::NotifyMethod<TReplySink, &TReplySink::HandleNotification>(&sink));
        d->SetAvailLength(1);
        const std::string frame = "STA;0\n\r";
        std::vector<double> us;
        us.reserve(static_cast<std::size_t>(count));
        for (int i = 0; i < count + 50; ++i) {  // the first 50 warm up
            {
                std::lock_guard l(sink.lock);
                sink.got.clear();
                sink.complete = false;
            }
            const auto t0 = Clock::now();
            d->WriteBytes(frame.data(), static_cast<std::int32_t>(frame.size()));
            std::unique_lock l(sink.lock);
            if (!sink.done.wait_for(l, std::chrono::seconds(10), [&] { return sink.complete; })) {
                std::fprintf(stderr, "sio_exchange_bench: no reply to exchange %d\n", i);
                status = 1;
                break;
            }
            if (i >= 50)
                us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        }
        d->CloseDevice();
        if (status == 0) {
            std::sort(us.begin(), us.end());
            std::printf("%zu %.0f %.0f\n", us.size(), us[us.size() / 2], us[us.size() * 99 / 100]);
        }
    }
    sio::SetMessageQueue(nullptr);
    return status;
}
