// Pseudo-terminal helpers for the serial layer's tests.
//
// TPortDir makes a temporary folder and points SIO_PORT_DIR at it, so that
// the folder is the whole port map. TPtyPort opens a pseudo-terminal pair,
// links its device side as COMn in that folder and keeps the other side (the
// "far end") for the test: what the program writes to COMn is read here, and
// what the test writes here arrives at COMn.
//
//   sio::test::TPortDir dir;            // SIO_PORT_DIR=/tmp/sio-ports-XXXXXX
//   sio::test::TPtyPort pty(dir, 3);    // COM3 -> /dev/pts/N
//   ... open "\\.\COM3" ...
//   pty.Write("STA;0\n\r");
//   std::string got = pty.ReadExactly(7);   // waits up to 5 s
//
// Failures to set up throw std::runtime_error: a test without its pty fails,
// it never skips. Header-only; the helpers run on the test's thread.
#pragma once

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace sio::test {

inline constexpr std::chrono::milliseconds kDeadline{5000};

// Polls pred every 5 ms until it holds or the deadline has passed; returns
// the last value of pred. For things that should happen "at once".
inline bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds deadline = kDeadline)
{
    auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        if (pred())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// "\\.\COMn", the device name the serial layer opens.
inline std::string ComName(int n) { return "\\\\.\\COM" + std::to_string(n); }

class TPortDir {
public:
    TPortDir()
    {
        std::string templ = (std::filesystem::temp_directory_path() / "sio-ports-XXXXXX").string();
        if (!::mkdtemp(templ.data()))
            throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
        path_ = templ;
        if (const char* old = std::getenv("SIO_PORT_DIR")) {
            hadOld_ = true;
            old_ = old;
        }
        ::setenv("SIO_PORT_DIR", path_.c_str(), 1);
    }
    TPortDir(const TPortDir&) = delete;
    TPortDir& operator=(const TPortDir&) = delete;
    ~TPortDir()
    {
        if (hadOld_)
            ::setenv("SIO_PORT_DIR", old_.c_str(), 1);
        else
            ::unsetenv("SIO_PORT_DIR");
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string& Path() const { return path_; }
    std::string Entry(int n) const { return path_ + "/COM" + std::to_string(n); }

private:
    std::string path_;
    std::string old_;
    bool hadOld_ = false;
};

class TPtyPort {
public:
    TPtyPort(const TPortDir& dir, int comNumber) : TPtyPort(dir.Entry(comNumber)) {}
    // Links the device side at linkPath, in a port folder of the caller's.
    explicit TPtyPort(std::string linkPath) : link_(std::move(linkPath))
    {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (master_ < 0)
            throw std::runtime_error("posix_openpt: " + std::string(std::strerror(errno)));
        char name[128];
        if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 || ::ptsname_r(master_, name, sizeof name) != 0) {
            ::close(master_);
            throw std::runtime_error("pty setup: " + std::string(std::strerror(errno)));
        }
        slave_ = name;
        // Raw from the start, so that bytes written before the program sets
        // the line up are not cooked by the line discipline.
        int s = ::open(slave_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (s >= 0) {
            termios t{};
            if (::tcgetattr(s, &t) == 0) {
                ::cfmakeraw(&t);
                ::tcsetattr(s, TCSANOW, &t);
            }
            ::close(s);
        }
        std::error_code ec;
        std::filesystem::remove(link_, ec);
        std::filesystem::create_symlink(slave_, link_);
    }
    TPtyPort(const TPtyPort&) = delete;
    TPtyPort& operator=(const TPtyPort&) = delete;
    ~TPtyPort()
    {
        CloseMaster();
        std::error_code ec;
        std::filesystem::remove(link_, ec);
    }

    int Master() const { return master_; }
    const std::string& SlavePath() const { return slave_; }
    const std::string& LinkPath() const { return link_; }

    // The far end goes away: the program's device sees a hang-up.
    void CloseMaster()
    {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }

    // Writes all bytes, waiting for room up to the deadline; returns the
    // count written.
    std::size_t Write(const void* data, std::size_t count, std::chrono::milliseconds deadline = kDeadline)
    {
        auto p = static_cast<const char*>(data);
        std::size_t done = 0;
        auto end = std::chrono::steady_clock::now() + deadline;
        while (done < count && std::chrono::steady_clock::now() < end) {
            ssize_t n = ::write(master_, p + done, count - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                break;
            pollfd pfd{master_, POLLOUT, 0};
            ::poll(&pfd, 1, 10);
        }
        return done;
    }
    std::size_t Write(const std::string& s) { return Write(s.data(), s.size()); }

    // Whatever has arrived so far, without waiting.
    std::string ReadAvailable()
    {
        std::string out;
        char buf[4096];
        for (;;) {
            ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0)
                break;  // EAGAIN, or EIO while no one holds the device side
            out.append(buf, static_cast<std::size_t>(n));
        }
        return out;
    }

    // Reads until count bytes have come or the deadline has passed.
    std::string ReadExactly(std::size_t count, std::chrono::milliseconds deadline = kDeadline)
    {
        std::string out;
        auto end = std::chrono::steady_clock::now() + deadline;
        while (out.size() < count && std::chrono::steady_clock::now() < end) {
            char buf[4096];
            std::size_t want = std::min(sizeof buf, count - out.size());
            ssize_t n = ::read(master_, buf, want);
            if (n > 0) {
                out.append(buf, static_cast<std::size_t>(n));
                continue;
            }
            pollfd pfd{master_, POLLIN, 0};
            ::poll(&pfd, 1, 10);
            if (pfd.revents & POLLHUP)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return out;
    }

private:
    std::string link_;
    std::string slave_;
    int master_ = -1;
};

// Counts this process's open file descriptors and threads (for leak checks).
inline int OpenDescriptorCount()
{
    int n = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

inline int ThreadCount()
{
    int n = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/task"))
        ++n;
    return n;
}

}  // namespace sio::test
