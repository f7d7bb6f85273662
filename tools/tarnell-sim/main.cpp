// tarnell-sim: a simulated gripper bus on a pseudo-terminal (or a real
// device), so that the console can be tried and tested without hardware.
// --help lists the options.
//
// With a pseudo-terminal the other end is linked as DIR/COMn (DIR defaults to
// $SIO_PORT_DIR, else /tmp/tarnell-ports), which is what the console's port
// list reads when SIO_PORT_DIR names that folder.
//
// One thread, one loop: received bytes are timed by the line they would have
// crossed, frames are answered when heard, and replies are handed to the
// terminal as their characters would have left the line.
#include "GripperBus.h"
#include "Wire.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

using tarnell::sim::Clock;

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

struct Options {
    std::string dir;
    int com = 1;
    std::string device;
    int baud = 9600;
    char parity = 'E';  // E, O or N
    bool wireTiming = true;
    bool echo = false;
    int delayMs = 0;
    bool pieces = false;
    bool silent = false;
    tarnell::sim::Garbage garbage = tarnell::sim::Garbage::None;
    int garbageEvery = 1;
    std::uint32_t seed = 1;
    std::string log;
};

const char kUsage[] =
    "Usage: tarnell-sim [OPTION]...\n"
    "\n"
    "Simulates grippers on a serial bus. Answers STA (status), VER (version with\n"
    "the model), RCL and STO (the eight storage places, kept in memory) and any\n"
    "other command with a short acknowledgement. Only the addressed gripper\n"
    "answers; a frame for an address without a gripper gets no answer.\n"
    "\n"
    "Options:\n"
    "  --dir DIR        folder for the link COMn (default $SIO_PORT_DIR, else\n"
    "                   /tmp/tarnell-ports); a link left there is replaced\n"
    "  --com N          link name COMn, 1..50 (default 1)\n"
    "  --device PATH    serve a real serial device instead of a pseudo-terminal\n"
    "  --address A[:M]  a gripper at address A, 0..99, of model M: KV0050 (50 mm,\n"
    "                   default), KV0150 (100 mm) or KV0030 (30 mm); repeatable.\n"
    "                   Without any: one KV0050 at address 0\n"
    "  --status A:V,V.. the gripper at A answers STA with these values in turn,\n"
    "                   one per STA, then from the first again (a status that\n"
    "                   changes, for watching); give --address A first\n"
    "  --status-period MS\n"
    "                   hold each --status value MS ms from the start instead\n"
    "  --slow A:MS      the gripper at A answers MS ms later than the others\n"
    "  --baud N         line speed (default 9600)\n"
    "  --parity P       even (default), odd or none; 8 data bits, 1 stop bit\n"
    "  --no-wire-timing\n"
    "                   hand frames and replies on at once. By default, on a\n"
    "                   pseudo-terminal, every character takes its time on the line\n"
    "                   both ways: (start + 8 data + parity + stop bits) / baud,\n"
    "                   1.15 ms at 9600 8E1. A real device times itself, so there\n"
    "                   the simulator adds nothing\n"
    "  --echo           send every frame back first, as a two-wire RS-485 bus does\n"
    "  --delay MS       the grippers' own answer time, between hearing a frame and\n"
    "                   starting the reply (default 0: no time besides the line's)\n"
    "  --pieces         hand replies over one byte at a time, at least 5 ms apart\n"
    "  --silent         never answer (the echo still comes)\n"
    "  --garbage MODE   spoil replies: noise (8 to 64 random bytes instead of the\n"
    "                   reply), noise-first (random bytes, then the reply), no-end\n"
    "                   (the reply without LF CR), huge (the reply padded with '.'\n"
    "                   to 64 KiB, LF CR last), cut (the first part of the reply,\n"
    "                   then nothing)\n"
    "  --garbage-every N  spoil only every Nth reply: the Nth, 2Nth, ... (default 1)\n"
    "  --seed N         seed for the random choices of --garbage (default 1); the\n"
    "                   same seed and commands give the same bytes\n"
    "  --log FILE       append one line per chunk received or sent:\n"
    "                   SECONDS rx|tx BYTES, seconds since start, bytes with \\n, \\r,\n"
    "                   \\\\ and \\xNN for other unprintables; written line by line\n"
    "  --help           this text\n"
    "\n"
    "Reply time: frame on the line + --delay + reply on the line.\n"
    "SIGTERM or SIGINT ends it and removes its link.\n";

[[noreturn]] void Usage(const char* problem)
{
    if (problem)
        std::fprintf(stderr, "tarnell-sim: %s\n", problem);
    std::fputs(kUsage, stderr);
    std::exit(2);
}

int ParseInt(const std::string& text, long min, long max, const char* what)
{
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < min || v > max) {
        std::fprintf(stderr, "tarnell-sim: %s must be a number from %ld to %ld, not '%s'\n", what, min, max,
                     text.c_str());
        std::exit(2);
    }
    return static_cast<int>(v);
}

// The log: one line per chunk, written with one write() so that a reader
// sees whole lines as soon as they happen.
class Log {
public:
    explicit Log(const std::string& path)
    {
        if (path.empty())
            return;
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd_ < 0) {
            std::fprintf(stderr, "tarnell-sim: cannot open log %s: %s\n", path.c_str(), std::strerror(errno));
            std::exit(1);
        }
    }
    ~Log()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    void Line(const char* direction, std::string_view bytes)
    {
        if (fd_ < 0)
            return;
        const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%.6f ", seconds);
        std::string line = stamp;
        line += direction;
        line += ' ';
        line += tarnell::sim::Escape(bytes);
        line += '\n';
        for (std::size_t done = 0; done < line.size();) {
            ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
            if (n <= 0)
                return;  // a full disk must not stop the bus
            done += static_cast<std::size_t>(n);
        }
    }

private:
    int fd_ = -1;
    Clock::time_point start_ = Clock::now();
};

// The link DIR/COMn to the pseudo-terminal's far end. It is put in place in
// one step (a new link renamed over the old one), so that a restarted
// simulator replaces a link that a killed one left, and a console looking at
// the folder never sees it missing. At exit it is removed only if it is still
// ours: a simulator started at the same link meanwhile keeps it.
class PortLink {
public:
    PortLink(const std::string& dir, int com, const std::string& target) : target_(target)
    {
        ::mkdir(dir.c_str(), 0755);
        path_ = dir + "/COM" + std::to_string(com);
        const std::string temp = path_ + ".new-" + std::to_string(::getpid());
        ::unlink(temp.c_str());
        if (::symlink(target.c_str(), temp.c_str()) != 0 || ::rename(temp.c_str(), path_.c_str()) != 0) {
            std::fprintf(stderr, "tarnell-sim: cannot link %s: %s\n", path_.c_str(), std::strerror(errno));
            ::unlink(temp.c_str());
            std::exit(1);
        }
    }
    ~PortLink()
    {
        char buf[PATH_MAX];
        ssize_t n = ::readlink(path_.c_str(), buf, sizeof buf - 1);
        if (n >= 0 && std::string(buf, static_cast<std::size_t>(n)) == target_)
            ::unlink(path_.c_str());
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
    std::string target_;
};

int OpenPseudoTerminal(std::string& slaveName, int& keepSlave)
{
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        std::perror("tarnell-sim: pseudo-terminal");
        std::exit(1);
    }
    slaveName = ::ptsname(master);
    // Holding the far end open keeps the master readable while no program
    // has the port open, instead of reporting a hang-up between sessions; so
    // a console that closes and reopens the port finds the bus still there.
    keepSlave = ::open(slaveName.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    if (keepSlave >= 0 && ::tcgetattr(keepSlave, &raw) == 0) {
        ::cfmakeraw(&raw);
        ::tcsetattr(keepSlave, TCSANOW, &raw);
    }
    return master;
}

speed_t SpeedCode(int baud)
{
    static const struct {
        int baud;
        speed_t code;
    } kSpeeds[] = {{1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
                   {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
                   {230400, B230400}, {460800, B460800}, {921600, B921600}};
    for (const auto& s : kSpeeds)
        if (s.baud == baud)
            return s.code;
    std::fprintf(stderr, "tarnell-sim: %d baud is not a standard speed of a serial device\n", baud);
    std::exit(2);
}

int OpenDevice(const Options& opt)
{
    int fd = ::open(opt.device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        std::fprintf(stderr, "tarnell-sim: %s: %s\n", opt.device.c_str(), std::strerror(errno));
        std::exit(1);
    }
    termios t{};
    if (::tcgetattr(fd, &t) != 0) {
        std::fprintf(stderr, "tarnell-sim: %s is not a serial device: %s\n", opt.device.c_str(), std::strerror(errno));
        std::exit(1);
    }
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CSTOPB);
    if (opt.parity != 'N')
        t.c_cflag |= PARENB;
    if (opt.parity == 'O')
        t.c_cflag |= PARODD;
    ::cfsetspeed(&t, SpeedCode(opt.baud));
    if (::tcsetattr(fd, TCSANOW, &t) != 0)
        std::fprintf(stderr, "tarnell-sim: %s: line settings: %s\n", opt.device.c_str(), std::strerror(errno));
    return fd;
}

Options ParseArguments(int argc, char** argv, tarnell::sim::GripperBus& bus)
{
    Options opt;
    const char* envDir = std::getenv("SIO_PORT_DIR");
    opt.dir = envDir && *envDir ? envDir : "/tmp/tarnell-ports";
    bool anyGripper = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc)
                Usage((a + " needs a value").c_str());
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (a == "--dir")
            opt.dir = next();
        else if (a == "--com")
            opt.com = ParseInt(next(), 1, 50, "--com");
        else if (a == "--device")
            opt.device = next();
        else if (a == "--baud")
            opt.baud = ParseInt(next(), 50, 4000000, "--baud");
        else if (a == "--parity") {
            std::string p = next();
            if (p != "even" && p != "odd" && p != "none")
                Usage("--parity takes even, odd or none");
            opt.parity = static_cast<char>(std::toupper(static_cast<unsigned char>(p[0])));
        } else if (a == "--no-wire-timing")
            opt.wireTiming = false;
        else if (a == "--echo")
            opt.echo = true;
        else if (a == "--delay")
            opt.delayMs = ParseInt(next(), 0, 3600000, "--delay");
        else if (a == "--pieces")
            opt.pieces = true;
        else if (a == "--silent")
            opt.silent = true;
        else if (a == "--garbage") {
            if (!tarnell::sim::ParseGarbage(next(), opt.garbage))
                Usage("unknown --garbage mode");
        } else if (a == "--garbage-every")
            opt.garbageEvery = ParseInt(next(), 1, INT_MAX, "--garbage-every");
        else if (a == "--seed")
            opt.seed = static_cast<std::uint32_t>(ParseInt(next(), 0, INT_MAX, "--seed"));
        else if (a == "--log")
            opt.log = next();
        else if (a == "--address") {
            std::string arg = next();
            std::string model = "KV0050";
            if (auto colon = arg.find(':'); colon != std::string::npos) {
                model = arg.substr(colon + 1);
                arg.resize(colon);
            }
            bus.AddGripper(ParseInt(arg, 0, tarnell::sim::GripperBus::kMaxAddress, "--address"), model);
            anyGripper = true;
        } else if (a == "--status" || a == "--slow") {
            const std::string arg = next();
            const std::size_t colon = arg.find(':');
            if (colon == std::string::npos)
                Usage((a + " takes ADDRESS:VALUE").c_str());
            const int address = ParseInt(arg.substr(0, colon), 0, tarnell::sim::GripperBus::kMaxAddress, a.c_str());
            bool known = false;
            if (a == "--slow") {
                known = bus.SetDelay(address, ParseInt(arg.substr(colon + 1), 0, 3600000, "--slow"));
            } else {
                std::vector<int> steps;
                std::string rest = arg.substr(colon + 1);
                for (std::size_t start = 0;;) {
                    const std::size_t comma = rest.find(',', start);
                    steps.push_back(ParseInt(rest.substr(start, comma == std::string::npos ? comma : comma - start), 0,
                                             65535, "--status"));
                    if (comma == std::string::npos)
                        break;
                    start = comma + 1;
                }
                known = bus.SetStatusSteps(address, std::move(steps));
            }
            if (!known)
                Usage((a + ": no gripper at that address; give --address first").c_str());
        } else if (a == "--status-period")
            bus.SetStatusPeriod(ParseInt(next(), 1, 3600000, "--status-period"));
        else
            Usage(("unknown option " + a).c_str());
    }
    if (!anyGripper)
        bus.AddGripper(0, "KV0050");  // --status and --slow need --address before them
    return opt;
}

}  // namespace

int main(int argc, char** argv)
{
    tarnell::sim::GripperBus bus;
    const Options opt = ParseArguments(argc, argv, bus);

    // Signals are blocked except while the loop waits in ppoll, so a stop
    // request always ends the wait and is never lost between check and wait.
    sigset_t stopSignals, waitMask;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    ::sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    struct sigaction sa{};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(s, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Log log(opt.log);
    std::string slaveName;
    int keepSlave = -1;
    int fd = -1;
    std::optional<PortLink> link;
    if (opt.device.empty()) {
        fd = OpenPseudoTerminal(slaveName, keepSlave);
        link.emplace(opt.dir, opt.com, slaveName);
        std::printf("tarnell-sim: gripper bus on %s (%s)\n", link->Path().c_str(), slaveName.c_str());
    } else {
        fd = OpenDevice(opt);
        std::printf("tarnell-sim: gripper bus on %s\n", opt.device.c_str());
    }
    std::fflush(stdout);

    // A real line takes its own time; only a pseudo-terminal needs it added.
    const bool timed = opt.wireTiming && opt.device.empty();
    const Clock::duration perChar = timed ? tarnell::sim::CharacterTime(opt.baud, 8, opt.parity != 'N', 1) : Clock::duration::zero();
    const Clock::duration perByteOut = opt.pieces ? std::max<Clock::duration>(perChar, std::chrono::milliseconds(5)) : perChar;
    const Clock::duration answerDelay = std::chrono::milliseconds(opt.delayMs);

    // Wake-ups pace the line, so they should come when asked: the default
    // 50 µs slack would add to every character's time.
    if (timed)
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    tarnell::sim::WireReceiver receiver(perChar);
    tarnell::sim::Transmitter transmitter(perByteOut, opt.pieces ? 1 : SIZE_MAX);
    tarnell::sim::Garbler garbler(opt.garbage, opt.seed, opt.garbageEvery);
    std::deque<tarnell::sim::HeardFrame> heard;
    bool writeBlocked = false;
    const Clock::time_point started = Clock::now();
    Clock::time_point quietUntil{};  // after a hang-up, look again only later

    while (!g_stop) {
        Clock::time_point now = Clock::now();

        while (!heard.empty() && heard.front().heardAt <= now) {
            tarnell::sim::HeardFrame frame = std::move(heard.front());
            heard.pop_front();
            // Timed from the moment the frame was through, not from this
            // wake-up: the loop's own lateness is no part of the line's time.
            if (opt.echo)
                transmitter.Queue(frame.text + "\n\r", frame.heardAt, false);
            if (opt.silent)
                continue;
            bus.SetElapsed(std::chrono::duration_cast<std::chrono::milliseconds>(frame.heardAt - started).count());
            const auto delay = answerDelay + std::chrono::milliseconds(bus.DelayFor(frame.text));
            transmitter.Queue(garbler.Apply(bus.Answer(frame.text)), frame.heardAt + delay, true);
        }

        while (!writeBlocked && !transmitter.Empty()) {
            std::string_view due = transmitter.Due(now);
            if (due.empty())
                break;
            ssize_t n = ::write(fd, due.data(), due.size());
            if (n > 0) {
                log.Line("tx", due.substr(0, static_cast<std::size_t>(n)));
                transmitter.Sent(static_cast<std::size_t>(n));
            } else if (n < 0 && errno == EAGAIN) {
                writeBlocked = true;
            } else if (n < 0 && errno != EINTR) {
                transmitter.Clear();  // the far end is gone; nobody hears the rest
                quietUntil = now + std::chrono::milliseconds(100);
            }
        }

        std::optional<Clock::time_point> wake;
        if (!heard.empty())
            wake = heard.front().heardAt;
        if (!writeBlocked && !transmitter.Empty()) {
            // At most one wake-up per millisecond; a byte is never early, only a little late.
            Clock::time_point due = std::max(transmitter.NextDue(), now + std::chrono::milliseconds(1));
            wake = wake ? std::min(*wake, due) : due;
        }
        const bool quiet = now < quietUntil;
        if (quiet)
            wake = wake ? std::min(*wake, quietUntil) : quietUntil;

        // While quiet the descriptor is left out: a hang-up would wake the wait at once.
        pollfd p{quiet ? -1 : fd, static_cast<short>(POLLIN | (writeBlocked ? POLLOUT : 0)), 0};
        timespec timeout{};
        if (wake) {
            auto left = std::max(Clock::duration::zero(), *wake - now);
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
            timeout.tv_nsec = static_cast<long>(ns % 1000000000);
        }
        int r = ::ppoll(&p, 1, wake ? &timeout : nullptr, &waitMask);
        if (r <= 0)
            continue;
        if (p.revents & POLLOUT)
            writeBlocked = false;
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            char buf[4096];
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0) {
                log.Line("rx", std::string_view(buf, static_cast<std::size_t>(n)));
                receiver.Feed(buf, static_cast<std::size_t>(n), Clock::now(), heard);
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                // The far end closed: keep serving, and look again in a while
                // rather than spin on the hang-up.
                quietUntil = Clock::now() + std::chrono::milliseconds(100);
                writeBlocked = false;
            }
        }
    }

    link.reset();
    if (keepSlave >= 0)
        ::close(keepSlave);
    ::close(fd);
    return 0;
}
