// tarnell-cli end to end: the real program against the real simulator over
// pseudo-terminals, linked into a folder of the test's own that
// SIO_PORT_DIR names for both.
#include "FakeGripper.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct TRun {
    int exitCode = -1;
    std::string out;
    std::string err;
    double seconds = 0;
};

// A scratch folder: the port map of the simulators and the tool, and the
// working folder of the tool; removed with everything in it.
class TScratch {
public:
    TScratch()
    {
        char name[] = "/tmp/tarnell-cli-test-XXXXXX";
        path_ = ::mkdtemp(name);
    }
    ~TScratch() { fs::remove_all(path_); }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

std::vector<char*> Argv(std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

// Reads both pipes to their end, then reaps the child.
TRun Collect(pid_t pid, int outFd, int errFd, std::chrono::steady_clock::time_point start)
{
    TRun r;
    pollfd p[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        if (::poll(p, 2, -1) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (p[i].fd < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[4096];
            ssize_t n = ::read(p[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? r.out : r.err).append(buf, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(p[i].fd);
                p[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

// Starts a program in cwd with SIO_PORT_DIR set; its output goes to pipes.
pid_t Spawn(std::vector<std::string> args, const std::string& cwd, const std::string& portDir, int& outFd,
            int& errFd)
{
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        if (::chdir(cwd.c_str()) != 0)
            ::_exit(126);
        ::setenv("SIO_PORT_DIR", portDir.c_str(), 1);
        std::vector<char*> argv = Argv(args);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    outFd = out[0];
    errFd = err[0];
    return pid;
}

// A simulated gripper bus on COMn of the scratch folder, running until the
// object goes (or Kill()).
class TSim {
public:
    TSim(const TScratch& dir, int com, std::vector<std::string> options)
    {
        // Characters are handed on at once: the tests have nothing to learn
        // from 1.15 ms per character.
        std::vector<std::string> args = {TARNELL_SIM_PATH, "--dir", dir.Path(), "--com", std::to_string(com),
                                         "--no-wire-timing"};
        args.insert(args.end(), options.begin(), options.end());
        pid_ = Spawn(args, dir.Path(), dir.Path(), out_, err_);
        // It prints its first line once the link is in place.
        std::string line;
        char c;
        while (line.find('\n') == std::string::npos && ::read(out_, &c, 1) == 1)
            line += c;
        if (line.find("gripper bus on") == std::string::npos)
            throw std::runtime_error("simulator did not start: " + line);
    }
    ~TSim() { Kill(SIGTERM); }
    void Kill(int sig)
    {
        if (pid_ <= 0)
            return;
        ::kill(pid_, sig);
        ::waitpid(pid_, nullptr, 0);
        ::close(out_);
        ::close(err_);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
};

class Cli : public ::testing::Test {
protected:
    TScratch dir;

    TRun Run(std::vector<std::string> args)
    {
        args.insert(args.begin(), TARNELL_CLI_PATH);
        int out, err;
        auto start = std::chrono::steady_clock::now();
        pid_t pid = Spawn(args, dir.Path(), dir.Path(), out, err);
        return Collect(pid, out, err, start);
    }
    // Starts the tool and leaves it running; Finish collects it.
    pid_t Start(std::vector<std::string> args, int& out, int& err)
    {
        args.insert(args.begin(), TARNELL_CLI_PATH);
        return Spawn(args, dir.Path(), dir.Path(), out, err);
    }
    std::string Slurp(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static int Lines(const std::string& s)
    {
        int n = 0;
        for (std::size_t i = 0; (i = s.find("\r\n", i)) != std::string::npos; i += 2)
            ++n;
        return n;
    }
};

// One line on stderr that names the port.
#define EXPECT_ONE_LINE_NAMING(run, port)                                                     \
    do {                                                                                      \
        EXPECT_NE((run).err.find(port), std::string::npos) << (run).err;                      \
        EXPECT_EQ((run).err.find('\n'), (run).err.size() - 1) << "one line: " << (run).err; \
    } while (0)

TEST_F(Cli, ReadoutStoreReadoutGivesTheSameFileByteForByte)
{
    TSim a(dir, 1, {"--address", "0:KV0050"});
    TSim b(dir, 2, {"--address", "7:KV0150", "--echo"});  // a two-wire bus: the tool hears its own frames

    // Values that differ from the simulator's factory contents; several
    // texts, each after the previous answer.
    TRun sent = Run({"--port", "COM1", "send", "STO;#ADR;2;480;35;44", "STO;#ADR;8;12;34;3", "STA;#ADR"});
    ASSERT_EQ(sent.exitCode, 0) << sent.err;
    EXPECT_EQ(sent.out, "A0;OK\nA0;OK\nSTA;0:192;\n");

    ASSERT_EQ(Run({"--port", "COM1", "readout", "a.gri"}).exitCode, 0);
    const std::string fileA = Slurp(dir / "a.gri");
    EXPECT_EQ(Lines(fileA), 23);
    EXPECT_EQ(fileA.substr(fileA.size() - 2), "\r\n");
    EXPECT_NE(fileA.find("\r\n480\r\n35\r\n44\r\n"), std::string::npos) << fileA;
    EXPECT_EQ(fileA.substr(fileA.size() - 8), "12\r\n34\r\n");

    TRun store = Run({"--port", "COM2", "--address", "7", "store", "a.gri"});  // type asked with VER
    EXPECT_EQ(store.exitCode, 0) << store.err;
    EXPECT_NE(store.out.find("sent STO;7;2;480;35;44"), std::string::npos) << store.out;
    EXPECT_NE(store.out.find("sent STO;7;8;12;34;3"), std::string::npos) << store.out;

    TRun readB = Run({"--port", "COM2", "--address", "7", "--json", "readout", "b.gri"});
    ASSERT_EQ(readB.exitCode, 0) << readB.err;
    EXPECT_EQ(Slurp(dir / "b.gri"), fileA);
    json j = json::parse(readB.out);
    EXPECT_EQ(j["command"], "readout");
    EXPECT_EQ(j["places"][1]["grip"], "480");
    EXPECT_EQ(j["places"][1]["force"], "44");
    EXPECT_EQ(j["places"][7]["provision"], "34");

    TRun status = Run({"--port", "COM2", "--address", "7", "--json", "status"});
    ASSERT_EQ(status.exitCode, 0) << status.err;
    j = json::parse(status.out);
    EXPECT_EQ(j["status"], 192);
    EXPECT_EQ(j["bits"]["Ready"], true);
    EXPECT_EQ(j["bits"]["Referenced"], true);
    EXPECT_EQ(j["bits"]["VCC Err."], false);

    // No dispatch log in the working folder without --log.
    EXPECT_FALSE(fs::exists(dir / "SIO.LOG"));
}

TEST_F(Cli, AStoreSendsNothingOfARefusedFileAndReportsAPlaceReadBackOtherwise)
{
    TSim sim(dir, 1, {"--address", "0:KV0030", "--log", dir / "wire.log"});  // 30 mm: positions up to 300
    ASSERT_EQ(Run({"--port", "COM1", "readout", "before.gri"}).exitCode, 0);
    std::string lines;
    for (int i = 0; i < 23; ++i)
        lines += (i == 3 ? "400" : i % 3 == 2 ? "10" : "100") + std::string("\r\n");  // place 2 grip 400
    std::ofstream(dir / "wide.gri", std::ios::binary) << lines;

    // The type given: refused before the port is even opened.
    TRun given = Run({"--port", "COM1", "--log", "given.log", "store", "--type", "30", "wide.gri"});
    EXPECT_EQ(given.exitCode, 5);
    EXPECT_ONE_LINE_NAMING(given, "COM1");
    EXPECT_NE(given.err.find("line 4"), std::string::npos) << given.err;
    EXPECT_FALSE(fs::exists(dir / "given.log")) << "the port was opened";

    // The type asked: 400 is fine for 100 mm, not for what the gripper is.
    TRun asked = Run({"--port", "COM1", "--log", "asked.log", "store", "wide.gri"});
    EXPECT_EQ(asked.exitCode, 5) << asked.err;
    EXPECT_NE(asked.err.find("30 mm"), std::string::npos) << asked.err;
    EXPECT_NE(Slurp(dir / "asked.log").find("VER;0"), std::string::npos) << "the dispatch log goes to --log";
    EXPECT_EQ(Slurp(dir / "asked.log").find("STO;"), std::string::npos);

    ASSERT_EQ(Run({"--port", "COM1", "readout", "after.gri"}).exitCode, 0);
    EXPECT_EQ(Slurp(dir / "after.gri"), Slurp(dir / "before.gri"));
    EXPECT_EQ(Slurp(dir / "wire.log").find("STO;"), std::string::npos) << "no store reached the bus";

    // Not a parameter file at all.
    std::ofstream(dir / "text.gri", std::ios::binary) << "hello\r\n";
    EXPECT_EQ(Run({"--port", "COM1", "store", "--type", "50", "text.gri"}).exitCode, 5);

    // A gripper that reads place 2 back otherwise than it was stored.
    tarnell::test::TFakeGripper spoiling(dir / "COM2");
    spoiling.SetAnswer([&](const std::string& frame) {
        return frame == "RCL;0;2" ? std::string("A0;2;201;30;15\n\r") : spoiling.DefaultAnswer(frame);
    });
    std::string two = "100\r\n20\r\n10\r\n200\r\n30\r\n15\r\n";
    for (int i = 0; i < 17; ++i)
        two += "\r\n";
    std::ofstream(dir / "two.gri", std::ios::binary) << two;
    TRun differs = Run({"--port", "COM2", "--json", "store", "--type", "50", "two.gri"});
    EXPECT_EQ(differs.exitCode, 4) << differs.err;
    EXPECT_ONE_LINE_NAMING(differs, "place 2 differs");
    json j = json::parse(differs.out);
    EXPECT_EQ(j["sent"].size(), 2u);
    ASSERT_EQ(j["differences"].size(), 1u);
    EXPECT_EQ(j["differences"][0]["place"], 2);
    EXPECT_EQ(j["differences"][0]["sent"], "200;30;15");
}

TEST_F(Cli, ScanListsExactlyTheGrippersThatAnswerWithTheirTypes)
{
    TSim sim(dir, 3, {"--address", "3:KV0050", "--address", "12:KV0150"});
    TRun scan = Run({"--port", "COM3", "--json", "scan", "--from", "0", "--to", "15", "--ticks", "2"});
    ASSERT_EQ(scan.exitCode, 0) << scan.err;
    json j = json::parse(scan.out);
    ASSERT_EQ(j["grippers"].size(), 2u) << scan.out;
    EXPECT_EQ(j["grippers"][0]["address"], 3);
    EXPECT_EQ(j["grippers"][0]["type"], "50 mm");
    EXPECT_EQ(j["grippers"][1]["address"], 12);
    EXPECT_EQ(j["grippers"][1]["type"], "100 mm");
    EXPECT_EQ(j["grippers"][1]["status"], 192);
    EXPECT_NE(scan.err.find("scanning address 15"), std::string::npos) << "progress on stderr";

    // Ctrl-C in the middle ends the scan with the port closed as usual, so
    // the dispatch log is written.
    int out, err;
    auto start = std::chrono::steady_clock::now();
    pid_t pid = Start({"--port", "COM3", "--log", "scan.log", "scan", "--from", "20", "--to", "99"}, out, err);
    ::usleep(1000 * 1000);
    ::kill(pid, SIGINT);
    TRun stopped = Collect(pid, out, err, start);
    EXPECT_EQ(stopped.exitCode, 130) << stopped.err;
    EXPECT_NE(Slurp(dir / "scan.log").find("STA;2"), std::string::npos);
}

TEST_F(Cli, ASilentGripperIsNoAnswerAndAMissingPortIsUsage)
{
    TSim sim(dir, 1, {"--silent", "--echo"});
    TRun silent = Run({"--port", "COM1", "status"});
    EXPECT_EQ(silent.exitCode, 3);
    EXPECT_ONE_LINE_NAMING(silent, "COM1");
    EXPECT_NE(silent.err.find("STA;0"), std::string::npos) << silent.err;
    // The collector's 25 ticks (1.4 s), not a limit of the tool's own.
    RecordProperty("silent_seconds", std::to_string(silent.seconds));
    std::printf("silent gripper: exit %d after %.2f s\n", silent.exitCode, silent.seconds);

    TRun none = Run({"status"});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_NE(none.err.find("ports present: COM1 ("), std::string::npos) << none.err;

    TRun gone = Run({"--port", "COM9", "status"});
    EXPECT_EQ(gone.exitCode, 2);
    EXPECT_ONE_LINE_NAMING(gone, "COM9");
}

TEST_F(Cli, ASimulatorKilledMidReadoutIsALostPort)
{
    TSim sim(dir, 4, {"--delay", "300", "--log", dir / "wire.log"});
    int out, err;
    auto start = std::chrono::steady_clock::now();
    pid_t pid = Start({"--port", "COM4", "readout", "lost.gri"}, out, err);
    // Killed once the second place has been asked for (its answer is 0.3 s
    // away; the readout's last, 2.4 s).
    for (int i = 0; i < 200 && Slurp(dir / "wire.log").find("RCL;0;2") == std::string::npos; ++i)
        ::usleep(50 * 1000);
    ASSERT_NE(Slurp(dir / "wire.log").find("RCL;0;2"), std::string::npos);
    sim.Kill(SIGKILL);
    TRun r = Collect(pid, out, err, start);
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_ONE_LINE_NAMING(r, "COM4");
    EXPECT_FALSE(fs::exists(dir / "lost.gri")) << "no half readout is written";
}

}  // namespace
