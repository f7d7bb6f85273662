// A real ser2net for the network port tests, and the processes around it.
//
// TProcess starts a program (fork/exec, output to files in a folder) and
// stops it by its process ID. TSer2net writes a configuration file with
// one connection per accepter given, starts ser2net in the foreground on it
// and waits until every accepter listens on 127.0.0.1 (seen in
// /proc/net/tcp, so that no probe connection makes ser2net open the device
// before the test does). FreeTcpPort finds a port nobody listens on.
//
//   sio::test::TSer2net s(dir, {{"telnet(rfc2217)", "/dev/pts/5"}, {"tcp", "/dev/pts/6"}});
//   std::string url = "rfc2217://127.0.0.1:" + std::to_string(s.Port(0));
//
// ser2net is the path CMake found (TARNELL_SER2NET); a test without it
// fails, it never skips. Header-only; everything runs on the test's thread.
#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef TARNELL_SER2NET
#define TARNELL_SER2NET ""
#endif

namespace sio::test {

// A port on 127.0.0.1 that was free a moment ago.
inline int FreeTcpPort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        throw std::runtime_error(std::string("no free TCP port: ") + std::strerror(errno));
    ::close(fd);
    return ntohs(a.sin_port);
}

// Whether something listens on 127.0.0.1:port (or on every address).
inline bool Listening(int port)
{
    char hex[8];
    std::snprintf(hex, sizeof hex, ":%04X", port);
    std::ifstream in("/proc/net/tcp");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, hex) == 0 &&
            (local.rfind("0100007F", 0) == 0 || local.rfind("00000000", 0) == 0))
            return true;
    }
    return false;
}

// Waits for pred, looking every 10 ms, at most deadline.
template <class F>
bool AwaitSign(F&& pred, std::chrono::milliseconds deadline = std::chrono::milliseconds(10000))
{
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class TProcess {
public:
    TProcess() = default;
    // Standard output and error go to outFile (appended).
    TProcess(std::vector<std::string> args, const std::string& outFile) { Start(std::move(args), outFile); }
    ~TProcess() { Stop(SIGTERM); }
    TProcess(const TProcess&) = delete;
    TProcess& operator=(const TProcess&) = delete;

    void Start(std::vector<std::string> args, const std::string& outFile)
    {
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ < 0)
            throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
        if (pid_ == 0) {
            int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            int in = ::open("/dev/null", O_RDONLY);
            if (out >= 0) {
                ::dup2(out, 1);
                ::dup2(out, 2);
            }
            if (in >= 0)
                ::dup2(in, 0);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }
    // Ends it with sig and reaps it; nothing if it is not running. One that
    // has not ended after 5 s is killed.
    void Stop(int sig)
    {
        if (pid_ <= 0)
            return;
        ::kill(pid_, sig);
        if (!AwaitSign([&] { return ::waitpid(pid_, nullptr, WNOHANG) == pid_; }, std::chrono::milliseconds(5000))) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }
    // Waits for it to end by itself; its exit code (128+N for signal N).
    int Wait()
    {
        int status = 0;
        if (pid_ <= 0 || ::waitpid(pid_, &status, 0) != pid_)
            return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    // Still running (not exited).
    bool Running()
    {
        if (pid_ <= 0)
            return false;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        return true;
    }
    pid_t Pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

class TSer2net {
public:
    struct TAccepter {
        std::string kind;    // "telnet(rfc2217)" or "tcp"
        std::string device;  // the serial side, e.g. a pseudo-terminal
        int port = 0;        // 0: a free one
    };

    // folder: where the configuration and ser2net's output go.
    TSer2net(const std::string& folder, std::vector<TAccepter> accepters)
        : folder_(folder), accepters_(std::move(accepters))
    {
        for (TAccepter& a : accepters_)
            if (a.port == 0)
                a.port = FreeTcpPort();
        Start();
    }
    ~TSer2net() { Stop(); }
    TSer2net(const TSer2net&) = delete;
    TSer2net& operator=(const TSer2net&) = delete;

    int Port(std::size_t i) const { return accepters_.at(i).port; }
    std::string Url(std::size_t i) const
    {
        const TAccepter& a = accepters_.at(i);
        return std::string(a.kind == "tcp" ? "tcp://" : "rfc2217://") + "127.0.0.1:" + std::to_string(a.port);
    }
    // ser2net's own output so far (for failure messages).
    std::string Output() const
    {
        std::ifstream in(folder_ + "/ser2net.out");
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    pid_t Pid() const { return process_.Pid(); }

    // Starts it on the same configuration and waits until it listens.
    void Start()
    {
        if (std::string(TARNELL_SER2NET).empty())
            throw std::runtime_error("ser2net was not found when the build was configured (Debian package ser2net)");
        const std::string config = folder_ + "/ser2net.yaml";
        {
            std::ofstream out(config);
            int n = 0;
            for (const TAccepter& a : accepters_) {
                // local: a pseudo-terminal has no modem lines to wait for.
                out << "connection: &con" << n++ << "\n"
                    << "  accepter: " << (a.kind == "tcp" ? "" : a.kind + ",") << "tcp,127.0.0.1," << a.port << "\n"
                    << "  connector: serialdev," << a.device << ",9600e81,local\n"
                    << "  options:\n"
                    << "    kickolduser: true\n";
            }
        }
        // -n: foreground, so that it is stopped by its own process ID; -u:
        // no UUCP lock files outside the test's folder.
        process_.Start({TARNELL_SER2NET, "-n", "-u", "-c", config, "-P", folder_ + "/ser2net.pid"},
                       folder_ + "/ser2net.out");
        const bool up = AwaitSign([&] {
            for (const TAccepter& a : accepters_)
                if (!Listening(a.port))
                    return false;
            return true;
        });
        if (!up)
            throw std::runtime_error("ser2net did not start listening: " + Output());
    }
    // SIGTERM, or SIGKILL to end it with nothing said to its clients.
    void Stop(int sig = SIGTERM) { process_.Stop(sig); }

private:
    std::string folder_;
    std::vector<TAccepter> accepters_;
    TProcess process_;
};

}  // namespace sio::test
