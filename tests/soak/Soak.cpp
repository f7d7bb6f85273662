// Soak run of the console's exchange: many command frames out and replies
// back through the port and the reply collector, against the simulator's
// gripper bus behind a pseudo-terminal that echoes every frame as a
// two-wire bus does. Every reply must be the one to its own command: stores
// put the exchange's number into a storage place and the recall that follows
// must bring that number back. Reports the memory at 10 000 exchanges and at
// the end, and checks that closing the port gives back every descriptor and
// thread it took.
//
//   soak [exchanges]   (default 2000)
#include "ConsoleLink.h"

#include "SioExcept.h"
#include "SioMessageQueue.h"
#include "SioMisc.h"
#include "SioUser.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <string>

#include <unistd.h>

namespace {

using tarnell::test::TConsoleLink;
using tarnell::test::TFarEnd;

long ResidentKiB()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

struct TCounts {
    int descriptors;
    int threads;
};

TCounts Counts() { return {sio::test::OpenDescriptorCount(), sio::test::ThreadCount()}; }

}  // namespace

int main(int argc, char** argv)
{
    const long total = argc > 1 ? std::atol(argv[1]) : 2000;
    if (total < 2) {
        std::fprintf(stderr, "usage: soak [exchanges >= 2]\n");
        return 2;
    }
    sio::TLocalMessageQueue queue;
    sio::SetMessageQueue(&queue);
    long reported = 0;
    sio::SetExceptionReporter([&](std::exception_ptr e) {
        ++reported;
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& x) {
            std::fprintf(stderr, "reported: %s\n", x.what());
        }
    });

    long wrong = 0, timeouts = 0, hung = 0, checked = 0, rssAt10k = -1, rssEnd = 0, entriesAt10k = -1, entriesEnd = 0;
    TCounts before{}, after{};
    std::chrono::duration<double> elapsed{};
    {
        sio::test::TPortDir dir;
        sio::test::TPtyPort pty(dir, 3);
        TFarEnd far(pty, true);
        far.SetRecording(false);
        before = Counts();
        {
            TConsoleLink link(3, dir.Path() + "/SIO.LOG");
            const auto start = std::chrono::steady_clock::now();
            for (long i = 0; i < total; ++i) {
                // Pairs: a store of this pair's number into a place, then
                // the recall of that place.
                const long pair = i / 2;
                const int place = 1 + static_cast<int>(pair % 8);
                const std::string grip = std::to_string(pair), provision = std::to_string(pair % 997);
                std::string command, expected;
                if (i % 2 == 0) {
                    command = tarnell::protocol::StoreCommand(0, place, grip, provision, "7");
                    expected = "A0;OK\n\r";
                } else {
                    command = tarnell::protocol::RecallCommand(0, place);
                    expected = "A0;" + std::to_string(place) + ";" + grip + ";" + provision + ";7\n\r";
                }
                TConsoleLink::TResult r = link.Exchange(command);
                const auto packets = link.TakePackets();
                if (r.hung || r.timedOut || r.reply != expected || packets.size() != 1) {
                    hung += r.hung;
                    timeouts += r.timedOut;
                    ++wrong;
                    if (wrong <= 10)
                        std::fprintf(stderr, "exchange %ld (%s): %s, reply \"%s\", %zu packets\n", i, command.c_str(),
                                     r.hung ? "hung" : r.timedOut ? "timed out" : "wrong", r.reply.c_str(),
                                     packets.size());
                } else {
                    ++checked;
                }
                if (i + 1 == 10000) {
                    rssAt10k = ResidentKiB();
                    entriesAt10k = static_cast<long>(link.Port().Dispatcher()->Log().EntryCount());
                }
            }
            elapsed = std::chrono::steady_clock::now() - start;
            rssEnd = ResidentKiB();
            entriesEnd = static_cast<long>(link.Port().Dispatcher()->Log().EntryCount());
        }
        // The port has closed with the link; its threads go and its release
        // messages are served.
        sio::ServeMessagesUntil(
            [&] {
                after = Counts();
                return after.descriptors <= before.descriptors && after.threads <= before.threads;
            },
            5000);
    }
    sio::SetExceptionReporter(nullptr);
    sio::SetMessageQueue(nullptr);

    std::printf("exchanges: %ld, replies checked: %ld, wrong: %ld (timed out %ld, hung %ld), errors reported: %ld\n",
                total, checked, wrong, timeouts, hung, reported);
    std::printf("time: %.1f s, %.0f us per exchange\n", elapsed.count(), 1e6 * elapsed.count() / total);
    if (rssAt10k >= 0)
        std::printf("resident memory: %ld KiB at 10000, %ld KiB at %ld, growth %ld KiB; log entries held %ld -> %ld\n",
                    rssAt10k, rssEnd, total, rssEnd - rssAt10k, entriesAt10k, entriesEnd);
    else
        std::printf("resident memory: %ld KiB at %ld; log entries held %ld\n", rssEnd, total, entriesEnd);
    std::printf("descriptors: %d before opening, %d after closing; threads: %d before, %d after\n", before.descriptors,
                after.descriptors, before.threads, after.threads);
    const bool ok = wrong == 0 && reported == 0 && after.descriptors == before.descriptors &&
                    after.threads == before.threads;
    std::printf("%s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
