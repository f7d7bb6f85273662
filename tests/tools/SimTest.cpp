#include "GripperBus.h"
#include "GripperProtocol.h"
#include "Wire.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using tarnell::sim::Clock;
using tarnell::sim::FrameSplitter;
using tarnell::sim::GripperBus;

// The replies read by the console's own rules, at any address up to 99.
TEST(GripperBus, AnswersInTheFormsTheConsoleParses)
{
    namespace proto = tarnell::protocol;
    GripperBus bus;
    bus.AddGripper(3, "KV0150");
    bus.AddGripper(99, "KV0030");

    std::string sta = bus.Answer("STA;3");
    EXPECT_TRUE(sta.ends_with(proto::kFrameEnd));
    EXPECT_TRUE(proto::IsStatusExchange(proto::Frame("STA;3"), sta));
    EXPECT_EQ(proto::StatusValue(sta), 192);
    EXPECT_EQ(sta, "STA;3:192;\n\r");

    auto model = proto::DetectModel(proto::Frame("VER;3"), bus.Answer("VER;3"));
    ASSERT_TRUE(model);
    EXPECT_EQ(model->typeIndex, 1);
    model = proto::DetectModel(proto::Frame("VER;99"), bus.Answer("VER;99"));
    ASSERT_TRUE(model);
    EXPECT_EQ(model->typeIndex, 2);

    auto recall = proto::ParseRecall(bus.Answer("RCL;99;2"));
    ASSERT_TRUE(recall);
    EXPECT_EQ(recall->place, 2);
    EXPECT_EQ(recall->grip + "/" + recall->provision + "/" + recall->force, "150/30/15");
    EXPECT_FALSE(proto::IsEcho(bus.Answer("STO;99;2;1;2;3"), proto::Frame("STO;99;2;1;2;3")));

    EXPECT_TRUE(bus.Answer("STA;4").empty()) << "nobody answers at an unused address";
    EXPECT_TRUE(bus.Answer("STA;199").empty());
    EXPECT_TRUE(bus.Answer("STA").empty());
    EXPECT_TRUE(bus.Answer("STA;x").empty());
}

// Every reply names the address it comes from where the tool checks it, so
// that a late answer of one gripper is never taken for another's.
TEST(GripperBus, EveryReplyCarriesItsAddressInAFormTheToolChecks)
{
    namespace proto = tarnell::protocol;
    GripperBus bus;
    bus.AddGripper(3, "KV0050");
    bus.AddGripper(42, "KV0150");
    for (int a : {3, 42}) {
        const std::string n = std::to_string(a);
        for (const std::string& command : {"STA;" + n, "VER;" + n, "RCL;" + n + ";2", "RCL;" + n + ";9",
                                           "STO;" + n + ";1;1;2;3", "MOV;" + n + ";100"}) {
            EXPECT_EQ(proto::CommandAddress(command), a) << command;
            EXPECT_EQ(proto::ReplyAddress(bus.Answer(command)), a) << command << " -> " << bus.Answer(command);
        }
    }
    // What cannot be checked is not guessed at: a reply whose head was cut,
    // an echoed status command, free text.
    EXPECT_EQ(proto::ReplyAddress("2;\n\r"), std::nullopt);
    EXPECT_EQ(proto::ReplyAddress("STA;3\n\r"), std::nullopt);
    EXPECT_EQ(proto::ReplyAddress("ALARM;1"), std::nullopt);
    EXPECT_EQ(proto::ReplyAddress("STA;1234:1;"), std::nullopt);
    EXPECT_EQ(proto::CommandAddress("hello"), std::nullopt);
    EXPECT_EQ(proto::CommandAddress("STA;#ADR"), std::nullopt);
}

TEST(GripperBus, StoreThenRecallGivesTheStoredPlace)
{
    GripperBus bus;
    bus.AddGripper(0, "KV0050");
    EXPECT_EQ(bus.Answer("STO;0;2;250;30;10"), "A0;OK\n\r");
    EXPECT_EQ(bus.Answer("RCL;0;2"), "A0;2;250;30;10\n\r");
    EXPECT_EQ(bus.Answer("STO;0;8;100;200;3"), "A0;OK\n\r");
    EXPECT_EQ(bus.Answer("RCL;0;8"), "A0;8;100;200;3\n\r");

    // Malformed stores are refused and change nothing.
    EXPECT_EQ(bus.Answer("STO;0;2;1;2"), "E0;ERR\n\r");
    EXPECT_EQ(bus.Answer("STO;0;9;1;2;3"), "E0;ERR\n\r");
    EXPECT_EQ(bus.Answer("STO;0;2;1;2;3;4"), "E0;ERR\n\r");
    EXPECT_EQ(bus.Answer("STO;0;2;1;x;3"), "E0;ERR\n\r");
    EXPECT_EQ(bus.Answer("RCL;0;2"), "A0;2;250;30;10\n\r");
    EXPECT_EQ(bus.Answer("RCL;0;0"), "E0;ERR\n\r");
}

TEST(GripperBus, AChangingStatusStepsPerAnswerOrByTheClockAndASlowGripperIsSlowAlone)
{
    GripperBus bus;
    bus.AddGripper(1, "KV0050");
    bus.AddGripper(2, "KV0050");
    EXPECT_FALSE(bus.SetStatusSteps(5, {1}));
    ASSERT_TRUE(bus.SetStatusSteps(1, {0, 64, 192}));
    std::vector<std::string> seen;
    for (int i = 0; i < 4; ++i)
        seen.push_back(bus.Answer("STA;1"));
    EXPECT_EQ(seen, (std::vector<std::string>{"STA;1:0;\n\r", "STA;1:64;\n\r", "STA;1:192;\n\r", "STA;1:0;\n\r"}));
    EXPECT_EQ(bus.Answer("STA;2"), "STA;2:192;\n\r");

    bus.SetStatusPeriod(100);
    bus.SetElapsed(250);
    EXPECT_EQ(bus.Answer("STA;1"), "STA;1:192;\n\r");
    EXPECT_EQ(bus.Answer("STA;1"), "STA;1:192;\n\r") << "held for the period, however often asked";
    bus.SetElapsed(300);
    EXPECT_EQ(bus.Answer("STA;1"), "STA;1:0;\n\r");

    ASSERT_TRUE(bus.SetDelay(2, 400));
    EXPECT_EQ(bus.DelayFor("VER;2"), 400);
    EXPECT_EQ(bus.DelayFor("VER;1"), 0);
    EXPECT_EQ(bus.DelayFor("VER;7"), 0);
}

TEST(FrameSplitter, CutsAtLineFeedWhateverThePieces)
{
    FrameSplitter s;
    EXPECT_TRUE(s.Feed("STA;", 4).empty());
    auto frames = s.Feed("0\n\rVER;0\n", 9);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], "STA;0");
    EXPECT_EQ(frames[1], "VER;0");
    frames = s.Feed("\r\n", 2);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], "");
}

// A frame is cut at LF whatever the pieces it arrives in, and is heard once
// its characters, the CR after the LF included, have been on the line.
TEST(WireReceiver, CutsFramesAtLineFeedAndHearsThemAfterTheirTimeOnTheLine)
{
    const Clock::duration c = tarnell::sim::CharacterTime(9600, 8, true, 1);
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::microseconds>(c).count(), 1145);  // 11 bits

    tarnell::sim::WireReceiver rx(c);
    std::deque<tarnell::sim::HeardFrame> heard;
    const Clock::time_point t0{};
    rx.Feed("STA;", 4, t0, heard);
    EXPECT_TRUE(heard.empty());
    rx.Feed("0\n\rVER;0\n", 9, t0, heard);  // read at once, yet the line carries them one after another
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[0].text, "STA;0");
    EXPECT_EQ(heard[0].heardAt, t0 + 7 * c);
    EXPECT_EQ(heard[1].text, "VER;0");
    EXPECT_EQ(heard[1].heardAt, t0 + 13 * c);

    const Clock::time_point t1 = t0 + 1s;  // the line was idle meanwhile
    rx.Feed("\r\n", 2, t1, heard);
    ASSERT_EQ(heard.size(), 3u);
    EXPECT_EQ(heard[1].heardAt, t1 + c) << "the CR completes the frame before it";
    EXPECT_EQ(heard[2].text, "");
    EXPECT_EQ(heard[2].heardAt, t1 + 2 * c);
}

// Paced bytes leave only when their time on the line is over, a block starts
// when the line is free again, and the echo goes out at once.
TEST(Transmitter, HandsBytesOverOnlyWhenTheLineHasCarriedThem)
{
    const Clock::duration c = 1ms;
    tarnell::sim::Transmitter tx(c, SIZE_MAX);
    const Clock::time_point t0{};
    tx.Queue("E\n\r", t0, false);
    tx.Queue("ABCD", t0, true);
    tx.Queue("XY", t0 + 1ms, true);  // asked for while ABCD still occupies the line

    EXPECT_EQ(tx.Due(t0), "E\n\r");
    tx.Sent(3);
    EXPECT_EQ(tx.Due(t0), "");
    EXPECT_EQ(tx.NextDue(), t0 + 1ms);
    EXPECT_EQ(tx.Due(t0 + 2500us), "AB");
    tx.Sent(1);  // a short write: the rest stays due
    EXPECT_EQ(tx.Due(t0 + 2500us), "B");
    tx.Sent(1);
    EXPECT_EQ(tx.Due(t0 + 10ms), "CD");
    tx.Sent(2);
    EXPECT_EQ(tx.Due(t0 + 4ms), "") << "XY starts when ABCD has left the line, at 4 ms";
    EXPECT_EQ(tx.Due(t0 + 5ms), "X");
    tx.Sent(1);
    EXPECT_EQ(tx.NextDue(), t0 + 6ms);
    tx.Sent(tx.Due(t0 + 6ms).size());
    EXPECT_TRUE(tx.Empty());
}

// The simulator as a program, on a pseudo-terminal linked as COM7 in a
// folder. It is started the way a user starts it; its first line on stdout
// names the pseudo-terminal, and the link is in place once it is printed.
class SimProcess {
public:
    SimProcess(const std::string& dir, std::vector<std::string> options)
    {
        std::vector<std::string> args = {TARNELL_SIM_PATH, "--dir", dir, "--com", "7"};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);

        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        std::string line;
        auto deadline = Clock::now() + 5s;
        while (rc == 0 && line.find('\n') == std::string::npos && Clock::now() < deadline) {
            pollfd p{out[0], POLLIN, 0};
            char buf[256];
            ssize_t n = ::poll(&p, 1, 100) > 0 ? ::read(out[0], buf, sizeof buf) : -1;
            if (n == 0)
                break;
            if (n > 0)
                line.append(buf, static_cast<std::size_t>(n));
        }
        ::close(out[0]);
        auto open = line.find('('), close = line.find(')');
        if (rc != 0 || open == std::string::npos || close == std::string::npos)
            throw std::runtime_error("tarnell-sim did not start: " + line);
        pts_ = line.substr(open + 1, close - open - 1);
    }
    ~SimProcess()
    {
        if (pid_ > 0)
            Stop(SIGKILL);
    }
    // Sends the signal and returns the exit status.
    int Stop(int signal)
    {
        ::kill(pid_, signal);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }
    const std::string& Pts() const { return pts_; }

private:
    pid_t pid_ = -1;
    std::string pts_;
};

std::string LinkTarget(const std::string& link)
{
    char buf[PATH_MAX];
    ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    return n < 0 ? std::string() : std::string(buf, static_cast<std::size_t>(n));
}

// Writes `send` to the port and reads until what came ends with `end` and is
// at least `atLeast` long, or 5 s have passed.
std::string Exchange(int fd, const std::string& send, const std::string& end, std::size_t atLeast = 0)
{
    if (!send.empty() && ::write(fd, send.data(), send.size()) != static_cast<ssize_t>(send.size()))
        return "write failed";
    std::string got;
    auto deadline = Clock::now() + 5s;
    while (!(got.size() >= std::max(atLeast, end.size()) && got.ends_with(end)) && Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        char buf[4096];
        if (::poll(&p, 1, 100) > 0) {
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0)
                got.append(buf, static_cast<std::size_t>(n));
        }
    }
    return got;
}

class SimulatorProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dirTemplate[] = "/tmp/tarnell-sim-test-XXXXXX";
        ASSERT_NE(::mkdtemp(dirTemplate), nullptr);
        dir_ = dirTemplate;
        link_ = dir_ + "/COM7";
    }
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    int OpenLink()
    {
        int fd = ::open(link_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_GE(fd, 0) << link_;
        return fd;
    }

    std::string dir_;
    std::string link_;
};

TEST_F(SimulatorProgram, AnswersOverItsPseudoTerminalAndRemovesItsLinkAtTheEnd)
{
    SimProcess sim(dir_, {"--echo"});
    EXPECT_EQ(LinkTarget(link_), sim.Pts());
    int fd = OpenLink();
    ASSERT_GE(fd, 0);
    const std::string want = "STA;0\n\rSTA;0:192;\n\r";  // echo, then the reply
    EXPECT_EQ(Exchange(fd, "STA;0\n\r", "STA;0:192;\n\r", want.size()), want);
    ::close(fd);

    int status = sim.Stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(::access(link_.c_str(), F_OK), 0) << "the link is removed at exit";
}

// Only the addressed gripper answers, every character takes its time on the
// line both ways, and the log shows both directions while the bus runs.
TEST_F(SimulatorProgram, OnlyTheAddressedGripperAnswersAtLineSpeedAndTheLogShowsBothWays)
{
    const std::string log = dir_ + "/wire.log";
    SimProcess sim(dir_, {"--address", "42:KV0030", "--address", "7", "--log", log});
    int fd = OpenLink();
    ASSERT_GE(fd, 0);

    const std::string reply = "VER;42:KV0030;V1.07\n\r";
    ASSERT_EQ(::write(fd, "STA;5\n\r", 7), 7);  // nobody at 5: nothing comes before the reply below
    const auto sent = Clock::now();
    EXPECT_EQ(Exchange(fd, "VER;42\n\r", "\n\r"), reply);
    const auto took = Clock::now() - sent;
    const auto wire = 29 * tarnell::sim::CharacterTime(9600, 8, true, 1);  // 8 out, 21 back: 33 ms
    EXPECT_GE(took, wire) << "a reply may come late, never before its characters could have crossed the line";
    ::close(fd);

    // Lines "SECONDS rx|tx BYTES"; the log is read while the simulator runs.
    std::string rx, tx;
    double rxVerAt = -1, lastTxAt = -1;
    auto readLog = [&] {
        rx.clear();
        tx.clear();
        std::ifstream in(log);
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            double at = -1;
            std::string dir, bytes;
            fields >> at >> dir;
            std::getline(fields >> std::ws, bytes);
            ASSERT_TRUE(at >= 0 && (dir == "rx" || dir == "tx")) << line;
            (dir == "rx" ? rx : tx) += bytes;
            if (dir == "rx" && bytes.find("VER") != std::string::npos)
                rxVerAt = at;
            if (dir == "tx")
                lastTxAt = at;
        }
    };
    for (auto end = Clock::now() + 5s; Clock::now() < end; std::this_thread::sleep_for(10ms)) {
        readLog();
        if (tx.ends_with("\\n\\r"))
            break;
    }
    EXPECT_EQ(rx, "STA;5\\n\\rVER;42\\n\\r");
    EXPECT_EQ(tx, "VER;42:KV0030;V1.07\\n\\r");
    EXPECT_GE(lastTxAt - rxVerAt, std::chrono::duration<double>(wire).count() - 2e-6)  // stamps are in µs
        << "the simulator's own account of the line time";
}

// Each way of spoiling a reply gives what it says. Only every second reply is
// spoiled, so the spoiled one sits between two good ones and its end is known.
TEST_F(SimulatorProgram, SpoilsRepliesAsAskedAndRepeatablyForASeed)
{
    const std::string first = "VER;0:KV0050;V1.07\n\r", good = "STA;0:192;", last = "A0;1;100;20;10\n\r";
    auto spoiled = [&](const char* mode, const char* seed) {
        SimProcess sim(dir_, {"--no-wire-timing", "--garbage", mode, "--garbage-every", "2", "--seed", seed});
        int fd = OpenLink();
        std::string got = Exchange(fd, "VER;0\n\rSTA;0\n\rRCL;0;1\n\r", last, first.size() + last.size());
        ::close(fd);
        EXPECT_TRUE(got.starts_with(first) && got.ends_with(last)) << mode << ": " << got.size() << " bytes";
        return got.size() < first.size() + last.size() ? std::string("?")
                                                       : got.substr(first.size(), got.size() - first.size() - last.size());
    };

    std::string noise = spoiled("noise", "5");
    EXPECT_GE(noise.size(), 8u);
    EXPECT_LE(noise.size(), 64u);
    EXPECT_EQ(noise.find(good), std::string::npos);
    EXPECT_EQ(spoiled("noise", "5"), noise) << "the same seed gives the same bytes";
    EXPECT_NE(spoiled("noise", "6"), noise);

    std::string noiseFirst = spoiled("noise-first", "5");
    EXPECT_TRUE(noiseFirst.size() >= good.size() + 10 && noiseFirst.ends_with(good + "\n\r")) << noiseFirst;

    EXPECT_EQ(spoiled("no-end", "5"), good);

    std::string huge = spoiled("huge", "5");
    EXPECT_EQ(huge.size(), tarnell::sim::kHugeReplySize);
    EXPECT_TRUE(huge.starts_with(good));
    EXPECT_EQ(huge.find("\n\r"), huge.size() - 2) << "one reply, ended only at the very end";

    std::string cut = spoiled("cut", "5");
    EXPECT_FALSE(cut.empty());
    EXPECT_LT(cut.size(), good.size());
    EXPECT_TRUE(good.starts_with(cut)) << cut;
}

// Another simulator started at the same link takes it over; the one it
// replaced leaves the link alone when it ends; a link left by a killed one is
// replaced. A console that closes and reopens the port is served again.
TEST_F(SimulatorProgram, RestartAtTheSameLinkTakesItOver)
{
    auto a = std::make_unique<SimProcess>(dir_, std::vector<std::string>{"--no-wire-timing"});
    auto b = std::make_unique<SimProcess>(dir_, std::vector<std::string>{"--no-wire-timing", "--address", "9"});
    EXPECT_EQ(LinkTarget(link_), b->Pts());
    int status = a->Stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(LinkTarget(link_), b->Pts()) << "the replaced simulator removed the link of its successor";

    for (int session = 0; session < 2; ++session) {
        int fd = OpenLink();
        EXPECT_EQ(Exchange(fd, "STA;9\n\r", "\n\r"), "STA;9:192;\n\r") << "session " << session;
        ::close(fd);
    }

    b->Stop(SIGKILL);  // leaves its link behind, pointing nowhere
    EXPECT_FALSE(LinkTarget(link_).empty());
    SimProcess c(dir_, {"--no-wire-timing", "--address", "11"});
    EXPECT_EQ(LinkTarget(link_), c.Pts());
    int fd = OpenLink();
    EXPECT_EQ(Exchange(fd, "STA;11\n\r", "\n\r"), "STA;11:192;\n\r");
    ::close(fd);
}

}  // namespace
