// Soak run of the console's exchange: many command frames out and replies
// back through the port and the reply collector, against the simulator's
// gripper bus behind a pseudo-terminal that echoes every frame as a
// two-wire bus does. Every reply must be the one to its own command: stores
// put the exchange's number into a storage place and the recall that follows
// must bring that number back. Measures the memory and the dispatch log's
// entries half-way and at the end: the second half must not grow them beyond
// a bound. Checks that closing the port gives back every
// descriptor and thread it took.
//
//   soak [exchanges]   (default 2000)
#include "ConsoleLink.h"

#include "errors/Exceptions.h"
#include "base/MessageQueue.h"
#include "base/BaseComponent.h"
#include "dispatch/Dispatcher.h"

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

// Resident memory may grow this much in the second half: what a leak of a few
// bytes per exchange passes over in a long run; a flat run grows by well
// under 100 KiB (bench/RESULTS-soak.md).
constexpr long kGrowthBoundKiB = 1024;
// A sanitizer's allocator holds freed memory back for a while, so its
// resident size says nothing about leaks.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kResidentMeaningful = false;
#else
constexpr bool kResidentMeaningful = true;
#endif

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

    long wrong = 0, timeouts = 0, hung = 0, checked = 0, rssHalf = 0, rssEnd = 0, entriesHalf = 0, entriesEnd = 0;
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
                if (i + 1 == total / 2) {
                    rssHalf = ResidentKiB();
                    entriesHalf = static_cast<long>(link.Port().Dispatcher()->Log().EntryCount());
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
    const long growth = rssEnd - rssHalf;
    std::printf("resident memory: %ld KiB at %ld, %ld KiB at %ld, growth %ld KiB (bound %ld KiB%s); log entries held "
                "%ld -> %ld\n",
                rssHalf, total / 2, rssEnd, total, growth, kGrowthBoundKiB,
                kResidentMeaningful ? "" : ", not checked under a sanitizer", entriesHalf, entriesEnd);
    // The log is bounded by its memory cost: entries may vary a little with
    // the length of the frames, never with the number of exchanges.
    const bool memoryFlat = entriesEnd <= entriesHalf + 16 && (!kResidentMeaningful || growth <= kGrowthBoundKiB);
    std::printf("descriptors: %d before opening, %d after closing; threads: %d before, %d after\n", before.descriptors,
                after.descriptors, before.threads, after.threads);
    const bool ok = wrong == 0 && reported == 0 && memoryFlat && after.descriptors == before.descriptors &&
                    after.threads == before.threads;
    std::printf("%s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
