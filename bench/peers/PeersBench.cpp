// Our serial stack beside what an application would otherwise use, in one
// run on the same pseudo-terminal pairs, printed as one table:
//  - turnaround: the far end writes a 20-byte reply ending LF CR and times
//    until the next 7-byte command has arrived. Ours: port component and
//    reply collector set up and driven as the console does it (send, wait
//    with ServeMessagesUntil, reply handled on the main thread, on the Qt
//    event loop). References: QSerialPort on the Qt event loop, and a plain
//    poll() loop on the device (the floor). The three run in interleaved
//    rounds, so that a noisy neighbour hits all of them alike;
//  - Readout of the eight places at 9600 8E1 against tarnell-sim, beside the
//    wire time of the characters sent and received;
//  - receive throughput through dispatcher and collector, dispatch log on
//    and off, beside a raw read loop;
//  - CPU of an idle open port (ours and QSerialPort) and during a Readout
//    against a gripper that answers after a second;
//  - the collector's time limit of 25 ticks against a silent gripper;
//  - start-up of tarnell-console to its window shown (under Xvfb), its
//    memory then, and our memory before and after 10 000 exchanges.
//
// Usage: sio_peer_bench [--smoke] [--exchanges N] [--rounds N] [--readouts N]
//                       [--megabytes N] [--idle S] [--timeouts N]
//                       [--slow-readouts N] [--startups N] [--sim-arg ARG]...
//                       [--only SECTION,...]
// --smoke runs every measure briefly (CI); the figures are then not
// meaningful. The benchmark asserts nothing: it prints what it measured.
#include "GripperPort.h"
#include "GripperProtocol.h"
#include "PtyPort.h"
#include "QtMessageQueue.h"
#include "base/BaseComponent.h"
#include "packet/DataPacket.h"
#include "port/ComPort.h"
#include "devices/posix/PosixDispatcher.h"
#include "dispatch/Dispatcher.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSerialPort>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <spawn.h>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
namespace protocol = tarnell::protocol;
namespace fs = std::filesystem;

double Micros(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double, std::micro>(b - a).count(); }

// Voluntary context switches: each is a thread going to sleep, so per
// exchange they count the hand-overs between threads (RUSAGE_THREAD: the
// calling thread's own).
long Sleeps(int who)
{
    rusage u{};
    ::getrusage(who, &u);
    return u.ru_nvcsw;
}

double CpuSeconds()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// VmRSS of a process in kB (0 if unknown).
long RssKb(pid_t pid = 0)
{
    std::ifstream f(pid ? "/proc/" + std::to_string(pid) + "/status" : std::string("/proc/self/status"));
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return 0;
}

struct TStats {
    std::size_t n = 0;
    double min = 0, median = 0, p99 = 0, max = 0;
};

TStats Summarise(std::vector<double> v)
{
    TStats s;
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    s.n = v.size();
    s.min = v.front();
    s.max = v.back();
    s.median = v[v.size() / 2];
    s.p99 = v[std::min(v.size() - 1, v.size() * 99 / 100)];
    return s;
}

double Median(std::vector<double> v) { return Summarise(std::move(v)).median; }

struct TOptions {
    bool smoke = false;
    int exchanges = 10000;
    int rounds = 5;
    int readouts = 5;
    int megabytes = 16;
    int idleSeconds = 30;
    int timeouts = 200;
    int slowReadouts = 1;
    int startups = 3;
    std::vector<std::string> simArgs;
    std::string only;  // comma-separated sections; empty: all
    bool Runs(const char* section) const
    {
        return only.empty() || ("," + only + ",").find("," + std::string(section) + ",") != std::string::npos;
    }
};

// One row of the table.
struct TRow {
    std::string measure, ours, reference, ratio, goal, verdict;
};
std::vector<TRow> g_rows;
std::vector<std::string> g_notes;

std::string Fmt(const char* f, double a)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, f, a);
    return buf;
}
std::string Fmt2(const char* f, double a, double b)
{
    char buf[96];
    std::snprintf(buf, sizeof buf, f, a, b);
    return buf;
}

void Row(std::string measure, std::string ours, std::string reference, std::string ratio, std::string goal,
         std::optional<bool> met)
{
    g_rows.push_back({std::move(measure), std::move(ours), std::move(reference), std::move(ratio), std::move(goal),
                      met ? (*met ? "met" : "NOT met") : "reported"});
    std::printf("  %s: %s | %s | %s\n", g_rows.back().measure.c_str(), g_rows.back().ours.c_str(),
                g_rows.back().reference.c_str(), g_rows.back().ratio.c_str());
}

// A measure that could not be taken: the run then ends with status 1 (a
// goal not met does not).
bool g_failed = false;
void Fail(std::string measure, std::string why)
{
    g_failed = true;
    g_rows.push_back({std::move(measure), "could not be measured: " + why, "", "", "", "FAILED"});
    std::printf("  %s: %s\n", g_rows.back().measure.c_str(), g_rows.back().ours.c_str());
}

// Runs the Qt event loop (and so our message queue) for ms.
void RunEventLoop(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// ---------------------------------------------------------------------------
// Far-end helpers on a pty master.

bool WriteAllFd(int fd, const char* p, std::size_t n)
{
    std::size_t done = 0;
    while (done < n) {
        ssize_t w = ::write(fd, p + done, n - done);
        if (w > 0) {
            done += static_cast<std::size_t>(w);
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd p1{fd, POLLOUT, 0};
        ::poll(&p1, 1, 100);
    }
    return true;
}

// Reads until buf holds at least n bytes; false after timeoutMs.
bool ReadAtLeast(int fd, std::string& buf, std::size_t n, int timeoutMs)
{
    char tmp[4096];
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (buf.size() < n) {
        if (Clock::now() > end)
            return false;
        ssize_t r = ::read(fd, tmp, sizeof tmp);
        if (r > 0) {
            buf.append(tmp, static_cast<std::size_t>(r));
            continue;
        }
        if (r < 0 && errno != EAGAIN && errno != EINTR && errno != EIO)
            return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) == 0)
            return false;
        if (r < 0 && errno == EIO)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));  // no one holds the device side yet
    }
    return true;
}

void DrainFd(int fd)
{
    char tmp[4096];
    while (::read(fd, tmp, sizeof tmp) > 0) {
    }
}

const std::string kCommand = "STA;0\n\r";               // 7 bytes
const std::string kReply = "RCL;0;1;250;300;10\n\r";     // 20 bytes

// The far end of the turnaround: waits for a command, answers it, and times
// from the reply's write to the next command's last byte, count times.
class TResponder {
public:
    TResponder(int fd, int count) : fd_(fd), count_(count) {}
    void Start() { thread_ = std::thread([this] { Run(); }); }
    void Join()
    {
        if (thread_.joinable())
            thread_.join();
    }
    std::vector<double> samples;
    bool failed = false;
    std::atomic<bool> done{false};
    long ownSleeps = 0;

private:
    void Run()
    {
        const long s0 = Sleeps(RUSAGE_THREAD);
        Serve();
        ownSleeps = Sleeps(RUSAGE_THREAD) - s0;
        done = true;
    }
    void Serve()
    {
        std::string buf;
        if (!ReadAtLeast(fd_, buf, kCommand.size(), 10000)) {
            failed = true;
            return;
        }
        buf.erase(0, kCommand.size());
        samples.reserve(static_cast<std::size_t>(count_));
        for (int i = 0; i < count_; ++i) {
            auto t0 = Clock::now();
            if (!WriteAllFd(fd_, kReply.data(), kReply.size()) || !ReadAtLeast(fd_, buf, kCommand.size(), 10000)) {
                failed = true;
                return;
            }
            auto t1 = Clock::now();
            buf.erase(0, kCommand.size());
            samples.push_back(Micros(t0, t1));
        }
    }
    int fd_;
    int count_;
    std::thread thread_;
};

// ---------------------------------------------------------------------------
// Our stack, set up and driven as the console sets it up and drives it.

class TConsoleLike {
public:
    struct TSetup {
        int com = 3;
        int baud = 9600;
        sio::TParity parity = sio::pEven;
        bool rs485 = true;
        bool logging = true;
    };

    explicit TConsoleLike(const TSetup& s)
    {
        tarnell::portsetup::TGripperLine line;
        line.baud = s.baud;
        line.evenParity = s.parity == sio::pEven;
        line.logName = "SIO.LOG";
        tarnell::portsetup::SetUpGripperPort(port, packet, line);
        // The variants measured beside the console's own set-up.
        port.SetParity(s.parity);
        port.SetRS485Mode(s.rs485);
        port.SetLogging(s.logging ? sio::tlOn : sio::tlOff);
        port.SetComNumber(static_cast<std::uint16_t>(s.com));
        // The console listens for line errors, re-arming after each report.
        port.SetOnTriggerLineError(
            [this](sio::TSioCustomComPort*, std::uint16_t, bool) { tarnell::portsetup::ArmLineErrorTrigger(port); });
        packet.OnStringPacket = [this](sio::TSioDataPacket*, const std::string& data) {
            lastReply = data;
            received += data.size();
            if (protocol::IsEcho(lastReply, lastFrame)) {
                packet.SetEnabled(true);
                return;
            }
            replied = true;
            packet.SetTimeOut(0);
            packet.SetEnabled(true);
            if (onReply)
                onReply();
        };
        packet.OnTimeout = [this](sio::TSioBaseComponent*) {
            timedOut = true;
            packet.SetEnabled(false);
        };
    }

    // The console's SendCommand: the collector is armed before the command
    // leaves, so that a quick reply finds it listening.
    void Send(const std::string& command)
    {
        port.FlushInput();
        port.FlushOutput();
        timedOut = false;
        replied = false;
        const std::string frame = protocol::Frame(command);
        lastFrame = frame;
        packet.SetEnabled(false);
        packet.SetTimeOut(protocol::kReplyTimeoutTicks);
        packet.SetEnabled(true);
        port.WriteString(frame);
        sent += frame.size();
    }

    // The console's wait for an answer: without a deadline, as the console
    // waits (the collector's time limit ends it).
    bool Wait(std::uint32_t timeoutMs = sio::kWaitForever)
    {
        return sio::ServeMessagesUntil([this] { return timedOut || replied; }, timeoutMs);
    }

    // Readout: one recall per place, each after the answer to the last.
    bool Readout()
    {
        for (int n = 1; n <= protocol::kPlaceCount; ++n) {
            Send(protocol::RecallCommand(0, n));
            if (!Wait() || timedOut)
                return false;
        }
        return true;
    }

    sio::TSioComPort port;
    sio::TSioDataPacket packet;
    std::string lastFrame, lastReply;
    bool replied = false, timedOut = false;
    std::size_t sent = 0;
    std::atomic<std::size_t> received{0};  // read by a far end's thread
    std::function<void()> onReply;
};

// Turnaround, ours: the console's sequence loop (send, wait) count+1 times.
// The port stays open until the far end has the last command: a close
// discards what is still queued.
bool OursTurnaround(int com, int count, const std::atomic<bool>& farDone)
{
    TConsoleLike::TSetup s;
    s.com = com;
    TConsoleLike c(s);
    for (int i = 0; i <= count; ++i) {
        c.Send("STA;0");
        if (i == count) {
            // The far end posts nothing to our queue: look in short steps.
            for (int k = 0; k < 3000 && !farDone.load(); ++k)
                sio::ServeMessagesUntil([&] { return farDone.load(); }, 5);
            break;
        }
        if (!c.Wait() || c.timedOut) {
            std::printf("  ours: no answer to command %d (%s)\n", i, c.timedOut ? "time-out" : "no event");
            return false;
        }
    }
    return true;
}

// Turnaround, our dispatcher alone: a method handler answers on the
// dispatcher thread, without the port component, the collector and the
// main thread. It splits our time into the device threads' share and the
// rest.
struct TDispatchOnly {
    sio::TSioBaseDispatcher* d = nullptr;
    std::string buf;
    int replies = 0;
    int count = 0;
    std::atomic<bool> finished{false};
    void HandleNotification(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t)
    {
        if (msg != sio::WM_SIO_AVAIL)
            return;
        std::string in(wParam, '\0');
        if (d->ReadBytes(in.data(), static_cast<std::int32_t>(in.size())) != static_cast<std::int32_t>(in.size()))
            return;
        buf += in;
        for (std::size_t i; replies < count && (i = buf.find("\n\r")) != std::string::npos;) {
            buf.erase(0, i + 2);
            ++replies;
            d->WriteBytes(kCommand.data(), static_cast<std::int32_t>(kCommand.size()));
        }
        if (replies >= count)
            finished = true;
    }
};

bool DispatcherTurnaround(int com, int count, const std::atomic<bool>& farDone)
{
    sio::TSioPosixDispatcher d(nullptr);
    if (d.OpenDevice(sio::test::ComName(com), 9600, sio::EVENPARITY, 8, 1, 4096, 4096, 0) != 0)
        return false;
    TDispatchOnly h;
    h.d = &d;
    h.count = count;
    d.AddMethodHandler(sio::NotifyMethod<TDispatchOnly, &TDispatchOnly::HandleNotification>(&h));
    d.SetAvailLength(1);
    d.WriteBytes(kCommand.data(), static_cast<std::int32_t>(kCommand.size()));
    const bool ok = sio::test::WaitUntil([&] { return h.finished.load(); }, std::chrono::milliseconds(10000 + count * 10));
    sio::test::WaitUntil([&] { return farDone.load(); });
    d.RemoveMethodHandler(sio::NotifyMethod<TDispatchOnly, &TDispatchOnly::HandleNotification>(&h));
    return ok;
}

// Turnaround, QSerialPort on the Qt event loop.
bool QtTurnaround(const std::string& path, int count)
{
    QSerialPort sp(QString::fromStdString(path));
    sp.setBaudRate(9600);
    sp.setParity(QSerialPort::EvenParity);
    if (!sp.open(QIODevice::ReadWrite))
        return false;
    QByteArray buf;
    int replies = 0;
    QEventLoop loop;
    bool ok = true;
    QObject::connect(&sp, &QSerialPort::readyRead, [&] {
        buf += sp.readAll();
        for (;;) {
            qsizetype i = buf.indexOf("\n\r");
            if (i < 0)
                break;
            buf.remove(0, i + 2);
            ++replies;
            sp.write(kCommand.data(), static_cast<qint64>(kCommand.size()));
            if (replies == count)
                loop.quit();
        }
    });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&] {
        ok = false;
        loop.quit();
    });
    guard.start(10000 + count * 10);
    sp.write(kCommand.data(), static_cast<qint64>(kCommand.size()));
    loop.exec();
    sp.waitForBytesWritten(1000);
    return ok;
}

// Turnaround, a poll() loop on the device: the floor.
bool RawTurnaround(const std::string& path, int count)
{
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    std::string buf;
    int replies = 0;
    bool ok = WriteAllFd(fd, kCommand.data(), kCommand.size());
    char tmp[4096];
    while (ok && replies < count) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0) {
            ok = false;
            break;
        }
        ssize_t r = ::read(fd, tmp, sizeof tmp);
        if (r <= 0)
            continue;
        buf.append(tmp, static_cast<std::size_t>(r));
        for (std::size_t i; replies < count && (i = buf.find("\n\r")) != std::string::npos;) {
            buf.erase(0, i + 2);
            ++replies;
            ok = WriteAllFd(fd, kCommand.data(), kCommand.size());
        }
    }
    ::close(fd);
    return ok;
}

void Turnaround(const TOptions& o, sio::test::TPortDir& dir)
{
    std::printf("turnaround: %d exchanges per stack in %d interleaved rounds\n", o.exchanges, o.rounds);
    sio::test::TPtyPort pty(dir, 3);
    std::vector<double> ours, qt, raw, disp;
    long sleeps[4] = {0, 0, 0, 0};
    bool failed = false;
    const int per = std::max(1, o.exchanges / o.rounds);
    for (int r = 0; r < o.rounds && !failed; ++r) {
        for (int which = 0; which < 4; ++which) {
            DrainFd(pty.Master());
            TResponder responder(pty.Master(), per);
            const long s0 = Sleeps(RUSAGE_SELF);
            responder.Start();
            bool ok = false;
            try {
                ok = which == 0   ? OursTurnaround(3, per, responder.done)
                     : which == 1 ? QtTurnaround(pty.SlavePath(), per)
                     : which == 2 ? RawTurnaround(pty.SlavePath(), per)
                                  : DispatcherTurnaround(3, per, responder.done);
            } catch (const std::exception& e) {
                std::printf("  %s\n", e.what());
            }
            responder.Join();
            if (!ok || responder.failed) {
                std::printf("  round %d stack %d failed\n", r, which);
                failed = true;
                break;
            }
            sleeps[which] += Sleeps(RUSAGE_SELF) - s0 - responder.ownSleeps;
            auto& into = which == 0 ? ours : which == 1 ? qt : which == 2 ? raw : disp;
            into.insert(into.end(), responder.samples.begin(), responder.samples.end());
        }
    }
    if (failed) {
        Fail("Turnaround", "failed");
        return;
    }
    TStats a = Summarise(ours), q = Summarise(qt), f = Summarise(raw);
    const double rm = a.median / q.median, rp = a.p99 / q.p99;
    Row("Turnaround, median (µs)", Fmt("%.0f", a.median),
        Fmt2("QSerialPort %.0f; poll loop %.0f", q.median, f.median),
        Fmt2("%.2fx QSerialPort; %.2fx poll loop", rm, a.median / f.median), "≤ 1.5x QSerialPort", rm <= 1.5);
    Row("Turnaround, 99th percentile (µs)", Fmt("%.0f", a.p99), Fmt2("QSerialPort %.0f; poll loop %.0f", q.p99, f.p99),
        Fmt2("%.2fx QSerialPort; %.2fx poll loop", rp, a.p99 / f.p99), "≤ 2x QSerialPort", rp <= 2.0);
    auto perExchange = [&](int which) { return static_cast<double>(sleeps[which]) / (per * o.rounds); };
    Row("Thread sleeps per exchange (hand-overs)", Fmt("%.2f", perExchange(0)),
        Fmt2("QSerialPort %.2f; poll loop %.2f", perExchange(1), perExchange(2)), "—", "—", std::nullopt);
    TStats dd = Summarise(disp);
    Row("Turnaround of our dispatcher alone, answered on its own thread (µs)",
        Fmt2("median %.0f, p99 %.0f", dd.median, dd.p99) + Fmt("; %.2f sleeps per exchange", perExchange(3)),
        Fmt2("QSerialPort median %.0f, p99 %.0f", q.median, q.p99), Fmt2("%.2fx; %.2fx", dd.median / q.median, dd.p99 / q.p99),
        "— (shows the device threads' share)", std::nullopt);
    g_notes.push_back("Turnaround samples per stack: " + std::to_string(a.n) + "; max ours " + Fmt("%.0f", a.max) +
                      " µs, QSerialPort " + Fmt("%.0f", q.max) + " µs, poll loop " + Fmt("%.0f", f.max) + " µs.");
}

// ---------------------------------------------------------------------------
// tarnell-sim as a child process.

class TSimulator {
public:
    TSimulator(const sio::test::TPortDir& dir, int com, std::vector<std::string> extra)
    {
        std::vector<std::string> args = {TARNELL_SIM_PATH, "--dir", dir.Path(), "--com", std::to_string(com)};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        link_ = dir.Entry(com);
        ok_ = pid_ > 0 && sio::test::WaitUntil([&] { return fs::exists(link_); });
        // The simulator links before it listens; give it its first poll.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ~TSimulator()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int st;
            ::waitpid(pid_, &st, 0);
        }
    }
    bool Ok() const { return ok_; }

private:
    pid_t pid_ = -1;
    std::string link_;
    bool ok_ = false;
};

void ReadoutAtWireSpeed(const TOptions& o, sio::test::TPortDir& dir)
{
    std::printf("readout: %d readouts of 8 places at 9600 8E1 against tarnell-sim\n", o.readouts);
    TSimulator sim(dir, 5, o.simArgs);
    if (!sim.Ok()) {
        Fail("Readout at 9600 8E1", "simulator did not start");
        return;
    }
    TConsoleLike::TSetup s;
    s.com = 5;
    TConsoleLike c(s);
    c.Send("STA;0");  // opens the port; not timed
    if (!c.Wait(5000) || c.timedOut) {
        Fail("Readout at 9600 8E1", "no answer");
        return;
    }
    std::vector<double> times;
    std::size_t chars = 0;
    for (int i = 0; i < o.readouts; ++i) {
        const std::size_t s0 = c.sent, r0 = c.received.load();
        auto t0 = Clock::now();
        if (!c.Readout()) {
            Fail("Readout at 9600 8E1", "a place went unanswered");
            return;
        }
        times.push_back(Micros(t0, Clock::now()) / 1000.0);
        chars = (c.sent - s0) + (c.received.load() - r0);
    }
    const double measured = Median(times);
    const double wire = static_cast<double>(chars) * 11.0 * 1000.0 / 9600.0;
    // The simulator times every character on the line both ways (unless told
    // not to): the readout is timed as it stands. Without that it shows only
    // our overhead, which a wire adds to its own time.
    const bool simTimesWire =
        std::none_of(o.simArgs.begin(), o.simArgs.end(), [](auto& a) { return a == "--no-wire-timing"; });
    const double onWire = simTimesWire ? measured : wire + measured;
    const double ratio = onWire / wire;
    Row("Readout, 8 places at 9600 8E1 (ms)",
        simTimesWire ? Fmt("%.1f", measured) : Fmt2("%.1f on the pty; %.1f on a wire (wire time + ours)", measured, onWire),
        Fmt2("wire time %.1f (%.0f characters × 11 bits / 9600)", wire, static_cast<double>(chars)),
        Fmt("%.3fx", ratio), "≤ 1.03x", ratio <= 1.03);
    if (!simTimesWire)
        g_notes.push_back("Readout: the simulator answered at once (--no-wire-timing), so the pty time is our "
                          "whole overhead per readout; the readout on a wire is taken as wire time + that overhead.");
    else
        g_notes.push_back("Readout: tarnell-sim times every character on the line both ways at 9600 8E1 "
                          "(11 bits each); its own delay is 0, so the reference is the wire time alone.");
}

// ---------------------------------------------------------------------------
// Receive throughput.

// The far end of the throughput runs: writes total bytes in lines, keeping
// at most window bytes ahead of what the receiver has taken. The input
// queue is bounded (InSize) and drops what finds it full, as a line at its
// own speed never would; a pty with no speed of its own needs the window.
void Pour(sio::test::TPtyPort& pty, std::uint64_t total, const std::string& line, std::uint64_t window,
          const std::atomic<std::size_t>& received)
{
    for (std::uint64_t sent = 0; sent < total; sent += line.size()) {
        const auto end = Clock::now() + std::chrono::seconds(10);
        while (sent - received.load() > window && Clock::now() < end)
            std::this_thread::yield();
        if (pty.Write(line.data(), line.size()) != line.size())
            return;
    }
}

constexpr std::uint16_t kThroughputInSize = 65535;
constexpr std::uint64_t kThroughputWindow = 49152;

double OursThroughput(sio::test::TPtyPort& pty, std::uint64_t total, bool logging, const std::string& line)
{
    TConsoleLike::TSetup s;
    s.com = 3;
    s.baud = 115200;
    s.parity = sio::pNone;
    s.rs485 = false;
    s.logging = logging;
    TConsoleLike c(s);
    c.port.SetInSize(kThroughputInSize);
    c.port.SetOpen(true);
    c.packet.SetTimeOut(0);
    c.packet.SetEnabled(true);
    DrainFd(pty.Master());
    auto t0 = Clock::now();
    std::thread far([&] { Pour(pty, total, line, kThroughputWindow, c.received); });
    bool ok = sio::ServeMessagesUntil([&] { return c.received >= total; }, 120000);
    auto t1 = Clock::now();
    far.join();
    return ok ? static_cast<double>(total) / (Micros(t0, t1) / 1e6) / 1e6 : 0.0;
}

double RawThroughput(sio::test::TPtyPort& pty, std::uint64_t total, const std::string& line)
{
    int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return 0;
    DrainFd(pty.Master());
    auto t0 = Clock::now();
    std::atomic<std::size_t> got{0};
    std::thread far([&] { Pour(pty, total, line, kThroughputWindow, got); });
    std::vector<char> buf(65536);
    while (got.load() < total) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0)
            break;
        ssize_t r = ::read(fd, buf.data(), buf.size());
        if (r > 0)
            got += static_cast<std::size_t>(r);
    }
    auto t1 = Clock::now();
    far.join();
    ::close(fd);
    return got >= total ? static_cast<double>(total) / (Micros(t0, t1) / 1e6) / 1e6 : 0.0;
}

void Throughput(const TOptions& o, sio::test::TPortDir& dir)
{
    const std::string line = std::string(4094, 'x') + "\n\r";
    const std::uint64_t total = (static_cast<std::uint64_t>(o.megabytes) << 20) / line.size() * line.size();
    std::printf("throughput: %llu bytes in 4096-byte replies, at most %llu bytes ahead of the receiver, 3 rounds each\n",
                static_cast<unsigned long long>(total), static_cast<unsigned long long>(kThroughputWindow));
    sio::test::TPtyPort pty(dir, 3);
    std::vector<double> raw, off, on;
    for (int r = 0; r < 3; ++r) {
        raw.push_back(RawThroughput(pty, total, line));
        off.push_back(OursThroughput(pty, total, false, line));
        on.push_back(OursThroughput(pty, total, true, line));
    }
    const double mr = Median(raw), moff = Median(off), mon = Median(on);
    if (std::min({*std::min_element(raw.begin(), raw.end()), *std::min_element(off.begin(), off.end()),
                  *std::min_element(on.begin(), on.end())}) <= 0.0) {
        Fail("Receive throughput", "a round did not receive every byte");
        return;
    }
    g_notes.push_back("Throughput: the far end stays at most 48 KiB ahead of what the receiver has taken, and our "
                      "port has InSize 65535: the input queue is bounded and drops what finds it full, and a "
                      "pseudo-terminal, unlike a line, has no speed of its own to hold the far end back.");
    Row("Receive throughput, dispatch log on (MB/s)", Fmt("%.1f", mon), Fmt("raw read loop %.1f", mr),
        Fmt("%.2fx", mon / mr), "≥ 20 MB/s", mon >= 20.0);
    Row("Receive throughput, dispatch log off (MB/s)", Fmt("%.1f", moff), Fmt("raw read loop %.1f", mr),
        Fmt("%.2fx", moff / mr), "—", std::nullopt);
}

// ---------------------------------------------------------------------------
// CPU.

void IdleCpu(const TOptions& o, sio::test::TPortDir& dir)
{
    std::printf("idle: %d s each, ours then QSerialPort\n", o.idleSeconds);
    sio::test::TPtyPort pty(dir, 3);
    double ours = 0, qt = 0;
    {
        TConsoleLike::TSetup s;
        TConsoleLike c(s);
        std::thread far([&] {
            std::string buf;
            if (ReadAtLeast(pty.Master(), buf, kCommand.size(), 5000))
                WriteAllFd(pty.Master(), kReply.data(), kReply.size());
        });
        c.Send("STA;0");
        c.Wait(5000);
        far.join();
        RunEventLoop(200);
        const double c0 = CpuSeconds();
        auto t0 = Clock::now();
        RunEventLoop(o.idleSeconds * 1000);
        ours = 100.0 * (CpuSeconds() - c0) / (Micros(t0, Clock::now()) / 1e6);
    }
    {
        QSerialPort sp(QString::fromStdString(pty.SlavePath()));
        if (sp.open(QIODevice::ReadWrite)) {
            QObject::connect(&sp, &QSerialPort::readyRead, [&] { sp.readAll(); });
            RunEventLoop(200);
            const double c0 = CpuSeconds();
            auto t0 = Clock::now();
            RunEventLoop(o.idleSeconds * 1000);
            qt = 100.0 * (CpuSeconds() - c0) / (Micros(t0, Clock::now()) / 1e6);
        }
    }
    Row("CPU idle, port open (% of one core)", Fmt("%.3f", ours), Fmt("QSerialPort %.3f", qt),
        qt >= 0.01 ? Fmt("%.1fx", ours / qt) : "— (the peer's CPU is below what the clock resolves)", "≤ 0.3 %",
        ours <= 0.3);
    g_notes.push_back("Idle CPU is our port component and reply collector (after one exchange, collector listening) "
                      "in this process with the Qt message queue idle on the Qt event loop, not the console under X.");
}

void SlowReadoutCpu(const TOptions& o, sio::test::TPortDir& dir)
{
    if (o.slowReadouts <= 0)
        return;
    std::printf("readout against a gripper answering after 1 s: %d readout(s)\n", o.slowReadouts);
    std::vector<std::string> args = o.simArgs;
    args.push_back("--delay");
    args.push_back("1000");
    TSimulator sim(dir, 6, args);
    if (!sim.Ok()) {
        Fail("CPU during a slow Readout", "simulator did not start");
        return;
    }
    TConsoleLike::TSetup s;
    s.com = 6;
    TConsoleLike c(s);
    c.Send("STA;0");
    c.Wait(5000);
    std::vector<double> cpu;
    for (int i = 0; i < o.slowReadouts; ++i) {
        const double c0 = CpuSeconds();
        auto t0 = Clock::now();
        if (!c.Readout()) {
            Fail("CPU during a slow Readout", "a place went unanswered");
            return;
        }
        cpu.push_back(100.0 * (CpuSeconds() - c0) / (Micros(t0, Clock::now()) / 1e6));
    }
    const double m = Median(cpu);
    Row("CPU during a Readout, gripper answers after 1 s (% of one core)", Fmt("%.3f", m), "—", "—", "≤ 2 %",
        m <= 2.0);
}

// ---------------------------------------------------------------------------
// The collector's time limit.

void TimeLimit(const TOptions& o, sio::test::TPortDir& dir)
{
    std::printf("time limit: %d commands to a silent gripper\n", o.timeouts);
    sio::test::TPtyPort pty(dir, 3);
    std::atomic<bool> stop{false};
    std::thread drain([&] {
        while (!stop.load()) {
            pollfd p{pty.Master(), POLLIN, 0};
            ::poll(&p, 1, 50);
            DrainFd(pty.Master());
        }
    });
    std::vector<double> ms, late;
    {
        TConsoleLike::TSetup s;
        TConsoleLike c(s);
        // Commands at random points of a tick, as an operator sends them: a
        // command sent right after a time-out would always start just past a
        // tick's start, and every limit would end near 26 ticks.
        std::uint32_t seed = 12345;
        for (int i = 0; i < o.timeouts; ++i) {
            seed = seed * 1103515245u + 12345u;
            const std::uint32_t pause = (seed >> 16) % sio::MsPerTick;
            sio::ServeMessagesUntil([] { return false; }, pause);
            auto t0 = Clock::now();
            // The limit ends on the first tick past 25 ticks from its start.
            const std::uint32_t due = (sio::TickCount() + 26) * sio::MsPerTick;
            c.Send("STA;0");
            if (!c.Wait(5000) || !c.timedOut)
                break;
            ms.push_back(Micros(t0, Clock::now()) / 1000.0);
            late.push_back(static_cast<double>(static_cast<std::int32_t>(sio::MillisecondClock() - due)));
        }
    }
    stop = true;
    drain.join();
    if (static_cast<int>(ms.size()) != o.timeouts) {
        Fail("Collector time limit", "a command got no time-out");
        return;
    }
    TStats s = Summarise(ms);
    const auto inside = std::count_if(ms.begin(), ms.end(), [](double v) { return v >= 1375.0 && v <= 1430.0; });
    const bool all = static_cast<int>(ms.size()) == o.timeouts && inside == static_cast<long>(ms.size());
    TStats l = Summarise(late);
    g_notes.push_back("Time limit: after its due time (the first tick past 25 ticks from the send) the time-out "
                      "reached the main thread's handler " + Fmt2("%.0f ms at the median, %.0f ms", l.median, l.p99) +
                      Fmt(" at the 99th percentile, %.0f ms at most (whole milliseconds).", l.max));
    Row("Collector time limit, 25 ticks (ms)",
        Fmt2("min %.1f, median %.1f", s.min, s.median) + Fmt2(", p99 %.1f, max %.1f", s.p99, s.max) + "; " +
            std::to_string(inside) + " of " + std::to_string(o.timeouts) + " inside",
        "25 ticks = 1375", Fmt2("%.3fx .. %.3fx", s.min / 1375.0, s.max / 1375.0), "every one in 1375..1430", all);
}

// ---------------------------------------------------------------------------
// Start-up and memory.

pid_t Spawn(std::vector<std::string> args, const std::vector<std::string>& env, bool quiet)
{
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    // The given variables replace inherited ones of the same name: the
    // first of two wins in most programs, so appending would not override.
    auto named = [](const std::string& var, const std::string& other) {
        const auto eq = other.find('=');
        return eq != std::string::npos && var.compare(0, eq + 1, other, 0, eq + 1) == 0;
    };
    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e) {
        const std::string inherited(*e);
        if (std::none_of(env.begin(), env.end(), [&](const std::string& v) { return named(inherited, v); }))
            envStore.push_back(inherited);
    }
    envStore.insert(envStore.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& e : envStore)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (quiet) {
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = -1;
    if (::posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

int WaitExit(pid_t pid)
{
    int st = 0;
    ::waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

void StartupAndMemory(const TOptions& o, sio::test::TPortDir& dir)
{
    // Our memory across 10 000 exchanges through one open port, as the
    // console keeps it open.
    {
        sio::test::TPtyPort pty(dir, 3);
        const int count = o.smoke ? 200 : 10000;
        TResponder responder(pty.Master(), count);
        long before = 0, opened = 0, after = 0;
        before = RssKb();
        responder.Start();
        {
            TConsoleLike::TSetup s;
            TConsoleLike c(s);
            for (int i = 0; i <= count; ++i) {
                c.Send("STA;0");
                if (i == 0)
                    opened = RssKb();
                if (i == count || !c.Wait() || c.timedOut)
                    break;
            }
            responder.Join();
            after = RssKb();
        }
        Row("Memory, our port + collector (RSS, kB)",
            std::to_string(opened - before) + " at open; +" + std::to_string(after - opened) + " after " +
                std::to_string(count) + " exchanges",
            "process " + std::to_string(before) + " before", "—", "reported", std::nullopt);
    }
    if (o.startups <= 0)
        return;
    // The console's start-up, to its window mapped on an X server.
    std::string display;
    pid_t xvfb = -1;
    if (const char* d = std::getenv("DISPLAY"); d && *d) {
        display = d;
    } else {
        display = ":" + std::to_string(90 + (::getpid() % 9));
        xvfb = Spawn({"Xvfb", display, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"}, {}, true);
        const std::string sock = "/tmp/.X11-unix/X" + display.substr(1);
        if (xvfb <= 0 || !sio::test::WaitUntil([&] { return fs::exists(sock); })) {
            Fail("Start-up to the window shown", "no X server (Xvfb) to show it on");
            return;
        }
    }
    std::vector<double> ms;
    std::vector<double> rss;
    for (int i = 0; i < o.startups; ++i) {
        auto t0 = Clock::now();
        pid_t pid = Spawn({TARNELL_CONSOLE_PATH}, {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb"}, true);
        if (pid <= 0)
            break;
        bool shown = false;
        while (!shown && Micros(t0, Clock::now()) < 20e6) {
            pid_t x = Spawn({"xdotool", "search", "--onlyvisible", "--pid", std::to_string(pid), "--name", "Tarnell"},
                            {"DISPLAY=" + display}, true);
            shown = x > 0 && WaitExit(x) == 0;
            if (!shown)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        if (shown) {
            ms.push_back(Micros(t0, Clock::now()) / 1000.0);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            rss.push_back(static_cast<double>(RssKb(pid)));
        }
        ::kill(pid, SIGTERM);
        WaitExit(pid);
    }
    if (xvfb > 0) {
        ::kill(xvfb, SIGTERM);
        WaitExit(xvfb);
    }
    if (ms.empty()) {
        Fail("Start-up to the window shown", "window not seen");
        return;
    }
    Row("Start-up of tarnell-console to its window shown (ms)", Fmt("%.0f", Median(ms)), "—", "—", "reported",
        std::nullopt);
    Row("Memory of tarnell-console after start (RSS, kB)", Fmt("%.0f", Median(rss)), "—", "—", "reported",
        std::nullopt);
    g_notes.push_back("Start-up is timed from the spawn of tarnell-console until xdotool finds its window mapped "
                      "(polled every few ms, so a few ms of polling are included), median of " +
                      std::to_string(ms.size()) + " under " + (xvfb > 0 ? "Xvfb" : "the given display") + ".");
}

// ---------------------------------------------------------------------------

void PrintMachine()
{
    utsname u{};
    ::uname(&u);
    std::string cpu;
    std::ifstream f("/proc/cpuinfo");
    for (std::string line; std::getline(f, line);)
        if (line.rfind("model name", 0) == 0) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    double load[3] = {0, 0, 0};
    ::getloadavg(load, 3);
    std::printf("Machine: %s, %u CPUs online, Linux %s; load average at the end %.2f %.2f %.2f\n", cpu.c_str(),
                std::thread::hardware_concurrency(), u.release, load[0], load[1], load[2]);
}

void PrintTable()
{
    std::printf("\n| Measure | Ours | Reference | Ratio | Goal | |\n|---|---|---|---|---|---|\n");
    for (auto& r : g_rows)
        std::printf("| %s | %s | %s | %s | %s | %s |\n", r.measure.c_str(), r.ours.c_str(), r.reference.c_str(),
                    r.ratio.c_str(), r.goal.c_str(), r.verdict.c_str());
    std::printf("\n");
    for (auto& n : g_notes)
        std::printf("- %s\n", n.c_str());
}

TOptions ParseArgs(int argc, char** argv)
{
    TOptions o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> int {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", a.c_str());
                std::exit(2);
            }
            return std::atoi(argv[++i]);
        };
        if (a == "--smoke") {
            o.smoke = true;
            o.exchanges = 300;
            o.rounds = 3;
            o.readouts = 1;
            o.megabytes = 2;
            o.idleSeconds = 1;
            o.timeouts = 3;
            o.slowReadouts = 0;
            o.startups = 1;
        } else if (a == "--exchanges") {
            o.exchanges = next();
        } else if (a == "--rounds") {
            o.rounds = std::max(1, next());
        } else if (a == "--readouts") {
            o.readouts = std::max(1, next());
        } else if (a == "--megabytes") {
            o.megabytes = std::max(1, next());
        } else if (a == "--idle") {
            o.idleSeconds = std::max(1, next());
        } else if (a == "--timeouts") {
            o.timeouts = std::max(1, next());
        } else if (a == "--slow-readouts") {
            o.slowReadouts = next();
        } else if (a == "--startups") {
            o.startups = next();
        } else if (a == "--only" && i + 1 < argc) {
            o.only = argv[++i];
        } else if (a == "--sim-arg" && i + 1 < argc) {
            o.simArgs.push_back(argv[++i]);
        } else {
            std::fprintf(stderr,
                         "usage: sio_peer_bench [--smoke] [--exchanges N] [--rounds N] [--readouts N] [--megabytes N]\n"
                         "                      [--idle S] [--timeouts N] [--slow-readouts N] [--startups N]\n"
                         "                      [--sim-arg ARG]... [--only SECTION,...]\n"
                         "sections: turnaround readout throughput idle slowreadout timelimit startup\n");
            std::exit(2);
        }
    }
    return o;
}

}  // namespace

int main(int argc, char** argv)
{
    const TOptions o = ParseArgs(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QCoreApplication app(argc, argv);
    tarnell::QtMessageQueue queue;
    sio::SetMessageQueue(&queue);
    // Every dispatch log is written where nothing else lives.
    sio::test::TPortDir dir;
    const fs::path work = fs::path(dir.Path()) / "work";
    fs::create_directories(work);
    fs::current_path(work);

    const auto start = Clock::now();
    if (o.Runs("turnaround"))
        Turnaround(o, dir);
    if (o.Runs("readout"))
        ReadoutAtWireSpeed(o, dir);
    if (o.Runs("throughput"))
        Throughput(o, dir);
    if (o.Runs("idle"))
        IdleCpu(o, dir);
    if (o.Runs("slowreadout"))
        SlowReadoutCpu(o, dir);
    if (o.Runs("timelimit"))
        TimeLimit(o, dir);
    if (o.Runs("startup"))
        StartupAndMemory(o, dir);
    std::printf("\nRun took %.0f s.\n", Micros(start, Clock::now()) / 1e6);
    PrintMachine();
    PrintTable();

    fs::current_path(fs::temp_directory_path());
    sio::SetMessageQueue(nullptr);
    return g_failed ? 1 : 0;
}
