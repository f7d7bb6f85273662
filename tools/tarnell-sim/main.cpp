// tarnell-sim: a simulated gripper bus on a pseudo-terminal (or a real
// device), so that the console can be tried and tested without hardware.
//
//   tarnell-sim [--dir DIR] [--com N] [--device PATH] [--address A[:MODEL]]...
//               [--echo] [--delay MS] [--pieces] [--silent]
//
// With a pseudo-terminal the other end is linked as DIR/COMn (DIR defaults to
// $SIO_PORT_DIR, else /tmp/tarnell-ports), which is what the console's port
// list reads when SIO_PORT_DIR names that folder.
#include "GripperBus.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

struct Options {
    std::string dir;
    int com = 1;
    std::string device;
    bool echo = false;
    int delayMs = 0;
    bool pieces = false;
    bool silent = false;
};

[[noreturn]] void Usage()
{
    std::fprintf(stderr,
                 "usage: tarnell-sim [--dir DIR] [--com N] [--device PATH] [--address A[:MODEL]]...\n"
                 "                   [--echo] [--delay MS] [--pieces] [--silent]\n"
                 "  --echo    send every frame back first, as a two-wire RS-485 bus does\n"
                 "  --delay   wait MS milliseconds before answering\n"
                 "  --pieces  answer one byte at a time, 5 ms apart\n"
                 "  --silent  never answer\n"
                 "  MODEL     KV0050 (50 mm, default), KV0150 (100 mm) or KV0030 (30 mm)\n");
    std::exit(2);
}

bool WriteAll(int fd, const std::string& data, bool pieces)
{
    std::size_t done = 0;
    while (done < data.size()) {
        std::size_t chunk = pieces ? 1 : data.size() - done;
        ssize_t n = ::write(fd, data.data() + done, chunk);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN) {
                pollfd p{fd, POLLOUT, 0};
                ::poll(&p, 1, 100);
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
        if (pieces && done < data.size())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

int OpenPseudoTerminal(const Options& opt, std::string& link, int& keepSlave)
{
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        std::perror("tarnell-sim: pseudo-terminal");
        std::exit(1);
    }
    const char* slave = ::ptsname(master);
    // Holding the far end open keeps the master readable while no program
    // has the port open, instead of reporting a hang-up between sessions.
    keepSlave = ::open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    if (keepSlave >= 0 && ::tcgetattr(keepSlave, &raw) == 0) {
        ::cfmakeraw(&raw);
        ::tcsetattr(keepSlave, TCSANOW, &raw);
    }
    ::mkdir(opt.dir.c_str(), 0755);
    link = opt.dir + "/COM" + std::to_string(opt.com);
    ::unlink(link.c_str());
    if (::symlink(slave, link.c_str()) != 0) {
        std::fprintf(stderr, "tarnell-sim: cannot link %s: %s\n", link.c_str(), std::strerror(errno));
        std::exit(1);
    }
    std::printf("tarnell-sim: gripper bus on %s (%s)\n", link.c_str(), slave);
    return master;
}

int OpenDevice(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "tarnell-sim: %s: %s\n", path.c_str(), std::strerror(errno));
        std::exit(1);
    }
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    t.c_cflag |= PARENB | CLOCAL | CREAD;  // the console's line: 9600 8E1
    ::cfsetspeed(&t, B9600);
    ::tcsetattr(fd, TCSANOW, &t);
    std::printf("tarnell-sim: gripper bus on %s\n", path.c_str());
    return fd;
}

}  // namespace

int main(int argc, char** argv)
{
    Options opt;
    const char* envDir = std::getenv("SIO_PORT_DIR");
    opt.dir = envDir && *envDir ? envDir : "/tmp/tarnell-ports";
    tarnell::sim::GripperBus bus;
    bool anyGripper = false;

    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc)
                Usage();
            return argv[++i];
        };
        if (a == "--dir")
            opt.dir = next();
        else if (a == "--com")
            opt.com = std::atoi(next().c_str());
        else if (a == "--device")
            opt.device = next();
        else if (a == "--echo")
            opt.echo = true;
        else if (a == "--delay")
            opt.delayMs = std::atoi(next().c_str());
        else if (a == "--pieces")
            opt.pieces = true;
        else if (a == "--silent")
            opt.silent = true;
        else if (a == "--address") {
            std::string arg = next();
            std::string model = "KV0050";
            if (auto colon = arg.find(':'); colon != std::string::npos) {
                model = arg.substr(colon + 1);
                arg.resize(colon);
            }
            int address = std::atoi(arg.c_str());
            if (address < 0 || address > 32)
                Usage();
            bus.AddGripper(address, model);
            anyGripper = true;
        } else
            Usage();
    }
    if (opt.com < 1 || opt.com > 50)
        Usage();
    if (!anyGripper)
        bus.AddGripper(0, "KV0050");

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGHUP, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);

    std::string link;
    int keepSlave = -1;
    int fd = opt.device.empty() ? OpenPseudoTerminal(opt, link, keepSlave) : OpenDevice(opt.device);
    std::fflush(stdout);

    tarnell::sim::FrameSplitter splitter;
    char buf[512];
    while (!g_stop) {
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, 200);
        if (r <= 0)
            continue;
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) {
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));  // far end closed
            continue;
        }
        for (const std::string& frame : splitter.Feed(buf, static_cast<std::size_t>(n))) {
            if (opt.echo)
                WriteAll(fd, frame + "\n\r", false);
            if (opt.silent)
                continue;
            std::string reply = bus.Answer(frame);
            if (reply.empty())
                continue;
            if (opt.delayMs > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(opt.delayMs));
            WriteAll(fd, reply, opt.pieces);
        }
    }
    if (!link.empty())
        ::unlink(link.c_str());
    if (keepSlave >= 0)
        ::close(keepSlave);
    ::close(fd);
    return 0;
}
