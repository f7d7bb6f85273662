// tarnell-cli end to end: the real program against the real simulator over
// pseudo-terminals, linked into a folder of the test's own that
// SIO_PORT_DIR names for both.
#include "FakeGripper.h"
#include "PtyPort.h"
#include "Slurp.h"

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
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using sio::test::Slurp;

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

// Starts a program in cwd with SIO_PORT_DIR set; its output goes to pipes,
// or with errTerminal its standard error to a pseudo-terminal, whose far
// end errFd then is.
pid_t Spawn(std::vector<std::string> args, const std::string& cwd, const std::string& portDir, int& outFd,
            int& errFd, bool errTerminal = false)
{
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    if (errTerminal) {
        err[0] = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (err[0] < 0 || ::grantpt(err[0]) != 0 || ::unlockpt(err[0]) != 0)
            throw std::runtime_error("posix_openpt");
        err[1] = ::open(::ptsname(err[0]), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (err[1] < 0)
            throw std::runtime_error("open pty");
    } else if (::pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
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

    TRun Run(std::vector<std::string> args) { return RunAs({}, std::move(args)); }
    TRun RunOnTerminal(std::vector<std::string> args)
    {
        args.insert(args.begin(), TARNELL_CLI_PATH);
        int out, err;
        auto start = std::chrono::steady_clock::now();
        pid_t pid = Spawn(args, dir.Path(), dir.Path(), out, err, true);
        return Collect(pid, out, err, start);
    }
    // The tool started through a wrapper (prefix, ending in the tool's
    // path); none: the tool itself.
    TRun RunAs(std::vector<std::string> prefix, std::vector<std::string> args)
    {
        if (prefix.empty())
            prefix = {TARNELL_CLI_PATH};
        args.insert(args.begin(), prefix.begin(), prefix.end());
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
    EXPECT_EQ(j["places"][1]["grip"], 480);
    EXPECT_EQ(j["places"][1]["force"], 44);
    EXPECT_EQ(j["places"][7]["provision"], 34);
    EXPECT_EQ(j["failed"], nullptr);

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
    ASSERT_EQ(j["sent"].size(), 2u);
    EXPECT_EQ(j["sent"][1]["command"], "STO;0;2;200;30;15");
    EXPECT_EQ(j["skipped"], json::array({3, 4, 5, 6, 7, 8}));
    ASSERT_EQ(j["differences"].size(), 1u);
    EXPECT_EQ(j["differences"][0]["place"], 2);
    EXPECT_EQ(j["differences"][0]["sent"], json({{"grip", 200}, {"provision", 30}, {"force", 15}}));
    EXPECT_EQ(j["differences"][0]["read"]["grip"], 201);
}

TEST_F(Cli, ScanListsExactlyTheGrippersThatAnswerWithTheirTypes)
{
    TSim sim(dir, 3, {"--address", "3:KV0050", "--address", "12:KV0150", "--log", dir / "wire.log"});
    // Six ticks: room for a busy machine's thread hops; what a short limit
    // misses is not the point here.
    TRun scan = Run({"--port", "COM3", "--json", "scan", "--from", "0", "--to", "15", "--ticks", "6"});
    ASSERT_EQ(scan.exitCode, 0) << scan.err;
    json j = json::parse(scan.out);
    ASSERT_EQ(j["grippers"].size(), 2u) << scan.out;
    EXPECT_EQ(j["grippers"][0]["address"], 3);
    EXPECT_EQ(j["grippers"][0]["type"], "50 mm");
    EXPECT_EQ(j["grippers"][1]["address"], 12);
    EXPECT_EQ(j["grippers"][1]["type"], "100 mm");
    EXPECT_EQ(j["grippers"][1]["status"], 192);
    EXPECT_EQ(j["meaning"], "done");
    // A pipe gets whole lines: each address found, then the count.
    EXPECT_EQ(scan.err, "found address 3, 50 mm\nfound address 12, 100 mm\nscanned addresses 0..15: 2 found\n");
    TRun drawn = RunOnTerminal({"--port", "COM3", "scan", "--from", "10", "--to", "12", "--ticks", "6"});
    EXPECT_EQ(drawn.exitCode, 0) << drawn.err;
    EXPECT_NE(drawn.err.find("\rscanning address 11 of 10..12, 0 found"), std::string::npos) << drawn.err;
    // The progress line is cleared before each whole line.
    EXPECT_NE(drawn.err.find("\rfound address 12, 100 mm"), std::string::npos) << drawn.err;
    EXPECT_NE(drawn.err.find("\nscanned addresses 10..12: 1 found"), std::string::npos) << drawn.err;

    // Without options, the window's scan: 0..32 (at 3 ticks each).
    // At the short limit a loaded machine may rightly miss a gripper: the
    // range is the point here, and what was found is only ever a gripper.
    TRun plain = Run({"--port", "COM3", "--json", "--log", "plain.log", "scan"});
    j = json::parse(plain.out);
    ASSERT_EQ(plain.exitCode, j["grippers"].empty() ? 3 : 0) << plain.err;
    EXPECT_EQ(j["from"], 0);
    EXPECT_EQ(j["to"], 32);
    EXPECT_EQ(j["scannedTo"], 32);
    for (const json& g : j["grippers"])
        EXPECT_TRUE(g["address"] == 3 || g["address"] == 12) << plain.out;
    // The tool's own log, complete once it has exited; the simulator may
    // not yet have read the last frame by then.
    const std::string asked = Slurp(dir / "plain.log");
    EXPECT_NE(asked.find("STA;32[0A]"), std::string::npos) << asked;
    EXPECT_EQ(asked.find("STA;33"), std::string::npos);

    // Ctrl-C in the middle, once the tool is seen asking beyond both
    // grippers: it prints what it found, and closes the port as usual, so
    // the dispatch log is written. What it found so far is what it announced
    // on stderr: at one tick an answer the load held up is rightly missed,
    // and the lists above already say which grippers a scan finds.
    const std::regex announced(R"(found address (\d+)(?:, (\d+ mm))?\n)");
    for (bool asJson : {true, false}) {
        const std::string log = asJson ? "scan-json.log" : "scan-text.log";
        int out, err;
        std::vector<std::string> args = {"--port", "COM3", "--log", log, "--ticks", "1", "scan", "--from", "3"};
        if (asJson)
            args.insert(args.begin(), "--json");
        auto start = std::chrono::steady_clock::now();
        std::ofstream(dir / "wire.log", std::ios::trunc).close();
        pid_t pid = Start(args, out, err);
        const bool past = sio::test::WaitUntil([&] { return Slurp(dir / "wire.log").find("STA;14") != std::string::npos; },
                                               std::chrono::seconds(60));
        ::kill(pid, SIGINT);
        TRun stopped = Collect(pid, out, err, start);
        ASSERT_TRUE(past) << "the scan never reached address 14: " << stopped.err;
        EXPECT_EQ(stopped.exitCode, 130) << stopped.err;
        // The grippers found so far, then the one error line.
        std::string found, listed;
        json grippers = json::array();
        for (std::sregex_iterator m(stopped.err.begin(), stopped.err.end(), announced), end;
             m != end && m->position() == static_cast<std::ptrdiff_t>(found.size()); ++m) {
            found += m->str();
            const int address = std::stoi((*m)[1]);
            const std::string type = (*m)[2].str();  // none when its version came too late
            grippers.push_back({{"address", address}, {"type", type.empty() ? json() : json(type)}});
            char line[80];
            std::snprintf(line, sizeof line, "address %-3d status 192  %s\n", address,
                          type.empty() ? "unknown type" : (type + (address == 3 ? " (KV0050)" : " (KV0150)")).c_str());
            listed += line;
        }
        TRun error = stopped;
        error.err = stopped.err.substr(found.size());
        EXPECT_ONE_LINE_NAMING(error, "interrupted");
        EXPECT_NE(Slurp(dir / log).find("STA;14"), std::string::npos);
        if (asJson) {
            j = json::parse(stopped.out);
            EXPECT_EQ(j["exitCode"], 130);
            EXPECT_EQ(j["interrupted"], true);
            json got = json::array();
            for (const json& g : j["grippers"])
                got.push_back({{"address", g["address"]}, {"type", g["type"]}});
            EXPECT_EQ(got, grippers) << stopped.out;
            EXPECT_GE(j["scannedTo"].get<int>(), 13);
        } else {
            EXPECT_EQ(stopped.out, listed) << stopped.err;
        }
    }
}

TEST_F(Cli, ALateAnswerIsNeverTakenForTheNextAddress)
{
    // Slower than a tick: the answer of 3 arrives after its time limit,
    // while the tool moves on. Repeated, as the race it guards against
    // came out differently from run to run.
    TSim sim(dir, 1, {"--address", "3", "--delay", "90"});
    for (int run = 0; run < 3; ++run) {
        const std::string log = "late" + std::to_string(run) + ".log";
        TRun scan = Run({"--port", "COM1", "--json", "--log", log, "scan", "--from", "2", "--to", "5",
                         "--ticks", "1"});
        json j = json::parse(scan.out);
        for (const json& g : j["grippers"])
            EXPECT_EQ(g["address"], 3) << scan.out;
        EXPECT_EQ(scan.exitCode, j["grippers"].empty() ? 3 : 0) << scan.err;
        // Whatever of its answer reached the tool was set aside, and said so
        // in the dispatch log. On a loaded machine it may come only after the
        // scan, or while the next command empties the device's queue.
        const std::string logged = Slurp(dir / log);
        if (j["grippers"].empty() && logged.find("ReadCom") != std::string::npos) {
            EXPECT_GE(j["discarded"].get<int>(), 1) << scan.out;
            EXPECT_NE(logged.find("discarded"), std::string::npos) << logged;
        }
    }

    // An answer that names another address is not the answer, in time or
    // not: the tool waits on for its own, and here none comes.
    tarnell::test::TFakeGripper other(dir / "COM2");
    other.SetAnswer([](const std::string& frame) {
        return frame == "STA;4" ? std::string("STA;3:192;\n\r") : std::string();
    });
    // Ten ticks: the fake gripper's wrong answer surely comes within them.
    TRun status = Run({"--port", "COM2", "--address", "4", "--json", "--ticks", "10", "status"});
    EXPECT_EQ(status.exitCode, 3) << status.out;
    json j = json::parse(status.out);
    EXPECT_EQ(j["discarded"], 1);
    EXPECT_EQ(j["meaning"], "no answer");
    EXPECT_NE(j["error"].get<std::string>().find("within 10 ticks"), std::string::npos) << "--ticks for every command";
}

TEST_F(Cli, AReadoutWithAPlaceNotReadWritesNoFileAndSaysWhichAndWhy)
{
    tarnell::test::TFakeGripper g(dir / "COM1");
    auto answerThird = [&](std::string third) {
        g.SetAnswer([&g, third](const std::string& frame) {
            if (frame == "TXT;0")
                return std::string("A0;\x1b[31mred\0!\n\r", 15);
            return frame == "RCL;0;3" ? third : g.DefaultAnswer(frame);
        });
    };
    answerThird("A0;5;1;2;3\n\r");  // names place 5
    std::ofstream(dir / "old.gri", std::ios::binary) << "old";
    TRun other = Run({"--port", "COM1", "--json", "readout", "old.gri"});
    EXPECT_EQ(other.exitCode, 3) << other.err;
    EXPECT_ONE_LINE_NAMING(other, "place 3 not read");
    EXPECT_EQ(Slurp(dir / "old.gri"), "old") << "no file is written";
    json j = json::parse(other.out);
    ASSERT_EQ(j["places"].size(), 2u);
    EXPECT_EQ(j["places"][1], json({{"place", 2}, {"grip", 150}, {"provision", 30}, {"force", 15}}));
    EXPECT_EQ(j["failed"]["place"], 3);
    EXPECT_NE(j["failed"]["reason"].get<std::string>().find("names place 5"), std::string::npos);

    // Unreadable, and shown safely: the escape and the NUL as [hh], the
    // rest of the line after the NUL too.
    answerThird(std::string("A0;3;\x1b[2J\0x;1;2\n\r", 17));
    TRun text = Run({"--port", "COM1", "readout", "new.gri"});
    EXPECT_EQ(text.exitCode, 3);
    EXPECT_FALSE(fs::exists(dir / "new.gri"));
    EXPECT_NE(text.out.find("1      100      20         10\n2      150      30         15\n3      not read: "),
              std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("[1B][2J[00]x;1;2"), std::string::npos) << text.out;
    EXPECT_EQ(text.out.find('\x1b'), std::string::npos);
    EXPECT_NE(text.err.find("[1B][2J[00]x;1;2"), std::string::npos) << text.err;

    // A reply with control bytes to send, as text and as JSON.
    TRun raw = Run({"--port", "COM1", "send", "TXT;#ADR"});
    EXPECT_EQ(raw.exitCode, 0);
    EXPECT_EQ(raw.out, "A0;[1B][31mred[00]!\n");
    TRun rawJson = Run({"--port", "COM1", "--json", "send", "TXT;#ADR"});
    EXPECT_EQ(json::parse(rawJson.out)["exchanges"][0]["reply"], std::string("A0;\x1b[31mred\0!", 13));
}

TEST_F(Cli, AnEmptyPlaceIsReadAsTheWindowReadsIt)
{
    // Places 3 and 8 not in use: their fields are empty. Anything else in
    // a field, or no "A", is still a place not read.
    tarnell::test::TFakeGripper g(dir / "COM1");
    // A new answer goes in through SetAnswer, which hands it to the
    // gripper's thread under its lock.
    auto answerThird = [&g](std::string third) {
        g.SetAnswer([&g, third](const std::string& frame) {
            if (frame == "RCL;0;3")
                return third;
            return frame == "RCL;0;8" ? std::string("A0;8;;;\n\r") : g.DefaultAnswer(frame);
        });
    };
    answerThird("A0;3;;;\n\r");
    TRun text = Run({"--port", "COM1", "readout", "unused.gri"});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_NE(text.out.find("\n3      empty\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("\n8      empty\n"), std::string::npos) << text.out;
    const std::string file = Slurp(dir / "unused.gri");
    EXPECT_EQ(Lines(file), 23);
    EXPECT_NE(file.find("\r\n15\r\n\r\n\r\n\r\n250\r\n"), std::string::npos) << "place 3 as three empty lines";
    EXPECT_EQ(file.substr(file.size() - 6), "\r\n\r\n\r\n") << "place 8 as two empty lines";

    TRun asJson = Run({"--port", "COM1", "--json", "readout"});
    ASSERT_EQ(asJson.exitCode, 0) << asJson.err;
    json j = json::parse(asJson.out);
    EXPECT_EQ(j["places"][2], json({{"place", 3}, {"grip", nullptr}, {"provision", nullptr}, {"force", nullptr}}));
    EXPECT_EQ(j["places"][7], json({{"place", 8}, {"grip", nullptr}, {"provision", nullptr}}));

    // Such a file goes back as the window's Send sends it: the empty places skipped.
    TRun store = Run({"--port", "COM1", "--json", "store", "--type", "50", "unused.gri"});
    EXPECT_EQ(store.exitCode, 0) << store.err;
    EXPECT_EQ(json::parse(store.out)["skipped"], json::array({3, 8}));

    for (const std::string& spoiled : {std::string("A0;3;x;y;z\n\r"), std::string("B0;3;;;\n\r")}) {
        answerThird(spoiled);
        TRun refused = Run({"--port", "COM1", "readout", "spoiled.gri"});
        EXPECT_EQ(refused.exitCode, 3) << spoiled;
        EXPECT_ONE_LINE_NAMING(refused, "place 3 not read");
        EXPECT_FALSE(fs::exists(dir / "spoiled.gri"));
    }

    // A folder the file cannot go to is found before the first frame.
    const std::size_t framesBefore = g.Frames().size();
    TRun nowhere = Run({"--port", "COM1", "--json", "readout", dir / "missing/p.gri"});
    EXPECT_EQ(nowhere.exitCode, 5) << nowhere.err;
    EXPECT_ONE_LINE_NAMING(nowhere, "nothing was sent");
    EXPECT_EQ(json::parse(nowhere.out)["meaning"], "file refused");
    EXPECT_EQ(g.Frames().size(), framesBefore);
}

TEST_F(Cli, AStoreReportsWhatItSentOnEveryOutcome)
{
    TSim sim(dir, 2, {"--address", "0:KV0050", "--log", dir / "wire.log"});
    ASSERT_EQ(Run({"--port", "COM2", "readout", "full.gri"}).exitCode, 0);
    std::string wire = Slurp(dir / "wire.log");

    // --type 100 against a 50 mm gripper: the file fits 100 mm, so only the
    // gripper's own answer can refuse it.
    std::string wide;
    for (int i = 0; i < 23; ++i)
        wide += (i == 0 ? "800" : i % 3 == 2 ? "10" : "100") + std::string("\r\n");
    std::ofstream(dir / "wide.gri", std::ios::binary) << wide;
    TRun typed = Run({"--port", "COM2", "--json", "store", "--type", "100", "wide.gri"});
    EXPECT_EQ(typed.exitCode, 5) << typed.err;
    EXPECT_ONE_LINE_NAMING(typed, "KV0050");
    json j = json::parse(typed.out);
    EXPECT_EQ(j["sent"], json::array());
    EXPECT_EQ(j["meaning"], "file refused");
    EXPECT_EQ(Slurp(dir / "wire.log").find("STO;"), std::string::npos) << "nothing was sent";
    sim.Kill(SIGTERM);

    // A gripper that stops answering at place 3: places 1 and 2 are
    // reported, the store stops there, the reference row is not sent.
    tarnell::test::TFakeGripper g(dir / "COM2");
    g.SetAnswer([&](const std::string& frame) {
        return frame.rfind("STO;0;3;", 0) == 0 ? std::string() : g.DefaultAnswer(frame);
    });
    TRun stopped = Run({"--port", "COM2", "--json", "--ticks", "3", "store", "full.gri"});
    EXPECT_EQ(stopped.exitCode, 3) << stopped.err;
    EXPECT_ONE_LINE_NAMING(stopped, "stopped at place 3");
    j = json::parse(stopped.out);
    ASSERT_EQ(j["sent"].size(), 2u) << stopped.out;
    EXPECT_EQ(j["sent"][0]["place"], 1);
    EXPECT_EQ(j["sent"][1]["reply"], "A0;OK");
    EXPECT_EQ(j["stoppedAt"]["place"], 3);
    std::vector<std::string> frames = g.Frames();
    EXPECT_EQ(frames.back().rfind("STO;0;3;", 0), 0u) << "nothing after the silent place";

    TRun text = Run({"--port", "COM2", "--ticks", "3", "store", "full.gri"});
    EXPECT_EQ(text.exitCode, 3);
    EXPECT_EQ(text.out, "type: 50 mm\nsent STO;0;1;100;20;10\nsent STO;0;2;150;30;15\n");
}

TEST_F(Cli, EveryFailureIsOneLineAndOneJsonObjectNeverAnAbort)
{
    TSim sim(dir, 1, {});
    auto jsonOf = [](const TRun& r) {
        json j = json::parse(r.out);  // exactly one object
        EXPECT_EQ(j["exitCode"], r.exitCode);
        EXPECT_TRUE(j.contains("meaning") && j.contains("port") && j.contains("error")) << r.out;
        return j;
    };

    // Not a tty, and a folder: the system's reason, the device named.
    TRun null = Run({"--json", "--device", "/dev/null", "status"});
    EXPECT_EQ(null.exitCode, 2) << null.err;
    EXPECT_ONE_LINE_NAMING(null, "/dev/null: the port could not be opened: not a serial device (Inappropriate ioctl for device)");
    EXPECT_EQ(jsonOf(null)["meaning"], "port could not be opened or was lost");
    TRun folder = Run({"--device", dir.Path(), "status"});
    EXPECT_EQ(folder.exitCode, 2) << folder.err;
    EXPECT_ONE_LINE_NAMING(folder, "Is a directory");

    // Usage errors, found before any port opens (COM9 does not exist).
    TRun unknown = Run({"--json", "--port", "COM9", "frobnicate"});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_ONE_LINE_NAMING(unknown, "unknown command \"frobnicate\"");
    EXPECT_EQ(jsonOf(unknown)["meaning"], "usage");
    TRun tooLong = Run({"--json", "--port", "COM9", "send", std::string(5000, 'A')});
    EXPECT_EQ(tooLong.exitCode, 1) << tooLong.err;
    EXPECT_ONE_LINE_NAMING(tooLong, "output buffer");
    EXPECT_EQ(jsonOf(tooLong)["port"], "COM9");

    // Files that cannot be parameter files are refused before they are read
    // whole, and nothing is sent.
    std::ofstream(dir / "big.gri", std::ios::binary) << std::string(1 << 20, '1');
    for (const std::string& file : {std::string("/dev/zero"), dir / "big.gri"}) {
        TRun refused = Run({"--json", "--port", "COM1", "store", file});
        EXPECT_EQ(refused.exitCode, 5) << refused.err;
        EXPECT_ONE_LINE_NAMING(refused, "nothing was sent");
        EXPECT_EQ(jsonOf(refused)["sent"], json::array());
    }

    TRun version = Run({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("tarnell-cli ", 0), 0u) << version.out;

    // A port this user may not open. Root opens anything, so as root the
    // tool runs without the capabilities that let it.
    sio::test::TPtyPort locked(dir / "COM5");
    ASSERT_EQ(::chmod(locked.SlavePath().c_str(), 0), 0);
    std::vector<std::string> asUser;
    if (::geteuid() == 0) {
        asUser = {"/usr/bin/setpriv", "--bounding-set=-all", "--inh-caps=-all", TARNELL_CLI_PATH};
        if (TRun probe = RunAs(asUser, {"--version"}); probe.exitCode != 0)
            GTEST_SKIP() << "running as root, and setpriv cannot drop the capabilities here (" << probe.err
                         << "): cannot test a port the user may not open";
    }
    TRun denied = RunAs(asUser, {"--json", "--port", "COM5", "status"});
    EXPECT_EQ(denied.exitCode, 2) << denied.err;
    EXPECT_ONE_LINE_NAMING(denied, "COM5 (" + locked.SlavePath() + "): the port could not be opened: Permission denied");
    EXPECT_EQ(jsonOf(denied)["device"], locked.SlavePath());
}

TEST_F(Cli, ASilentGripperIsNoAnswerAndAMissingPortIsUsage)
{
    TSim sim(dir, 1, {"--silent", "--echo"});
    TRun silent = Run({"--port", "COM1", "status"});
    EXPECT_EQ(silent.exitCode, 3);
    EXPECT_ONE_LINE_NAMING(silent, "COM1");
    EXPECT_NE(silent.err.find("no answer to STA;0 within 25 ticks"), std::string::npos) << silent.err;

    TRun none = Run({"status"});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_NE(none.err.find("ports present: COM1 ("), std::string::npos) << none.err;

    // A port that is not there: where it was looked for, and what there is.
    TRun gone = Run({"--port", "COM9", "status"});
    EXPECT_EQ(gone.exitCode, 2);
    EXPECT_ONE_LINE_NAMING(gone, "there is no COM9 (looked for " + dir / "COM9" +
                                     ", as $SIO_PORT_DIR is set); ports present: COM1 (/dev/pts/");

    // An address no port speaks is the caller's mistake, told before
    // anything opens; JSON names the port given.
    TRun http = Run({"--json", "--device", "http://127.0.0.1:80", "status"});
    EXPECT_EQ(http.exitCode, 1) << http.err;
    EXPECT_ONE_LINE_NAMING(http, "no port speaks this scheme; a network port is rfc2217://HOST:PORT or tcp://HOST:PORT");
    EXPECT_EQ(json::parse(http.out)["port"], "http://127.0.0.1:80");
    TRun both = Run({"--json", "--port", "COM1", "--device", "/dev/null", "status"});
    EXPECT_EQ(both.exitCode, 1);
    EXPECT_ONE_LINE_NAMING(both, "give one of them");
    TRun badAddress = Run({"--json", "--port=COM1", "--address", "100", "status"});
    EXPECT_EQ(badAddress.exitCode, 1);
    EXPECT_EQ(json::parse(badAddress.out)["port"], "COM1") << "a parse error names the port too";
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
    // It names the place it stopped at (2, unless the kill came late).
    const std::size_t at = r.out.find("      not read: ");
    ASSERT_NE(at, std::string::npos) << r.out;
    const std::string place = r.out.substr(at - 1, 1);
    EXPECT_NE(r.err.find(": place " + place + " not read: "), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir / "lost.gri")) << "no half readout is written";
    EXPECT_NE(r.out.find("\n1      100      20         10\n"), std::string::npos) << "the place read: " << r.out;
}

TEST_F(Cli, CtrlCMidReadoutPrintsThePlacesReadSoFar)
{
    TSim sim(dir, 4, {"--delay", "300", "--log", dir / "wire.log"});
    int out, err;
    auto start = std::chrono::steady_clock::now();
    pid_t pid = Start({"--port", "COM4", "--json", "readout", "half.gri"}, out, err);
    // Asked for place 3: the answers of places 1 and 2 have come.
    const bool asked = sio::test::WaitUntil([&] { return Slurp(dir / "wire.log").find("RCL;0;3") != std::string::npos; },
                                            std::chrono::seconds(30));
    ::kill(pid, SIGINT);
    TRun r = Collect(pid, out, err, start);
    ASSERT_TRUE(asked);
    EXPECT_EQ(r.exitCode, 130) << r.err;
    json j = json::parse(r.out);
    EXPECT_EQ(j["interrupted"], true);
    ASSERT_EQ(j["places"].size(), 2u) << r.out;
    EXPECT_EQ(j["places"][1]["grip"], 150);
    EXPECT_FALSE(fs::exists(dir / "half.gri"));
}


// Each JSON object of a watch's output, one per line.
std::vector<json> JsonLines(const std::string& out)
{
    std::vector<json> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        lines.push_back(json::parse(line));
    return lines;
}

TEST_F(Cli, VerifyComparesTheCompletePlacesOfAFileAndWritesNothing)
{
    TSim sim(dir, 1, {"--address", "0:KV0050", "--log", dir / "wire.log"});
    ASSERT_EQ(Run({"--port", "COM1", "readout", "held.gri"}).exitCode, 0);
    TRun same = Run({"--port", "COM1", "verify", "held.gri"});
    EXPECT_EQ(same.exitCode, 0) << same.err;
    EXPECT_EQ(same.out, "the gripper holds the file: place(s) 1, 2, 3, 4, 5, 6, 7, 8 match\n");
    EXPECT_EQ(same.err, "");

    // Place 2's grip and place 8's compensation changed; place 3 without
    // its force is not compared, whatever it holds; "0150" is 150.
    std::vector<std::string> lines;
    {
        const std::string held = Slurp(dir / "held.gri");
        for (std::size_t b = 0, e; (e = held.find("\r\n", b)) != std::string::npos; b = e + 2)
            lines.push_back(held.substr(b, e - b));
    }
    ASSERT_EQ(lines.size(), 23u);
    lines[3] = "151";   // place 2 grip (150)
    lines[6] = "999";   // place 3 grip, but
    lines[8] = "";      // place 3 force empty
    lines[9] = "0250";  // place 4 grip, as a number the same
    lines[22] = "16";   // place 8 force compensation (15)
    std::string changed;
    for (const std::string& l : lines)
        changed += l + "\r\n";
    std::ofstream(dir / "changed.gri", std::ios::binary) << changed;

    TRun text = Run({"--port", "COM1", "verify", "changed.gri"});
    EXPECT_EQ(text.exitCode, 4) << text.err;
    EXPECT_EQ(text.out, "place 2 grip position: 151 in the file, 150 in the gripper\n"
                        "place 8 force-compensation position: 16 in the file, 15 in the gripper\n"
                        "not compared (a cell is empty in the file): place(s) 3\n");
    EXPECT_ONE_LINE_NAMING(text, "in 2 field(s)");

    TRun js = Run({"--port", "COM1", "--json", "verify", "changed.gri"});
    EXPECT_EQ(js.exitCode, 4);
    json j = json::parse(js.out);
    EXPECT_EQ(j["meaning"], "read-back differs");
    EXPECT_EQ(j["matches"], false);
    EXPECT_EQ(j["skipped"], json::array({3}));
    EXPECT_EQ(j["compared"], json::array({1, 2, 4, 5, 6, 7, 8}));
    EXPECT_EQ(j["differences"], json::parse(R"([{"place":2,"field":"grip","file":151,"gripper":150},
                                                {"place":8,"field":"provision","file":16,"gripper":15}])"));
    EXPECT_EQ(j["places"].size(), 8u);

    // Nothing went to the gripper but recalls.
    const std::string wire = Slurp(dir / "wire.log");
    EXPECT_EQ(wire.find("STO;"), std::string::npos) << wire;

    // A file refused, a gripper that does not answer, a place not read.
    std::ofstream(dir / "text.gri", std::ios::binary) << "hello\r\n";
    EXPECT_EQ(Run({"--port", "COM1", "verify", "text.gri"}).exitCode, 5);
    TRun none = Run({"--port", "COM1", "--address", "4", "--ticks", "1", "--json", "verify", "held.gri"});
    EXPECT_EQ(none.exitCode, 3) << none.err;
    j = json::parse(none.out);
    EXPECT_EQ(j["failed"]["place"], 1);
    EXPECT_FALSE(j.contains("differences")) << "nothing was compared";

    // A file without one complete place matches nothing: a failure of its
    // own, in text and JSON, and the gripper is not even asked.
    std::string blank;
    for (int i = 0; i < 23; ++i)
        blank += "\r\n";
    std::ofstream(dir / "empty.gri", std::ios::binary) << blank;
    std::ofstream(dir / "wire.log", std::ios::trunc).close();
    TRun empty = Run({"--port", "COM1", "verify", "empty.gri"});
    EXPECT_EQ(empty.exitCode, 6) << empty.err;
    EXPECT_EQ(empty.out, "not compared (a cell is empty in the file): place(s) 1, 2, 3, 4, 5, 6, 7, 8\n");
    EXPECT_ONE_LINE_NAMING(empty, "nothing was compared");
    TRun emptyJs = Run({"--port", "COM1", "--json", "verify", "empty.gri"});
    EXPECT_EQ(emptyJs.exitCode, 6);
    j = json::parse(emptyJs.out);
    EXPECT_EQ(j["meaning"], "nothing compared");
    EXPECT_EQ(j["matches"], false);
    EXPECT_EQ(j["compared"], json::array());
    EXPECT_NE(j["error"].get<std::string>().find("nothing was compared"), std::string::npos);
    EXPECT_EQ(Slurp(dir / "wire.log").find("RCL;"), std::string::npos);
}

TEST_F(Cli, WatchPrintsALineForEveryStatusChangeAndOnlyThen)
{
    // Each status answer takes the next value of the list.
    TSim sim(dir, 1, {"--address", "0", "--status", "0:192,192,64,65,65,192"});
    TRun text = Run({"--port", "COM1", "watch", "--interval", "10", "--count", "7"});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    std::vector<std::string> lines;
    std::istringstream in(text.out);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 4u) << text.out;
    const std::regex stamp(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z  .*)");
    for (const std::string& l : lines)
        EXPECT_TRUE(std::regex_match(l, stamp)) << l;
    EXPECT_NE(lines[0].find("  status 192   Referenced, Ready"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[0].find("("), std::string::npos) << "the first line has nothing to compare with";
    EXPECT_NE(lines[1].find("status 64    Referenced  (-Ready)"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("(+VCC Err.)"), std::string::npos) << lines[2];
    EXPECT_NE(lines[3].find("(-VCC Err. +Ready)"), std::string::npos) << lines[3];

    TSim again(dir, 2, {"--address", "3", "--status", "3:1,1,0"});
    TRun js = Run({"--port", "COM2", "--address", "3", "--json", "watch", "--interval", "10", "--count", "4"});
    ASSERT_EQ(js.exitCode, 0) << js.err;
    std::vector<json> events = JsonLines(js.out);
    ASSERT_EQ(events.size(), 4u) << js.out;  // 1, 0, 1 and the outcome
    EXPECT_EQ(events[0]["poll"], 1);
    EXPECT_EQ(events[0]["bits"]["VCC Err."], true);
    EXPECT_EQ(events[1]["poll"], 3);
    EXPECT_EQ(events[1]["status"], 0);
    EXPECT_EQ(events[2]["poll"], 4);
    EXPECT_EQ(events[3]["command"], "watch");
    EXPECT_EQ(events[3]["polls"], 4);
    EXPECT_EQ(events[3]["changes"], 3);
    EXPECT_EQ(events[3]["exitCode"], 0);

    // Nobody at the address: one line, not one per poll, and exit 3.
    TRun silent = Run({"--port", "COM2", "--address", "9", "--ticks", "1", "--json", "watch", "--count", "3",
                       "--interval", "10"});
    EXPECT_EQ(silent.exitCode, 3) << silent.err;
    events = JsonLines(silent.out);
    ASSERT_EQ(events.size(), 2u) << silent.out;
    EXPECT_EQ(events[0]["error"], "no answer");
    EXPECT_EQ(events[1]["polls"], 3);
    EXPECT_EQ(events[1]["answered"], 0);
}

TEST_F(Cli, CtrlCEndsAWatchWithItsOutcome)
{
    TSim sim(dir, 1, {});
    int out, err;
    auto start = std::chrono::steady_clock::now();
    pid_t pid = Start({"--port", "COM1", "--json", "watch", "--interval", "50"}, out, err);
    // The first change line is the sign that it runs; read it off the pipe.
    std::string first;
    char c;
    while (first.find('\n') == std::string::npos && ::read(out, &c, 1) == 1)
        first += c;
    ::kill(pid, SIGINT);
    TRun r = Collect(pid, out, err, start);
    EXPECT_EQ(json::parse(first)["status"], 192) << first;
    EXPECT_EQ(r.exitCode, 130) << r.err;
    json j = json::parse(r.out);
    EXPECT_EQ(j["interrupted"], true);
    EXPECT_EQ(j["lastStatus"], 192);
    EXPECT_GE(j["polls"].get<int>(), 1);
}

}  // namespace
