#include "GripperBus.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

using tarnell::sim::FrameSplitter;
using tarnell::sim::GripperBus;

TEST(GripperBus, AnswersInTheFormsTheConsoleParses)
{
    GripperBus bus;
    bus.AddGripper(3, "KV0150");

    // Status: the number after the first ':' up to the next ';'.
    std::string sta = bus.Answer("STA;3");
    ASSERT_EQ(sta.substr(sta.size() - 2), "\n\r");
    auto colon = sta.find(':');
    ASSERT_NE(colon, std::string::npos);
    EXPECT_EQ(sta.substr(colon + 1, sta.find(';', colon) - colon - 1), "192");

    EXPECT_NE(bus.Answer("VER;3").find("KV0150"), std::string::npos);
    EXPECT_TRUE(bus.Answer("STA;4").empty()) << "nobody answers at an unused address";
    EXPECT_TRUE(bus.Answer("STA").empty());
    EXPECT_TRUE(bus.Answer("STA;x").empty());
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

// The simulator as a program: started on a pseudo-terminal linked into a
// folder, it answers a frame written to the link.
TEST(SimulatorProgram, AnswersOverItsPseudoTerminal)
{
    char dirTemplate[] = "/tmp/tarnell-sim-test-XXXXXX";
    ASSERT_NE(::mkdtemp(dirTemplate), nullptr);
    std::string dir = dirTemplate;

    std::string path = TARNELL_SIM_PATH;
    std::string dirArg = dir;
    std::vector<char*> args = {path.data(), const_cast<char*>("--dir"), dirArg.data(),
                               const_cast<char*>("--com"), const_cast<char*>("7"),
                               const_cast<char*>("--echo"), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, path.c_str(), nullptr, nullptr, args.data(), environ), 0);

    std::string link = dir + "/COM7";
    int fd = -1;
    for (int i = 0; i < 100 && fd < 0; ++i) {
        fd = ::open(link.c_str(), O_RDWR | O_NOCTTY);
        if (fd < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_GE(fd, 0) << "the simulator did not link " << link;

    ASSERT_EQ(::write(fd, "STA;0\n\r", 7), 7);
    std::string got;
    const std::string want = "STA;0\n\rSTA;0:192;\n\r";  // echo, then the reply
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (got.size() < want.size() && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0) {
            char buf[64];
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0)
                got.append(buf, static_cast<std::size_t>(n));
        }
    }
    EXPECT_EQ(got, want);

    ::close(fd);
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(::access(link.c_str(), F_OK), 0) << "the link is removed at exit";
    ::rmdir(dir.c_str());
}

}  // namespace
