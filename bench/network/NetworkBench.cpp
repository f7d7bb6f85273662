// The console's exchange (flush, frame out, reply collected by the packet
// collector) on three ports in one run: the simulator's pseudo-terminal
// directly, and the same simulator behind a real ser2net on 127.0.0.1 with
// an RFC 2217 accepter and with a raw TCP accepter. The three run in
// interleaved rounds, so that a busy spell of the shared machine hits all
// alike; each network figure is given as a ratio to the direct one.
//
//   sio_network_bench [exchanges per round, default 400] [--wire]
//
// --wire: the simulator times every character at 9600 8E1, as a real bus;
// without it characters pass at once and the figures show only what the
// transport costs.
#include "Percentile.h"
#include "ConsoleLink.h"
#include "PtyPort.h"
#include "Ser2net.h"

#include "base/MessageQueue.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct TStack {
    const char* name;
    int com;
    std::unique_ptr<tarnell::test::TConsoleLink> link;
    std::vector<double> us;
    int failures = 0;
};

using tarnell::bench::Percentile;

}  // namespace

int main(int argc, char** argv)
{
    int perRound = 400;
    bool wire = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--wire") == 0)
            wire = true;
        else
            perRound = std::max(1, std::atoi(argv[i]));
    }
    constexpr int kRounds = 5;

    sio::TLocalMessageQueue queue;
    sio::SetMessageQueue(&queue);
    {
        sio::test::TPortDir dir;
        sio::test::TProcess sims[3];
        std::string ptys[3];
        for (int i = 0; i < 3; ++i) {
            std::vector<std::string> args = {TARNELL_SIM_PATH, "--dir", dir.Path(), "--com", std::to_string(i + 1)};
            if (!wire)
                args.push_back("--no-wire-timing");
            sims[i].Start(args, dir.Path() + "/sim.out");
            const std::string link = dir.Entry(i + 1);
            if (!sio::test::AwaitSign([&] { return fs::exists(link); })) {
                std::fprintf(stderr, "tarnell-sim did not start\n");
                return 1;
            }
            ptys[i] = fs::canonical(link).string();
        }
        sio::test::TSer2net server(dir.Path(), {{"telnet(rfc2217)", ptys[1]}, {"tcp", ptys[2]}});
        fs::create_symlink(server.Url(0), dir.Entry(5));
        fs::create_symlink(server.Url(1), dir.Entry(6));

        TStack stacks[3] = {{"pseudo-terminal directly", 1, nullptr, {}},
                            {"ser2net, RFC 2217", 5, nullptr, {}},
                            {"ser2net, raw TCP", 6, nullptr, {}}};
        for (TStack& s : stacks) {
            s.link = std::make_unique<tarnell::test::TConsoleLink>(s.com, "");
            // Opened and settled before the clock runs.
            for (int i = 0; i < 20; ++i)
                s.link->Exchange("STA;0");
        }
        const auto start = Clock::now();
        for (int round = 0; round < kRounds; ++round) {
            for (TStack& s : stacks) {
                for (int i = 0; i < perRound; ++i) {
                    const auto t0 = Clock::now();
                    const auto r = s.link->Exchange("STA;0");
                    const auto t1 = Clock::now();
                    if (r.timedOut || r.hung || r.reply != "STA;0:192;\n\r") {
                        ++s.failures;
                        std::fprintf(stderr, "%s: %s\n", s.name,
                                     r.hung ? "hung" : r.timedOut ? "timed out" : ("reply " + r.reply).c_str());
                    }
                    s.us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
                }
            }
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        for (TStack& s : stacks)
            s.link.reset();

        const double base = Percentile(stacks[0].us, 0.5);
        std::printf("Exchange STA;0 -> STA;0:192; (%s), %d interleaved rounds of %d, %.1f s\n\n",
                    wire ? "9600 8E1 wire timing" : "no wire timing", kRounds, perRound, seconds);
        std::printf("| Port | Median (us) | 99th percentile (us) | Median ratio to the pseudo-terminal | Failed |\n");
        std::printf("|---|---|---|---|---|\n");
        for (TStack& s : stacks)
            std::printf("| %s | %.0f | %.0f | %.2f | %d |\n", s.name, Percentile(s.us, 0.5), Percentile(s.us, 0.99),
                        base > 0 ? Percentile(s.us, 0.5) / base : 0.0, s.failures);
        double load[3] = {0, 0, 0};
        if (FILE* f = std::fopen("/proc/loadavg", "r")) {
            if (std::fscanf(f, "%lf %lf %lf", &load[0], &load[1], &load[2]) != 3)
                load[0] = load[1] = load[2] = 0;
            std::fclose(f);
        }
        std::printf("\nload average %.1f / %.1f / %.1f\n", load[0], load[1], load[2]);
    }
    sio::SetMessageQueue(nullptr);
    return 0;
}
