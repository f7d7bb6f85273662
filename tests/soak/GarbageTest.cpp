// Spoiled replies against the console's port and reply collector, in the
// simulator's ways (random bytes instead of the reply or before it, a reply
// without its end characters, a 64 KiB reply, a reply cut short) and as
// random bytes with end characters inside. Whatever arrived up to an end string is delivered, byte for byte
// and in order; what has no end is ended by the time-out (which discards
// it); and the next plain exchange gets exactly its own reply.
#include <gtest/gtest.h>

#include "ConsoleLink.h"
#include "PumpUntil.h"
#include "ReportedErrors.h"
#include "Wire.h"

#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using tarnell::test::TConsoleLink;
using tarnell::test::TFarEnd;

// The packets the collector cuts from bytes: each ends at the first LF CR
// after its start; a tail without one is not a packet.
std::vector<std::string> PacketsOf(const std::string& bytes)
{
    std::vector<std::string> packets;
    std::size_t start = 0;
    for (std::size_t end; (end = bytes.find("\n\r", start)) != std::string::npos; start = end + 2)
        packets.push_back(bytes.substr(start, end + 2 - start));
    return packets;
}

struct TMode {
    const char* name;
    TFarEnd::TSpoil spoil;
};

// The simulator's ways of spoiling a reply, each for three replies in a row.
TMode Simulated(const char* name)
{
    tarnell::sim::Garbage mode{};
    if (!tarnell::sim::ParseGarbage(name, mode))
        throw std::runtime_error(std::string("no such garbage mode: ") + name);
    auto garbler = std::make_shared<tarnell::sim::Garbler>(mode, 20261207, 1);
    return {name, [garbler](const std::string& reply) { return garbler->Apply(reply); }};
}

// A pseudo-terminal pours a long reply in at once, far faster than a line:
// the input buffer must take what a slow (sanitized) receiver has not read
// yet, as the input queue drops what finds it full, as a driver would.
constexpr std::uint16_t kSlowReceiverInSize = 65535;

// Runs each mode for three replies in a row, then a plain exchange.
void RunModes(const std::vector<TMode>& modes, std::uint16_t inSize = 0)
{
    sio::TLocalMessageQueue queue;
    sio::SetMessageQueue(&queue);
    {
        sio::test::TReportedErrors errors;
        sio::test::TPortDir dir;
        sio::test::TPtyPort pty(dir, 3);
        TFarEnd far(pty, false);
        TConsoleLink link(3, dir.Path() + "/SIO.LOG");
        if (inSize != 0)
            link.SetInSize(inSize);

        for (const TMode& mode : modes) {
            SCOPED_TRACE(mode.name);
            for (int round = 0; round < 3; ++round) {
                far.TakeSent();
                far.SetSpoil(mode.spoil);
                TConsoleLink::TResult r = link.Exchange("STA;0");
                far.SetSpoil(nullptr);
                const std::vector<std::string> expected = PacketsOf(far.TakeSent());
                ASSERT_FALSE(r.hung);
                EXPECT_EQ(r.timedOut, expected.empty());
                std::vector<std::string> got;
                sio::test::PumpUntil(
                    queue,
                    [&] {
                        for (std::string& p : link.TakePackets())
                            got.push_back(std::move(p));
                        // The dispatcher thread has also left the last
                        // event: bytes that came during it and a command sent
                        // before it ends would go to that command's reply.
                        return got.size() >= expected.size() && link.EventsOver();
                    },
                    std::chrono::seconds(10));
                EXPECT_EQ(got, expected);
                if (!expected.empty()) {
                    EXPECT_EQ(r.reply, expected.front());
                }
            }

            // The port goes on: the next exchange gets its own reply and
            // nothing of the garbage.
            TConsoleLink::TResult next = link.Exchange("STA;3");
            EXPECT_FALSE(next.timedOut || next.hung);
            EXPECT_EQ(next.reply, "STA;3:192;\n\r");
            EXPECT_EQ(link.TakePackets(), std::vector<std::string>{"STA;3:192;\n\r"});
        }
        EXPECT_EQ(errors.reported, std::vector<std::string>{});
    }
    sio::SetMessageQueue(nullptr);
}

TEST(Garbage, SpoiledRepliesAreDeliveredAsFarAsTheyEndAndThePortGoesOn)
{
    std::mt19937 random(20261207);
    RunModes({
        Simulated("noise"),
        Simulated("noise-first"),
        Simulated("no-end"),
        Simulated("cut"),
        // Noise with end characters inside: several packets and a tail.
        {"noise with ends",
         [&](const std::string&) {
             std::string noise(1000, '\0');
             for (char& c : noise)
                 c = static_cast<char>(random() & 0xFF);
             noise.replace(300, 2, "\n\r");
             noise.replace(700, 2, "\n\r");
             return noise;
         }},
        // A long reply that takes many reads, well inside what the collector
        // holds.
        {"32 KiB",
         [](const std::string& reply) {
             std::string body = reply.substr(0, reply.size() - 2);
             body.resize(32 * 1024 - 2, '#');
             return body + "\n\r";
         }},
    }, kSlowReceiverInSize);
}

// The simulator's 64 KiB reply, exactly as much as the collector may hold
// (TSioDataPacketManager::HeldLimit), is delivered whole.
TEST(Garbage, TheSimulatorsReplyOf64KiBIsDeliveredWhole)
{
    static_assert(tarnell::sim::kHugeReplySize == 64 * 1024);
    RunModes({Simulated("huge")}, kSlowReceiverInSize);
}

}  // namespace
